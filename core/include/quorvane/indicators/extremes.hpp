// The highest high and lowest low of the last bars, for the oscillators
// that place a close in that range (stochastic, Williams %R).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quorvane/series.hpp"
#include "quorvane/stepped.hpp"

namespace quorvane::indicators {

// The highest high and lowest low of windows of `period` bars at a cost
// that does not grow with the period (van Herk, Gil and Werman): bars fall
// in blocks of `period`; a window is the tail of the previous block and the
// head of the current one, so its extreme is that of the previous block's
// suffix from the window's start, made for the whole block when it ends,
// and of the current block's running prefix. Of equal values the earliest
// is kept (so -0.0 or +0.0, whichever came first). The storage is the
// previous block's suffixes, highs then lows.
struct Extremes {
    // With a bar of high h and low l: `phase` is its place in its block,
    // `high` and `low` the block's prefix before it, `seen` bars before it,
    // past(b, 0) and past(b, 1) the high and low b + 1 bars back; `length`
    // is the period as a double.
    template <class Past>
    static void step(Period period, double length, double& phase, double& high, double& low,
                     double seen, double h, double l, const Past& past, double* work) noexcept {
        if (phase == 0.0) {
            if (seen >= length) {
                suffixes(period, past, work);
            }
            high = h;
            low = l;
        } else {
            high = h > high ? h : high;
            low = l < low ? l : low;
        }
        phase = phase + 1.0 == length ? 0.0 : phase + 1.0;
    }
    // The window's extremes, once `phase` is past the bar (and a window of
    // `period` bars has been seen).
    static void window(Period period, double phase, double high, double low, const double* work,
                       double& highest, double& lowest) noexcept {
        highest = high;
        lowest = low;
        if (phase != 0.0) {
            const auto from = static_cast<std::size_t>(phase);
            const double top = work[from];
            const double bottom = work[period + from];
            highest = high > top ? high : top;
            lowest = low < bottom ? low : bottom;
        }
    }
    // The suffixes of the block that ended `skip` bars back, from the end
    // down to place `down_to`, each given to put(j, top, bottom).
    template <class Past, class Put>
    static void suffixes(Period period, std::uint64_t skip, std::uint64_t down_to, const Past& past,
                         const Put& put) noexcept {
        double top = past(skip, 0);
        double bottom = past(skip, 1);
        put(period - 1, top, bottom);
        for (std::uint64_t j = period - 1; j-- > down_to;) {
            const double h = past(skip + period - 1 - j, 0);
            const double l = past(skip + period - 1 - j, 1);
            top = h >= top ? h : top;
            bottom = l <= bottom ? l : bottom;
            put(j, top, bottom);
        }
    }
    template <class Past>
    static void suffixes(Period period, const Past& past, double* work) noexcept {
        suffixes(period, 0, 0, past, [&](std::uint64_t j, double top, double bottom) {
            work[j] = top;
            work[period + j] = bottom;
        });
    }
    // The batch kernels' walk over the bars of `high`, `low` and `close`,
    // `n` of them, with the step's comparisons in the same order: block by
    // block, so that no bar asks where it lies in its block, the previous
    // block's suffixes read straight from the input. From bar `first` on
    // gives each bar's window to emit(t, highest, lowest). Stops at the
    // first bar with a NaN or an infinity, its mark h * 0 + l * 0 + c * 0
    // in `mark`, and returns it (n if none): before it the extremes compare
    // finite values alone.
    template <class Emit>
    [[gnu::always_inline]] static std::size_t walk(std::size_t period, std::size_t first,
                                                   const Series& high, const Series& low,
                                                   const Series& close, std::size_t n, double* work,
                                                   double& mark, const Emit& emit) noexcept {
        double top = 0.0;  // the block's prefix extremes
        double bottom = 0.0;
        for (std::size_t start = 0; start < n; start += period) {
            const std::size_t end = std::min(start + period, n);
            if (start != 0) {
                // The previous block's suffixes, from its end down.
                double up = high[start - 1];
                double down = low[start - 1];
                work[period - 1] = up;
                work[2 * period - 1] = down;
                for (std::size_t j = period - 1; j-- > 0;) {
                    const double h = high[start - period + j];
                    const double l = low[start - period + j];
                    up = h >= up ? h : up;
                    down = l <= down ? l : down;
                    work[j] = up;
                    work[period + j] = down;
                }
            }
            for (std::size_t t = start; t < end; ++t) {
                const double h = high[t];
                const double l = low[t];
                mark = stepped::add(stepped::add(h * 0.0, l * 0.0), close[t] * 0.0);
                if (mark != mark) {
                    return t;
                }
                const std::size_t j = t - start;
                top = j == 0 || h > top ? h : top;
                bottom = j == 0 || l < bottom ? l : bottom;
                if (t < first) {
                    continue;
                }
                double highest = top;
                double lowest = bottom;
                if (j + 1 != period) {
                    const double up = work[j + 1];
                    const double down = work[period + j + 1];
                    highest = top > up ? top : up;
                    lowest = bottom < down ? bottom : down;
                }
                emit(t, highest, lowest);
            }
        }
        return n;
    }
    // Whether loaded values are what steps over the kept bars make, `seen`
    // bars having been seen: the block's prefix, and the suffixes a window
    // still reads.
    template <class Past>
    static bool valid(Period period, double phase, double high, double low, std::uint64_t seen,
                      const Past& past, const double* work) noexcept {
        const auto same = [](double a, double b) {
            return std::memcmp(&a, &b, sizeof a) == 0;
        };
        const auto r = static_cast<std::uint64_t>(phase);
        const std::uint64_t m = r == 0 ? period : r;
        bool ok = true;
        if (seen >= m) {
            double top = past(m - 1, 0);
            double bottom = past(m - 1, 1);
            for (std::uint64_t b = m - 1; b-- > 0;) {
                top = past(b, 0) > top ? past(b, 0) : top;
                bottom = past(b, 1) < bottom ? past(b, 1) : bottom;
            }
            ok = same(top, high) && same(bottom, low);
        }
        if (r != 0 && seen - r >= period) {
            suffixes(period, r, r + 1, past, [&](std::uint64_t j, double top, double bottom) {
                ok = ok && same(top, work[j]) && same(bottom, work[period + j]);
            });
        }
        return ok;
    }
};

}  // namespace quorvane::indicators
