#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "quorvane/indicators.hpp"
#include "series_testing.hpp"

namespace quorvane {
namespace {

using testing::bits;
using testing::inf;
using testing::nan;
using testing::same_values;

// The plain loop the kernel must match bit for bit, blocked or not.
std::vector<double> plain_sma(Period period, const std::vector<double>& data) {
    const std::size_t n = data.size();
    std::vector<double> out(n, no_value);
    if (period == 0 || period > n) {
        return out;
    }
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) {
        sum += data[i];
    }
    const double scale = 1.0 / static_cast<double>(period);
    out[period - 1] = scale * sum;
    for (std::size_t i = period; i < n; ++i) {
        const double d = data[i] - data[i - period];
        sum += d;
        out[i] = scale * sum;
    }
    return out;
}

struct WorkedCase {
    const char* name;
    Period period;
    std::vector<double> data;
    std::vector<double> expected;
    std::size_t leading_no_values;  // positions that must hold the exact no-value NaN
    std::optional<std::size_t> output_size = std::nullopt;  // the input's length unless given
};

class SmaWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(SmaWorked, GivesExactValues) {
    const WorkedCase& c = GetParam();
    const std::vector<double> out = testing::run_guarded(sma, c.period, c.data, c.output_size);
    EXPECT_TRUE(same_values(c.expected, out));
    for (std::size_t i = 0; i < c.leading_no_values; ++i) {
        EXPECT_EQ(bits(out[i]), no_value_bits) << "position " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmaWorked,
    ::testing::Values(
        WorkedCase{"integers", 3, {1, 2, 3, 4, 5}, {nan, nan, 2, 3, 4}, 2},
        // The running sum, not a fresh window sum (which would give 0.3).
        WorkedCase{"running_sum", 3, {0.1, 0.2, 0.3, 0.4, 0.5},
                   {nan, nan, 0.2, 0.30000000000000004, 0.4}, 2},
        WorkedCase{"period_zero", 0, {1, 2}, {nan, nan}, 2},
        WorkedCase{"period_too_long", 3, {1, 2}, {nan, nan}, 2},
        WorkedCase{"period_max", ~Period{0}, {1, 2}, {nan, nan}, 2},
        WorkedCase{"empty", 3, {}, {}, 0},
        WorkedCase{"period_is_length", 4, {1, 2, 3, 6}, {nan, nan, nan, 3}, 3},
        WorkedCase{"period_one_keeps_rounding", 1, {1e16, 1, 2}, {1e16, 0, 1}, 0},
        WorkedCase{"negative_zero_window", 3, {-0.0, -0.0, -0.0}, {nan, nan, -0.0}, 2},
        WorkedCase{"nan_stays", 2, {1, nan, 1, 1, 1}, {nan, nan, nan, nan, nan}, 1},
        WorkedCase{"infinity_then_nan", 2, {1, inf, 1, 1, 1}, {nan, inf, inf, nan, nan}, 1},
        WorkedCase{"opposite_infinities", 2, {inf, -inf, 1, 1}, {nan, nan, nan, nan}, 1},
        // Spans of unequal length: a longer output is filled past the input,
        // a shorter one is only filled when the period is degenerate.
        WorkedCase{"longer_output", 2, {1, 2, 3, 4}, {nan, 1.5, 2.5, 3.5, nan, nan}, 1, 6},
        WorkedCase{"shorter_output_degenerate_period", 0, {1, 2, 3, 4}, {nan, nan}, 2, 2}),
    [](const ::testing::TestParamInfo<WorkedCase>& c) { return std::string(c.param.name); });

// Lengths and periods on both sides of the switch to blocks of 8
// (64 positions after the first window), over prices and over magnitudes
// from 2^-300 to 2^300 of both signs.
TEST(Sma, BlockedSlideMatchesPlainLoop) {
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-300, 300);
    for (std::size_t n : {0u, 1u, 7u, 63u, 64u, 65u, 71u, 72u, 73u, 129u, 1000u}) {
        std::vector<double> wide(n);
        for (double& v : wide) {
            v = std::ldexp(mantissa(engine), exponent(engine));
        }
        for (const auto& data : {testing::random_walk(n, static_cast<std::uint32_t>(n)), wide}) {
            for (Period period : {Period{1}, Period{2}, Period{7}, Period{8}, Period{9},
                                  Period{64}, Period{n - 65}, Period{n - 64}, Period{n - 63},
                                  Period{n}, Period{n + 1}}) {
                EXPECT_TRUE(
                    same_values(plain_sma(period, data), testing::run_guarded(sma, period, data)))
                    << "n " << n << " period " << period;
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
