#include <gtest/gtest.h>

#include "quorvane/failure.hpp"

namespace quorvane {
namespace {

// The full report and its backtrace variable are tested from Python, in
// subprocesses; the allocation line has no way there.
TEST(FailDeathTest, AllocationFailureIsOneLine) {
    // Under qemu-user the emulator adds a line of its own about the signal.
    EXPECT_DEATH(fail_allocation(4096),
                 "^memory allocation of 4096 bytes failed\n(qemu: [^\n]*\n)?$");
}

}  // namespace
}  // namespace quorvane
