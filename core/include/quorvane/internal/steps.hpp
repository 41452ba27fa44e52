// The per-position steps of the indicators, shared by the batch kernels and
// the streaming states: both call these inline functions, so both perform
// the same binary64 operations in the same order and agree bit for bit.
// An internal of the core, not part of its interface: stream.hpp includes it
// only because the states hold steps as members.
//
// The arithmetic of a step is a template over the value type, so that a
// universe of independent series can run several side by side in vector
// registers with the very same operations. Such templates are always
// inlined: an out-of-line copy taking 32-byte vectors, compiled without
// AVX, would pass them otherwise than the AVX2 code that calls it expects
// (builds with sanitizers inline less and met exactly that).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "quorvane/series.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {

// Finite by bit pattern: the magnitude bits lie below the exponent-all-ones
// pattern shared by both infinities and every NaN.
inline bool is_finite_bits(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFF) < 0x7FF0000000000000;
}

// IEEE 754-2008 maxNum: a NaN loses to a number (two NaNs give NaN), and +0
// counts as greater than -0. Masks instead of branches: which operand wins
// is close to random on price data, and a mispredicted branch costs more
// than the arithmetic around it.
inline double max_num(double x, double y) noexcept {
    const auto x_bits = std::bit_cast<std::uint64_t>(x);
    const auto y_bits = std::bit_cast<std::uint64_t>(y);
    const auto take_y = std::uint64_t{0} - static_cast<std::uint64_t>((x < y) | std::isnan(x));
    const auto equal = std::uint64_t{0} - static_cast<std::uint64_t>(x == y);
    const std::uint64_t larger = (x_bits & ~take_y) | (y_bits & take_y);
    // Equal operands differ in their bits only as +0 and -0, and AND keeps +0.
    return std::bit_cast<double>(larger & (y_bits | ~equal));
}

// A position in a series; a stream counts past any array's length.
using Position = std::uint64_t;

// A stream's count of values stops at the top instead of wrapping around,
// so that what it saves always loads and every later phase stays later.
inline constexpr Position top_position = std::numeric_limits<Position>::max();

inline Position count_on(Position seen, std::uint64_t more) noexcept {
    return seen > top_position - more ? top_position : seen + more;
}

// a + b, whose NaN is a's (quieted) whenever a is one. When both operands
// are NaN, x86-64 and aarch64 give the first one's, and a compiler is free
// to swap the operands of a plain sum, in one inlined copy and not in
// another; the instruction fixes the order. Only for sums where both can be
// NaN: the asm keeps a loop from being vectorized.
[[gnu::always_inline]] inline double add_nan_first(double a, double b) noexcept {
#if defined(__x86_64__)
    asm("addsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#elif defined(__aarch64__)
    asm("fadd %d0, %d0, %d1" : "+w"(a) : "w"(b));
    return a;
#else
    return a != a ? a + 0.0 : a + b;
#endif
}

// The same lane by lane, over a vector of GCC's vector extension: a NaN a
// gives a + 0.0, a's NaN quieted, which is what the instruction gives.
template <class V>
[[gnu::always_inline]] inline V add_nan_first_lanes(V a, V b) noexcept {
    return a != a ? a + 0.0 : a + b;
}

// SMA: a running sum from -0.0, updated by one difference per position and
// scaled by one reciprocal (a product, never a quotient).
struct SmaStep {
    double scale;
    double sum = -0.0;

    explicit SmaStep(Period period) noexcept : scale(1.0 / static_cast<double>(period)) {}

    // The first window, strictly sequential.
    static void fill(double& sum, double x) noexcept { sum = add_nan_first(sum, x); }
    void fill(double x) noexcept { fill(sum, x); }
    static double value(double sum, double scale) noexcept { return scale * sum; }
    double value() const noexcept { return value(sum, scale); }

    // The difference is formed first and then added, so every average
    // carries all earlier rounding. Once the sum is NaN, it keeps its NaN.
    template <class T>
    [[gnu::always_inline]] static T slide(T& sum, T x, T oldest, double scale) noexcept {
        const T d = x - oldest;
        if constexpr (std::is_same_v<T, double>) {
            sum = add_nan_first(sum, d);
        } else {
            sum = add_nan_first_lanes(sum, d);
        }
        return scale * sum;
    }
    double slide(double x, double oldest) noexcept { return slide(sum, x, oldest, scale); }
};

// Slides over data[first, n), the value leaving being data[i - window]
// (first >= window). In blocks of 8 when long: the same operations in the
// same order, with less loop overhead.
inline void sma_slide(SmaStep& step, Series data, std::size_t window, std::size_t first,
                      OutputSeries output) noexcept {
    const std::size_t n = data.size();
    SmaStep local = step;  // a local the output's stores cannot alias
    const auto slide = [&](std::size_t i) {
        output.set(i, local.slide(data[i], data[i - window]));
    };
    std::size_t i = first;
    if (n - first >= 64) {
        for (; n - i >= 8; i += 8) {
            for (std::size_t k = 0; k < 8; ++k) {
                slide(i + k);
            }
        }
    }
    for (; i < n; ++i) {
        slide(i);
    }
    step = local;
}

// The recurrence of an exponential average, alpha = 2 / (period + 1), and
// its seed, the mean of `period` values as a true division.
struct EmaStep {
    double divisor;
    double alpha;
    double keep;  // 1 - alpha

    explicit EmaStep(Period period) noexcept
        : divisor(static_cast<double>(period)), alpha(2.0 / (divisor + 1.0)), keep(1.0 - alpha) {}

    double seed(double sum) const noexcept { return sum / divisor; }
    template <class T>
    [[gnu::always_inline]] T next(T average, T x) const noexcept {
        return keep * average + alpha * x;
    }
    // The same where both terms can be NaN: MACD's signal line of period 1
    // (keep = 0) at an infinity, when m is NaN.
    double next_nan_first(double average, double x) const noexcept {
        return add_nan_first(keep * average, alpha * x);
    }
};

// EMA's seed: a run of finite values summed oldest first from -0.0. A
// non-finite value ends the run, and the next one starts from nothing, so
// the sum of the run so far is all a stream needs to keep.
struct EmaSeed {
    Position run = 0;
    double sum = -0.0;

    // Adds x to the run; whether the run now holds `period` values.
    bool add(double x, Period period) noexcept {
        if (!is_finite_bits(x)) {
            run = 0;
            sum = -0.0;
            return false;
        }
        sum += x;
        // Counted like positions, so that a period of 0 never seeds.
        run = count_on(run, 1);
        return run == period;
    }
};

// The recurrence over data[first, n): missing values are stepped over,
// holding the no-value NaN, so the next finite value is weighted as if it
// followed the last one directly. Returns the average after the last value.
inline double ema_smooth(const EmaStep& step, double average, Series data, std::size_t first,
                         OutputSeries output) noexcept {
    const EmaStep local = step;
    for (std::size_t i = first; i < data.size(); ++i) {
        const double x = data[i];
        if (is_finite_bits(x)) {
            average = local.next(average, x);
            output.set(i, average);
        } else {
            output.set(i, no_value);
        }
    }
    return average;
}

inline bool is_nan(double x) noexcept {
    return x != x;
}

// Where the newest NaN, +inf and -inf seen so far lie (position + 1; 0 for
// none), so that a trailing window's sum can be known to be NaN without
// summing it: a NaN in the window makes it NaN, and so do both infinities.
// Without this, data whose windows keep holding a NaN would be summed afresh
// at every position, at a cost of n * (fast + slow).
struct NonFiniteMarks {
    Position nan_end = 0;
    Position positive_end = 0;
    Position negative_end = 0;

    void note(Position i, double x) noexcept {
        if (is_nan(x)) {
            nan_end = i + 1;
        } else if (x == std::numeric_limits<double>::infinity()) {
            positive_end = i + 1;
        } else if (x == -std::numeric_limits<double>::infinity()) {
            negative_end = i + 1;
        }
    }

    // Positions as if the oldest were forgotten: each mark one lower.
    void forget_oldest() noexcept {
        for (Position* end : {&nan_end, &positive_end, &negative_end}) {
            *end -= *end != 0 ? 1 : 0;
        }
    }

    // Whether the window of `period` values ending at `last` surely sums to
    // NaN. The window lies inside the series and `last` below the top, so
    // nothing here wraps.
    bool sums_to_nan(Position last, Period period) const noexcept {
        const auto holds = [&](Position end) {
            return end > last + 1 - period;
        };
        return holds(nan_end) || (holds(positive_end) && holds(negative_end));
    }
};

// The position of the next value of a stream that has seen `seen`. At the
// top of the count the oldest position is forgotten, and the value takes the
// last one: the marks keep their distance from it.
inline Position next_position(Position seen, NonFiniteMarks& marks) noexcept {
    if (seen == top_position) {
        marks.forget_oldest();
        return top_position - 1;
    }
    return seen;
}

struct MacdValues {
    double macd;
    double signal;
    double hist;
};

inline constexpr MacdValues macd_no_values{no_value, no_value, no_value};

// MACD's periods and the smoothings of its three averages.
struct MacdPeriods {
    EmaStep fast;
    EmaStep slow;
    EmaStep signal;
    Period fast_period;
    Period slow_period;
    Period signal_period;

    MacdPeriods(Period fast_period_, Period slow_period_, Period signal_period_) noexcept
        : fast(fast_period_),
          slow(slow_period_),
          signal(signal_period_),
          fast_period(fast_period_),
          slow_period(slow_period_),
          signal_period(signal_period_) {}

    // Whether MACD is defined for them: no period of 0, the fast one shorter
    // than the slow one.
    bool in_order() const noexcept {
        return fast_period != 0 && fast_period < slow_period && signal_period != 0;
    }
};

// MACD between positions: both averages, the signal line, and the marks that
// seeding needs. Only NaN is missing; infinities flow through.
struct MacdStep {
    double f = no_value;
    double s = no_value;
    double g = no_value;
    NonFiniteMarks marks;

    // The steady state: the same updates, tried before they are kept. A
    // missing input, an F still to be seeded or a G without a value all
    // make the new G NaN (NaN passes through every operation), and so does
    // arithmetic that ends in NaN; then nothing changes and the position
    // must be done in full. So does every non-finite input: one that this
    // would keep would make F - S NaN. Static over the values, which a loop
    // keeps in registers.
    static bool try_steady(const EmaStep& fast, const EmaStep& slow, const EmaStep& signal,
                           double& fast_average, double& slow_average, double& signal_line,
                           double x, MacdValues& out) noexcept {
        const double next_f = fast.next(fast_average, x);
        const double next_s = slow.next(slow_average, x);
        const double m = next_f - next_s;
        const double next_g = signal.next(signal_line, m);
        if (is_nan(next_g)) {
            return false;
        }
        fast_average = next_f;
        slow_average = next_s;
        signal_line = next_g;
        out = {m, next_g, m - next_g};
        return true;
    }

    // One position i >= slow_period - 1 in full: a missing input, the
    // seeding of F and S while F is NaN, and the start of the signal line.
    // window(k) is the input at position i - k.
    template <class Window>
    static MacdValues full_step(const MacdPeriods& p, Position i, double x, const Window& window,
                                double& fast_average, double& slow_average, double& signal_line,
                                NonFiniteMarks& seen) noexcept {
        seen.note(i, x);
        if (is_nan(x)) {
            return macd_no_values;
        }
        if (is_nan(fast_average)) {
            // The slow window holds the fast one and its sum begins with the
            // same additions, so it is NaN whenever the fast sum is. A sum
            // known to be NaN is not done.
            fast_average = seen.sums_to_nan(i, p.fast_period)
                               ? no_value
                               : p.fast.seed(trailing_sum(window, p.fast_period));
            slow_average = is_nan(fast_average) || seen.sums_to_nan(i, p.slow_period)
                               ? no_value
                               : p.slow.seed(trailing_sum(window, p.slow_period));
        } else {
            fast_average = p.fast.next(fast_average, x);
            slow_average = p.slow.next(slow_average, x);
        }
        const double m = fast_average - slow_average;
        if (!is_nan(signal_line)) {
            signal_line = p.signal.next_nan_first(signal_line, m);
        } else if (i - (p.slow_period - 1) >= p.signal_period - 1) {
            // Subtracted form: cannot wrap for any periods.
            signal_line = m;
        }
        return {m, signal_line, is_nan(signal_line) ? no_value : m - signal_line};
    }
    template <class Window>
    MacdValues full_step(const MacdPeriods& p, Position i, double x,
                         const Window& window) noexcept {
        return full_step(p, i, x, window, f, s, g, marks);
    }

    // A position before slow_period - 1: no value, only the marks.
    void warm_up(Position i, double x) noexcept { marks.note(i, x); }

    // Newest first, from -0.0.
    template <class Window>
    static double trailing_sum(const Window& window, Period period) noexcept {
        double sum = -0.0;
        for (Period k = 0; k < period; ++k) {
            sum += window(k);
        }
        return sum;
    }
};

// MACD over data, whose first value is at position `start` of its series;
// window(i, k) is the input k positions before data[i] (which may lie before
// the data). Every position of every output is written once, in order.
template <class Window>
inline void macd_run(const MacdPeriods& shared, MacdStep& step, Position start, Series data,
                     OutputSeries macd_output, OutputSeries signal_output, OutputSeries hist_output,
                     const Window& window) noexcept {
    const std::size_t n = data.size();
    // Locals that the output's stores cannot alias.
    const MacdPeriods periods = shared;
    double f = step.f;
    double s = step.s;
    double g = step.g;
    NonFiniteMarks marks = step.marks;
    const auto write = [&](std::size_t i, const MacdValues& v) {
        macd_output.set(i, v.macd);
        signal_output.set(i, v.signal);
        hist_output.set(i, v.hist);
    };
    const Position first_value = periods.slow_period - 1;
    std::size_t i = 0;
    const std::size_t warm =
        start >= first_value ? 0
                             : static_cast<std::size_t>(std::min<Position>(first_value - start, n));
    for (; i < warm; ++i) {
        marks.note(start + i, data[i]);
        write(i, macd_no_values);
    }
    const auto full = [&](std::size_t j) {
        write(j, MacdStep::full_step(
                     periods, start + j, data[j], [&](Period k) { return window(j, k); }, f, s, g,
                     marks));
    };
    while (i < n) {
        // One test per position is left on the steady path.
        for (; i < n; ++i) {
            MacdValues v;
            if (!MacdStep::try_steady(periods.fast, periods.slow, periods.signal, f, s, g, data[i],
                                      v)) {
                break;
            }
            write(i, v);
        }
        if (i < n) {
            full(i++);
        }
    }
    step.f = f;
    step.s = s;
    step.g = g;
    step.marks = marks;
}

// max_num lane by lane, without a branch, over a vector of doubles of GCC's
// vector extension (__m128d is one): a NaN x is first replaced by y, y is
// then taken only when it is larger, and equal operands (which differ at
// most in the sign of a zero) keep a sign bit only when both have it.
template <class V>
[[gnu::always_inline]] inline V max_num_lanes(V x, V y) noexcept {
    using Bits = decltype(x != x);
    const V x_or_y = x != x ? y : x;
    const V larger = y > x_or_y ? y : x_or_y;
    const Bits y_sign_lost = ~std::bit_cast<Bits>(y) & (x_or_y == y);
    return std::bit_cast<V>(std::bit_cast<Bits>(larger) & ~y_sign_lost);
}

// True ranges lane by lane from highs, lows and previous closes. The spread
// is signed: a high below its low gives a negative candidate.
template <class V>
[[gnu::always_inline]] inline V true_range_lanes(V high, V low, V previous_close) noexcept {
    using Bits = decltype(high != high);
    const auto magnitude = [](V v) {
        return std::bit_cast<V>(std::bit_cast<Bits>(v) & 0x7FFFFFFFFFFFFFFF);
    };
    const V spread = high - low;
    const V up = magnitude(high - previous_close);
    const V down = magnitude(low - previous_close);
    return max_num_lanes(max_num_lanes(spread, up), down);
}

#if defined(__SSE2__)
inline __m128d true_range_pair(__m128d high, __m128d low, __m128d previous_close) noexcept {
    return true_range_lanes(high, low, previous_close);
}

inline __m128d load_pair(const void* bytes, std::size_t i) noexcept {
    __m128d pair;
    std::memcpy(&pair, static_cast<const unsigned char*>(bytes) + i * sizeof(double), sizeof pair);
    return pair;
}

// The true range of one bar against the previous close.
inline double true_range(double high, double low, double previous_close) noexcept {
    return _mm_cvtsd_f64(
        true_range_pair(_mm_set_sd(high), _mm_set_sd(low), _mm_set_sd(previous_close)));
}
#else
// The true range of one bar against the previous close. The spread is
// signed: a high below its low gives a negative candidate.
inline double true_range(double high, double low, double previous_close) noexcept {
    const double spread = high - low;
    const double up = std::fabs(high - previous_close);
    const double down = std::fabs(low - previous_close);
    return max_num(max_num(spread, up), down);
}
#endif

// ATR: the first `period` true ranges summed in order from +0.0 and divided
// by the period; then avg + k * (TR - avg), k = 1 / period. The algebraic
// twins (avg * (period - 1) + TR) / period and avg * (1 - k) + k * TR give
// other bits.
struct AtrStep {
    double divisor;
    double k;

    explicit AtrStep(Period period) noexcept
        : divisor(static_cast<double>(period)), k(1.0 / divisor) {}

    // A product with k differs from the division in the last bit for many sums.
    double seed(double sum) const noexcept { return sum / divisor; }
    // e + average with e as the first operand: when both are NaN the sum is
    // e's NaN, as the recorded kernel vectors have it.
    template <class T>
    [[gnu::always_inline]] T smooth(T average, T range) const noexcept {
        const T d = range - average;
        const T e = k * d;
        if constexpr (std::is_same_v<T, double>) {
            return add_nan_first(e, average);
        } else {
            return add_nan_first_lanes(e, average);
        }
    }
};

// The smoothing over positions [first, n) of parallel series, first >= 1,
// each true range against the close before it. Returns the last average.
inline double atr_smooth(const AtrStep& step, double average, Series high, Series low, Series close,
                         std::size_t first, OutputSeries output) noexcept {
    const std::size_t n = high.size();
    const AtrStep local = step;
    std::size_t i = first;
#if defined(__SSE2__)
    // True ranges lie off the smoothing's dependency chain: two at a time,
    // ahead of the two steps that take them. (Staging more in a buffer on
    // the stack was slower: its stores and reloads contend with the output's.)
    for (; i + 2 <= n; i += 2) {
        const __m128d ranges = true_range_pair(load_pair(high.data(), i), load_pair(low.data(), i),
                                               load_pair(close.data(), i - 1));
        average = local.smooth(average, _mm_cvtsd_f64(ranges));
        output.set(i, average);
        average = local.smooth(average, _mm_cvtsd_f64(_mm_unpackhi_pd(ranges, ranges)));
        output.set(i + 1, average);
    }
#endif
    for (; i < n; ++i) {
        average = local.smooth(average, true_range(high[i], low[i], close[i - 1]));
        output.set(i, average);
    }
    return average;
}

}  // namespace quorvane
