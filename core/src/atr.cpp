#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {
namespace {

#if defined(__SSE2__)
__m128d load_pair(const Series& series, std::size_t i) noexcept {
    __m128d pair;
    std::memcpy(&pair, static_cast<const unsigned char*>(series.data()) + i * sizeof(double),
                sizeof pair);
    return pair;
}

// max_num in both lanes, without a branch: a NaN x is first replaced by y,
// maxpd then takes y only when it is larger, and equal operands (which
// differ at most in the sign of a zero) keep a sign bit only when both
// have it.
__m128d max_num_pair(__m128d x, __m128d y) noexcept {
    const __m128d x_is_nan = _mm_cmpunord_pd(x, x);
    const __m128d x_or_y = _mm_or_pd(_mm_andnot_pd(x_is_nan, x), _mm_and_pd(x_is_nan, y));
    const __m128d larger = _mm_max_pd(y, x_or_y);
    const __m128d y_sign_lost = _mm_andnot_pd(y, _mm_cmpeq_pd(x_or_y, y));
    return _mm_andnot_pd(y_sign_lost, larger);
}

// True ranges in both lanes from highs, lows and previous closes. The
// spread is signed: a high below its low gives a negative candidate.
__m128d true_range_pair(__m128d high, __m128d low, __m128d previous_close) noexcept {
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d spread = _mm_sub_pd(high, low);
    const __m128d up = _mm_and_pd(_mm_sub_pd(high, previous_close), magnitude);
    const __m128d down = _mm_and_pd(_mm_sub_pd(low, previous_close), magnitude);
    return max_num_pair(max_num_pair(spread, up), down);
}

// The true range at position i >= 1, against the previous close.
double true_range(const Series& high, const Series& low, const Series& close,
                  std::size_t i) noexcept {
    return _mm_cvtsd_f64(
        true_range_pair(_mm_set_sd(high[i]), _mm_set_sd(low[i]), _mm_set_sd(close[i - 1])));
}

// The true ranges at i and i + 1, both lanes at once.
std::pair<double, double> true_ranges(const Series& high, const Series& low, const Series& close,
                                      std::size_t i) noexcept {
    const __m128d ranges =
        true_range_pair(load_pair(high, i), load_pair(low, i), load_pair(close, i - 1));
    return {_mm_cvtsd_f64(ranges), _mm_cvtsd_f64(_mm_unpackhi_pd(ranges, ranges))};
}
#else
// The true range at position i >= 1, against the previous close. The spread
// is signed: a high below its low gives a negative candidate.
double true_range(const Series& high, const Series& low, const Series& close,
                  std::size_t i) noexcept {
    const double spread = high[i] - low[i];
    const double up = std::fabs(high[i] - close[i - 1]);
    const double down = std::fabs(low[i] - close[i - 1]);
    return max_num(max_num(spread, up), down);
}

std::pair<double, double> true_ranges(const Series& high, const Series& low, const Series& close,
                                      std::size_t i) noexcept {
    return {true_range(high, low, close, i), true_range(high, low, close, i + 1)};
}
#endif

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

    if (degenerate) {
        output.fill_no_value();
        return;
    }
    const auto window = static_cast<std::size_t>(period);
    output.fill_no_value(0, window);
    output.fill_no_value(n, output.size());
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
    const auto smooth = [&](std::size_t i, double range) {
        const double d = range - average;
        const double e = k * d;
        average += e;
        output.set(i, average);
    };
    std::size_t i = window + 1;
    // True ranges lie off the smoothing's dependency chain: two at a time,
    // ahead of the two steps that take them. (Staging more in a buffer on
    // the stack was slower: its stores and reloads contend with the output's.)
    for (; n - i >= 2; i += 2) {
        const auto [first, second] = true_ranges(high, low, close, i);
        smooth(i, first);
        smooth(i + 1, second);
    }
    for (; i < n; ++i) {
        smooth(i, true_range(high, low, close, i));
    }
}

}  // namespace quorvane
