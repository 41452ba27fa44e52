#include <algorithm>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"
#include "quorvane/internal/steps.hpp"

namespace quorvane {

// NaN policy: a true range passes over one NaN input (maxNum); a NaN true
// range makes its average and every later one NaN.
// Order: sum = +0.0 + TR(1) + ... + TR(period); avg = sum / period; then per
// position avg = avg + k * (TR(i) - avg) with k = 1 / period.
void atr(Period period, Series high, Series low, Series close, OutputSeries output) noexcept {
    const std::size_t n = high.size();

    // The first average needs period + 1 samples.
    const bool degenerate = period == 0 || period >= n;
    if (!degenerate) {
        // Reads reach low[n-1] and close[n-2]; writes reach output[n-1].
        if (low.size() < n) {
            fail_index_out_of_bounds(low.size(), std::max<std::size_t>(low.size(), 1));
        }
        if (close.size() < n - 1) {
            fail_index_out_of_bounds(close.size(), close.size());
        }
        if (output.size() < n) {
            fail_index_out_of_bounds(output.size(),
                                     std::max(output.size(), static_cast<std::size_t>(period)));
        }
    }

    if (degenerate) {
        output.fill_no_value();
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    output.fill_no_value(0, window);
    output.fill_no_value(n, output.size());
    const AtrStep step(period);

    // Seed: strictly sequential from +0.0, then a true division.
    double sum = 0.0;
    for (std::size_t i = 1; i <= window; ++i) {
        sum = add_nan_first(sum, true_range(high[i], low[i], close[i - 1]));
    }
    const double average = step.seed(sum);
    output.set(window, average);
    atr_smooth(step, average, high, low, close, window + 1, output);
}

}  // namespace quorvane
