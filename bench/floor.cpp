// The speed floor: each indicator's bare recurrence, with no checks and no
// missing-value handling, timed over the prices the Python harness wrote.
//
//   quorvane_floor PRICES [VOLUMES]  answers timing requests read from stdin
//   quorvane_floor --check           exits 0 when the floor and the kernels agree
//
// PRICES holds 3N native binary64 values: N closes, N highs, N lows;
// VOLUMES, which obv needs, N more. A request is one line, answered with
// one line:
//
//   MODE INDICATOR N CALLS REPEATS PERIOD...
//
// MODE is `floor` (the bare recurrence), `kernel` (the library's kernel,
// called directly) or `digest`; INDICATOR is sma, ema, macd, atr, wma, rsi,
// bbands, stoch, willr, adx, cci, obv, roc, mom, dema or tema (or bbands_slid,
// bbands' floor without its fresh sums), over the first N prices; macd and
// stoch take three periods, bbands a period and k, obv none, the others one
// period. The answer is the median over REPEATS samples of the ns per
// element of one call, each sample timing CALLS calls in a row; for `digest`
// it is the wrapping sum of the bit patterns of every output value of one
// floor call.
//
// On data without NaN or infinities the floor computes exactly what the
// kernels compute, bit for bit: it does the same work, minus the checks.
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quorvane/indicators.hpp"
#include "quorvane/indicators/adx.hpp"
#include "quorvane/indicators/bbands.hpp"
#include "quorvane/indicators/cci.hpp"
#include "quorvane/indicators/dema.hpp"
#include "quorvane/indicators/mom.hpp"
#include "quorvane/indicators/obv.hpp"
#include "quorvane/indicators/roc.hpp"
#include "quorvane/indicators/rsi.hpp"
#include "quorvane/indicators/stoch.hpp"
#include "quorvane/indicators/tema.hpp"
#include "quorvane/indicators/willr.hpp"
#include "quorvane/indicators/wma.hpp"

namespace {

constexpr double no_value = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

struct Prices {
    const double* close;
    const double* high;
    const double* low;
    const double* volume;  // null when not given
};

struct Outputs {
    double* first;
    double* second;
    double* third;
};

struct Periods {
    std::size_t a = 0;
    std::size_t b = 0;
    std::size_t c = 0;
    double k = 0.0;  // bbands' k
};

// Outputs never overlap inputs here, which a kernel may exploit too.
using In = const double* __restrict;
using Out = double* __restrict;

// Oldest first, from -0.0 as the kernels start.
double first_window_sum(In x, std::size_t period) noexcept {
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) {
        sum += x[i];
    }
    return sum;
}

[[gnu::noinline]] void floor_sma(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + (period - 1), no_value);
    double sum = first_window_sum(x, period);
    const double scale = 1.0 / static_cast<double>(period);
    out[period - 1] = scale * sum;
    for (std::size_t i = period; i < n; ++i) {
        sum += x[i] - x[i - period];
        out[i] = scale * sum;
    }
}

[[gnu::noinline]] void floor_ema(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + (period - 1), no_value);
    double average = first_window_sum(x, period) / static_cast<double>(period);
    out[period - 1] = average;
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double keep = 1.0 - alpha;
    for (std::size_t i = period; i < n; ++i) {
        average = keep * average + alpha * x[i];
        out[i] = average;
    }
}

double trailing_mean(In x, std::size_t last, std::size_t period) noexcept {
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) {
        sum += x[last - k];
    }
    return sum / static_cast<double>(period);
}

struct Chain {
    double alpha;
    double keep;
    explicit Chain(std::size_t period) noexcept
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), keep(1.0 - alpha) {}
    double step(double average, double x) const noexcept { return keep * average + alpha * x; }
};

// Needs slow + signal - 2 < n: the signal starts inside the data.
[[gnu::noinline]] void floor_macd(std::size_t fast, std::size_t slow, std::size_t signal, In x,
                                  std::size_t n, Out macd, Out signal_line, Out hist) noexcept {
    const Chain fast_chain(fast);
    const Chain slow_chain(slow);
    const Chain signal_chain(signal);
    const std::size_t first = slow - 1;
    const std::size_t signal_first = slow + signal - 2;
    std::fill(macd, macd + first, no_value);
    std::fill(signal_line, signal_line + signal_first, no_value);
    std::fill(hist, hist + signal_first, no_value);

    double f = trailing_mean(x, first, fast);
    double s = trailing_mean(x, first, slow);
    double m = f - s;
    std::size_t i = first;
    for (; i < signal_first; ++i) {
        macd[i] = m;
        f = fast_chain.step(f, x[i + 1]);
        s = slow_chain.step(s, x[i + 1]);
        m = f - s;
    }
    double g = m;
    macd[i] = m;
    signal_line[i] = g;
    hist[i] = m - g;
    for (++i; i < n; ++i) {
        f = fast_chain.step(f, x[i]);
        s = slow_chain.step(s, x[i]);
        m = f - s;
        g = signal_chain.step(g, m);
        macd[i] = m;
        signal_line[i] = g;
        hist[i] = m - g;
    }
}

// The true range of bar i >= 1.
double bare_true_range(In high, In low, In close, std::size_t i) noexcept {
    const double spread = high[i] - low[i];
    const double up = std::fabs(high[i] - close[i - 1]);
    const double down = std::fabs(low[i] - close[i - 1]);
    return std::max(std::max(spread, up), down);
}

[[gnu::noinline]] void floor_atr(std::size_t period, In high, In low, In close, std::size_t n,
                                 Out out) noexcept {
    const auto true_range = [&](std::size_t i) {
        return bare_true_range(high, low, close, i);
    };
    std::fill(out, out + period, no_value);
    double sum = 0.0;
    for (std::size_t i = 1; i <= period; ++i) {
        sum += true_range(i);
    }
    const double p = static_cast<double>(period);
    double average = sum / p;
    out[period] = average;
    const double k = 1.0 / p;
    for (std::size_t i = period + 1; i < n; ++i) {
        average += k * (true_range(i) - average);
        out[i] = average;
    }
}

// Knuth's two-sum: total += b, and the exact error of that sum into error.
inline void accumulate(double& total, double& error, double b) noexcept {
    const double a = total;
    total = a + b;
    const double b_part = total - a;
    error += (a - (total - b_part)) + (b - b_part);
}

// Weights 1 to period over the first window; then every weight moves down
// by one (the previous window's sum subtracted) and the newest comes in at
// the full weight, each sum keeping its rounding error beside it.
[[gnu::noinline]] void floor_wma(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + (period - 1), no_value);
    const auto weight = static_cast<double>(period);
    const double total = (weight * (weight + 1.0)) * 0.5;
    double sum = -0.0;
    double sum_error = 0.0;
    double weighted = -0.0;
    double weighted_error = 0.0;
    for (std::size_t i = 0; i < period; ++i) {
        accumulate(weighted, weighted_error, static_cast<double>(i + 1) * x[i]);
        accumulate(sum, sum_error, x[i]);
    }
    out[period - 1] = (weighted + weighted_error) / total;
    for (std::size_t i = period; i < n; ++i) {
        accumulate(weighted, weighted_error, (weight * x[i] - sum) - sum_error);
        accumulate(sum, sum_error, x[i] - x[i - period]);
        out[i] = (weighted + weighted_error) / total;
    }
}

// Gains and losses of each change; the first `period` of each summed in
// order over the period, then Wilder's average + k * (new - average), and
// 100 * (gain / (gain + loss)), or 50 with no movement.
[[gnu::noinline]] void floor_rsi(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + period, no_value);
    const auto length = static_cast<double>(period);
    const double k = 1.0 / length;
    double gain = 0.0;
    double loss = 0.0;
    const auto value = [&gain, &loss] {
        const double total = gain + loss;
        return total == 0.0 ? 50.0 : 100.0 * (gain / total);
    };
    for (std::size_t i = 1; i <= period; ++i) {
        const double d = x[i] - x[i - 1];
        const double up = d < 0.0 ? 0.0 : d;
        gain += up;
        loss += up - d;
    }
    gain /= length;
    loss /= length;
    out[period] = value();
    for (std::size_t i = period + 1; i < n; ++i) {
        const double d = x[i] - x[i - 1];
        const double up = d < 0.0 ? 0.0 : d;
        gain += k * (up - gain);
        loss += k * ((up - d) - loss);
        out[i] = value();
    }
}

// The window's sums about a base near its mean, slid; summed afresh (the
// mean of the differences from the newest, then the differences from base
// and their squares, oldest first) at the first window, every `period`
// steps, and when the budget passes 64 times the squared deviations for
// each of its terms. Without Refresh, at the first window alone: what the
// fresh sums cost, timed as `bbands_slid` (its values are not the kernel's).
template <bool Refresh>
[[gnu::noinline]] void floor_bbands(std::size_t period, double k, In x, std::size_t n, Out upper,
                                    Out middle, Out lower) noexcept {
    std::fill(upper, upper + (period - 1), no_value);
    std::fill(middle, middle + (period - 1), no_value);
    std::fill(lower, lower + (period - 1), no_value);
    const auto length = static_cast<double>(period);
    const double inverse = 1.0 / length;
    double base = 0.0;
    double sum = 0.0;
    double squares = 0.0;
    double budget = 0.0;
    double since = 0.0;
    const auto fresh = [&](std::size_t last) {
        double offsets = 0.0;
        for (std::size_t i = last + 1 - period; i < last; ++i) {
            offsets += x[i] - x[last];
        }
        base = x[last] + offsets * inverse;
        sum = 0.0;
        squares = 0.0;
        for (std::size_t i = last + 1 - period; i <= last; ++i) {
            const double y = x[i] - base;
            sum += y;
            squares += y * y;
        }
        budget = squares;
        since = 0.0;
    };
    const auto deviations = [&] {
        return squares - sum * (sum * inverse);
    };
    for (std::size_t i = period - 1; i < n; ++i) {
        if (i == period - 1) {
            fresh(i);
        } else {
            const double d = x[i] - base;
            const double o = x[i - period] - base;
            sum += d - o;
            squares += (d - o) * (d + o);
            budget += squares;
            since += 1.0;
            if (Refresh && (since >= length || budget > (64.0 * deviations()) * (since + 1.0))) {
                fresh(i);
            }
        }
        const double m2 = deviations();
        const double mean = base + sum * inverse;
        const double width = k * std::sqrt((m2 < 0.0 ? 0.0 : m2) * inverse);
        upper[i] = mean + width;
        middle[i] = mean;
        lower[i] = mean - width;
    }
}

// The extremes of windows of `period` bars from blocks of `period` bars:
// the suffixes of the previous block, made when it ends, and the running
// prefix of the current one (the earliest of equal values kept).
class Extremes {
public:
    Extremes(std::size_t period, const Prices& in) : period_(period), in_(in), work_(2 * period) {}

    // Bar i in; true with the extremes of bars i - period + 1 to i once
    // there are that many.
    bool step(std::size_t i, double& highest, double& lowest) noexcept {
        const std::size_t p = period_;
        double* const top = work_.data();
        double* const bottom = top + p;
        if (place_ == 0) {
            if (i >= p) {
                double t = in_.high[i - 1];
                double b = in_.low[i - 1];
                top[p - 1] = t;
                bottom[p - 1] = b;
                for (std::size_t j = p - 1; j-- > 0;) {
                    t = in_.high[i - p + j] >= t ? in_.high[i - p + j] : t;
                    b = in_.low[i - p + j] <= b ? in_.low[i - p + j] : b;
                    top[j] = t;
                    bottom[j] = b;
                }
            }
            high_ = in_.high[i];
            low_ = in_.low[i];
        } else {
            high_ = in_.high[i] > high_ ? in_.high[i] : high_;
            low_ = in_.low[i] < low_ ? in_.low[i] : low_;
        }
        place_ = place_ + 1 == p ? 0 : place_ + 1;
        highest = place_ == 0 || high_ > top[place_] ? high_ : top[place_];
        lowest = place_ == 0 || low_ < bottom[place_] ? low_ : bottom[place_];
        return i + 1 >= p;
    }

private:
    std::size_t period_;
    Prices in_;
    std::vector<double> work_;
    std::size_t place_ = 0;
    double high_ = 0.0;
    double low_ = 0.0;
};

// fast %K = 100 * ((close - lowest) / range), 0 on a flat window; SMA's
// running sums over fast %K and over slow %K.
[[gnu::noinline]] void floor_stoch(const std::size_t (&periods)[3], const Prices& in, std::size_t n,
                                   Out slowk, Out slowd) noexcept {
    const auto [period, k, d] = periods;
    Extremes extremes(period, in);
    std::vector<double> fast(k);
    std::vector<double> slow(d);
    const std::size_t first = std::min(period + k + d - 3, n);
    std::fill(slowk, slowk + first, no_value);
    std::fill(slowd, slowd + first, no_value);
    const double k_scale = 1.0 / static_cast<double>(k);
    const double d_scale = 1.0 / static_cast<double>(d);
    double k_sum = -0.0;
    double d_sum = -0.0;
    double highest = 0.0;
    double lowest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!extremes.step(i, highest, lowest)) {
            continue;
        }
        const double range = highest - lowest;
        const double f = range == 0.0 ? 0.0 : 100.0 * ((in.close[i] - lowest) / range);
        const std::size_t j = i - (period - 1);
        k_sum = j < k ? k_sum + f : k_sum + (f - fast[j % k]);
        fast[j % k] = f;
        if (j + 1 < k) {
            continue;
        }
        const double sk = k_scale * k_sum;
        const std::size_t m = j - (k - 1);
        d_sum = m < d ? d_sum + sk : d_sum + (sk - slow[m % d]);
        slow[m % d] = sk;
        if (m + 1 >= d) {
            slowk[i] = sk;
            slowd[i] = d_scale * d_sum;
        }
    }
}

// -100 * ((highest - close) / range), 0 on a flat window.
[[gnu::noinline]] void floor_willr(std::size_t period, const Prices& in, std::size_t n,
                                   Out out) noexcept {
    Extremes extremes(period, in);
    std::fill(out, out + std::min(period - 1, n), no_value);
    double highest = 0.0;
    double lowest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (extremes.step(i, highest, lowest)) {
            const double range = highest - lowest;
            out[i] = range == 0.0 ? 0.0 : -100.0 * ((highest - in.close[i]) / range);
        }
    }
}

// The upward and downward moves and the true ranges, their first `period`
// summed in order over the period, then average + k * (new - average); the
// DIs as 100 * (move / range), DX as 100 * (|+DI - -DI| / (+DI + -DI)), and
// ADX as the mean of the first `period` DXs, then smoothed alike.
// Needs 2 * period <= n: the first ADX lies inside the data.
[[gnu::noinline]] void floor_adx(std::size_t period, In high, In low, In close, std::size_t n,
                                 Out adx, Out plus_di, Out minus_di) noexcept {
    const std::size_t seed = 2 * period - 1;
    std::fill(adx, adx + seed, no_value);
    std::fill(plus_di, plus_di + period, no_value);
    std::fill(minus_di, minus_di + period, no_value);
    const auto length = static_cast<double>(period);
    const double k = 1.0 / length;
    double plus = 0.0;
    double minus = 0.0;
    double range = 0.0;
    double pdm = 0.0;
    double mdm = 0.0;
    const auto moves = [&](std::size_t i) {
        const double up = high[i] - high[i - 1];
        const double down = low[i - 1] - low[i];
        // Masks, not branches: the moves' signs are random.
        const auto kept = [](bool keep, double x) {
            return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) &
                                         (std::uint64_t{0} - static_cast<std::uint64_t>(keep)));
        };
        pdm = kept((up > down) & (up > 0.0), up);
        mdm = kept((down > up) & (down > 0.0), down);
    };
    // The DIs at i from the averages; returns DX.
    const auto directional = [&](std::size_t i) {
        const double p = range == 0.0 ? 0.0 : 100.0 * (plus / range);
        const double m = range == 0.0 ? 0.0 : 100.0 * (minus / range);
        plus_di[i] = p;
        minus_di[i] = m;
        const double total = p + m;
        return total == 0.0 ? 0.0 : 100.0 * (std::fabs(p - m) / total);
    };
    const auto advance = [&](std::size_t i) {
        moves(i);
        plus += k * (pdm - plus);
        minus += k * (mdm - minus);
        range += k * (bare_true_range(high, low, close, i) - range);
        return directional(i);
    };
    for (std::size_t i = 1; i < period; ++i) {
        moves(i);
        plus += pdm;
        minus += mdm;
        range += bare_true_range(high, low, close, i);
    }
    moves(period);
    plus = (plus + pdm) / length;
    minus = (minus + mdm) / length;
    range = (range + bare_true_range(high, low, close, period)) / length;
    double sum = 0.0;
    sum += directional(period);
    for (std::size_t i = period + 1; i <= seed; ++i) {
        sum += advance(i);
    }
    double average = sum / length;
    adx[seed] = average;
    for (std::size_t i = seed + 1; i < n; ++i) {
        average += k * (advance(i) - average);
        adx[i] = average;
    }
}

// Every (high + low) + close made once, into a scratch array; each
// position sums its window afresh, oldest first, in four partial sums
// (element j into j % 4), for the mean and then for the mean absolute
// deviation from it; 0 where that deviation is 0.
[[gnu::noinline]] void floor_cci(std::size_t period, In high, In low, In close, std::size_t n,
                                 Out out) noexcept {
    std::fill(out, out + (period - 1), no_value);
    static std::vector<double> triples;
    triples.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        triples[i] = (high[i] + low[i]) + close[i];
    }
    const auto length = static_cast<double>(period);
    const auto total = [period](const auto& element) {
        double p[4] = {-0.0, -0.0, -0.0, -0.0};
        std::size_t j = 0;
        for (; j + 4 <= period; j += 4) {
            p[0] += element(j);
            p[1] += element(j + 1);
            p[2] += element(j + 2);
            p[3] += element(j + 3);
        }
        for (std::size_t k = 0; j < period; ++j, ++k) {
            p[k] += element(j);
        }
        return (p[0] + p[1]) + (p[2] + p[3]);
    };
    for (std::size_t i = period - 1; i < n; ++i) {
        const double* window = triples.data() + (i + 1 - period);
        const double mean = total([window](std::size_t j) { return window[j]; }) / length;
        const double spread =
            total([window, mean](std::size_t j) { return std::fabs(window[j] - mean); }) / length;
        out[i] = spread == 0.0 ? 0.0 : (window[period - 1] - mean) / (0.015 * spread);
    }
}

// v where `pick`, else +0.0, by a mask: the compiler would make some
// selects of this loop branches, which a price's random rises and falls
// mispredict (the kernel's own are kept as selects by its subtraction, an
// instruction of its own).
inline double masked(bool pick, double v) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & (0 - std::uint64_t{pick}));
}

// The first volume, then each volume added on a rise of the close and
// subtracted on a fall: (up - down), each picked by a select, added to the
// total.
[[gnu::noinline]] void floor_obv(In close, In volume, std::size_t n, Out out) noexcept {
    double total = volume[0];
    out[0] = total;
    for (std::size_t i = 1; i < n; ++i) {
        const double d = close[i] - close[i - 1];
        total += masked(d > 0.0, volume[i]) - masked(d < 0.0, volume[i]);
        out[i] = total;
    }
}

// x[i] against x[i - period]: 100 * (x / earlier - 1), and x - earlier.
[[gnu::noinline]] void floor_roc(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + period, no_value);
    for (std::size_t i = period; i < n; ++i) {
        out[i] = 100.0 * (x[i] / x[i - period] - 1.0);
    }
}

[[gnu::noinline]] void floor_mom(std::size_t period, In x, std::size_t n, Out out) noexcept {
    std::fill(out, out + period, no_value);
    for (std::size_t i = period; i < n; ++i) {
        out[i] = x[i] - x[i - period];
    }
}

// EMAs of EMAs, each EMA's: stage k seeds with the mean of the first
// `period` values of its input, which starts where stage k - 1 seeded;
// then value = weights[0] * e[0] + ... in order (the weight 1 not applied).
template <std::size_t Stages>
[[gnu::noinline]] void floor_chained(std::size_t period, In x, std::size_t n, Out out,
                                     const double (&weights)[Stages]) noexcept {
    const auto divisor = static_cast<double>(period);
    const double alpha = 2.0 / (divisor + 1.0);
    const double keep = 1.0 - alpha;
    double average[Stages];
    double sum[Stages];
    std::fill(sum, sum + Stages, -0.0);
    std::size_t start = 0;  // where the stage being seeded gets its first input
    std::size_t ready = 0;  // stages seeded
    for (std::size_t i = 0; i < n; ++i) {
        double v = x[i];
        for (std::size_t k = 0; k < Stages; ++k) {
            if (k < ready) {
                average[k] = keep * average[k] + alpha * v;
            } else {
                sum[k] += v;
                if (i - start + 1 != period) {
                    break;
                }
                average[k] = sum[k] / divisor;
                start = i;
                ++ready;
            }
            v = average[k];
        }
        if (ready < Stages) {
            out[i] = no_value;
            continue;
        }
        double value = weights[0] * average[0];
        for (std::size_t j = 1; j < Stages; ++j) {
            value = value + (weights[j] == 1.0 ? average[j] : weights[j] * average[j]);
        }
        out[i] = value;
    }
}

enum class Indicator {
    sma,
    ema,
    macd,
    atr,
    wma,
    rsi,
    bbands,
    bbands_slid,
    stoch,
    willr,
    adx,
    cci,
    obv,
    roc,
    mom,
    dema,
    tema
};

void run_floor(Indicator indicator, const Periods& p, const Prices& in, std::size_t n,
               const Outputs& out) noexcept {
    switch (indicator) {
    case Indicator::sma:
        floor_sma(p.a, in.close, n, out.first);
        break;
    case Indicator::ema:
        floor_ema(p.a, in.close, n, out.first);
        break;
    case Indicator::macd:
        floor_macd(p.a, p.b, p.c, in.close, n, out.first, out.second, out.third);
        break;
    case Indicator::atr:
        floor_atr(p.a, in.high, in.low, in.close, n, out.first);
        break;
    case Indicator::wma:
        floor_wma(p.a, in.close, n, out.first);
        break;
    case Indicator::rsi:
        floor_rsi(p.a, in.close, n, out.first);
        break;
    case Indicator::bbands:
        floor_bbands<true>(p.a, p.k, in.close, n, out.first, out.second, out.third);
        break;
    case Indicator::bbands_slid:
        floor_bbands<false>(p.a, p.k, in.close, n, out.first, out.second, out.third);
        break;
    case Indicator::stoch:
        floor_stoch({p.a, p.b, p.c}, in, n, out.first, out.second);
        break;
    case Indicator::willr:
        floor_willr(p.a, in, n, out.first);
        break;
    case Indicator::adx:
        floor_adx(p.a, in.high, in.low, in.close, n, out.first, out.second, out.third);
        break;
    case Indicator::cci:
        floor_cci(p.a, in.high, in.low, in.close, n, out.first);
        break;
    case Indicator::obv:
        floor_obv(in.close, in.volume, n, out.first);
        break;
    case Indicator::roc:
        floor_roc(p.a, in.close, n, out.first);
        break;
    case Indicator::mom:
        floor_mom(p.a, in.close, n, out.first);
        break;
    case Indicator::dema:
        floor_chained<2>(p.a, in.close, n, out.first, {2.0, -1.0});
        break;
    case Indicator::tema:
        floor_chained<3>(p.a, in.close, n, out.first, {3.0, -3.0, 1.0});
        break;
    }
}

void run_kernel(Indicator indicator, const Periods& p, const Prices& in, std::size_t n,
                const Outputs& out) noexcept {
    using quorvane::OutputSeries;
    using quorvane::Series;
    switch (indicator) {
    case Indicator::sma:
        quorvane::sma(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::ema:
        quorvane::ema(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::macd:
        quorvane::macd(p.a, p.b, p.c, Series(in.close, n), OutputSeries(out.first, n),
                       OutputSeries(out.second, n), OutputSeries(out.third, n));
        break;
    case Indicator::atr:
        quorvane::atr(p.a, Series(in.high, n), Series(in.low, n), Series(in.close, n),
                      OutputSeries(out.first, n));
        break;
    case Indicator::wma:
        quorvane::indicators::Wma::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::rsi:
        quorvane::indicators::Rsi::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::bbands:
    case Indicator::bbands_slid:  // the slid floor has no kernel: the library's
        quorvane::indicators::Bbands::kernel(
            p.a, quorvane::descriptor::word(p.k), Series(in.close, n), OutputSeries(out.first, n),
            OutputSeries(out.second, n), OutputSeries(out.third, n));
        break;
    case Indicator::stoch:
        // With its storage allocated, as a call from Python does.
        quorvane::stepped::run_kernel<quorvane::indicators::Stoch>(
            p.a, p.b, p.c, Series(in.high, n), Series(in.low, n), Series(in.close, n),
            OutputSeries(out.first, n), OutputSeries(out.second, n));
        break;
    case Indicator::willr:
        quorvane::stepped::run_kernel<quorvane::indicators::Willr>(
            p.a, Series(in.high, n), Series(in.low, n), Series(in.close, n),
            OutputSeries(out.first, n));
        break;
    case Indicator::adx:
        quorvane::indicators::Adx::kernel(p.a, Series(in.high, n), Series(in.low, n),
                                          Series(in.close, n), OutputSeries(out.first, n),
                                          OutputSeries(out.second, n), OutputSeries(out.third, n));
        break;
    case Indicator::cci:
        quorvane::stepped::run_kernel<quorvane::indicators::Cci>(
            p.a, Series(in.high, n), Series(in.low, n), Series(in.close, n),
            OutputSeries(out.first, n));
        break;
    case Indicator::obv:
        quorvane::indicators::Obv::kernel(Series(in.close, n), Series(in.volume, n),
                                          OutputSeries(out.first, n));
        break;
    case Indicator::roc:
        quorvane::indicators::Roc::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::mom:
        quorvane::indicators::Mom::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::dema:
        quorvane::indicators::Dema::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    case Indicator::tema:
        quorvane::indicators::Tema::kernel(p.a, Series(in.close, n), OutputSeries(out.first, n));
        break;
    }
}

bool bollinger(Indicator indicator) {
    return indicator == Indicator::bbands || indicator == Indicator::bbands_slid;
}

std::size_t output_count(Indicator indicator) {
    if (indicator == Indicator::macd || bollinger(indicator) || indicator == Indicator::adx) {
        return 3;
    }
    return indicator == Indicator::stoch ? 2 : 1;
}

// The shortest input on which the floor's warm-up ends inside the data.
std::size_t shortest_input(Indicator indicator, const Periods& p) {
    switch (indicator) {
    case Indicator::sma:
    case Indicator::ema:
    case Indicator::wma:
    case Indicator::bbands:
    case Indicator::bbands_slid:
    case Indicator::willr:
    case Indicator::cci:
        return p.a;
    case Indicator::macd:
        return p.b + p.c - 1;
    case Indicator::atr:
    case Indicator::rsi:
    case Indicator::roc:
    case Indicator::mom:
        return p.a + 1;
    case Indicator::stoch:
        return p.a + p.b + p.c - 2;
    case Indicator::adx:
        return 2 * p.a;
    case Indicator::obv:
        return 1;
    case Indicator::dema:
        return 2 * p.a - 1;
    case Indicator::tema:
        return 3 * p.a - 2;
    }
    return 0;
}

bool periods_valid(Indicator indicator, const Periods& p) {
    if (indicator == Indicator::macd) {
        return p.a > 0 && p.a < p.b && p.c > 0;
    }
    if (bollinger(indicator)) {
        return p.a > 0 && quorvane::descriptor::within(p.k, 0.0);
    }
    if (indicator == Indicator::stoch) {
        return p.a > 0 && p.b > 0 && p.c > 0;
    }
    return indicator == Indicator::obv || p.a > 0;
}

std::uint64_t digest(const Outputs& out, std::size_t count, std::size_t n) {
    std::uint64_t sum = 0;
    for (double* values : {out.first, out.second, out.third}) {
        if (count-- == 0) {
            break;
        }
        for (std::size_t i = 0; i < n; ++i) {
            sum += std::bit_cast<std::uint64_t>(values[i]);
        }
    }
    return sum;
}

bool parse_indicator(const std::string& name, Indicator& indicator) {
    constexpr std::pair<const char*, Indicator> names[] = {{"sma", Indicator::sma},
                                                           {"ema", Indicator::ema},
                                                           {"macd", Indicator::macd},
                                                           {"atr", Indicator::atr},
                                                           {"wma", Indicator::wma},
                                                           {"rsi", Indicator::rsi},
                                                           {"bbands", Indicator::bbands},
                                                           {"stoch", Indicator::stoch},
                                                           {"willr", Indicator::willr},
                                                           {"adx", Indicator::adx},
                                                           {"cci", Indicator::cci},
                                                           {"obv", Indicator::obv},
                                                           {"roc", Indicator::roc},
                                                           {"mom", Indicator::mom},
                                                           {"dema", Indicator::dema},
                                                           {"tema", Indicator::tema},
                                                           {"bbands_slid", Indicator::bbands_slid}};
    for (const auto& [text, value] : names) {
        if (name == text) {
            indicator = value;
            return true;
        }
    }
    return false;
}

// A deterministic random walk with a spread around it, then volumes, all
// finite.
std::vector<double> generated_prices(std::size_t n) {
    std::vector<double> values(4 * n);
    std::uint64_t state = 0x9E3779B97F4A7C15;
    const auto uniform = [&state] {
        state = state * 6364136223846793005 + 1442695040888963407;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price *= 1.0 + 0.02 * (uniform() - 0.5);
        values[i] = price;
        values[n + i] = price * (1.0 + 0.01 * uniform());
        values[2 * n + i] = price * (1.0 - 0.01 * uniform());
        values[3 * n + i] = std::floor(1e6 * (0.5 + uniform()));
    }
    return values;
}

int check() {
    constexpr std::size_t n = 300;
    const std::vector<double> prices = generated_prices(n);
    const Prices in{prices.data(), prices.data() + n, prices.data() + 2 * n, prices.data() + 3 * n};
    std::vector<double> floor_values(3 * n);
    std::vector<double> kernel_values(3 * n);
    const Outputs floor_out{floor_values.data(), floor_values.data() + n,
                            floor_values.data() + 2 * n};
    const Outputs kernel_out{kernel_values.data(), kernel_values.data() + n,
                             kernel_values.data() + 2 * n};
    const std::pair<Indicator, Periods> cases[] = {
        {Indicator::sma, {1}},
        {Indicator::sma, {10}},
        {Indicator::sma, {n}},
        {Indicator::ema, {1}},
        {Indicator::ema, {10}},
        {Indicator::ema, {n}},
        {Indicator::macd, {1, 2, 1}},
        {Indicator::macd, {12, 26, 9}},
        {Indicator::macd, {5, 200, 101}},
        {Indicator::atr, {1}},
        {Indicator::atr, {14}},
        {Indicator::atr, {n - 1}},
        {Indicator::wma, {1}},
        {Indicator::wma, {30}},
        {Indicator::wma, {n}},
        {Indicator::rsi, {1}},
        {Indicator::rsi, {14}},
        {Indicator::rsi, {n - 1}},
        {Indicator::bbands, {1, 0, 0, 2.0}},
        {Indicator::bbands, {5, 0, 0, 2.0}},
        {Indicator::bbands, {20, 0, 0, 0.0}},
        {Indicator::bbands, {n, 0, 0, 1.5}},
        {Indicator::stoch, {1, 1, 1}},
        {Indicator::stoch, {5, 3, 3}},
        {Indicator::stoch, {14, 1, 5}},
        {Indicator::stoch, {100, 40, 7}},
        {Indicator::stoch, {n - 4, 3, 3}},
        {Indicator::willr, {1}},
        {Indicator::willr, {14}},
        {Indicator::willr, {37}},
        {Indicator::willr, {n}},
        {Indicator::adx, {1}},
        {Indicator::adx, {14}},
        {Indicator::adx, {n / 2}},
        {Indicator::cci, {1}},
        {Indicator::cci, {14}},
        {Indicator::cci, {101}},
        {Indicator::obv, {}},
        {Indicator::roc, {1}},
        {Indicator::roc, {10}},
        {Indicator::roc, {n - 1}},
        {Indicator::mom, {1}},
        {Indicator::mom, {10}},
        {Indicator::mom, {n - 1}},
        {Indicator::dema, {1}},
        {Indicator::dema, {30}},
        {Indicator::dema, {(n + 1) / 2}},
        {Indicator::tema, {1}},
        {Indicator::tema, {30}},
        {Indicator::tema, {(n + 2) / 3}},
    };
    int failures = 0;
    for (const auto& [indicator, periods] : cases) {
        for (const std::size_t length : {shortest_input(indicator, periods), n}) {
            run_floor(indicator, periods, in, length, floor_out);
            run_kernel(indicator, periods, in, length, kernel_out);
            for (std::size_t k = 0; k < 3 * n; k += n) {
                if (!std::equal(floor_values.begin() + static_cast<std::ptrdiff_t>(k),
                                floor_values.begin() + static_cast<std::ptrdiff_t>(k + length),
                                kernel_values.begin() + static_cast<std::ptrdiff_t>(k),
                                [](double x, double y) {
                                    return std::bit_cast<std::uint64_t>(x) ==
                                           std::bit_cast<std::uint64_t>(y);
                                })) {
                    std::fprintf(
                        stderr,
                        "floor and kernel differ: indicator %d, periods %zu %zu %zu, n %zu\n",
                        static_cast<int>(indicator), periods.a, periods.b, periods.c, length);
                    ++failures;
                }
                if (output_count(indicator) == 1) {
                    break;
                }
            }
        }
    }
    if (failures == 0) {
        std::printf("the floor matches the kernels in all %zu cases\n", 2 * std::size(cases));
    }
    return failures == 0 ? 0 : 1;
}

// Memory as NumPy gives large arrays: on huge pages where the system
// allows, so that the floor and the Python side pay alike for address
// translation. Loops over several arrays run at speeds that depend on how
// the arrays lie relative to one another, so the layout follows the
// harness's: each array starts on a page boundary, and the k-th is moved
// k * 9 pages into its block, as separately allocated arrays lie at
// unrelated offsets beyond the page.
class Buffer {
public:
    Buffer(std::size_t count, std::size_t k) {
        constexpr std::size_t huge_page = std::size_t{1} << 21;
        constexpr std::size_t page = 4096;
        const std::size_t skew = k * 9 * page % huge_page;
        const std::size_t bytes = (count * sizeof(double) / huge_page + 2) * huge_page;
        block_ = static_cast<unsigned char*>(std::aligned_alloc(huge_page, bytes));
        if (block_ == nullptr) {
            std::fprintf(stderr, "cannot allocate %zu bytes\n", bytes);
            std::exit(2);
        }
        ::madvise(block_, bytes, MADV_HUGEPAGE);
        values_ = reinterpret_cast<double*>(block_ + skew);
    }
    ~Buffer() { std::free(block_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    double* data() const noexcept { return values_; }

private:
    unsigned char* block_;
    double* values_;
};

constexpr std::chrono::milliseconds warm_up{20};

// Answers one request; false when it cannot be served.
bool serve(const std::string& line, const Prices& in, std::size_t capacity, const Outputs& out) {
    std::istringstream words(line);
    std::string mode;
    std::string name;
    Indicator indicator{};
    std::size_t n = 0;
    std::size_t calls = 0;
    std::size_t repeats = 0;
    Periods p;
    if (!(words >> mode >> name >> n >> calls >> repeats) || !parse_indicator(name, indicator) ||
        (indicator != Indicator::obv && !(words >> p.a))) {
        return false;
    }
    if (indicator == Indicator::obv && in.volume == nullptr) {
        return false;
    }
    if ((indicator == Indicator::macd || indicator == Indicator::stoch) && !(words >> p.b >> p.c)) {
        return false;
    }
    if (bollinger(indicator) && !(words >> p.k)) {
        return false;
    }
    if (!periods_valid(indicator, p) || n > capacity || n < shortest_input(indicator, p) ||
        calls == 0 || repeats == 0) {
        return false;
    }
    if (mode == "digest") {
        run_floor(indicator, p, in, n, out);
        std::printf("%llu\n",
                    static_cast<unsigned long long>(digest(out, output_count(indicator), n)));
        return true;
    }
    if (mode != "floor" && mode != "kernel") {
        return false;
    }
    const auto run = mode == "floor" ? run_floor : run_kernel;
    // The program sleeps on its pipe between requests, and a core woken
    // from idle runs slower until its clock has ramped up: the Python side,
    // busy throughout, would otherwise be compared with a cold floor.
    const auto warm = std::chrono::steady_clock::now() + warm_up;
    while (std::chrono::steady_clock::now() < warm) {
        run(indicator, p, in, n, out);
        __asm__ __volatile__("" : : : "memory");
    }
    std::vector<double> samples;
    for (std::size_t r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t c = 0; c < calls; ++c) {
            run(indicator, p, in, n, out);
            // Each call's writes must happen: nothing may be merged across calls.
            __asm__ __volatile__("" : : : "memory");
        }
        const std::chrono::duration<double, std::nano> elapsed =
            std::chrono::steady_clock::now() - start;
        samples.push_back(elapsed.count() / static_cast<double>(calls * n));
    }
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(repeats / 2),
                     samples.end());
    std::printf("%.9g\n", samples[repeats / 2]);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--check") {
        return check();
    }
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s PRICES [VOLUMES] | %s --check\n", argv[0], argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
    const auto bytes = file ? static_cast<std::size_t>(file.tellg()) : 0;
    if (bytes == 0 || bytes % (3 * sizeof(double)) != 0) {
        std::fprintf(stderr, "%s: not a file of 3N binary64 prices\n", argv[1]);
        return 2;
    }
    const std::size_t capacity = bytes / (3 * sizeof(double));
    const Buffer close(capacity, 0);
    const Buffer high(capacity, 1);
    const Buffer low(capacity, 2);
    file.seekg(0);
    for (const Buffer* prices : {&close, &high, &low}) {
        file.read(reinterpret_cast<char*>(prices->data()),
                  static_cast<std::streamsize>(capacity * sizeof(double)));
    }
    const Buffer volume(argc == 3 ? capacity : 0, 6);
    if (argc == 3) {
        std::ifstream volumes(argv[2], std::ios::binary | std::ios::ate);
        if (!volumes || static_cast<std::size_t>(volumes.tellg()) != capacity * sizeof(double)) {
            std::fprintf(stderr, "%s: not a file of N binary64 volumes\n", argv[2]);
            return 2;
        }
        volumes.seekg(0);
        volumes.read(reinterpret_cast<char*>(volume.data()),
                     static_cast<std::streamsize>(capacity * sizeof(double)));
    }
    const Prices in{close.data(), high.data(), low.data(), argc == 3 ? volume.data() : nullptr};
    const Buffer first(capacity, 3);
    const Buffer second(capacity, 4);
    const Buffer third(capacity, 5);
    const Outputs out{first.data(), second.data(), third.data()};

    std::string line;
    while (std::getline(std::cin, line)) {
        if (!serve(line, in, capacity, out)) {
            std::fprintf(stderr, "bad request: %s\n", line.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
