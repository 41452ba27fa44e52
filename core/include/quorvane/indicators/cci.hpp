// Commodity channel index (Lambert): how far the typical price stands from
// its mean over the window, in units of 0.015 times the window's mean
// absolute deviation from that mean. The deviation is about the current
// mean, so it cannot be slid from one window to the next: every step sums
// its whole window afresh, in a fixed order.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

struct Cci : descriptor::OnePeriod {
    static constexpr std::string_view name = "cci";
    static constexpr std::string_view batch_name = "indicator_cci";
    static constexpr std::string_view class_name = "Cci";
    static constexpr std::string_view title =
        "Commodity channel index, the typical price's distance from its mean in mean deviations.";
    static constexpr std::string_view summary = "Commodity channel index, one bar at a time.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::array<std::string_view, 3> inputs{"high", "low", "close"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 3> values{"high", "low", "close"};
    static constexpr std::uint64_t single_tag = 0x5176002B;
    static constexpr std::uint64_t universe_tag = 0x5176003B;

    // The inputs' layout is checked before the lengths, the output's after.
    static constexpr std::array<descriptor::ArrayCheck, 6> array_checks{{
        {descriptor::Check::contiguous, 0, "High array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Low array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Close array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "All arrays must have the same length"},
        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {descriptor::Check::writeable, 3, "Output array must be writeable"},
    }};

    using Single = stepped::Stream<Cci>;
    using Universe = stepped::Universe<Cci>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;

    // How many partial sums a window is summed in: element j of the window
    // (0 the oldest) goes to partial j % parts. Independent chains let the
    // additions overlap, where one chain waits on each sum in turn.
    static constexpr std::size_t parts = 4;

    struct Constants {
        Period period;
        double length;  // the period as a double, the divisor of both means
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        return {p[0], static_cast<double>(p[0])};
    }
    static std::uint64_t history(const Constants& c) noexcept {
        return c.period == 0 ? 0 : c.period - 1;
    }
    static std::uint64_t warm(const Constants& c) noexcept { return history(c); }

    // Nothing runs from one bar to the next: the window is the state.
    template <class V>
    struct Lane {};
    template <class L, class Visit>
    static void fields(L&, Visit&&) {}
    static Lane<double> start(const Constants&) noexcept { return {}; }

    // s = (high + low) + close, three times the typical price: the factor 3
    // cancels from the ratio, so no division by 3 is made. Over the window's
    // s, oldest first: sum into `parts` partial sums from -0.0, combined as
    // (p0 + p1) + (p2 + p3); mean = sum / length; deviation likewise of
    // |s - mean|; the value is (s_newest - mean) / (0.015 * (deviation /
    // length)), or 0 when the deviation is 0 (every s equal to the mean).
    // A NaN or an infinity gives NaN while it is in the window, and leaves
    // with it. Period 0 gives no values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>&, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0 || seen < c.period - 1) {
            out[0] = V{} + no_value;
            return;
        }
        const auto n = static_cast<std::size_t>(c.period);
        // Element j of the window (0 the oldest) is n - 1 - j bars back; the
        // newest, j = n - 1, is this bar's.
        const auto kept = [&](std::size_t j) {
            const std::uint64_t back = n - 2 - j;
            return stepped::add(stepped::add(past(back, 0), past(back, 1)), past(back, 2));
        };
        const V newest = stepped::add(stepped::add(x[0], x[1]), x[2]);
        const V mean = window_sum<V>(n, kept, newest) / c.length;
        const auto deviation = [&](std::size_t j) {
            return magnitude(stepped::subtract(kept(j), mean));
        };
        const V centred = stepped::subtract(newest, mean);
        const V spread = window_sum<V>(n, deviation, magnitude(centred)) / c.length;
        const V value = centred / (0.015 * spread);
        out[0] = spread == 0.0 ? V{} : value;
    }
    static bool valid(const Constants&, const Lane<double>&, Position) noexcept { return true; }

    static constexpr stepped::Kernel<Cci> kernel{};

private:
    using Bits = std::uint64_t __attribute__((vector_size(sizeof(lanes::Lanes))));

    // |v| by clearing the sign bit, on every path, so a NaN comes out the
    // same from a lane as from a scalar.
    template <class V>
    [[gnu::always_inline]] static V magnitude(V v) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return std::fabs(v);
        } else {
            return std::bit_cast<V>(std::bit_cast<Bits>(v) & 0x7FFFFFFFFFFFFFFFu);
        }
    }

    // element(0) + ... + element(n - 2) + last in the partial sums' order.
    template <class V, class Element>
    [[gnu::always_inline]] static V window_sum(std::size_t n, const Element& element,
                                               V last) noexcept {
        std::array<V, parts> partial{};
        partial.fill(-V{});
        std::size_t j = 0;
        for (; j + parts < n; j += parts) {
            for (std::size_t k = 0; k < parts; ++k) {
                partial[k] = stepped::add(partial[k], element(j + k));
            }
        }
        std::size_t k = 0;
        for (; j + 1 < n; ++j, ++k) {
            partial[k] = stepped::add(partial[k], element(j));
        }
        partial[k] = stepped::add(partial[k], last);
        return stepped::add(stepped::add(partial[0], partial[1]),
                            stepped::add(partial[2], partial[3]));
    }
};

}  // namespace quorvane::indicators
