// Simple moving average: the mean of the last `period` values.
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/panel_kernels.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::indicators {

struct Sma : descriptor::OneSeries<SmaStream, SmaUniverse> {
    static constexpr std::string_view name = "sma";
    static constexpr std::string_view batch_name = "indicator_sma";
    static constexpr std::string_view class_name = "Sma";
    static constexpr std::string_view title = "Simple moving average.";
    static constexpr std::string_view summary =
        "Simple moving average, one position at a time; the values of indicator_sma.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr auto kernel = sma;
    static constexpr auto panel_kernel = panel::sma_blocks;
};

}  // namespace quorvane::indicators
