#include "quorvane/indicators.hpp"
#include "quorvane/internal/steps.hpp"
#include "window.hpp"

namespace quorvane {

// NaN policy: none; every value enters the running sum as it is.
// Order: sum = -0.0 + data[0] + ... + data[period-1]; then per position
// sum = sum + (data[i] - data[i-period]) and output[i] = scale * sum.
void sma(Period period, Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    if (!window_has_values(period, data, output)) {
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    output.fill_no_value(0, window - 1);
    output.fill_no_value(n, output.size());

    // One reciprocal for the whole call: averages are products, never
    // quotients, which fixes their last bit.
    SmaStep step(period);
    for (std::size_t i = 0; i < window; ++i) {
        step.fill(data[i]);
    }
    output.set(window - 1, step.value());
    sma_slide(step, data, window, window, output);
}

}  // namespace quorvane
