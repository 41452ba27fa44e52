// The opening shared by the kernels over one input with one window.
#pragma once

#include <algorithm>
#include <source_location>

#include "quorvane/failure.hpp"
#include "quorvane/series.hpp"

namespace quorvane {

// Whether the window gives the output any value. When it does not (a period
// of 0, which wraps around to the largest value, or one longer than the
// input), the output is filled with the no-value NaN and the kernel stops.
// When it does, the output must cover every position of the input, and the
// kernel writes every position once, the no-value NaN where it has no value.
inline bool window_has_values(
    Period period, Series data, OutputSeries output,
    std::source_location where = std::source_location::current()) noexcept {
    const std::size_t n = data.size();
    if (period - 1 >= n) {
        output.fill_no_value();
        return false;
    }
    if (output.size() < n) {
        const auto last_unwritten = std::max(static_cast<std::size_t>(period) - 1, output.size());
        fail_index_out_of_bounds(output.size(), last_unwritten, where);
    }
    return true;
}

}  // namespace quorvane
