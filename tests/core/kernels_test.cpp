// The kernels against worked values, maxNum against IEEE 754-2008, the
// reports of broken preconditions, and the vectors recorded on x86-64, which
// every architecture must reproduce bit for bit (a compiler that fuses a
// multiply and an add, or reorders a sum, changes their bits).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "kernels.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/internal/steps.hpp"
#include "same.hpp"

namespace quorvane::testing {
namespace {

// In expected values, N must be the exact no-value NaN; ANY (another NaN
// pattern) is a NaN made by arithmetic, whose payload is the processor's.
constexpr double N = no_value;
constexpr double ANY = std::bit_cast<double>(std::uint64_t{0xFFF8000000000000});
constexpr double inf = std::numeric_limits<double>::infinity();

struct Worked {
    const char* name;
    const char* kernel;
    std::vector<Period> periods;
    std::vector<Values> inputs;
    std::vector<Values> expected;  // whose length is the outputs'
    friend void PrintTo(const Worked& c, std::ostream* os) { *os << c.name; }
};

class Kernel : public ::testing::TestWithParam<Worked> {};

TEST_P(Kernel, GivesTheWorkedValues) {
    const Worked& c = GetParam();
    const std::vector<Values> out = run(c.kernel, c.periods, c.inputs, c.expected[0].size());
    for (std::size_t k = 0; k < c.expected.size(); ++k) {
        EXPECT_TRUE(same(padded(c.expected[k]), out[k])) << "output " << k;
    }
}

// True ranges 1.5, 2, 2, 1.5.
const std::vector<Values> rising{
    {10, 11, 12, 13, 14}, {9, 9.5, 10, 11, 12.5}, {9.5, 10.5, 11.5, 12.5, 13.5}};

INSTANTIATE_TEST_SUITE_P(
    Cases, Kernel,
    ::testing::Values(
        // The running sum, not a fresh window sum (which would give 0.3).
        Worked{"sma_running_sum",
               "sma",
               {3},
               {{0.1, 0.2, 0.3, 0.4, 0.5}},
               {{N, N, 0.2, 0.30000000000000004, 0.4}}},
        Worked{"sma_negative_zero_window", "sma", {3}, {{-0.0, -0.0, -0.0}}, {{N, N, -0.0}}},
        // Outputs of another length: a longer one is filled past the input, a
        // shorter one only when the period is degenerate.
        Worked{"sma_longer_output", "sma", {2}, {{1, 2, 3, 4}}, {{N, 1.5, 2.5, 3.5, N, N}}},
        Worked{"sma_shorter_output", "sma", {0}, {{1, 2, 3, 4}}, {{N, N}}},
        Worked{
            "ema_infinities_missing", "ema", {2}, {{1, N, 2, 3, inf, 4}}, {{N, N, N, 2.5, N, 3.5}}},
        Worked{
            "ema_seed_is_a_division", "ema", {3}, {{0.1, 0.2, 0.3}}, {{N, N, 0.20000000000000004}}},
        Worked{"ema_negative_zero_window", "ema", {2}, {{-0.0, -0.0, -0.0}}, {{N, -0.0, -0.0}}},
        // A jump from a flat seed of 0 to 1 shows alpha = 2 / 11 itself.
        Worked{"ema_smoothing_factor",
               "ema",
               {10},
               {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
               {{N, N, N, N, N, N, N, N, N, 0, 0x1.745D1745D1746p-3}}},
        Worked{"macd_integers",
               "macd",
               {2, 3, 2},
               {{1, 2, 3, 4, 5}},
               {{N, N, 0.5, 0.5, 0.5}, {N, N, N, 0.5, 0.5}, {N, N, N, 0, 0}}},
        // A NaN after seeding holds no value and moves the signal's start past it.
        Worked{"macd_nan_moves_the_signal_start",
               "macd",
               {1, 3, 2},
               {{1, 2, 3, N, 5}},
               {{N, N, 1, N, 1.5}, {N, N, N, N, 1.5}, {N, N, N, N, 0}}},
        // A NaN in the first slow window leaves the slow average without a value.
        Worked{"macd_nan_in_the_first_slow_window",
               "macd",
               {1, 3, 1},
               {{1, N, 3, 4, 5}},
               {{N, N, ANY, ANY, ANY}, {N, N, ANY, ANY, ANY}, Values(5, N)}},
        // One infinity in the slow window seeds the slow average to -inf
        // (only both infinities make a window's sum NaN), so MACD is +inf.
        Worked{"macd_one_infinity_in_the_slow_window",
               "macd",
               {2, 4, 1},
               {{-inf, 1, 2, 3, 4, 5}},
               {{N, N, N, inf, inf, inf}, {N, N, N, inf, ANY, inf}, {N, N, N, ANY, N, ANY}}},
        // Fast period 1: 0 * inf makes F NaN, and the next position seeds
        // again from windows that the NaN just before them does not reach.
        Worked{"macd_nan_just_before_the_seeding_windows",
               "macd",
               {1, 2, 1},
               {{N, inf, 1, 1, 1}},
               {{N, ANY, ANY, 0, 0}, {N, ANY, ANY, 0, 0}, {N, N, N, 0, 0}}},
        Worked{"macd_negative_zero_window",
               "macd",
               {2, 3, 1},
               {Values(4, -0.0)},
               {{N, N, 0, 0}, {N, N, 0, 0}, {N, N, 0, 0}}},
        // (slow - 1) + (signal - 1) would wrap around to a start of 0.
        Worked{"macd_huge_signal_period",
               "macd",
               {1, 3, ~Period{0}},
               {Values(6, 1.0)},
               {{N, N, 0, 0, 0, 0}, Values(6, N), Values(6, N)}},
        // A product with k would seed 0.1; (avg * 2 + TR) / 3 would give
        // 0.13333333333333333.
        Worked{"atr_seed_divides_smoothing_multiplies",
               "atr",
               {3},
               {{0, 0.1, 0.1, 0.1, 0.2}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
               {{N, N, N, 0.10000000000000002, 0.13333333333333336}}},
        Worked{"atr_nan_high_leaves_low_side",
               "atr",
               {1},
               {{1, N, 3}, {0, 1, 2}, {0.5, 1.5, 2.5}},
               {{N, 0.5, 1.5}}},
        Worked{"atr_nan_close_leaves_signed_spread",
               "atr",
               {1},
               {{1, 2, 1}, {0, 3, 2}, {N, N, 2.5}},
               {{N, -1, -1}}},
        Worked{"atr_unread_positions_change_nothing",
               "atr",
               {2},
               {{N, 11, 12, 13, 14}, {-inf, 9.5, 10, 11, 12.5}, {9.5, 10.5, 11.5, 12.5, inf}},
               {{N, N, 1.75, 1.875, 1.6875}}},
        // The only true range is -0 (close NaN, -0 - +0); the seed sum starts
        // at +0, so the average is +0.
        Worked{"atr_seed_starts_at_positive_zero",
               "atr",
               {1},
               {{0, -0.0}, {0, 0.0}, {N, 0}},
               {{N, 0.0}}},
        Worked{"atr_longer_output", "atr", {2}, rising, {{N, N, 1.75, 1.875, 1.6875, N, N}}}),
    [](const ::testing::TestParamInfo<Worked>& c) { return std::string(c.param.name); });

TEST(MaxNum, FollowsIeeeMaxNum) {
    const double cases[][3] = {
        {1, 2, 2},        {2, 1, 2},        {-1, -2, -1},       {-inf, 3, 3},     {N, 1, 1},
        {1, N, 1},        {-N, -5, -5},     {N, -inf, -inf},    {inf, N, inf},    {N, N, N},
        {-0.0, 0.0, 0.0}, {0.0, -0.0, 0.0}, {-0.0, -0.0, -0.0}, {-0.0, -1, -0.0}, {N, -0.0, -0.0},
    };
    // The lane version too, which the kernels use where vectors are.
    using Pair = double __attribute__((vector_size(16)));
    for (const auto& c : cases) {
        EXPECT_TRUE(same({c[2]}, {max_num(c[0], c[1])}))
            << "max_num(" << c[0] << ", " << c[1] << ")";
        EXPECT_TRUE(same({c[2]}, {max_num_lanes(Pair{c[0], c[0]}, Pair{c[1], c[1]})[1]}))
            << "max_num_lanes(" << c[0] << ", " << c[1] << ")";
    }
}

// The full report and its backtrace variable are tested from Python, in
// subprocesses; the allocation line has no way there. Under qemu-user the
// emulator adds a line of its own about the signal.
TEST(FailDeathTest, AllocationFailureIsOneLine) {
    EXPECT_DEATH(fail_allocation(4096),
                 "^memory allocation of 4096 bytes failed\n(qemu: [^\n]*\n)?$");
}

struct Precondition {
    const char* name;
    const char* source;
    std::function<void()> call;
    std::string message;
    friend void PrintTo(const Precondition& c, std::ostream* os) { *os << c.name; }
};

class KernelDeathTest : public ::testing::TestWithParam<Precondition> {};

// A kernel's precondition, checked once at its top, ends the process with
// the report naming the kernel's source.
TEST_P(KernelDeathTest, ReportsAndAborts) {
    const Precondition& c = GetParam();
    EXPECT_DEATH(c.call(), std::string("^\nthread '<unnamed>' panicked at core/src/") + c.source +
                               ".cpp:[0-9]+:[0-9]+:\n" + c.message + "\n");
}

// Series of n ones, and outputs of n elements.
Series in(std::size_t n) {
    static const Values ones(8, 1.0);
    return {ones.data(), n};
}
OutputSeries out(std::size_t n) {
    static Values buffer(8);
    return {buffer.data(), n};
}
std::string bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelDeathTest,
    ::testing::Values(
        Precondition{"sma_short_output", "sma", [] { sma(2, in(5), out(4)); }, bounds(4, 4)},
        Precondition{"ema_short_output", "ema", [] { ema(2, in(5), out(3)); }, bounds(3, 3)},
        Precondition{"macd_short_output", "macd",
                     [] { macd(1, 2, 1, in(5), out(5), out(5), out(4)); }, bounds(4, 4)},
        Precondition{"macd_periods_out_of_order", "macd",
                     [] { macd(3, 2, 1, in(5), out(5), out(5), out(5)); },
                     "MACD periods out of order: fast 3, slow 2, signal 1"},
        Precondition{"atr_short_low", "atr", [] { atr(2, in(5), in(4), in(5), out(5)); },
                     bounds(4, 4)},
        Precondition{"atr_short_close", "atr", [] { atr(2, in(5), in(5), in(3), out(5)); },
                     bounds(3, 3)},
        Precondition{"atr_short_output", "atr", [] { atr(2, in(5), in(5), in(5), out(4)); },
                     bounds(4, 4)},
        Precondition{"atr_output_before_first_average", "atr",
                     [] { atr(3, in(5), in(5), in(5), out(1)); }, bounds(1, 3)}),
    [](const ::testing::TestParamInfo<Precondition>& c) { return std::string(c.param.name); });

TEST(Vectors, ReproduceBitForBit) {
    std::ifstream recorded(QUORVANE_VECTORS);
    recorded.ignore(1000, '\n');
    for (const Vector& v : vectors()) {
        std::string kernel;
        std::vector<Period> periods(v.periods.size());
        recorded >> kernel;
        for (Period& period : periods) {
            recorded >> period;
        }
        ASSERT_TRUE(recorded && kernel == v.kernel && periods == v.periods)
            << QUORVANE_VECTORS << " is out of step at " << v.kernel << " " << v.periods[0];
        for (const Values& actual : v.outputs()) {
            std::size_t count = 0;
            recorded >> count;
            Values expected(count);
            for (double& x : expected) {
                std::uint64_t pattern = 0;
                recorded >> std::hex >> pattern >> std::dec;
                x = std::bit_cast<double>(pattern);
            }
            EXPECT_TRUE(same(padded(expected), actual)) << v.kernel << " " << v.periods[0];
        }
    }
}

}  // namespace
}  // namespace quorvane::testing
