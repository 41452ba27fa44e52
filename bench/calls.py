"""The indicator calls the benchmark times: periods, prices and arguments."""

import inspect

import numpy as np

import quorvane

# Each batch function's parameters, by indicator, as the module declares them.
SIGNATURES = {name.removeprefix("indicator_"): tuple(inspect.signature(getattr(quorvane, name)).parameters)
              for name in quorvane.__all__}
INDICATORS = tuple(SIGNATURES)

# Short enough for every indicator to produce values on 16 prices.
PERIODS = {"sma": (10,), "ema": (10,), "macd": (5, 10, 4), "atr": (10,)}


PAGE = 4096


def page_aligned(values):
    """A copy of `values` that starts on a page boundary.

    How far apart two arrays lie modulo 4 KiB changes the speed of a loop
    over both: a load whose address matches a pending store's low bits
    waits. Every array the benchmark gives quorvane starts on a page, as
    every array of the floor program does (and as large NumPy arrays all
    start at one offset), so that both sides are timed on the same layout.
    """
    values = np.asarray(values, dtype=np.float64)
    spare = np.empty(len(values) + PAGE // 8)
    start = (-spare.ctypes.data % PAGE) // 8
    aligned = spare[start:start + len(values)]
    aligned[:] = values
    return aligned


def generated_prices(n, seed=20240601):
    """Close, high and low of a seeded geometric random walk from 100."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    high = close * (1.0 + 0.01 * rng.random(n))
    low = close * (1.0 - 0.01 * rng.random(n))
    return page_aligned(close), page_aligned(high), page_aligned(low)


def inputs_of(indicator, close, high, low):
    """The series the indicator reads, in its parameters' order."""
    series = {"data": close, "high": high, "low": low, "close": close}
    return tuple(series[p] for p in SIGNATURES[indicator] if p in series)


def output_count(indicator):
    return sum(p.endswith("output") for p in SIGNATURES[indicator])


def quorvane_call(indicator, close, high, low):
    """The function, its arguments and its output arrays, freshly allocated."""
    function = getattr(quorvane, f"indicator_{indicator}")
    outputs = tuple(page_aligned(np.zeros(len(close))) for _ in range(output_count(indicator)))
    return function, (*PERIODS[indicator], *inputs_of(indicator, close, high, low), *outputs), outputs
