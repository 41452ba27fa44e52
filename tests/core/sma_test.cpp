#include <gtest/gtest.h>

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

std::vector<double> run_sma(Period period, const std::vector<double>& data,
                            std::size_t misalign = 0) {
    return testing::run_guarded(sma, period, data, misalign);
}

struct WorkedCase {
    const char* name;
    Period period;
    std::vector<double> data;
    std::vector<double> expected;
    std::size_t leading_no_values;  // positions that must hold the exact no-value NaN
};

class SmaWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(SmaWorked, GivesExactValues) {
    const WorkedCase& c = GetParam();
    const std::vector<double> out = run_sma(c.period, c.data);
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
        WorkedCase{"opposite_infinities", 2, {inf, -inf, 1, 1}, {nan, nan, nan, nan}, 1}),
    [](const ::testing::TestParamInfo<WorkedCase>& c) { return std::string(c.param.name); });

// Lengths and periods on both sides of the switch to blocks of 8
// (64 positions after the first window).
TEST(Sma, BlockedSlideMatchesPlainLoop) {
    for (std::size_t n : {0u, 1u, 7u, 63u, 64u, 65u, 71u, 72u, 73u, 129u, 1000u}) {
        const std::vector<double> data = testing::random_walk(n, static_cast<std::uint32_t>(n));
        for (Period period : {Period{1}, Period{2}, Period{7}, Period{8}, Period{9}, Period{64},
                              Period{n - 65}, Period{n - 64}, Period{n - 63}, Period{n},
                              Period{n + 1}}) {
            EXPECT_TRUE(same_values(plain_sma(period, data), run_sma(period, data)))
                << "n " << n << " period " << period;
        }
    }
}

TEST(Sma, MatchesPlainLoopOnWideMagnitudes) {
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-300, 300);
    std::vector<double> data(500);
    for (double& v : data) {
        v = std::ldexp(mantissa(engine), exponent(engine));
    }
    for (Period period : {Period{1}, Period{3}, Period{50}, Period{436}, Period{437}}) {
        EXPECT_TRUE(same_values(plain_sma(period, data), run_sma(period, data)));
    }
}

TEST(Sma, UnalignedSeriesGiveAlignedResults) {
    const std::vector<double> data = testing::random_walk(300, 3);
    const std::vector<double> aligned = run_sma(20, data);
    for (std::size_t misalign = 1; misalign < 8; ++misalign) {
        EXPECT_TRUE(same_values(aligned, run_sma(20, data, misalign))) << misalign;
    }
}

TEST(Sma, LongerOutputIsFilledAndNotOverrun) {
    const std::vector<double> data{1, 2, 3, 4};
    GuardedOutput output(6);
    sma(2, Series(data), output.series());
    EXPECT_TRUE(same_values({nan, 1.5, 2.5, 3.5, nan, nan}, output.values()));
    EXPECT_TRUE(output.guards_intact());
}

TEST(Sma, ShorterOutputWithDegeneratePeriodIsOnlyFilled) {
    const std::vector<double> data{1, 2, 3, 4};
    GuardedOutput output(2);
    sma(0, Series(data), output.series());
    EXPECT_TRUE(same_values({nan, nan}, output.values()));
    EXPECT_TRUE(output.guards_intact());
}

TEST(SmaDeathTest, ShorterOutputIsAnInternalFailure) {
    const std::vector<double> data{1, 2, 3, 4, 5};
    std::vector<double> out(4);
    EXPECT_DEATH(sma(2, Series(data), OutputSeries(out)),
                 "thread '<unnamed>' panicked at core/src/sma.cpp:[0-9]+:[0-9]+:\n"
                 "index out of bounds: the len is 4 but the index is 4\n");
}

TEST(Sma, OutputOverTheInputSeesOnlyTheFill) {
    std::vector<double> values{1, 2, 3, 4, 5};
    sma(2, Series(values), OutputSeries(values));
    for (double v : values) {
        EXPECT_TRUE(std::isnan(v));
    }
}

}  // namespace
}  // namespace quorvane
