#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "quorvane/failure.hpp"

namespace quorvane {
namespace {

const std::string header =
    "^\nthread '<unnamed>' panicked at tests/core/failure_test.cpp:[0-9]+:[0-9]+:\n"
    "broken invariant\n";
const std::string note =
    "note: run with `QUORVANE_BACKTRACE=1` environment variable to display a backtrace\n$";

struct ReportCase {
    const char* name;
    const char* setting;  // nullptr: the variable is unset
    std::string report;
    friend void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }
};

class FailDeathTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(FailDeathTest, WritesTheReportAndAborts) {
    const ReportCase& c = GetParam();
    EXPECT_DEATH(
        {
            if (c.setting != nullptr) {
                setenv(backtrace_variable, c.setting, 1);
            } else {
                unsetenv(backtrace_variable);
            }
            fail("broken invariant");
        },
        c.report);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, FailDeathTest,
    ::testing::Values(ReportCase{"unset", nullptr, header + note},
                      ReportCase{"zero", "0", header + note},
                      // At least one frame, as glibc prints it, after the title.
                      ReportCase{"one", "1",
                                 header + "stack backtrace:\n[^\n]+\\[0x[0-9a-f]+\\]\n"},
                      ReportCase{"full", "full", header + "stack backtrace:\n"}),
    [](const ::testing::TestParamInfo<ReportCase>& c) { return std::string(c.param.name); });

TEST(FailDeathTest, AllocationFailureIsOneLine) {
    EXPECT_DEATH(fail_allocation(4096), "^memory allocation of 4096 bytes failed\n$");
}

}  // namespace
}  // namespace quorvane
