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

MacdResult run_macd(Period fast, Period slow, Period signal, const std::vector<double>& data) {
    std::array<GuardedOutput, 3> out{GuardedOutput(data.size()), GuardedOutput(data.size()),
                                     GuardedOutput(data.size())};
    macd(fast, slow, signal, Series(data), out[0].series(), out[1].series(), out[2].series());
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

// With slow >= 3, (slow - 1) + (signal - 1) wraps around to a small start.
TEST(Macd, HugeSignalPeriodNeverStartsTheSignal) {
    const MacdResult r = run_macd(1, 3, ~Period{0}, testing::random_walk(50, 2));
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(bits(r.signal[i]), no_value_bits);
        EXPECT_EQ(bits(r.hist[i]), no_value_bits);
    }
}

TEST(Macd, EmptyInputWritesNothing) { run_macd(1, 2, 3, {}); }

}  // namespace
}  // namespace quorvane
