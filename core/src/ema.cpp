#include <algorithm>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane {

// NaN policy: NaN and both infinities are missing; they neither seed nor
// decay the average. Order: seed = (-0.0 + data[s] + ... + data[s+period-1])
// / period; then average = ((1 - alpha) * average) + (alpha * data[i]).
void ema(Period period, Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();

    // Degenerate period: 0 wraps around to the largest value.
    if (period - 1 >= n) {
        output.fill_no_value();
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    if (output.size() < n) {
        fail_index_out_of_bounds(output.size(), std::max(window - 1, output.size()));
    }

    // Fill before any input is read: an output over the input sees the fill.
    output.fill_no_value();

    // Seed window: the first run of `window` finite values. Counting the
    // current run finds the same start as testing every candidate window,
    // in one pass however long the missing stretches are.
    std::size_t run = 0;
    std::size_t end = 0;  // one past the seed window, once found
    for (std::size_t i = 0; i < n && end == 0; ++i) {
        run = is_finite_bits(data[i]) ? run + 1 : 0;
        if (run == window) {
            end = i + 1;
        }
    }
    if (end == 0) {
        return;
    }

    // Seed: the window's mean, summed oldest first, as a true division.
    double sum = -0.0;
    for (std::size_t i = end - window; i < end; ++i) {
        sum += data[i];
    }
    double average = sum / static_cast<double>(period);
    output.set(end - 1, average);

    // Smoothing factor and its complement, once per call.
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double keep = 1.0 - alpha;

    // Recurrence: missing values are stepped over, so the next finite value
    // is weighted as if it followed the last one directly.
    for (std::size_t i = end; i < n; ++i) {
        const double x = data[i];
        if (is_finite_bits(x)) {
            average = keep * average + alpha * x;
            output.set(i, average);
        }
    }
}

}  // namespace quorvane
