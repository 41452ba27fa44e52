// MACD: the difference of a fast and a slow EMA (the MACD line), its EMA
// (the signal line), and their difference (the histogram).
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/panel_kernels.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::indicators {

struct Macd {
    static constexpr std::string_view name = "macd";
    static constexpr std::string_view batch_name = "indicator_macd";
    static constexpr std::string_view class_name = "Macd";
    static constexpr std::string_view title =
        "MACD: the fast EMA minus the slow EMA (the MACD line), its EMA (the signal line) and "
        "their difference (the histogram).";
    static constexpr std::string_view summary =
        "MACD line, signal line and histogram, one position at a time; the values of "
        "indicator_macd.";
    static constexpr std::array<std::string_view, 3> periods{"fast_period", "slow_period",
                                                             "signal_period"};
    static constexpr std::array<Period, 3> defaults{12, 26, 9};
    static constexpr std::array<std::string_view, 1> inputs{"data"};
    static constexpr std::array<std::string_view, 3> outputs{"macd_output", "signal_output",
                                                             "hist_output"};
    static constexpr std::array<std::string_view, 1> values{"x"};

    static constexpr const char* period_error(const std::array<Period, 3>& p) noexcept {
        if (p[0] == 0 || p[1] == 0 || p[2] == 0) {
            return "Periods must be greater than 0";
        }
        if (p[0] >= p[1]) {
            return "Fast period must be less than slow period";
        }
        return nullptr;
    }
    static constexpr std::array<descriptor::ArrayCheck, 8> array_checks{{
        {descriptor::Check::reported_lengths, 0,
         "All output arrays must have the same length as input data"},
        {descriptor::Check::contiguous, 0, "Input array must be C-contiguous"},
        {descriptor::Check::contiguous, 1, "MACD output array must be C-contiguous"},
        {descriptor::Check::contiguous, 2, "Signal output array must be C-contiguous"},
        {descriptor::Check::contiguous, 3, "Histogram output array must be C-contiguous"},
        {descriptor::Check::writeable, 1, "MACD output array must be writeable"},
        {descriptor::Check::writeable, 2, "Signal output array must be writeable"},
        {descriptor::Check::writeable, 3, "Histogram output array must be writeable"},
    }};
    static constexpr auto kernel = macd;
    static constexpr auto panel_kernel = panel::macd_blocks;

    using Single = MacdStream;
    using Universe = MacdUniverse;
    template <class State>
    static std::array<Period, 3> periods_of(const State& state) noexcept {
        const MacdPeriods& p = state.periods();
        return {p.fast_period, p.slow_period, p.signal_period};
    }
    static constexpr bool batch_unlocked = true;
    static constexpr bool stream_unlocked = true;
};

}  // namespace quorvane::indicators
