// Bollinger Bands: the mean of the last `period` values (the middle band),
// and the middle plus and minus k times their population standard
// deviation (the upper and lower bands).
//
// The window's sums are kept about a base value near its mean and slid one
// value at a time; they are summed afresh over the kept window (two
// passes: the mean, then the deviations from it) every `period` steps and
// whenever the sums slid since the last fresh sum have grown too large
// against the squared deviations they leave, so that their rounding errors
// stay a bounded fraction of the result (docs/indicators.md derives it).
#pragma once

#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

struct Bbands {
    static constexpr std::string_view name = "bbands";
    static constexpr std::string_view batch_name = "indicator_bbands";
    static constexpr std::string_view class_name = "Bbands";
    static constexpr std::string_view title =
        "Bollinger Bands: the mean of the last `period` values, and it plus and minus k times "
        "their population standard deviation.";
    static constexpr std::string_view summary =
        "Bollinger Bands (upper, middle, lower), one position at a time.";
    static constexpr std::array<std::string_view, 2> periods{"period", "k"};
    static constexpr std::array<double, 1> reals{0.0};
    static constexpr std::array<Period, 2> defaults{5, descriptor::word(2.0)};
    static constexpr std::array<std::string_view, 1> inputs{"data"};
    static constexpr std::array<std::string_view, 3> outputs{"upper_output", "middle_output",
                                                             "lower_output"};
    static constexpr std::array<std::string_view, 1> values{"x"};
    static constexpr std::uint64_t single_tag = 0x51760027;
    static constexpr std::uint64_t universe_tag = 0x51760037;

    // Every period is valid (0 gives no values); k is finite and at least 0.
    static constexpr const char* period_error(const std::array<Period, 2>& p) noexcept {
        return descriptor::reals_within<Bbands>(p) ? nullptr
                                                   : "k must be a finite number of at least 0.0";
    }
    static constexpr std::array<descriptor::ArrayCheck, 8> array_checks{{
        {descriptor::Check::contiguous, 0, "Input array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "Output array length must match input"},
        {descriptor::Check::writeable, 1, "Output array must be writeable"},
        {descriptor::Check::writeable, 2, "Output array must be writeable"},
        {descriptor::Check::writeable, 3, "Output array must be writeable"},
    }};
    using Single = stepped::Stream<Bbands>;
    using Universe = stepped::Universe<Bbands>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;

    // A fresh sum is due once the budget (the squared sums since the last
    // one) passes this many times the squared deviations for each of its
    // terms: the slid sums then cancel more than this factor.
    static constexpr double budget_factor = 64.0;

    struct Constants {
        Period period;
        double length;   // the period as a double
        double inverse;  // 1 / length: a product per use, where a division
                         // would take several times as long
        double k;
    };
    static Constants constants(const std::array<Period, 2>& p) noexcept {
        const auto length = static_cast<double>(p[0]);
        return {p[0], length, 1.0 / length, descriptor::number(p[1])};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    template <class V>
    struct Lane {
        V base;     // the values are kept as their differences from this
        V sum;      // the window's differences from base
        V squares;  // their squares
        V budget;   // `squares` at the last fresh sum and at every step since
        V since;    // the steps since the last fresh sum
        V spoil;    // 0, or the NaN of the first value not finite
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.base);
        visit(lane.sum);
        visit(lane.squares);
        visit(lane.budget);
        visit(lane.since);
        visit(lane.spoil);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}; }

    // The window (x and the period - 1 values before it) summed afresh: the
    // mean of the differences from x, oldest first, times the inverse
    // makes base = x + that mean; then the differences from base, oldest first,
    // are summed, and their squares.
    template <class V, class Past>
    static Lane<V> fresh(const Constants& c, const V& x, const Past& past, V spoil) noexcept {
        V offsets{};
        for (std::uint64_t back = c.period - 1; back > 0; --back) {
            offsets = offsets + (past(back - 1, 0) - x);
        }
        Lane<V> lane{};
        lane.base = x + offsets * c.inverse;
        for (std::uint64_t back = c.period; back > 0; --back) {
            const V y = (back == 1 ? x : past(back - 2, 0)) - lane.base;
            lane.sum = lane.sum + y;
            lane.squares = lane.squares + y * y;
        }
        lane.budget = lane.squares;
        lane.since = V{};
        lane.spoil = spoil;
        return lane;
    }

    // spoil += x - x keeps the first NaN or infinity's NaN. From the first
    // full window on, each step slides the sums: with d = x - base and
    // o = oldest - base, sum += d - o, squares += (d - o) * (d + o),
    // budget += squares, since += 1. The squared deviations are
    // m2 = squares - sum * (sum * inverse), inverse = 1 / length. The window is summed afresh at
    // the first full window, and at a step where since reaches the length or
    // budget > (64 * m2) * (since + 1) (so also when m2 is negative). Then middle = base +
    // sum * inverse, width = k * sqrt(m2 * inverse), upper = middle + width,
    // lower = middle - width (m2 below 0 taken as 0); all three are spoil's NaN once spoil is one.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0) {
            out[0] = out[1] = out[2] = stepped::none<V>();
            return;
        }
        const V spoil = stepped::add(lane.spoil, x[0] - x[0]);
        lane.spoil = spoil;
        if (seen < c.period - 1) {
            out[0] = out[1] = out[2] = stepped::none<V>();
            return;
        }
        Lane<V> next = lane;
        V m2{};
        if (seen == c.period - 1) {
            next = fresh(c, x[0], past, spoil);
            m2 = next.squares - next.sum * (next.sum * c.inverse);
        } else {
            const V d = x[0] - lane.base;
            const V o = past(c.period - 1, 0) - lane.base;
            next.sum = lane.sum + (d - o);
            next.squares = lane.squares + (d - o) * (d + o);
            next.budget = lane.budget + next.squares;
            next.since = lane.since + 1.0;
            m2 = next.squares - next.sum * (next.sum * c.inverse);
            const auto due =
                next.since >= c.length || next.budget > (budget_factor * m2) * (next.since + 1.0);
            if (stepped::any(due)) {
                const Lane<V> again = fresh(c, x[0], past, spoil);
                const V again_m2 = again.squares - again.sum * (again.sum * c.inverse);
                next.base = due ? again.base : next.base;
                next.sum = due ? again.sum : next.sum;
                next.squares = due ? again.squares : next.squares;
                next.budget = due ? again.budget : next.budget;
                next.since = due ? again.since : next.since;
                m2 = due ? again_m2 : m2;
            }
        }
        lane = next;
        // Rounding may leave a fresh sum's m2 a little below 0.
        m2 = m2 < 0.0 ? V{} : m2;
        const V middle = next.base + next.sum * c.inverse;
        const V width = c.k * stepped::root(m2 * c.inverse);
        const auto spoiled = spoil != spoil;
        out[0] = spoiled ? spoil : middle + width;
        out[1] = spoiled ? spoil : middle;
        out[2] = spoiled ? spoil : middle - width;
    }
    // Before the first full window, and always with period 0, the lane is at
    // its start but for spoil (0 or a NaN); after, since counts below the
    // length.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        if (lane.spoil != 0.0 && lane.spoil == lane.spoil) {
            return false;
        }
        if (c.period == 0 || seen < c.period) {
            Lane<double> first = start(c);
            first.spoil = lane.spoil;
            return std::memcmp(&lane, &first, sizeof lane) == 0;
        }
        return lane.since >= 0.0 && lane.since < c.length &&
               lane.since == __builtin_floor(lane.since);
    }

    static constexpr stepped::Kernel<Bbands> kernel{};
};

}  // namespace quorvane::indicators
