"""Slow reference models of the indicators, one operation at a time.

Each model performs the same binary64 operations in the same order as the
kernel it models; Python floats are IEEE-754 doubles and Python never fuses a
multiply with an add, so the results must agree bit for bit. Positions that
hold no value are NO_VALUE, which the extension must fill with the exact
no-value NaN; a float NaN in a model's result is a NaN made by arithmetic,
whose payload is the platform's choice.

Each model can also write into an output it is given, one write at a time
in the kernel's order; when outputs share storage (see aliasing.py), the
last write to a cell is the one that stays, as with the kernel's.
"""

import math
import struct

import numpy as np

NO_VALUE = None
NO_VALUE_BITS = 0x7FF8000000000000
PERIOD_MAX = 2**64 - 1


def _filled(n, out):
    """A new result, or `out` after the fill that precedes every read."""
    if out is None:
        return [NO_VALUE] * n
    for i in range(len(out)):
        out[i] = NO_VALUE
    return out


def sma(period, data, out=None):
    n = len(data)
    out = _filled(n, out)
    if (period - 1) % 2**64 >= n:
        return out
    total = -0.0
    for x in data[:period]:
        total += x
    scale = 1.0 / float(period)
    out[period - 1] = scale * total
    for i in range(period, n):
        d = data[i] - data[i - period]
        total += d
        out[i] = scale * total
    return out


def ema(period, data, out=None):
    n = len(data)
    out = _filled(n, out)
    if (period - 1) % 2**64 >= n:
        return out
    # The plain search: every candidate window tested from its first value.
    starts = (s for s in range(n - period + 1)
              if all(math.isfinite(x) for x in data[s:s + period]))
    s = next(starts, None)
    if s is None:
        return out
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
    return out


def _is_nan(x):
    return x is NO_VALUE or math.isnan(x)


def _trailing_mean(data, last, period):
    total = -0.0
    for k in range(period):
        total += data[last - k]
    return total / float(period)


def macd(fast_period, slow_period, signal_period, data, outs=None):
    """No fill: each position of each output is written once, in order."""
    n = len(data)
    macd_out, signal_out, hist_out = outs or ([NO_VALUE] * n, [NO_VALUE] * n, [NO_VALUE] * n)
    alpha = [2.0 / (float(p) + 1.0) for p in (fast_period, slow_period, signal_period)]
    keep = [1.0 - a for a in alpha]
    f = s = g = NO_VALUE
    for i in range(n):
        x = data[i]
        if math.isnan(x) or i < slow_period - 1:
            macd_out[i] = NO_VALUE
            signal_out[i] = NO_VALUE
            hist_out[i] = NO_VALUE
            continue
        if _is_nan(f):
            f = _trailing_mean(data, i, fast_period)
            s = _trailing_mean(data, i, slow_period)
        else:
            f = keep[0] * f + alpha[0] * x
            s = keep[1] * s + alpha[1] * x
        m = f - s
        macd_out[i] = m
        if not _is_nan(g):
            g = keep[2] * g + alpha[2] * m
        elif i - (slow_period - 1) >= signal_period - 1:
            g = m
        signal_out[i] = g
        hist_out[i] = NO_VALUE if _is_nan(g) else m - g
    return macd_out, signal_out, hist_out


def max_num(x, y):
    """IEEE 754-2008 maxNum: a NaN loses to a number, +0 beats -0."""
    if math.isnan(x):
        return y
    if math.isnan(y):
        return x
    if x == y:
        return y if math.copysign(1.0, x) < 0 else x
    return x if x > y else y


def true_range(high, low, close, i):
    spread = high[i] - low[i]
    up = abs(high[i] - close[i - 1])
    down = abs(low[i] - close[i - 1])
    return max_num(max_num(spread, up), down)


def atr(period, high, low, close, out=None):
    n = len(high)
    out = _filled(n, out)
    if period == 0 or period >= n:
        return out
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
    return out


# Each model as its entry point is called: the periods, then the inputs and
# outputs in parameter order; it writes into the outputs.
MODELS = {
    "indicator_sma": lambda periods, arrays: sma(*periods, *arrays),
    "indicator_ema": lambda periods, arrays: ema(*periods, *arrays),
    "indicator_macd": lambda periods, arrays: macd(*periods, arrays[0], arrays[1:]),
    "indicator_atr": lambda periods, arrays: atr(*periods, *arrays),
}


# How many of each entry point's arrays are inputs (they come first).
INPUTS = {"indicator_sma": 1, "indicator_ema": 1, "indicator_macd": 1, "indicator_atr": 3}


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def mismatches(expected, actual):
    """Positions where `actual` (an array) disagrees with a model's result."""
    found = []
    for i, (want, got) in enumerate(zip(expected, actual.tolist(), strict=True)):
        if want is NO_VALUE:
            ok = bits(got) == NO_VALUE_BITS
        elif math.isnan(want):
            ok = math.isnan(got)
        else:
            ok = bits(got) == bits(want)
        if not ok:
            found.append((i, want, got))
    return found


def assert_matches(expected, actual):
    assert isinstance(actual, np.ndarray)
    bad = mismatches(expected, actual)
    assert not bad, f"{len(bad)} positions differ, first ones: {bad[:5]}"
