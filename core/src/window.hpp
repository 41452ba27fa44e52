// The opening shared by the kernels over one input with one window.
#pragma once

#include <algorithm>
#include <source_location>

#include "quorvane/failure.hpp"
#include "quorvane/series.hpp"

namespace quorvane {

// A degenerate period (0, which wraps around to the largest value, or one
// longer than the input) leaves the output all no-value and the kernel stops.
// Otherwise the output must cover every position of the input, and the
// kernel writes every position once, the no-value NaN where it has no value.
// Returns whether the kernel goes on.
inline bool open_window(Period period, Series data, OutputSeries output,
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
