#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "quorvane/indicators.hpp"
#include "series_testing.hpp"

namespace quorvane {
namespace {

using testing::bits;
using testing::GuardedOutput;
using testing::inf;
using testing::nan;
using testing::same_values;

struct Bars {
    std::vector<double> high, low, close;
};

std::vector<double> run_atr(Period period, const Bars& bars, std::size_t output_size) {
    GuardedOutput output(output_size);
    atr(period, Series(bars.high), Series(bars.low), Series(bars.close), output.series());
    EXPECT_TRUE(output.guards_intact());
    return output.values();
}

const Bars rising{{10, 11, 12, 13, 14}, {9, 9.5, 10, 11, 12.5}, {9.5, 10.5, 11.5, 12.5, 13.5}};

struct WorkedCase {
    const char* name;
    Period period;
    Bars bars;
    std::vector<double> expected;
    std::optional<std::size_t> output_size = std::nullopt;  // the input's length unless given
    friend void PrintTo(const WorkedCase& c, std::ostream* os) { *os << c.name; }
};

class AtrWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(AtrWorked, GivesExactValues) {
    const WorkedCase& c = GetParam();
    const std::vector<double> out =
        run_atr(c.period, c.bars, c.output_size.value_or(c.bars.high.size()));
    EXPECT_TRUE(same_values(c.expected, out));
    // Positions before the first average hold the exact no-value NaN.
    const std::size_t n = c.bars.high.size();
    const std::size_t warm_up = c.period == 0 || c.period >= n ? n : c.period;
    for (std::size_t i = 0; i < warm_up; ++i) {
        EXPECT_EQ(bits(out[i]), no_value_bits) << "position " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtrWorked,
    ::testing::Values(
        // True ranges 1.5, 2, 2, 1.5.
        WorkedCase{"rising", 2, rising, {nan, nan, 1.75, 1.875, 1.6875}},
        // A product with k would seed 0.1; (avg * 2 + TR) / 3 would give
        // 0.13333333333333333.
        WorkedCase{"seed_divides_smoothing_multiplies", 3,
                   {{0, 0.1, 0.1, 0.1, 0.2}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
                   {nan, nan, nan, 0.10000000000000002, 0.13333333333333336}},
        WorkedCase{"period_one_keeps_rounding", 1, {{0, 0.2, 0.9}, {0, 0, 0}, {0, 0, 0}},
                   {nan, 0.2, 0.8999999999999999}},
        WorkedCase{"period_zero", 0, rising, {nan, nan, nan, nan, nan}},
        WorkedCase{"period_is_length", 5, rising, {nan, nan, nan, nan, nan}},
        WorkedCase{"one_average", 4, rising, {nan, nan, nan, nan, 1.75}},
        WorkedCase{"empty", 1, {}, {}},
        WorkedCase{"nan_high_leaves_low_side", 1, {{1, nan, 3}, {0, 1, 2}, {0.5, 1.5, 2.5}},
                   {nan, 0.5, 1.5}},
        WorkedCase{"nan_close_leaves_signed_spread", 1, {{1, 2, 1}, {0, 3, 2}, {nan, nan, 2.5}},
                   {nan, -1, -1}},
        WorkedCase{"two_nans_make_a_nan_range", 1,
                   {{1, nan, 3, 4}, {0, nan, 2, 3}, {0.5, 1.5, 2.5, 3.5}}, {nan, nan, nan, nan}},
        WorkedCase{"infinity_then_nan", 1, {{0, inf, 1, 2}, {0, 0, 0, 0}, {0, 0, 0, 0}},
                   {nan, inf, nan, nan}},
        WorkedCase{"unread_positions_change_nothing", 2,
                   {{nan, 11, 12, 13, 14}, {-inf, 9.5, 10, 11, 12.5}, {9.5, 10.5, 11.5, 12.5, inf}},
                   {nan, nan, 1.75, 1.875, 1.6875}},
        // The only true range is -0 (close NaN, -0 - +0); the seed sum starts
        // at +0, so the average is +0.
        WorkedCase{"seed_starts_at_positive_zero", 1, {{0, -0.0}, {0, 0.0}, {nan, 0}},
                   {nan, 0.0}},
        // Every true range is the move from the previous price: 2, 1, 0.5, 2.5, 0.5.
        WorkedCase{"one_series_for_all_three", 2,
                   {{3, 5, 4, 4.5, 2, 2.5}, {3, 5, 4, 4.5, 2, 2.5}, {3, 5, 4, 4.5, 2, 2.5}},
                   {nan, nan, 1.5, 1, 1.75, 1.125}},
        // A longer output is filled past the input, and not overrun.
        WorkedCase{"longer_output", 2, rising, {nan, nan, 1.75, 1.875, 1.6875, nan, nan}, 7}),
    [](const ::testing::TestParamInfo<WorkedCase>& c) { return std::string(c.param.name); });

struct MaxNumCase {
    double x, y, expected;
};

TEST(MaxNum, FollowsIeeeMaxNum) {
    const double negative_nan = -nan;
    const MaxNumCase cases[] = {
        {1, 2, 2},         {2, 1, 2},          {-1, -2, -1},    {-inf, 3, 3},
        {nan, 1, 1},       {1, nan, 1},        {negative_nan, -5, -5},
        {nan, -inf, -inf}, {inf, nan, inf},    {nan, nan, nan},
        {-0.0, 0.0, 0.0},  {0.0, -0.0, 0.0},   {-0.0, -0.0, -0.0},
        {-0.0, -1, -0.0},  {nan, -0.0, -0.0},
    };
    for (const MaxNumCase& c : cases) {
        EXPECT_TRUE(same_values({c.expected}, {max_num(c.x, c.y)}))
            << "max_num(" << c.x << ", " << c.y << ")";
    }
}

}  // namespace
}  // namespace quorvane
