#include <gtest/gtest.h>

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
using testing::UnalignedInput;

struct Bars {
    std::vector<double> high, low, close;
};

std::vector<double> run_atr(Period period, const Bars& bars, std::size_t misalign = 0) {
    GuardedOutput output(bars.high.size(), misalign);
    atr(period, UnalignedInput(bars.high, misalign).series(),
        UnalignedInput(bars.low, misalign).series(), UnalignedInput(bars.close, misalign).series(),
        output.series());
    EXPECT_TRUE(output.guards_intact());
    return output.values();
}

const Bars rising{{10, 11, 12, 13, 14}, {9, 9.5, 10, 11, 12.5}, {9.5, 10.5, 11.5, 12.5, 13.5}};

struct WorkedCase {
    const char* name;
    Period period;
    Bars bars;
    std::vector<double> expected;
    friend void PrintTo(const WorkedCase& c, std::ostream* os) { *os << c.name; }
};

class AtrWorked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(AtrWorked, GivesExactValues) {
    const WorkedCase& c = GetParam();
    const std::vector<double> out = run_atr(c.period, c.bars);
    EXPECT_TRUE(same_values(c.expected, out));
    // Positions before the first average hold the exact no-value NaN.
    const std::size_t n = out.size();
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
                   {nan, 0.0}}),
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

TEST(Atr, UnalignedSeriesGiveAlignedResults) {
    const std::vector<double> close = testing::random_walk(300, 5);
    Bars bars{close, close, close};
    for (std::size_t i = 0; i < close.size(); ++i) {
        bars.high[i] *= 1.01;
        bars.low[i] *= 0.99;
    }
    const std::vector<double> aligned = run_atr(14, bars);
    for (std::size_t misalign = 1; misalign < 8; ++misalign) {
        EXPECT_TRUE(same_values(aligned, run_atr(14, bars, misalign))) << misalign;
    }
}

TEST(Atr, LongerOutputIsFilledAndNotOverrun) {
    GuardedOutput output(7);
    atr(2, Series(rising.high), Series(rising.low), Series(rising.close), output.series());
    EXPECT_TRUE(same_values({nan, nan, 1.75, 1.875, 1.6875, nan, nan}, output.values()));
    EXPECT_TRUE(output.guards_intact());
}

struct ShortCase {
    const char* name;
    std::size_t low, close, output;
    Period period;
    const char* message;
    friend void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }
};

class AtrDeathTest : public ::testing::TestWithParam<ShortCase> {};

const std::string kernel_failure =
    "^\nthread '<unnamed>' panicked at core/src/atr.cpp:[0-9]+:[0-9]+:\n";

TEST_P(AtrDeathTest, ShortSeriesIsAnInternalFailure) {
    const ShortCase& c = GetParam();
    std::vector<double> low(c.low, 1.0), close(c.close, 1.0), out(c.output);
    EXPECT_DEATH(atr(c.period, Series(rising.high), Series(low), Series(close), OutputSeries(out)),
                 kernel_failure + c.message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtrDeathTest,
    ::testing::Values(
        ShortCase{"low", 4, 5, 5, 2, "index out of bounds: the len is 4 but the index is 4"},
        ShortCase{"close", 5, 3, 5, 2, "index out of bounds: the len is 3 but the index is 3"},
        ShortCase{"output", 5, 5, 4, 2, "index out of bounds: the len is 4 but the index is 4"},
        ShortCase{"output_before_first_average", 5, 5, 1, 3,
                  "index out of bounds: the len is 1 but the index is 3"}),
    [](const ::testing::TestParamInfo<ShortCase>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quorvane
