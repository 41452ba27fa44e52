// Helpers for the kernel tests: bit-level comparison and guarded buffers.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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
// outside it. The Series starts `misalign` bytes past an 8-byte boundary.
class GuardedOutput {
public:
    static constexpr std::size_t guard = 8;
    static constexpr double sentinel = -12345.678;

    explicit GuardedOutput(std::size_t size, std::size_t misalign = 0)
        : size_(size), misalign_(misalign), bytes_((size + 2 * guard + 1) * sizeof(double)) {
        for (std::size_t i = 0; i < size + 2 * guard; ++i) {
            put(i, sentinel);
        }
    }
    OutputSeries series() { return {bytes_.data() + misalign_ + guard * sizeof(double), size_}; }
    std::vector<double> values() const {
        std::vector<double> out(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            out[i] = get(guard + i);
        }
        return out;
    }
    bool guards_intact() const {
        for (std::size_t i = 0; i < guard; ++i) {
            if (bits(get(i)) != bits(sentinel) || bits(get(guard + size_ + i)) != bits(sentinel)) {
                return false;
            }
        }
        return true;
    }

private:
    void put(std::size_t i, double v) {
        std::memcpy(bytes_.data() + misalign_ + i * sizeof(double), &v, sizeof v);
    }
    double get(std::size_t i) const {
        double v;
        std::memcpy(&v, bytes_.data() + misalign_ + i * sizeof(double), sizeof v);
        return v;
    }

    std::size_t size_;
    std::size_t misalign_;
    std::vector<unsigned char> bytes_;
};

// Input values stored `misalign` bytes past an 8-byte boundary.
class UnalignedInput {
public:
    UnalignedInput(const std::vector<double>& values, std::size_t misalign)
        : size_(values.size()), misalign_(misalign), bytes_(values.size() * sizeof(double) + 8) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::memcpy(bytes_.data() + misalign + i * sizeof(double), &values[i], sizeof(double));
        }
    }
    Series series() const { return {bytes_.data() + misalign_, size_}; }

private:
    std::size_t size_;
    std::size_t misalign_;
    std::vector<unsigned char> bytes_;
};

// Runs a kernel of one input and one output over `data`, both `misalign`
// bytes off alignment, and checks that nothing outside the output changed.
template <class Kernel>
std::vector<double> run_guarded(Kernel kernel, Period period, const std::vector<double>& data,
                                std::size_t misalign = 0) {
    GuardedOutput output(data.size(), misalign);
    kernel(period, UnalignedInput(data, misalign).series(), output.series());
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
