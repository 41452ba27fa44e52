// Relative strength index (Wilder): the share of the smoothed gains in the
// smoothed movement, gains and losses being the rises and falls from one
// value to the next, each averaged by Wilder's smoothing.
#pragma once

#include <cstring>
#include <limits>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

struct Rsi : descriptor::OneSeries<stepped::Stream<Rsi>, stepped::Universe<Rsi>> {
    static constexpr std::string_view name = "rsi";
    static constexpr std::string_view batch_name = "indicator_rsi";
    static constexpr std::string_view class_name = "Rsi";
    static constexpr std::string_view title =
        "Relative strength index, Wilder's smoothing of the gains and losses.";
    static constexpr std::string_view summary = "Relative strength index, one position at a time.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::uint64_t single_tag = 0x51760026;
    static constexpr std::uint64_t universe_tag = 0x51760036;

    struct Constants {
        Period period;
        double length;  // the period as a double, the first averages' divisor
        double k;       // 1 / length, the new value's weight in the smoothing
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        const auto length = static_cast<double>(p[0]);
        return {p[0], length, 1.0 / length};
    }
    static std::uint64_t history(const Constants&) noexcept { return 1; }
    // The first average is made at `period` seen, the later ones alike; the
    // largest period, never reached, keeps its own value.
    static std::uint64_t warm(const Constants& c) noexcept {
        return c.period == std::numeric_limits<Period>::max() ? c.period : c.period + 1;
    }

    template <class V>
    struct Lane {
        V gain;  // the sum of the first gains, then their average
        V loss;  // likewise for the losses
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.gain);
        visit(lane.loss);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0, 0.0}; }

    // The change d = x - previous splits into gain = (d < 0 ? 0 : d) and
    // loss = gain - d, so a NaN change is NaN in both. The first
    // `period` of each are summed in order and the sum divided by the
    // period; each later average is average + k * (new - average), as
    // ATR's. The value is 100 * (gain / (gain + loss)), the textbook
    // 100 - 100 / (1 + gain / loss) with one division and no cancellation
    // near 0, or 50 when both averages are zero. A NaN, once in an
    // average, stays there. Period 0 gives no values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0 || seen == 0) {
            out[0] = stepped::none<V>();
            return;
        }
        const V d = stepped::subtract(x[0], past(0, 0));
        const V zero{};
        const V gain = d < 0.0 ? zero : d;
        // gain - d is -d on a fall and 0 on a rise, with no second
        // select: compilers made that one a branch, which a price's random
        // rises and falls mispredict half the time.
        const V loss = stepped::subtract(gain, d);
        if (seen < c.period) {
            lane.gain = stepped::add(lane.gain, gain);
            lane.loss = stepped::add(lane.loss, loss);
            out[0] = stepped::none<V>();
            return;
        }
        if (seen == c.period) {
            lane.gain = stepped::add(lane.gain, gain) / c.length;
            lane.loss = stepped::add(lane.loss, loss) / c.length;
        } else {
            lane.gain = stepped::add(lane.gain, c.k * stepped::subtract(gain, lane.gain));
            lane.loss = stepped::add(lane.loss, c.k * stepped::subtract(loss, lane.loss));
        }
        const V total = stepped::add(lane.gain, lane.loss);
        out[0] = total == 0.0 ? zero + 50.0 : 100.0 * (lane.gain / total);
    }
    // Before the first change, and always with period 0, the lane is at its
    // start.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        return (seen > 1 && c.period != 0) || std::memcmp(&lane, &first, sizeof lane) == 0;
    }

    static constexpr stepped::Kernel<Rsi> kernel{};
};

}  // namespace quorvane::indicators
