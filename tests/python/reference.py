"""Slow reference models of the indicators, one operation at a time.

Each model performs the same binary64 operations in the same order as the
kernel it models; Python floats are IEEE-754 doubles and Python never fuses a
multiply with an add, so the results must agree bit for bit. Positions that
hold no value are NO_VALUE, which the extension must fill with the exact
no-value NaN; a float NaN in a model's result is a NaN made by arithmetic,
whose payload is the platform's choice.
"""

import math
import struct

import numpy as np

NO_VALUE = None
NO_VALUE_BITS = 0x7FF8000000000000
PERIOD_MAX = 2**64 - 1


def sma(period, data):
    n = len(data)
    out = [NO_VALUE] * n
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


def atr(period, high, low, close):
    n = len(high)
    out = [NO_VALUE] * n
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
