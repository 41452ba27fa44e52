#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "quorvane/indicators.hpp"
#include "series_testing.hpp"

namespace quorvane {
namespace {

using testing::bits;
using testing::GuardedOutput;
using testing::nan;
using testing::same_values;

struct MacdResult {
    std::vector<double> line, signal, hist;
};

MacdResult run_macd(Period fast, Period slow, Period signal, const std::vector<double>& data,
                    std::size_t misalign = 0) {
    std::array<GuardedOutput, 3> out{GuardedOutput(data.size(), misalign),
                                     GuardedOutput(data.size(), misalign),
                                     GuardedOutput(data.size(), misalign)};
    macd(fast, slow, signal, testing::UnalignedInput(data, misalign).series(), out[0].series(),
         out[1].series(), out[2].series());
    for (const GuardedOutput& o : out) {
        EXPECT_TRUE(o.guards_intact());
    }
    return {out[0].values(), out[1].values(), out[2].values()};
}

TEST(Macd, WorkedValues) {
    const MacdResult r = run_macd(2, 3, 2, {1, 2, 3, 4, 5});
    EXPECT_TRUE(same_values({nan, nan, 0.5, 0.5, 0.5}, r.line));
    EXPECT_TRUE(same_values({nan, nan, nan, 0.5, 0.5}, r.signal));
    EXPECT_TRUE(same_values({nan, nan, nan, 0, 0}, r.hist));
    for (const auto* series : {&r.line, &r.signal, &r.hist}) {
        for (double v : *series) {
            if (std::isnan(v)) {
                EXPECT_EQ(bits(v), no_value_bits);
            }
        }
    }
}

TEST(Macd, WarmUpOfSixteenValues) {
    std::vector<double> data = testing::random_walk(16, 11);
    const MacdResult r = run_macd(3, 6, 4, data);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(std::isnan(r.line[i]), i < 5) << i;
        EXPECT_EQ(std::isnan(r.signal[i]), i < 8) << i;
        EXPECT_EQ(std::isnan(r.hist[i]), i < 8) << i;
    }
    EXPECT_EQ(bits(r.signal[8]), bits(r.line[8]));
    EXPECT_EQ(bits(r.hist[8]), 0u);
}

TEST(Macd, HugeSignalPeriodNeverStartsTheSignal) {
    const MacdResult r = run_macd(1, 2, ~Period{0}, testing::random_walk(50, 2));
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(bits(r.signal[i]), no_value_bits);
        EXPECT_EQ(bits(r.hist[i]), no_value_bits);
    }
}

TEST(Macd, UnalignedSeriesGiveAlignedResults) {
    std::vector<double> data = testing::random_walk(120, 9);
    data[70] = nan;
    const MacdResult aligned = run_macd(5, 13, 4, data);
    for (std::size_t misalign = 1; misalign < 8; ++misalign) {
        const MacdResult r = run_macd(5, 13, 4, data, misalign);
        EXPECT_TRUE(same_values(aligned.line, r.line));
        EXPECT_TRUE(same_values(aligned.signal, r.signal));
        EXPECT_TRUE(same_values(aligned.hist, r.hist));
    }
}

TEST(Macd, EmptyInputWritesNothing) {
    GuardedOutput a(0), b(0), c(0);
    macd(1, 2, 3, Series(), a.series(), b.series(), c.series());
    EXPECT_TRUE(a.guards_intact() && b.guards_intact() && c.guards_intact());
}

TEST(MacdDeathTest, ShortOutputIsAnInternalFailure) {
    const std::vector<double> data{1, 2, 3, 4, 5};
    std::vector<double> full(5), shorter(4);
    EXPECT_DEATH(macd(1, 2, 1, Series(data), OutputSeries(full), OutputSeries(full),
                      OutputSeries(shorter)),
                 "index out of bounds: the len is 4 but the index is 4\n");
}

TEST(MacdDeathTest, PeriodsOutOfOrderAreAnInternalFailure) {
    const std::vector<double> data{1, 2, 3};
    std::vector<double> out(3);
    EXPECT_DEATH(macd(3, 2, 1, Series(data), OutputSeries(out), OutputSeries(out),
                      OutputSeries(out)),
                 "MACD periods out of order: fast 3, slow 2, signal 1\n");
}

}  // namespace
}  // namespace quorvane
