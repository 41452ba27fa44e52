// Williams %R: where the close lies below the highest high of the last
// `period` bars, as a share of their range: 0 at the high, -100 at the low.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators/extremes.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Willr: the step's operations block by block, so
// that no bar asks where it lies in its block, with the suffixes read from
// the input. Before a NaN or an infinity the extremes compare finite values
// alone; from the first one on every value is the step's bad mark.
template <class D>
struct WillrKernel : stepped::Kernel<D> {
    template <std::size_t I, std::size_t O>
    static void run(const stepped::Periods<D>& periods, const std::array<Series, I>& in,
                    const std::array<OutputSeries, O>& out, double* work) noexcept {
        const std::size_t n = stepped::checked_length(in, out);
        const Series& high = in[0];
        const Series& low = in[1];
        const Series& close = in[2];
        const OutputSeries& output = out[0];
        const std::size_t period = periods[0] > n ? n + 1 : static_cast<std::size_t>(periods[0]);
        const std::size_t first = period == 0 ? n : period - 1;  // the first bar with a value
        output.fill_no_value(0, std::min(first, n));
        output.fill_no_value(n, output.size());
        if (period == 0) {
            return;
        }
        double mark = 0.0;
        const std::size_t bad = Extremes::walk(
            period, first, high, low, close, n, work, mark,
            [&](std::size_t t, double highest, double lowest) {
                const double range = stepped::subtract(highest, lowest);
                output.set(t, range == 0.0
                                  ? 0.0
                                  : -100.0 * (stepped::subtract(highest, close[t]) / range));
            });
        for (std::size_t u = std::max(bad, first); u < n; ++u) {
            output.set(u, stepped::add(0.0, mark));
        }
    }
};

struct Willr : descriptor::OneBar<stepped::Stream<Willr>, stepped::Universe<Willr>> {
    static constexpr std::string_view name = "willr";
    static constexpr std::string_view batch_name = "indicator_willr";
    static constexpr std::string_view class_name = "Willr";
    static constexpr std::string_view title =
        "Williams %R, the close's distance below the recent high, as a share of the range.";
    static constexpr std::string_view summary = "Williams %R, one bar at a time.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::uint64_t single_tag = 0x51760029;
    static constexpr std::uint64_t universe_tag = 0x51760039;

    struct Constants {
        Period period;
        double length;  // the period as a double
        double first;   // bars before the first value, as a double
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        return {p[0], static_cast<double>(p[0]), p[0] == 0 ? 0.0 : static_cast<double>(p[0] - 1)};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }
    // The window's block suffixes, highs then lows (see Extremes).
    static std::size_t work(const Constants& c, std::uint64_t bars) noexcept {
        if (c.period == 0 || bars < c.period) {
            return 0;
        }
        return c.period > SIZE_MAX / 2 ? SIZE_MAX : 2 * c.period;
    }

    template <class V>
    struct Lane {
        V bad;    // +0.0, or a NaN once a NaN or an infinity came in
        V count;  // bars seen, up to `period`
        V phase;  // the next bar's place in its block
        V high;   // the block's highest high so far
        V low;    // and its lowest low
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.bad);
        visit(lane.count);
        visit(lane.phase);
        visit(lane.high);
        visit(lane.low);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0, 0.0, 0.0, 0.0}; }

    // -100 * ((highest - close) / (highest - lowest)), 0 where the range is
    // 0; from bar period - 1. A NaN or an infinity makes that value and
    // every later one NaN. Period 0 gives no values.
    template <class Past>
    static void step(const Constants& c, Lane<double>& lane, Position, const double* x,
                     const Past& past, double* out, double* work) noexcept {
        out[0] = no_value;
        if (c.period == 0) {
            return;
        }
        lane.bad =
            stepped::add(lane.bad, stepped::add(stepped::add(x[0] * 0.0, x[1] * 0.0), x[2] * 0.0));
        const double seen = lane.count;
        lane.count = seen < c.first + 1.0 ? seen + 1.0 : seen;
        Extremes::step(c.period, c.length, lane.phase, lane.high, lane.low, seen, x[0], x[1], past,
                       work);
        if (seen < c.first) {
            return;
        }
        double highest = 0;
        double lowest = 0;
        Extremes::window(c.period, lane.phase, lane.high, lane.low, work, highest, lowest);
        const double range = stepped::subtract(highest, lowest);
        const double value =
            range == 0.0 ? 0.0 : -100.0 * (stepped::subtract(highest, x[2]) / range);
        out[0] = lane.bad != lane.bad ? lane.bad : value;
    }

    // The count and the block's place as `seen` bars make them while the
    // lane still counts; the bad mark +0.0 or a NaN; before the first bar
    // (and always with period 0) the lane at its start.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        if (c.period == 0 || seen == 0) {
            return std::memcmp(&lane, &first, sizeof lane) == 0;
        }
        const double place = lane.phase;
        return (lane.bad != lane.bad || std::memcmp(&lane.bad, &first.bad, sizeof lane.bad) == 0) &&
               lane.count == static_cast<double>(std::min(seen, c.period)) && place >= 0.0 &&
               place < static_cast<double>(c.period) && place == std::floor(place) &&
               (seen > c.period || place == static_cast<double>(seen % c.period));
    }
    template <class Past>
    static bool check(const Constants& c, const Lane<double>& lane, Position seen, const Past& past,
                      const double* work) noexcept {
        return c.period == 0 || seen == 0 ||
               Extremes::valid(c.period, lane.phase, lane.high, lane.low, seen, past, work);
    }

    static constexpr WillrKernel<Willr> kernel{};
};

}  // namespace quorvane::indicators
