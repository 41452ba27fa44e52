// Average directional index (Wilder), with the directional indicators it is
// made of: the smoothed upward and downward moves of the highs and lows, as
// shares of the smoothed true range (+DI, -DI), and the smoothed share of
// their difference in their sum (ADX).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "quorvane/descriptor.hpp"
#include "quorvane/internal/steps.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Adx: the step's operations with the averages in
// locals, one loop for each stretch of bars over which the step takes the
// same choices (the first sums, the DX sums, the smoothing). The moves and
// true ranges, which carry nothing from bar to bar, are made a block at a
// time, two bars to an instruction, ahead of the averages. (Four to a
// vector is slower where there is no AVX: they are split, and the selects
// go lane by lane.)
template <class D>
struct AdxKernel : stepped::Kernel<D> {
    template <class... Args>
    void operator()(Args... args) const noexcept {
        stepped::gathered<D>(
            [](const auto& periods, const auto& in, const auto& out) { run(periods, in, out); },
            args...);
    }

    // Bar t's +DM, -DM and true range, one bar or a vector of them.
    template <class V>
    [[gnu::always_inline]] static void move(V h, V l, V previous_high, V previous_low,
                                            V previous_close, V& plus, V& minus,
                                            V& range) noexcept {
        const auto subtract = [](V a, V b) {
            if constexpr (std::is_same_v<V, double>) {
                return stepped::subtract(a, b);
            } else {
                return stepped::subtract_by_lanes(a, b);
            }
        };
        const V up = subtract(h, previous_high);
        const V down = subtract(previous_low, l);
        plus = stepped::nan_first(up, down, D::kept((up > down) & (up > 0.0), up));
        minus = stepped::nan_first(up, down, D::kept((down > up) & (down > 0.0), down));
        range = D::true_range_of(h, l, previous_close);
    }
    // Two bars, and two consecutive elements from i on.
    using Pair = double __attribute__((vector_size(16)));
    static Pair load(const void* bytes, std::size_t i) noexcept {
        Pair v;
        std::memcpy(&v, static_cast<const unsigned char*>(bytes) + i * sizeof(double), sizeof v);
        return v;
    }
    // f(t, +DM, -DM, true range) for each bar t in [from, to), from >= 1.
    template <class F>
    [[gnu::always_inline]] static void each(const std::array<Series, 3>& in, std::size_t from,
                                            std::size_t to, const F& f) noexcept {
        constexpr std::size_t block = 256;
        alignas(32) double plus[block];
        alignas(32) double minus[block];
        alignas(32) double range[block];
        const void* const high = in[0].data();
        const void* const low = in[1].data();
        const void* const close = in[2].data();
        for (std::size_t start = from; start < to; start += block) {
            const std::size_t count = std::min(block, to - start);
            std::size_t i = 0;
            for (; i + 2 <= count; i += 2) {
                const std::size_t t = start + i;
                Pair p;
                Pair m;
                Pair r;
                move(load(high, t), load(low, t), load(high, t - 1), load(low, t - 1),
                     load(close, t - 1), p, m, r);
                std::memcpy(plus + i, &p, sizeof p);
                std::memcpy(minus + i, &m, sizeof m);
                std::memcpy(range + i, &r, sizeof r);
            }
            for (; i < count; ++i) {
                const std::size_t t = start + i;
                move(in[0][t], in[1][t], in[0][t - 1], in[1][t - 1], in[2][t - 1], plus[i],
                     minus[i], range[i]);
            }
            for (i = 0; i < count; ++i) {
                f(start + i, plus[i], minus[i], range[i]);
            }
        }
    }

    template <std::size_t I, std::size_t O>
    static void run(const stepped::Periods<D>& periods, const std::array<Series, I>& in,
                    const std::array<OutputSeries, O>& out) noexcept {
        const std::size_t n = stepped::checked_length(in, out);
        const OutputSeries& adx_out = out[0];
        const OutputSeries& plus_out = out[1];
        const OutputSeries& minus_out = out[2];
        const auto c = D::constants(periods);
        // The bar of the first DIs, and of the first ADX: n if they never
        // come.
        const std::size_t first = c.period == 0 || c.period >= n ? n : c.period;
        const std::size_t seed = c.seed >= n ? n : c.seed;
        plus_out.fill_no_value(0, first);
        minus_out.fill_no_value(0, first);
        adx_out.fill_no_value(0, std::max(first, seed));
        for (const OutputSeries& series : out) {
            series.fill_no_value(n, series.size());
        }
        if (first == n) {
            return;
        }
        double plus = 0.0;
        double minus = 0.0;
        double range = 0.0;
        double adx = 0.0;
        double dx = 0.0;
        // Bar t's DIs from the averages, written, and its DX.
        const auto directional = [&](std::size_t t) {
            const double plus_di = range == 0.0 ? 0.0 : 100.0 * (plus / range);
            const double minus_di = range == 0.0 ? 0.0 : 100.0 * (minus / range);
            plus_out.set(t, plus_di);
            minus_out.set(t, minus_di);
            const double spread = stepped::subtract(plus_di, minus_di);
            const double total = stepped::add(plus_di, minus_di);
            dx = total == 0.0 ? 0.0 : 100.0 * (D::magnitude(spread) / total);
        };
        // The averages at bar t, the first ones or later ones.
        const auto average = [&](std::size_t t, double p, double m, double r, bool seeding) {
            D::smooth(c, plus, p, seeding);
            D::smooth(c, minus, m, seeding);
            D::smooth(c, range, r, seeding);
            directional(t);
        };
        each(in, 1, first, [&](std::size_t, double p, double m, double r) {
            plus = stepped::add(plus, p);
            minus = stepped::add(minus, m);
            range = stepped::add(range, r);
        });
        each(in, first, first + 1,
             [&](std::size_t t, double p, double m, double r) { average(t, p, m, r, true); });
        each(in, first + 1, std::min(seed + 1, n),
             [&](std::size_t t, double p, double m, double r) {
                 adx = stepped::add(adx, dx);
                 average(t, p, m, r, false);
             });
        if (seed == n) {
            return;
        }
        D::smooth(c, adx, dx, true);
        adx_out.set(seed, adx);
        each(in, seed + 1, n, [&](std::size_t t, double p, double m, double r) {
            average(t, p, m, r, false);
            D::smooth(c, adx, dx, false);
            adx_out.set(t, adx);
        });
    }
};

struct Adx : descriptor::OnePeriod {
    static constexpr std::string_view name = "adx";
    static constexpr std::string_view batch_name = "indicator_adx";
    static constexpr std::string_view class_name = "Adx";
    static constexpr std::string_view title =
        "Average directional index (Wilder) with the directional indicators +DI and -DI.";
    static constexpr std::string_view summary =
        "Average directional index, +DI and -DI, one bar at a time.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::array<std::string_view, 3> inputs{"high", "low", "close"};
    static constexpr std::array<std::string_view, 3> outputs{"adx_output", "plus_di_output",
                                                             "minus_di_output"};
    static constexpr std::array<std::string_view, 3> values{"high", "low", "close"};
    static constexpr std::array<descriptor::ArrayCheck, 10> array_checks{{
        {descriptor::Check::contiguous, 0, "High array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Low array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Close array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "All arrays must have the same length"},
        {descriptor::Check::contiguous, 3, "ADX output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 4, "+DI output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 5, "-DI output array must be C-contiguous and float64"},
        {descriptor::Check::writeable, 3, "ADX output array must be writeable"},
        {descriptor::Check::writeable, 4, "+DI output array must be writeable"},
        {descriptor::Check::writeable, 5, "-DI output array must be writeable"},
    }};
    using Single = stepped::Stream<Adx>;
    using Universe = stepped::Universe<Adx>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;
    static constexpr std::uint64_t single_tag = 0x5176002A;
    static constexpr std::uint64_t universe_tag = 0x5176003A;

    struct Constants {
        Period period;
        Position seed;  // seen at the first ADX: 2 * period - 1, or never
        double length;  // the period as a double, the first averages' divisor
        double k;       // 1 / length, the new value's weight in the smoothing
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        const auto length = static_cast<double>(p[0]);
        constexpr Period most = std::numeric_limits<Period>::max();
        const Position seed = p[0] > most / 2 ? most : 2 * p[0] - 1;
        return {p[0], seed, length, 1.0 / length};
    }
    static std::uint64_t history(const Constants&) noexcept { return 1; }
    // The step's choices are the same from the bar after the first ADX on
    // (from the first with period 0); a seed never reached keeps its own
    // value.
    static std::uint64_t warm(const Constants& c) noexcept {
        if (c.period == 0) {
            return 1;
        }
        return c.seed == std::numeric_limits<Position>::max() ? c.seed : c.seed + 1;
    }

    template <class V>
    struct Lane {
        V plus;   // the sum of the first +DMs, then their average
        V minus;  // likewise for the -DMs
        V range;  // likewise for the true ranges
        V adx;    // the sum of the first DXs, then their average
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.plus);
        visit(lane.minus);
        visit(lane.range);
        visit(lane.adx);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0, 0.0, 0.0}; }

    // ATR's true range, one lane or a vector of them.
    template <class V>
    [[gnu::always_inline]] static V true_range_of(V high, V low, V previous_close) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return true_range(high, low, previous_close);
        } else {
            return true_range_lanes(high, low, previous_close);
        }
    }

    // x where `keep`, else +0.0, with no branch: a price's moves go up and
    // down at random, and a branch on them is mispredicted half the time.
    template <class V, class Mask>
    [[gnu::always_inline]] static V kept(Mask keep, V x) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
            return std::bit_cast<double>(bits &
                                         (std::uint64_t{0} - static_cast<std::uint64_t>(keep)));
        } else {
            return keep ? x : V{};
        }
    }
    // |x|, likewise with no branch.
    template <class V>
    [[gnu::always_inline]] static V magnitude(V x) noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return std::fabs(x);
        } else {
            using Bits = decltype(x != x);
            return std::bit_cast<V>(std::bit_cast<Bits>(x) & 0x7FFFFFFFFFFFFFFF);
        }
    }

    // The first `period` summed in order from +0.0 and divided by the
    // period, then average + k * (value - average), as ATR and RSI smooth.
    template <class V>
    [[gnu::always_inline]] static void smooth(const Constants& c, V& average, V value,
                                              bool first) noexcept {
        if (first) {
            average = stepped::add(average, value) / c.length;
        } else {
            average = stepped::add(average, c.k * stepped::subtract(value, average));
        }
    }

    // up = high - previous high and down = previous low - low; +DM is up
    // where up > down and up > 0, else 0, -DM likewise, both NaN where up
    // or down is. The DMs and ATR's true range are smoothed alike; +DI =
    // 100 * (+DM / TR), 0 where TR is 0; DX = 100 * (|+DI - -DI| / (+DI +
    // -DI)), 0 where the sum is 0. ADX smooths DX the same way, its first
    // average over the first `period` DXs. A NaN, once in an average,
    // stays there. Period 0 gives no values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        const V none = stepped::none<V>();
        out[0] = out[1] = out[2] = none;
        if (c.period == 0 || seen == 0) {
            return;
        }
        const V zero{};
        const V up = stepped::subtract(x[0], past(0, 0));
        const V down = stepped::subtract(past(0, 1), x[1]);
        const V plus = stepped::nan_first(up, down, kept((up > down) & (up > 0.0), up));
        const V minus = stepped::nan_first(up, down, kept((down > up) & (down > 0.0), down));
        const V range = true_range_of(x[0], x[1], past(0, 2));
        if (seen < c.period) {
            lane.plus = stepped::add(lane.plus, plus);
            lane.minus = stepped::add(lane.minus, minus);
            lane.range = stepped::add(lane.range, range);
            return;
        }
        const bool first = seen == c.period;
        smooth(c, lane.plus, plus, first);
        smooth(c, lane.minus, minus, first);
        smooth(c, lane.range, range, first);
        const V plus_di = lane.range == 0.0 ? zero : 100.0 * (lane.plus / lane.range);
        const V minus_di = lane.range == 0.0 ? zero : 100.0 * (lane.minus / lane.range);
        const V spread = stepped::subtract(plus_di, minus_di);
        const V total = stepped::add(plus_di, minus_di);
        const V dx = total == 0.0 ? zero : 100.0 * (magnitude(spread) / total);
        out[1] = plus_di;
        out[2] = minus_di;
        if (seen < c.seed) {
            lane.adx = stepped::add(lane.adx, dx);
            return;
        }
        smooth(c, lane.adx, dx, seen == c.seed);
        out[0] = lane.adx;
    }
    // Before the first move, and always with period 0, the lane is at its
    // start; the DXs are summed only once the DIs have begun.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        if (seen <= 1 || c.period == 0) {
            return std::memcmp(&lane, &first, sizeof lane) == 0;
        }
        return seen > c.period || std::memcmp(&lane.adx, &first.adx, sizeof lane.adx) == 0;
    }

    static constexpr AdxKernel<Adx> kernel{};
};

}  // namespace quorvane::indicators
