// Average true range: Wilder's smoothing of the true range of each bar.
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/panel_kernels.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::indicators {

struct Atr : descriptor::OnePeriod {
    static constexpr std::string_view name = "atr";
    static constexpr std::string_view batch_name = "indicator_atr";
    static constexpr std::string_view class_name = "Atr";
    static constexpr std::string_view title =
        "Average true range, Wilder's smoothing of the true ranges.";
    static constexpr std::string_view summary =
        "Average true range, one bar at a time; the values of indicator_atr.";
    static constexpr std::array<Period, 1> defaults{14};
    static constexpr std::array<std::string_view, 3> inputs{"high", "low", "close"};
    static constexpr std::array<std::string_view, 1> outputs{"output"};
    static constexpr std::array<std::string_view, 3> values{"high", "low", "close"};

    // The inputs' layout is checked before the lengths, the output's after.
    static constexpr std::array<descriptor::ArrayCheck, 6> array_checks{{
        {descriptor::Check::contiguous, 0, "High array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 1, "Low array must be C-contiguous and float64"},
        {descriptor::Check::contiguous, 2, "Close array must be C-contiguous and float64"},
        {descriptor::Check::same_count, 0, "All arrays must have the same length"},
        {descriptor::Check::contiguous, 3, "Output array must be C-contiguous and float64"},
        {descriptor::Check::writeable, 3, "Output array must be writeable"},
    }};
    static constexpr auto kernel = atr;
    static constexpr auto panel_kernel = panel::atr_blocks;

    using Single = AtrStream;
    using Universe = AtrUniverse;
    // The batch function keeps the interpreter lock while its kernel runs, as
    // it always has: callers may rely on no other Python thread running
    // meanwhile (to write the arrays, say). The stream does likewise.
    static constexpr bool batch_unlocked = false;
    static constexpr bool stream_unlocked = false;
};

}  // namespace quorvane::indicators
