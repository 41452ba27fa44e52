"""The indicator calls the benchmark times: periods, prices and arguments."""

import numpy as np

import quorvane

INDICATORS = ("sma", "ema", "macd", "atr")

# Short enough for every indicator to produce values on 16 prices.
PERIODS = {"sma": (10,), "ema": (10,), "macd": (5, 10, 4), "atr": (10,)}


def generated_prices(n, seed=20240601):
    """Close, high and low of a seeded geometric random walk from 100."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    high = close * (1.0 + 0.01 * rng.random(n))
    low = close * (1.0 - 0.01 * rng.random(n))
    return close, high, low


def quorvane_call(indicator, close, high, low):
    """The function, its arguments and its output arrays, freshly allocated."""
    n = len(close)
    periods = PERIODS[indicator]
    function = getattr(quorvane, f"indicator_{indicator}")
    if indicator == "macd":
        outputs = (np.empty(n), np.empty(n), np.empty(n))
        return function, (*periods, close, *outputs), outputs
    outputs = (np.empty(n),)
    inputs = (high, low, close) if indicator == "atr" else (close,)
    return function, (*periods, *inputs, *outputs), outputs
