// Linearly weighted moving average: the last `period` values weighted
// period, period - 1, ..., 1 from the newest, over the weight total
// period * (period + 1) / 2. Two running sums keep every step O(1).
#pragma once

#include <bit>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

struct Wma : descriptor::OnePeriod {
    static constexpr std::string_view name = "wma";
    static constexpr std::string_view batch_name = "indicator_wma";
    static constexpr std::string_view class_name = "Wma";
    static constexpr std::string_view title =
        "Linearly weighted moving average, the newest value weighted period, the oldest 1.";
    static constexpr std::string_view summary =
        "Linearly weighted moving average, one position at a time.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr std::array<std::string_view, 1> inputs{"data"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 1> values{"x"};
    static constexpr auto array_checks = descriptor::one_series_checks;
    static constexpr std::uint64_t single_tag = 0x51760025;
    static constexpr std::uint64_t universe_tag = 0x51760035;

    struct Constants {
        Period period;
        double weight;  // the newest value's weight, the period as a double
        double total;   // (weight * (weight + 1)) * 0.5
    };
    static Constants constants(const std::array<Period, 1>& p) noexcept {
        const auto weight = static_cast<double>(p[0]);
        return {p[0], weight, (weight * (weight + 1.0)) * 0.5};
    }
    static std::uint64_t history(const Constants& c) noexcept { return c.period; }
    static std::uint64_t warm(const Constants& c) noexcept { return c.period; }

    template <class V>
    struct Lane {
        V sum;       // the window's values
        V weighted;  // the window's values times their weights
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.sum);
        visit(lane.weighted);
    }
    static Lane<double> start(const Constants&) noexcept { return {-0.0, -0.0}; }

    // The first window is summed in order, value k (from 0) weighted k + 1.
    // Then each step moves every weight down by one, dropping the oldest,
    // by subtracting the previous window's sum, and adds the newest at the
    // full weight: weighted + (weight * x - sum), then sum + (x - oldest).
    // A NaN or an infinity, once in, stays in both sums. Period 0 gives no
    // values.
    template <class V, class Past>
    static void step(const Constants& c, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (c.period == 0) {
            out[0] = V{} + no_value;
            return;
        }
        if (seen < c.period) {
            lane.weighted = stepped::add(lane.weighted, static_cast<double>(seen + 1) * x[0]);
            lane.sum = stepped::add(lane.sum, x[0]);
        } else {
            lane.weighted =
                stepped::add(lane.weighted, stepped::subtract(c.weight * x[0], lane.sum));
            lane.sum = stepped::add(lane.sum, stepped::subtract(x[0], past(c.period - 1, 0)));
        }
        out[0] = seen >= c.period - 1 ? lane.weighted / c.total : V{} + no_value;
    }
    // Before the first value, and always with period 0, both sums are -0.0.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const auto start = std::bit_cast<std::uint64_t>(-0.0);
        return (seen != 0 && c.period != 0) || (std::bit_cast<std::uint64_t>(lane.sum) == start &&
                                                std::bit_cast<std::uint64_t>(lane.weighted) == start);
    }

    static constexpr stepped::Kernel<Wma> kernel{};
    using Single = stepped::Stream<Wma>;
    using Universe = stepped::Universe<Wma>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;
};

}  // namespace quorvane::indicators
