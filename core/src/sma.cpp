#include "quorvane/indicators.hpp"
#include "window.hpp"

namespace quorvane {

// NaN policy: none; every value enters the running sum as it is.
// Order: sum = -0.0 + data[0] + ... + data[period-1]; then per position
// sum = sum + (data[i] - data[i-period]) and output[i] = scale * sum.
void sma(Period period, Series data, OutputSeries output) noexcept {
    const std::size_t n = data.size();
    if (!open_window(period, data, output)) {
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    output.fill_no_value(0, window - 1);
    output.fill_no_value(n, output.size());

    // First window, strictly sequential from -0.0 so that a window of
    // negative zeros sums to negative zero.
    double sum = -0.0;
    for (std::size_t i = 0; i < window; ++i) {
        sum += data[i];
    }

    // One reciprocal for the whole call: averages are products, never
    // quotients, which fixes their last bit.
    const double scale = 1.0 / static_cast<double>(period);
    output.set(window - 1, scale * sum);

    // Slide: the difference is formed first and then added, and the window
    // is never summed afresh, so every average carries all earlier rounding.
    const auto slide = [&](std::size_t i) {
        const double d = data[i] - data[i - window];
        sum += d;
        output.set(i, scale * sum);
    };
    std::size_t i = window;
    if (n - window >= 64) {
        for (; n - i >= 8; i += 8) {
            for (std::size_t k = 0; k < 8; ++k) {
                slide(i + k);
            }
        }
    }
    for (; i < n; ++i) {
        slide(i);
    }
}

}  // namespace quorvane
