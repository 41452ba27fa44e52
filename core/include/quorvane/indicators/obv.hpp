// On-balance volume: a running total of the volume, added on a bar whose
// close rose, subtracted on one whose close fell.
#pragma once

#include <cstring>

#include "quorvane/descriptor.hpp"
#include "quorvane/failure.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The batch kernel of Obv: the step's operations (Obv::change) with the
// total in a register, the first bar taken before the loop.
struct ObvKernel {
    void operator()(Series close, Series volume, OutputSeries output) const noexcept;
};

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
        lane.total = stepped::add(lane.total, change(x[0], past(0, 0), x[1]));
        out[0] = lane.total;
    }
    // What a bar adds to the total: the change's NaN, or the signed volume.
    template <class V>
    [[gnu::always_inline]] static V change(V close, V previous, V volume) noexcept {
        const V d = stepped::subtract(close, previous);
        const V zero{};
        const V up = d > 0.0 ? volume : zero;
        const V down = d < 0.0 ? volume : zero;
        const V moved = stepped::subtract(up, down);
        return d != d ? d : moved;
    }
    // Before the first bar the lane is at its start; any total can follow.
    static bool valid(const Constants& c, const Lane<double>& lane, Position seen) noexcept {
        const Lane<double> first = start(c);
        return seen != 0 || std::memcmp(&lane, &first, sizeof lane) == 0;
    }

    static constexpr ObvKernel kernel{};
};

inline void ObvKernel::operator()(Series close, Series volume, OutputSeries output) const noexcept {
    const std::size_t n = close.size();
    if (volume.size() < n) {
        fail_index_out_of_bounds(volume.size(), volume.size());
    }
    if (output.size() < n) {
        fail_index_out_of_bounds(output.size(), output.size());
    }
    if (n != 0) {
        double total = volume[0];
        output.set(0, total);
        for (std::size_t i = 1; i < n; ++i) {
            total = stepped::add(total, Obv::change(close[i], close[i - 1], volume[i]));
            output.set(i, total);
        }
    }
    output.fill_no_value(n, output.size());
}

}  // namespace quorvane::indicators
