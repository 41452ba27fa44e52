// Series: runs of binary64 values that the kernels read and write in place.
//
// A Series is a start address and an element count over caller-owned memory.
// The start need not be 8-byte aligned (an array over a foreign buffer may
// begin anywhere), so every element is moved with memcpy; compilers turn that
// into one plain load or store, and it keeps unaligned access defined.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quorvane {

// A window length in samples. Any value is accepted, 0 included.
using Period = std::uint64_t;

// The quiet NaN written at every position that holds no value.
inline constexpr std::uint64_t no_value_bits = 0x7FF8000000000000;
inline constexpr double no_value = std::bit_cast<double>(no_value_bits);

class Series {
public:
    constexpr Series() noexcept = default;
    Series(const void* data, std::size_t size) noexcept
        : bytes_(static_cast<const unsigned char*>(data)), size_(size) {}
    Series(std::span<const double> values) noexcept : Series(values.data(), values.size()) {}

    const void* data() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }

    // The `count` elements from `first` on.
    Series part(std::size_t first, std::size_t count) const noexcept {
        return {bytes_ + first * sizeof(double), count};
    }

    double operator[](std::size_t i) const noexcept {
        double value;
        std::memcpy(&value, bytes_ + i * sizeof(double), sizeof(double));
        return value;
    }

private:
    const unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

class OutputSeries {
public:
    constexpr OutputSeries() noexcept = default;
    OutputSeries(void* data, std::size_t size) noexcept
        : bytes_(static_cast<unsigned char*>(data)), size_(size) {}
    OutputSeries(std::span<double> values) noexcept : OutputSeries(values.data(), values.size()) {}

    void* data() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }

    OutputSeries part(std::size_t first, std::size_t count) const noexcept {
        return {bytes_ + first * sizeof(double), count};
    }

    void set(std::size_t i, double value) const noexcept {
        std::memcpy(bytes_ + i * sizeof(double), &value, sizeof(double));
    }
    // What was written at i.
    double operator[](std::size_t i) const noexcept { return Series(bytes_, size_)[i]; }

    // Writes the no-value NaN into positions [first, last).
    void fill_no_value(std::size_t first, std::size_t last) const noexcept {
        for (std::size_t i = first; i < last; ++i) {
            set(i, no_value);
        }
    }
    void fill_no_value() const noexcept { fill_no_value(0, size_); }

private:
    unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quorvane
