// Stochastic oscillator (slow): where the close lies in the range of the
// last `fastk_period` bars, 0 at the lowest low and 100 at the highest high
// (fast %K), its simple moving average (slow %K), and that one's (slow %D).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators/extremes.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Stoch: the step's operations over Extremes' walk,
// with the running sums in locals and each smoothing's ring of exactly its
// period in the storage after the suffixes. From the first NaN or infinity
// on every value is the step's bad mark.
template <class D>
struct StochKernel : stepped::Kernel<D> {
    template <std::size_t I, std::size_t O>
    static void run(const stepped::Periods<D>& periods, const std::array<Series, I>& in,
                    const std::array<OutputSeries, O>& out, double* work) noexcept {
        const std::size_t n = stepped::checked_length(in, out);
        const OutputSeries& slowk = out[0];
        const OutputSeries& slowd = out[1];
        slowk.fill_no_value(n, slowk.size());
        slowd.fill_no_value(n, slowd.size());
        // Periods of 0 give no values, as do ones whose first value lies
        // past the end.
        if (std::ranges::any_of(periods, [&](Period p) { return p == 0 || p > n; }) ||
            periods[0] + periods[1] + periods[2] - 3 >= n) {
            slowk.fill_no_value(0, n);
            slowd.fill_no_value(0, n);
            return;
        }
        const auto period = static_cast<std::size_t>(periods[0]);
        const auto k_period = static_cast<std::size_t>(periods[1]);
        const auto d_period = static_cast<std::size_t>(periods[2]);
        const std::size_t first = period + k_period + d_period - 3;
        slowk.fill_no_value(0, first);
        slowd.fill_no_value(0, first);
        const double k_scale = 1.0 / static_cast<double>(k_period);
        const double d_scale = 1.0 / static_cast<double>(d_period);
        double* const k_ring = work + 2 * period;
        double* const d_ring = k_ring + k_period;
        double k_sum = -0.0;
        double d_sum = -0.0;
        std::size_t k_at = 0;  // the ring slot of the next value, and the
        std::size_t d_at = 0;  // value it holds drops as that comes in
        // SMA's running sum of `length` values, `count` having come before
        // this one.
        const auto smooth = [](std::size_t count, std::size_t length, double& sum, double* ring,
                               std::size_t& at, double value) {
            sum = count < length ? stepped::add(sum, value)
                                 : stepped::add(sum, stepped::subtract(value, ring[at]));
            ring[at] = value;
            at = at + 1 == length ? 0 : at + 1;
        };
        const Series& close = in[2];
        double mark = 0.0;
        const std::size_t bad = Extremes::walk(
            period, period - 1, in[0], in[1], close, n, work, mark,
            [&](std::size_t t, double highest, double lowest) {
                const double range = stepped::subtract(highest, lowest);
                const double fast =
                    range == 0.0 ? 0.0 : 100.0 * (stepped::subtract(close[t], lowest) / range);
                const std::size_t j = t - (period - 1);  // fast %K values before this one
                smooth(j, k_period, k_sum, k_ring, k_at, fast);
                if (j + 1 < k_period) {
                    return;
                }
                const double k = k_scale * k_sum;
                const std::size_t m = j + 1 - k_period;  // likewise slow %K
                smooth(m, d_period, d_sum, d_ring, d_at, k);
                if (m + 1 < d_period) {
                    return;
                }
                slowk.set(t, k);
                slowd.set(t, d_scale * d_sum);
            });
        for (std::size_t u = std::max(bad, first); u < n; ++u) {
            slowk.set(u, stepped::add(0.0, mark));
            slowd.set(u, stepped::add(0.0, mark));
        }
    }
};

struct Stoch {
    static constexpr std::string_view name = "stoch";
    static constexpr std::string_view batch_name = "indicator_stoch";
    static constexpr std::string_view class_name = "Stoch";
    static constexpr std::string_view title =
        "Stochastic oscillator, the close's place in the recent range, smoothed twice.";
    static constexpr std::string_view summary =
        "Slow stochastic oscillator (slow %K, slow %D), one bar at a time.";
    static constexpr std::array<std::string_view, 3> periods{"fastk_period", "slowk_period",
                                                             "slowd_period"};
    static constexpr std::array<Period, 3> defaults{5, 3, 3};
    static constexpr std::array<std::string_view, 3> inputs{"high", "low", "close"};
    static constexpr std::array<std::string_view, 2> outputs{"slowk_output", "slowd_output"};
    static constexpr std::array<std::string_view, 3> values{"high", "low", "close"};
    static constexpr std::uint64_t single_tag = 0x51760028;
    static constexpr std::uint64_t universe_tag = 0x51760038;

    // Every period is valid; 0 gives no values.
    static constexpr const char* period_error(const std::array<Period, 3>&) noexcept {
        return nullptr;
    }
    static constexpr std::array<descriptor::ArrayCheck, 8> array_checks{{
        {descriptor::Check::contiguous, 0, "High array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Low array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Close array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "All arrays must have the same length"},
        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 4, "Output array must be C-contiguous and float64"},
        {descriptor::Check::writeable, 3, "Output array must be writeable"},
        {descriptor::Check::writeable, 4, "Output array must be writeable"},
    }};
    using Single = stepped::Stream<Stoch>;
    using Universe = stepped::Universe<Stoch>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;

    struct Constants {
        Period period;  // fastk_period
        Period slowk;
        Period slowd;
        bool off;           // a period is 0
        Position slow;      // bars before the first slow %K
        Position first;     // bars before the first value
        double length;      // fastk_period as a double
        double fast_from;   // bars before the first fast %K, as a double
        double slow_from;   // likewise the first slow %K
        double value_from;  // and the first value
        double k_scale;     // 1 / slowk_period
        double d_scale;     // 1 / slowd_period
    };
    static Position plus(Position a, Position b) noexcept {
        return a > std::numeric_limits<Position>::max() - b ? std::numeric_limits<Position>::max()
                                                            : a + b;
    }
    static Constants constants(const std::array<Period, 3>& p) noexcept {
        Constants c{p[0], p[1], p[2], p[0] == 0 || p[1] == 0 || p[2] == 0, 0, 0, 0, 0, 0, 0, 0, 0};
        if (!c.off) {
            c.slow = plus(p[0] - 1, p[1] - 1);
            c.first = plus(c.slow, p[2] - 1);
            c.length = static_cast<double>(p[0]);
            c.fast_from = static_cast<double>(p[0] - 1);
            c.slow_from = static_cast<double>(c.slow);
            c.value_from = static_cast<double>(c.first);
            c.k_scale = 1.0 / static_cast<double>(p[1]);
            c.d_scale = 1.0 / static_cast<double>(p[2]);
        }
        return c;
    }
    // The bars a window reads and the fast %K values the smoothing drops.
    static std::uint64_t history(const Constants& c) noexcept {
        return c.off ? 0 : plus(c.period, c.slowk - 1);
    }
    static std::uint64_t warm(const Constants& c) noexcept { return c.off ? 0 : plus(c.first, 1); }
    // The window's suffixes (highs, lows), then a ring of slowk_period + 1
    // fast %K and one of slowd_period + 1 slow %K values, interleaved (fast
    // %K k at 2k, slow %K k at 2k + 1) so that they grow with the bars, as
    // far as they reach, without moving.
    static std::size_t work(const Constants& c, std::uint64_t bars) noexcept {
        if (c.off || bars < c.period) {
            return 0;
        }
        // One slot more than the bars fill: a peek steps one bar further.
        const std::uint64_t slots = std::min(std::max(c.slowk, c.slowd), bars - c.period + 1) + 1;
        if (c.period > SIZE_MAX / 4 || slots > SIZE_MAX / 4) {
            return SIZE_MAX;
        }
        return 2 * (c.period + slots);
    }

    template <class V>
    struct Lane {
        V bad;     // +0.0, or a NaN once a NaN or an infinity came in
        V count;   // bars seen, up to the first value's
        V phase;   // the next bar's place in its block
        V high;    // the block's highest high so far
        V low;     // and its lowest low
        V k_next;  // where the next fast %K goes in its ring
        V k_sum;   // the running sum of the last slowk_period fast %K
        V d_next;  // likewise for the slow %K
        V d_sum;
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.bad);
        visit(lane.count);
        visit(lane.phase);
        visit(lane.high);
        visit(lane.low);
        visit(lane.k_next);
        visit(lane.k_sum);
        visit(lane.d_next);
        visit(lane.d_sum);
    }
    static Lane<double> start(const Constants&) noexcept {
        return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.0, 0.0, -0.0};
    }

    // fast %K = 100 * ((close - lowest) / (highest - lowest)), 0 where the
    // range is 0; each smoothing is SMA's running sum (the first ones summed
    // from -0.0 in order, then sum + (new - dropped)) times 1 / period.
    // Both outputs start at bar fastk + slowk + slowd - 3. A NaN or an
    // infinity makes that value and every later one NaN. `work` is null
    // only on a peek before any storage, which then writes none.
    template <class Past>
    static void step(const Constants& c, Lane<double>& lane, Position, const double* x,
                     const Past& past, double* out, double* work) noexcept {
        out[0] = no_value;
        out[1] = no_value;
        if (c.off) {
            return;
        }
        lane.bad =
            stepped::add(lane.bad, stepped::add(stepped::add(x[0] * 0.0, x[1] * 0.0), x[2] * 0.0));
        const double seen = lane.count;
        lane.count = seen < c.value_from + 1.0 ? seen + 1.0 : seen;
        Extremes::step(c.period, c.length, lane.phase, lane.high, lane.low, seen, x[0], x[1], past,
                       work);
        if (seen < c.fast_from) {
            return;
        }
        double highest = 0;
        double lowest = 0;
        Extremes::window(c.period, lane.phase, lane.high, lane.low, work, highest, lowest);
        const double range = stepped::subtract(highest, lowest);
        const double fast = range == 0.0 ? 0.0 : 100.0 * (stepped::subtract(x[2], lowest) / range);
        const double slow = smooth(c.slowk, seen <= c.slow_from, lane.k_next, lane.k_sum, fast,
                                   work == nullptr ? nullptr : work + 2 * c.period);
        if (seen < c.slow_from) {
            return;
        }
        const double k = c.k_scale * slow;
        const double d = smooth(c.slowd, seen <= c.value_from, lane.d_next, lane.d_sum, k,
                                work == nullptr ? nullptr : work + 2 * c.period + 1);
        if (seen < c.value_from) {
            return;
        }
        const bool bad = lane.bad != lane.bad;
        out[0] = bad ? lane.bad : k;
        out[1] = bad ? lane.bad : c.d_scale * d;
    }
    // SMA's running sum over a ring of period + 1 values: the new value goes
    // where the one dropped a period ago came before, so a peek, which
    // writes it too, leaves the next update's reads alone.
    static double smooth(Period period, bool filling, double& next, double& sum, double value,
                         double* ring) noexcept {
        const auto at = static_cast<std::size_t>(next);
        const std::size_t after = at == period ? 0 : at + 1;
        sum = filling ? stepped::add(sum, value)
                      : stepped::add(sum, stepped::subtract(value, ring[2 * after]));
        if (ring != nullptr) {
            ring[2 * at] = value;
        }
        next = static_cast<double>(after);
        return sum;
    }

    static bool whole(double v, double below) noexcept {
        return v >= 0.0 && v < below && v == std::floor(v);
    }
    // Positions in their ranges and as `seen` bars make them while the lane
    // still counts them; the bad mark +0.0 or a NaN; before the first bar
    // (and always when a period is 0) the lane at its start.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        if (c.off || seen == 0) {
            return std::memcmp(&lane, &first, sizeof lane) == 0;
        }
        const auto ring = [&](Position from, Period period) {
            const Position written = seen <= from ? 0 : seen - from;
            return static_cast<double>(period == UINT64_MAX ? written : written % (period + 1));
        };
        const bool counting = seen <= c.first;
        return (lane.bad != lane.bad || std::memcmp(&lane.bad, &first.bad, sizeof lane.bad) == 0) &&
               lane.count == static_cast<double>(std::min(seen, plus(c.first, 1))) &&
               whole(lane.phase, static_cast<double>(c.period)) &&
               whole(lane.k_next, static_cast<double>(c.slowk) + 1.0) &&
               whole(lane.d_next, static_cast<double>(c.slowd) + 1.0) &&
               (!counting || (lane.phase == static_cast<double>(seen % c.period) &&
                              lane.k_next == ring(c.period - 1, c.slowk) &&
                              lane.d_next == ring(c.slow, c.slowd)));
    }
    // The window's storage, and the fast %K values the smoothing will drop,
    // as steps over the kept bars make them. (The slow %K values are running
    // sums' and the bars do not give them again.)
    template <class Past>
    static bool check(const Constants& c, const Lane<double>& lane, Position seen, const Past& past,
                      const double* work) noexcept {
        if (c.off || seen == 0) {
            return true;
        }
        if (!Extremes::valid(c.period, lane.phase, lane.high, lane.low, seen, past, work)) {
            return false;
        }
        if (lane.bad != lane.bad || seen < c.period) {
            return true;
        }
        const double* ring = work + 2 * c.period;
        const auto next = static_cast<std::size_t>(lane.k_next);
        for (std::uint64_t b = 0; b < c.slowk && b <= seen - c.period; ++b) {
            double highest = past(b, 0);
            double lowest = past(b, 1);
            for (std::uint64_t i = b + 1; i < b + c.period; ++i) {
                highest = past(i, 0) >= highest ? past(i, 0) : highest;
                lowest = past(i, 1) <= lowest ? past(i, 1) : lowest;
            }
            const double range = highest - lowest;
            const double fast = range == 0.0 ? 0.0 : 100.0 * ((past(b, 2) - lowest) / range);
            const std::size_t at = next > b ? next - 1 - b : next + c.slowk - b;
            if (std::memcmp(&fast, &ring[2 * at], sizeof fast) != 0) {
                return false;
            }
        }
        return true;
    }

    static constexpr StochKernel<Stoch> kernel{};
};

}  // namespace quorvane::indicators
