#include <algorithm>
#include <cmath>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane {
namespace {

// The true range at position i >= 1, against the previous close. The spread
// is signed: a high below its low gives a negative candidate.
double true_range(const Series& high, const Series& low, const Series& close,
                  std::size_t i) noexcept {
    const double spread = high[i] - low[i];
    const double up = std::fabs(high[i] - close[i - 1]);
    const double down = std::fabs(low[i] - close[i - 1]);
    return max_num(max_num(spread, up), down);
}

}  // namespace

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

    // Fill before any input is read: an output over an input sees the fill.
    output.fill_no_value();
    if (degenerate) {
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    const double p = static_cast<double>(period);
    const double k = 1.0 / p;

    // Seed: strictly sequential from +0.0, then a true division (a product
    // with k differs in the last bit for many sums).
    double sum = 0.0;
    for (std::size_t i = 1; i <= window; ++i) {
        sum += true_range(high, low, close, i);
    }
    double average = sum / p;
    output.set(window, average);

    // Smoothing: the difference first, then scaled, then added. The algebraic
    // twins (avg * (period - 1) + TR) / period and avg * (1 - k) + k * TR give
    // other bits.
    for (std::size_t i = window + 1; i < n; ++i) {
        const double d = true_range(high, low, close, i) - average;
        const double e = k * d;
        average += e;
        output.set(i, average);
    }
}

}  // namespace quorvane
