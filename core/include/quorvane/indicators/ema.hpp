// Exponential moving average, alpha = 2 / (period + 1), seeded with the mean
// of the first run of `period` finite values.
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/panel_kernels.hpp"
#include "quorvane/stream.hpp"

namespace quorvane::indicators {

struct Ema : descriptor::OneSeries<EmaStream, EmaUniverse> {
    static constexpr std::string_view name = "ema";
    static constexpr std::string_view batch_name = "indicator_ema";
    static constexpr std::string_view class_name = "Ema";
    static constexpr std::string_view title =
        "Exponential moving average, seeded with the mean of the first run of period finite "
        "values.";
    static constexpr std::string_view summary =
        "Exponential moving average, one position at a time; the values of indicator_ema.";
    static constexpr std::array<Period, 1> defaults{30};
    static constexpr auto kernel = ema;
    static constexpr auto panel_kernel = panel::ema_blocks;
};

}  // namespace quorvane::indicators
