#include <gtest/gtest.h>

#include "quorvane/failure.hpp"

namespace quorvane {
namespace {

// The full report and its backtrace variable are tested from Python, in
// subprocesses; the allocation line has no way there.
TEST(FailDeathTest, AllocationFailureIsOneLine) {
    EXPECT_DEATH(fail_allocation(4096), "^memory allocation of 4096 bytes failed\n$");
}

}  // namespace
}  // namespace quorvane
