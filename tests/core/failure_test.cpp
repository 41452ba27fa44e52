#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane {
namespace {

// The full report and its backtrace variable are tested from Python, in
// subprocesses; the allocation line has no way there.
TEST(FailDeathTest, AllocationFailureIsOneLine) {
    // Under qemu-user the emulator adds a line of its own about the signal.
    EXPECT_DEATH(fail_allocation(4096),
                 "^memory allocation of 4096 bytes failed\n(qemu: [^\n]*\n)?$");
}

struct Precondition {
    const char* name;
    const char* source;
    std::function<void()> call;
    const char* message;
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

std::vector<double> values(std::size_t n) { return std::vector<double>(n, 1.0); }

void run_single(void (*kernel)(Period, Series, OutputSeries) noexcept, std::size_t output) {
    std::vector<double> out(output);
    kernel(2, Series(values(5)), OutputSeries(out));
}

void run_atr(std::size_t low, std::size_t close, std::size_t output, Period period) {
    std::vector<double> out(output);
    atr(period, Series(values(5)), Series(values(low)), Series(values(close)), OutputSeries(out));
}

void run_macd(Period fast, Period slow, Period signal, std::size_t last_output) {
    std::vector<double> full(5), last(last_output);
    macd(fast, slow, signal, Series(values(5)), OutputSeries(full), OutputSeries(full),
         OutputSeries(last));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelDeathTest,
    ::testing::Values(
        Precondition{"sma_short_output", "sma", [] { run_single(sma, 4); },
                     "index out of bounds: the len is 4 but the index is 4"},
        Precondition{"ema_short_output", "ema", [] { run_single(ema, 3); },
                     "index out of bounds: the len is 3 but the index is 3"},
        Precondition{"macd_short_output", "macd", [] { run_macd(1, 2, 1, 4); },
                     "index out of bounds: the len is 4 but the index is 4"},
        Precondition{"macd_periods_out_of_order", "macd", [] { run_macd(3, 2, 1, 5); },
                     "MACD periods out of order: fast 3, slow 2, signal 1"},
        Precondition{"atr_short_low", "atr", [] { run_atr(4, 5, 5, 2); },
                     "index out of bounds: the len is 4 but the index is 4"},
        Precondition{"atr_short_close", "atr", [] { run_atr(5, 3, 5, 2); },
                     "index out of bounds: the len is 3 but the index is 3"},
        Precondition{"atr_short_output", "atr", [] { run_atr(5, 5, 4, 2); },
                     "index out of bounds: the len is 4 but the index is 4"},
        Precondition{"atr_output_before_first_average", "atr", [] { run_atr(5, 5, 1, 3); },
                     "index out of bounds: the len is 1 but the index is 3"}),
    [](const ::testing::TestParamInfo<Precondition>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quorvane
