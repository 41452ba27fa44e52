// Helpers for the kernel tests: bit-level comparison and guarded buffers.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "quorvane/series.hpp"

namespace quorvane::testing {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// Equal bit for bit, except that any two NaNs match: the payload of a NaN
// produced by arithmetic is the platform's choice.
inline ::testing::AssertionResult same_values(const std::vector<double>& expected,
                                              const std::vector<double>& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure()
               << "sizes differ: " << expected.size() << " vs " << actual.size();
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool both_nan = std::isnan(expected[i]) && std::isnan(actual[i]);
        if (!both_nan && bits(expected[i]) != bits(actual[i])) {
            return ::testing::AssertionFailure()
                   << "position " << i << ": expected " << expected[i] << " (0x" << std::hex
                   << bits(expected[i]) << "), got " << actual[i] << " (0x" << bits(actual[i])
                   << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// An output Series with sentinel elements on both sides, to catch writes
// outside it.
class GuardedOutput {
public:
    static constexpr std::size_t guard = 8;
    static constexpr double sentinel = -12345.678;

    explicit GuardedOutput(std::size_t size) : size_(size), values_(size + 2 * guard, sentinel) {}
    OutputSeries series() { return {values_.data() + guard, size_}; }
    std::vector<double> values() const {
        const auto first = values_.begin() + static_cast<std::ptrdiff_t>(guard);
        return {first, first + static_cast<std::ptrdiff_t>(size_)};
    }
    bool guards_intact() const {
        for (std::size_t i = 0; i < guard; ++i) {
            if (bits(values_[i]) != bits(sentinel) ||
                bits(values_[guard + size_ + i]) != bits(sentinel)) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t size_;
    std::vector<double> values_;
};

// Runs a kernel of one input and one output, the output `output_size` long
// (the input's length unless given), and checks that nothing outside the
// output changed.
template <class Kernel>
std::vector<double> run_guarded(Kernel kernel, Period period, const std::vector<double>& data,
                                std::optional<std::size_t> output_size = std::nullopt) {
    GuardedOutput output(output_size.value_or(data.size()));
    kernel(period, Series(data), output.series());
    EXPECT_TRUE(output.guards_intact());
    return output.values();
}

// Prices of a seeded random walk, positive and of varied magnitude.
inline std::vector<double> random_walk(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> step(0.0, 0.01);
    std::vector<double> values(n);
    double price = 100.0;
    for (double& v : values) {
        price *= std::exp(step(engine));
        v = price;
    }
    return values;
}

}  // namespace quorvane::testing
