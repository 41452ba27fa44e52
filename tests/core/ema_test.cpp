#include <gtest/gtest.h>

#include <vector>

#include "quorvane/indicators.hpp"
#include "series_testing.hpp"

namespace quorvane {
namespace {

using testing::bits;
using testing::inf;
using testing::nan;
using testing::same_values;

struct WorkedCase {
    const char* name;
    Period period;
    std::vector<double> data;
    std::vector<double> expected;
};

class EmaWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(EmaWorked, GivesExactValuesAndExactNoValues) {
    const WorkedCase& c = GetParam();
    const std::vector<double> out = testing::run_guarded(ema, c.period, c.data);
    EXPECT_TRUE(same_values(c.expected, out));
    // Non-finite inputs are skipped, so every NaN written is the no-value NaN.
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (std::isnan(out[i])) {
            EXPECT_EQ(bits(out[i]), no_value_bits) << "position " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmaWorked,
    ::testing::Values(
        WorkedCase{"integers", 3, {1, 2, 3, 4, 5}, {nan, nan, 2, 3, 4}},
        WorkedCase{"gaps_skipped", 3, {nan, 1, 2, 3, nan, 5, 6}, {nan, nan, nan, 2, nan, 3.5, 4.75}},
        WorkedCase{"infinities_missing", 2, {1, nan, 2, 3, inf, 4}, {nan, nan, nan, 2.5, nan, 3.5}},
        WorkedCase{"seed_is_a_division", 3, {0.1, 0.2, 0.3}, {nan, nan, 0.20000000000000004}},
        // The seed sum starts at -0, so a window of -0 keeps its sign.
        WorkedCase{"negative_zero_window", 2, {-0.0, -0.0, -0.0}, {nan, -0.0, -0.0}},
        WorkedCase{"period_one_copies", 1, {1, nan, 2, -inf}, {1, nan, 2, nan}},
        WorkedCase{"period_zero", 0, {1, 2}, {nan, nan}},
        WorkedCase{"period_too_long", 3, {1, 2}, {nan, nan}},
        WorkedCase{"no_finite_run", 3, {1, 2, nan, 4, 5, nan, 7, 8, nan}, std::vector<double>(9, nan)},
        WorkedCase{"seed_at_the_end", 3, {nan, 1, 2, 3}, {nan, nan, nan, 2}},
        WorkedCase{"empty", 3, {}, {}},
        // A jump from a flat seed of 0 to 1 shows alpha = 2 / 11 itself.
        WorkedCase{"smoothing_factor_of_period_ten", 10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
                   {nan, nan, nan, nan, nan, nan, nan, nan, nan, 0, 0x1.745D1745D1746p-3}}),
    [](const ::testing::TestParamInfo<WorkedCase>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quorvane
