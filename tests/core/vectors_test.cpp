// The kernels reproduce the outputs of the test vectors recorded on x86-64,
// on whatever architecture runs this test. A compiler that fuses a multiply
// and an add, or reorders a sum, changes these bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "series_testing.hpp"
#include "vector_cases.hpp"

namespace quorvane::testing {
namespace {

std::string hex(double x) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(bits(x)));
    return text;
}

// Exact bits, except that a NaN made by arithmetic (any pattern but the
// no-value NaN's) only has to be a NaN: its payload is the processor's.
::testing::AssertionResult reproduces(std::istream& recorded, const Values& actual) {
    std::size_t count = 0;
    recorded >> count;
    if (!recorded || count != actual.size()) {
        return ::testing::AssertionFailure() << "recorded length " << count;
    }
    // Every recorded value is read, also after a mismatch, so that the next
    // vector starts in step.
    std::size_t mismatches = 0;
    std::string first;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t pattern = 0;
        recorded >> std::hex >> pattern >> std::dec;
        const double expected = std::bit_cast<double>(pattern);
        const bool arithmetic_nan = std::isnan(expected) && pattern != no_value_bits;
        if (arithmetic_nan ? !std::isnan(actual[i]) : pattern != bits(actual[i])) {
            if (mismatches++ == 0) {
                first = "position " + std::to_string(i) + ": expected " + hex(expected) +
                        ", got " + hex(actual[i]);
            }
        }
    }
    if (mismatches != 0) {
        return ::testing::AssertionFailure() << mismatches << " of " << count
                                             << " values differ, first at " << first;
    }
    return ::testing::AssertionSuccess();
}

TEST(Vectors, ReproduceBitForBit) {
    std::ifstream recorded(QUORVANE_VECTORS);
    std::string comment;
    std::getline(recorded, comment);
    std::size_t checked = 0;
    const std::vector<Vector> all = vectors();
    for (const Vector& v : all) {
        std::string kernel;
        std::vector<Period> periods(v.periods.size());
        recorded >> kernel;
        for (Period& period : periods) {
            recorded >> period;
        }
        ASSERT_TRUE(recorded && kernel == v.kernel && periods == v.periods)
            << QUORVANE_VECTORS << " is out of step at " << v.kernel << " " << v.periods[0];
        for (const Values& actual : v.outputs()) {
            EXPECT_TRUE(reproduces(recorded, actual)) << v.kernel << " " << v.periods[0];
            checked += actual.size();
        }
    }
    std::printf("reproduced %zu output values of %zu vectors\n", checked, all.size());
}

}  // namespace
}  // namespace quorvane::testing
