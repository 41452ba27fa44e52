"""Slow reference models of the kernels, bit for bit."""

# One binary64 operation at a time in each kernel's order: Python never fuses a
# multiply with an add, so results must agree bit for bit.

# Positions without a value hold NO_VALUE, which the extension fills with the
# exact no-value NaN; a float NaN is one made by arithmetic, whose payload is
# the platform's. A model writes into the outputs it is given, one write at a
# time in its kernel's order, so that over outputs sharing storage
# (support.arrays.Window) the last write to a cell stays, as with the kernel's.

import math
import struct
from collections.abc import Callable
from typing import NamedTuple

import numpy as np

NO_VALUE = None
NO_VALUE_BITS = 0x7FF8000000000000
PERIOD_MAX = 2**64 - 1


def _fill(out):
    for i in range(len(out)):
        out[i] = NO_VALUE


def sma(period, data, out):
    n = len(data)
    _fill(out)
    if (period - 1) % 2**64 >= n:
        return
    total = -0.0
    for x in data[:period]:
        total += x
    scale = 1.0 / float(period)
    out[period - 1] = scale * total
    for i in range(period, n):
        d = data[i] - data[i - period]
        total += d
        out[i] = scale * total


def ema(period, data, out):
    n = len(data)
    _fill(out)
    if (period - 1) % 2**64 >= n:
        return
    # The plain search: every candidate window tested from its first value.
    starts = (s for s in range(n - period + 1) if all(map(math.isfinite, data[s:s + period])))
    s = next(starts, None)
    if s is None:
        return
    total = -0.0
    for x in data[s:s + period]:
        total += x
    average = total / float(period)
    out[s + period - 1] = average
    alpha = 2.0 / (float(period) + 1.0)
    keep = 1.0 - alpha
    for i in range(s + period, n):
        if math.isfinite(data[i]):
            average = keep * average + alpha * data[i]
            out[i] = average


def _is_nan(x):
    return x is NO_VALUE or math.isnan(x)


def _trailing_mean(data, last, period):
    total = -0.0
    for k in range(period):
        total += data[last - k]
    return total / float(period)


def macd(fast_period, slow_period, signal_period, data, macd_out, signal_out, hist_out):
    # No fill: each position of each output is written once, in order.
    alpha = [2.0 / (float(p) + 1.0) for p in (fast_period, slow_period, signal_period)]
    keep = [1.0 - a for a in alpha]
    f = s = g = NO_VALUE
    for i, x in enumerate(data):
        if math.isnan(x) or i < slow_period - 1:
            macd_out[i] = signal_out[i] = hist_out[i] = NO_VALUE
            continue
        if _is_nan(f):
            f = _trailing_mean(data, i, fast_period)
            s = _trailing_mean(data, i, slow_period)
        else:
            f = keep[0] * f + alpha[0] * x
            s = keep[1] * s + alpha[1] * x
        m = f - s
        if not _is_nan(g):
            g = keep[2] * g + alpha[2] * m
        elif i - (slow_period - 1) >= signal_period - 1:
            g = m
        macd_out[i] = m
        signal_out[i] = g
        hist_out[i] = NO_VALUE if _is_nan(g) else m - g


def max_num(x, y):
    # IEEE 754-2008 maxNum: a NaN loses to a number, +0 beats -0.
    if math.isnan(x) or math.isnan(y):
        return y if math.isnan(x) else x
    if x == y:
        return y if math.copysign(1.0, x) < 0 else x
    return max(x, y)


def true_range(high, low, close, i):
    spread = high[i] - low[i]
    up = abs(high[i] - close[i - 1])
    down = abs(low[i] - close[i - 1])
    return max_num(max_num(spread, up), down)


def atr(period, high, low, close, out):
    n = len(high)
    _fill(out)
    if period == 0 or period >= n:
        return
    p = float(period)
    k = 1.0 / p
    total = 0.0
    for i in range(1, period + 1):
        total += true_range(high, low, close, i)
    avg = total / p
    out[period] = avg
    for i in range(period + 1, n):
        d = true_range(high, low, close, i) - avg
        e = k * d
        avg = avg + e
        out[i] = avg


def _two_sum(total, error, b):
    # total + b, and error plus that sum's exact rounding error.
    a = total
    total = a + b
    b_part = total - a
    return total, error + ((a - (total - b_part)) + (b - b_part))


def wma(period, data, out):
    # Weights 1..period over the first window, summed in order; then
    # weighted += (period * x - sum) - sum_error and sum += x - oldest, each
    # sum carrying its rounding error.
    _fill(out)
    if period == 0:
        return
    w = float(period)
    total_weight = (w * (w + 1.0)) * 0.5
    total, total_error, weighted, weighted_error = -0.0, 0.0, -0.0, 0.0
    for i, x in enumerate(data):
        if i < period:
            weighted, weighted_error = _two_sum(weighted, weighted_error, float(i + 1) * x)
            total, total_error = _two_sum(total, total_error, x)
        else:
            weighted, weighted_error = _two_sum(weighted, weighted_error, (w * x - total) - total_error)
            total, total_error = _two_sum(total, total_error, x - data[i - period])
        if i >= period - 1:
            out[i] = (weighted + weighted_error) / total_weight


def rsi(period, data, out):
    # gain = d < 0 ? 0 : d, loss = gain - d for d = x - previous;
    # the first `period` summed in order over the period, then
    # average + k * (new - average); 100 * (gain / (gain + loss)), 50 for 0.
    _fill(out)
    if period == 0:
        return
    length = float(period)
    k = 1.0 / length
    gain = loss = 0.0
    for i in range(1, len(data)):
        d = data[i] - data[i - 1]
        up = 0.0 if d < 0 else d
        down = up - d
        if i < period:
            gain, loss = gain + up, loss + down
            continue
        if i == period:
            gain, loss = (gain + up) / length, (loss + down) / length
        else:
            gain, loss = gain + k * (up - gain), loss + k * (down - loss)
        total = gain + loss
        out[i] = 50.0 if total == 0 else 100.0 * (gain / total)


def _fresh(window):
    # base = newest + mean of the others' differences from it, oldest first;
    # then the differences from base and their squares, summed oldest first.
    x, offsets = window[-1], 0.0
    for w in window[:-1]:
        offsets += w - x
    base, total, squares = x + offsets * (1.0 / len(window)), 0.0, 0.0
    for w in window:
        y = w - base
        total, squares = total + y, squares + y * y
    return base, total, squares


def bbands(period, k, data, upper, middle, lower):
    # Sums about base, slid; summed afresh at the first full window, every
    # `period` steps and when budget > (64 * m2) * (since + 1); NaN from the first value
    # not finite on.
    for out in (upper, middle, lower):
        _fill(out)
    if period == 0:
        return
    n, spoiled = float(period), False
    inverse = 1.0 / n
    base = total = squares = budget = since = 0.0
    for i, x in enumerate(data):
        spoiled = spoiled or not math.isfinite(x)
        if i < period - 1:
            continue
        if i == period - 1:
            due = True
        else:
            d, o = x - base, data[i - period] - base
            total, squares = total + (d - o), squares + (d - o) * (d + o)
            budget, since = budget + squares, since + 1.0
            due = since >= n or budget > (64.0 * (squares - total * (total * inverse))) * (since + 1.0)
        if due:
            base, total, squares = _fresh(data[i - period + 1:i + 1])
            budget, since = squares, 0.0
        mean = base + total * inverse
        m2 = squares - total * (total * inverse)
        width = k * math.sqrt((0.0 if m2 < 0 else m2) * inverse) if m2 == m2 else math.nan
        if spoiled:
            mean = width = math.nan
        upper[i], middle[i], lower[i] = mean + width, mean, mean - width


def stoch(fastk, slowk, slowd, high, low, close, k_out, d_out):
    # 100 * ((close - lowest) / (highest - lowest)), 0 on a flat window, the
    # earliest of equal extremes kept; SMA's running sums over it and over
    # those; both from bar fastk + slowk + slowd - 3; NaN after a NaN or inf.
    _fill(k_out)
    _fill(d_out)
    if 0 in (fastk, slowk, slowd):
        return
    fast, slow, bad, k_sum, d_sum = [], [], False, -0.0, -0.0
    for i in range(len(close)):
        bad = bad or not all(map(math.isfinite, (high[i], low[i], close[i])))
        if i < fastk - 1:
            continue
        hi, lo = high[i - fastk + 1], low[i - fastk + 1]
        for j in range(i - fastk + 2, i + 1):
            hi, lo = high[j] if high[j] > hi else hi, low[j] if low[j] < lo else lo
        fast.append(0.0 if hi - lo == 0 else 100.0 * ((close[i] - lo) / (hi - lo)))
        k_sum = k_sum + fast[-1] if len(fast) <= slowk else k_sum + (fast[-1] - fast[-1 - slowk])
        if len(fast) >= slowk:
            slow.append((1.0 / slowk) * k_sum)
            d_sum = d_sum + slow[-1] if len(slow) <= slowd else d_sum + (slow[-1] - slow[-1 - slowd])
        if len(slow) >= slowd:
            k_out[i] = math.nan if bad else slow[-1]
            d_out[i] = math.nan if bad else (1.0 / slowd) * d_sum


def willr(period, high, low, close, out):
    # -100 * ((highest - close) / (highest - lowest)), 0 on a flat window,
    # the earliest of equal extremes kept; NaN after a NaN or an infinity.
    _fill(out)
    bad = False
    for i in range(len(close)):
        bad = bad or not all(map(math.isfinite, (high[i], low[i], close[i])))
        if period == 0 or i < period - 1:
            continue
        hi, lo = high[i - period + 1], low[i - period + 1]
        for j in range(i - period + 2, i + 1):
            hi, lo = high[j] if high[j] > hi else hi, low[j] if low[j] < lo else lo
        out[i] = math.nan if bad else 0.0 if hi - lo == 0 else -100.0 * ((hi - close[i]) / (hi - lo))


def adx(period, high, low, close, adx_out, plus_out, minus_out):
    # +DM = up if up > down and up > 0, else 0 (NaN if up or down is), -DM
    # likewise; they and ATR's true range smoothed as RSI's averages; DI =
    # 100 * (DM / TR), 0 for TR 0; DX = 100 * (|+DI - -DI| / (+DI + -DI)),
    # 0 for a zero sum; ADX the same smoothing of DX from position period.
    for out in (adx_out, plus_out, minus_out):
        _fill(out)
    if period == 0:
        return
    length = float(period)
    k = 1.0 / length
    sums = [0.0] * 4  # +DM, -DM, TR, DX

    def smooth(j, x, first):
        sums[j] = (sums[j] + x) / length if first else sums[j] + k * (x - sums[j])

    for i in range(1, len(high)):
        up, down = high[i] - high[i - 1], low[i - 1] - low[i]
        nan = math.isnan(up) or math.isnan(down)
        moves = [math.nan if nan else (a if a > b and a > 0 else 0.0) for a, b in ((up, down), (down, up))]
        moves.append(true_range(high, low, close, i))
        if i < period:
            sums[:3] = [s + m for s, m in zip(sums, moves)]
            continue
        for j in range(3):
            smooth(j, moves[j], i == period)
        di = [0.0 if sums[2] == 0 else 100.0 * (sums[j] / sums[2]) for j in range(2)]
        total = di[0] + di[1]
        dx = 0.0 if total == 0 else 100.0 * (abs(di[0] - di[1]) / total)
        plus_out[i], minus_out[i] = di
        if i < 2 * period - 1:
            sums[3] += dx
            continue
        smooth(3, dx, i == 2 * period - 1)
        adx_out[i] = sums[3]
def _window_total(values):
    # Element j into partial sum j % 4, each from -0.0; then (p0 + p1) + (p2 + p3).
    parts = [-0.0] * 4
    for j, v in enumerate(values):
        parts[j % 4] += v
    return (parts[0] + parts[1]) + (parts[2] + parts[3])


def cci(period, high, low, close, out):
    # s = (high + low) + close; the mean of the window's s and the mean of
    # |s - mean|, each a window total over the period; then (s - mean) /
    # (0.015 * deviation), IEEE's quotient, or 0 when the deviation is 0.
    _fill(out)
    if period == 0:
        return
    s = [(h + lo) + c for h, lo, c in zip(high, low, close)]
    for i in range(period - 1, len(s)):
        window = s[i - period + 1:i + 1]
        mean = _window_total(window) / float(period)
        spread = _window_total([abs(v - mean) for v in window]) / float(period)
        with np.errstate(all="ignore"):
            out[i] = 0.0 if spread == 0 else float(np.float64(s[i] - mean) / np.float64(0.015 * spread))


def obv(close, volume, out):
    # The first volume; then total + (up - down), up and down the volume
    # or 0 by the sign of the change in close, a NaN change in their place.
    _fill(out)
    for i, v in enumerate(volume):
        if i == 0:
            total = v
        else:
            d = close[i] - close[i - 1]
            moved = (v if d > 0 else 0.0) - (v if d < 0 else 0.0)
            total = total + (d if math.isnan(d) else moved)
        out[i] = total


def _lagged(combine):
    # combine(x[i], x[i - period]) from position `period` on.
    def model(period, data, out):
        _fill(out)
        for i in range(period, len(data)) if period else ():
            out[i] = combine(data[i], data[i - period])
    return model


def _ratio(x, earlier):
    # IEEE division, which Python refuses by zero.
    with np.errstate(all="ignore"):
        return float(np.float64(x) / np.float64(earlier))


roc = _lagged(lambda x, earlier: 100.0 * (_ratio(x, earlier) - 1.0))
mom = _lagged(lambda x, earlier: x - earlier)


def _chained(weights):
    # EMAs of EMAs, each over the one before (its positions without a value
    # missing to the next); sum(w * e) in order where the last has a value.
    def model(period, data, out):
        series, stages = list(data), []
        for _ in weights:
            stage = [NO_VALUE] * len(series)
            ema(period, series, stage)
            stages.append(stage)
            series = [math.nan if v is NO_VALUE else v for v in stage]
        _fill(out)
        for i, last in enumerate(stages[-1]):
            if last is not NO_VALUE:
                terms = [w * e[i] if w != 1.0 else e[i] for w, e in zip(weights, stages)]
                total = terms[0]
                for term in terms[1:]:
                    total = total + term
                out[i] = total
    return model


dema = _chained((2.0, -1.0))
tema = _chained((3.0, -3.0, 1.0))


class Model(NamedTuple):
    # A batch function's model, called as the function is (periods, inputs,
    # outputs); how many of its arrays are inputs; and the periods and lengths
    # the tests use with it.
    run: Callable
    inputs: int
    usual: tuple  # periods users pick
    small: tuple  # periods with short warm-ups, for streaming states
    longest: int  # the longest series a property draws (SMA's: long enough for its blocks)


MODELS = {
    "indicator_sma": Model(sma, 1, (20,), (3,), 300),
    "indicator_ema": Model(ema, 1, (20,), (3,), 160),
    "indicator_macd": Model(macd, 1, (12, 26, 9), (3, 5, 2), 90),
    "indicator_atr": Model(atr, 3, (14,), (3,), 160),
    "indicator_wma": Model(wma, 1, (20,), (3,), 160),
    "indicator_rsi": Model(rsi, 1, (14,), (3,), 160),
    "indicator_bbands": Model(bbands, 1, (5, 2.0), (3, 2.0), 160),
    "indicator_stoch": Model(stoch, 3, (5, 3, 3), (3, 2, 2), 160),
    "indicator_willr": Model(willr, 3, (14,), (3,), 160),
    "indicator_adx": Model(adx, 3, (14,), (3,), 160),
    "indicator_cci": Model(cci, 3, (14,), (3,), 160),
    "indicator_obv": Model(obv, 2, (), (), 160),
    "indicator_roc": Model(roc, 1, (10,), (3,), 160),
    "indicator_mom": Model(mom, 1, (10,), (3,), 160),
    "indicator_dema": Model(dema, 1, (20,), (3,), 160),
    "indicator_tema": Model(tema, 1, (20,), (3,), 160),
}


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def assert_matches(expected, actual):
    # `actual`, an array, holds a model's result bit for bit.
    assert isinstance(actual, np.ndarray)
    bad = []
    for i, (want, got) in enumerate(zip(expected, actual.tolist(), strict=True)):
        if want is NO_VALUE:
            ok = bits(got) == NO_VALUE_BITS
        else:
            ok = math.isnan(got) if math.isnan(want) else bits(got) == bits(want)
        if not ok:
            bad.append((i, want, got))
    assert not bad, f"{len(bad)} positions differ, first ones: {bad[:5]}"


def same_bits(expected, got):
    # Equal bits, NaN payloads and signs included.
    return np.array_equal(np.asarray(expected).view(np.uint64), np.asarray(got).view(np.uint64))


def assert_same(expected, got):
    # same_bits of the flattened values, naming the first difference.
    e, g = np.ravel(expected).view(np.uint64), np.ravel(got).view(np.uint64)
    ok = e == g
    first = int(np.argmin(ok)) if ok.size else 0
    assert ok.all(), f"first difference at {first}: {e[first]:#x} vs {g[first]:#x}"
