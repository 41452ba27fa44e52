// On-balance volume: a running total of the volume, added on a bar whose
// close rose, subtracted on one whose close fell.
#pragma once

#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

struct Obv : descriptor::NoPeriod {
    static constexpr std::string_view name = "obv";
    static constexpr std::string_view batch_name = "indicator_obv";
    static constexpr std::string_view class_name = "Obv";
    static constexpr std::string_view title =
        "On-balance volume, the running total of the volume signed by each close's change.";
    static constexpr std::string_view summary = "On-balance volume, one bar at a time.";
    static constexpr std::array<std::string_view, 2> inputs{"close", "volume"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 2> values{"close", "volume"};
    static constexpr std::array<descriptor::ArrayCheck, 5> array_checks{{
        {descriptor::Check::contiguous, 0, "Close array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Volume array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "All arrays must have the same length"},
        {descriptor::Check::contiguous, 2, "Output array must be C-contiguous and float64"},
        {descriptor::Check::writeable, 2, "Output array must be writeable"},
    }};
    static constexpr std::uint64_t single_tag = 0x5176002C;
    static constexpr std::uint64_t universe_tag = 0x5176003C;

    using Single = stepped::Stream<Obv>;
    using Universe = stepped::Universe<Obv>;
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;

    struct Constants {};
    static Constants constants(const std::array<Period, 0>&) noexcept { return {}; }
    static std::uint64_t history(const Constants&) noexcept { return 1; }
    static std::uint64_t warm(const Constants&) noexcept { return 1; }

    template <class V>
    struct Lane {
        V total;
    };
    template <class L, class Visit>
    static void fields(L& lane, Visit&& visit) {
        visit(lane.total);
    }
    static Lane<double> start(const Constants&) noexcept { return {0.0}; }

    // The first bar's value is its volume. Then the change d = close -
    // previous close picks up = (d > 0 ? volume : 0) and down = (d < 0 ?
    // volume : 0), and total + (up - down) is the value: the difference is
    // the volume, its negation or +0, exactly, so the total is the signed
    // volumes summed in order. Both picks are selects, not branches: a
    // price's rises and falls would mispredict a branch half the time. A
    // NaN change puts its NaN in place of the difference, so a NaN close
    // makes that value and every later one NaN; so does a NaN volume on a
    // bar whose close moved. A volume is not read where the close is
    // unchanged. An infinite volume makes the total infinite, or NaN where
    // the opposite infinity meets it.
    template <class V, class Past>
    static void step(const Constants&, Lane<V>& lane, Position seen, const V* x, const Past& past,
                     V* out) noexcept {
        if (seen == 0) {
            lane.total = x[1];
            out[0] = lane.total;
            return;
        }
        const V d = stepped::subtract(x[0], past(0, 0));
        const V zero{};
        const V up = d > 0.0 ? x[1] : zero;
        const V down = d < 0.0 ? x[1] : zero;
        const V moved = stepped::subtract(up, down);
        lane.total = stepped::add(lane.total, d != d ? d : moved);
        out[0] = lane.total;
    }
    // Before the first bar the lane is at its start; any total can follow.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        return seen != 0 || std::memcmp(&lane, &first, sizeof lane) == 0;
    }

    static constexpr stepped::Kernel<Obv> kernel{};
};

}  // namespace quorvane::indicators
