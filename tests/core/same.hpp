// Whether two runs of outputs agree bit for bit, for the GoogleTest suites.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "kernels.hpp"

namespace quorvane::testing {

inline std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

// An expected NaN other than the no-value NaN was made by arithmetic: its
// payload is the processor's, so any NaN matches it.
inline ::testing::AssertionResult same(const Values& expected, const Values& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure() << "length " << actual.size();
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool any_nan = std::isnan(expected[i]) && bits(expected[i]) != no_value_bits;
        if (any_nan ? !std::isnan(actual[i]) : bits(expected[i]) != bits(actual[i])) {
            return ::testing::AssertionFailure()
                   << "position " << i << ": expected " << std::hex << bits(expected[i]) << ", got "
                   << bits(actual[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace quorvane::testing
