#include <cstdio>
#include <limits>

#include "quorvane/failure.hpp"
#include "quorvane/indicators.hpp"

namespace quorvane {
namespace {

// The mean of the `period` values ending at `last`, summed newest first.
double trailing_mean(Series data, std::size_t last, Period period) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum += data[last - k];
    }
    return sum / static_cast<double>(period);
}

struct Smoothing {
    double alpha;
    double keep;  // 1 - alpha

    explicit Smoothing(Period period) noexcept
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), keep(1.0 - alpha) {}

    double step(double average, double x) const noexcept { return keep * average + alpha * x; }
};

bool is_nan(double x) noexcept { return x != x; }

// Where the newest NaN, +inf and -inf seen so far lie (index + 1; 0 for
// none), so that a trailing window's sum can be known to be NaN without
// summing it: a NaN in the window makes it NaN, and so do both infinities.
// Without this, data whose windows keep holding a NaN would be summed afresh
// at every position, at a cost of n * (fast + slow).
struct NonFiniteMarks {
    std::size_t nan_end = 0;
    std::size_t positive_end = 0;
    std::size_t negative_end = 0;

    void note(std::size_t i, double x) noexcept {
        if (is_nan(x)) {
            nan_end = i + 1;
        } else if (x == std::numeric_limits<double>::infinity()) {
            positive_end = i + 1;
        } else if (x == -std::numeric_limits<double>::infinity()) {
            negative_end = i + 1;
        }
    }

    // Whether the window of `period` values ending at `last` surely sums to
    // NaN. The window lies inside the data, so no sum here can wrap.
    bool sums_to_nan(std::size_t last, Period period) const noexcept {
        const auto holds = [&](std::size_t end) { return end + period > last + 1; };
        return holds(nan_end) || (holds(positive_end) && holds(negative_end));
    }
};

}  // namespace

// NaN policy: only NaN is missing (its position holds no value and the
// averages skip it); infinities flow through with IEEE results.
// Order per position: F and S seeded from their trailing windows while F is
// NaN, else F = (keep_f * F) + (alpha_f * x) and likewise S; m = F - S;
// G = m at the signal's first position, then G = (keep_g * G) + (alpha_g * m).
void macd(Period fast_period, Period slow_period, Period signal_period, Series data,
          OutputSeries macd_output, OutputSeries signal_output,
          OutputSeries hist_output) noexcept {
    const std::size_t n = data.size();
    if (fast_period == 0 || fast_period >= slow_period || signal_period == 0) {
        char message[160];
        std::snprintf(message, sizeof message,
                      "MACD periods out of order: fast %llu, slow %llu, signal %llu",
                      static_cast<unsigned long long>(fast_period),
                      static_cast<unsigned long long>(slow_period),
                      static_cast<unsigned long long>(signal_period));
        fail(message);
    }
    for (const OutputSeries& output : {macd_output, signal_output, hist_output}) {
        if (output.size() < n) {
            fail_index_out_of_bounds(output.size(), output.size());
        }
    }

    const Smoothing fast(fast_period);
    const Smoothing slow(slow_period);
    const Smoothing signal(signal_period);
    double f = no_value;
    double s = no_value;
    double g = no_value;

    // One forward pass; every position of every output is written once, in
    // order, and nothing is filled beforehand. No position before
    // slow_period - 1 has a value.
    const std::size_t warm_up = slow_period - 1 < n ? static_cast<std::size_t>(slow_period - 1) : n;
    NonFiniteMarks marks;
    for (std::size_t i = 0; i < warm_up; ++i) {
        marks.note(i, data[i]);
        macd_output.set(i, no_value);
        signal_output.set(i, no_value);
        hist_output.set(i, no_value);
    }
    // One position in full: a missing input, the seeding of F and S while F
    // is NaN, and the start of the signal line. Every non-finite input comes
    // here (the steady loop cannot keep it), so the marks see all of them.
    const auto step = [&](std::size_t i) {
        const double x = data[i];
        marks.note(i, x);
        if (is_nan(x)) {
            macd_output.set(i, no_value);
            signal_output.set(i, no_value);
            hist_output.set(i, no_value);
            return;
        }
        if (is_nan(f)) {
            // Both windows lie inside the data: i >= slow_period - 1. The
            // slow window holds the fast one and its sum begins with the
            // same additions, so it is NaN whenever the fast sum is. A sum
            // known to be NaN is not done.
            f = marks.sums_to_nan(i, fast_period) ? no_value
                                                  : trailing_mean(data, i, fast_period);
            s = is_nan(f) || marks.sums_to_nan(i, slow_period)
                    ? no_value
                    : trailing_mean(data, i, slow_period);
        } else {
            f = fast.step(f, x);
            s = slow.step(s, x);
        }
        const double m = f - s;
        if (!is_nan(g)) {
            g = signal.step(g, m);
        } else if (i - (slow_period - 1) >= signal_period - 1) {
            // Subtracted form: cannot wrap for any periods.
            g = m;
        }
        macd_output.set(i, m);
        signal_output.set(i, g);
        hist_output.set(i, is_nan(g) ? no_value : m - g);
    };
    std::size_t i = warm_up;
    while (i < n) {
        // The steady state: the same updates, tried before they are kept. A
        // missing input, an F still to be seeded or a G without a value all
        // make the new G NaN (NaN passes through every operation), and so
        // does arithmetic that ends in NaN; then the position is done again
        // in full from the values before it, with the same operations and
        // so the same bits. One test per position is left.
        for (; i < n; ++i) {
            const double x = data[i];
            const double next_f = fast.step(f, x);
            const double next_s = slow.step(s, x);
            const double m = next_f - next_s;
            const double next_g = signal.step(g, m);
            if (is_nan(next_g)) {
                break;
            }
            f = next_f;
            s = next_s;
            g = next_g;
            macd_output.set(i, m);
            signal_output.set(i, g);
            hist_output.set(i, m - g);
        }
        if (i < n) {
            step(i++);
        }
    }
}

}  // namespace quorvane
