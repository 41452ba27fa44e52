"""Hypothesis strategies for adversarial price data and periods."""

import numpy as np
from hypothesis import strategies as st

from reference import PERIOD_MAX

SPECIAL = [
    float("nan"), -float("nan"), float("inf"), -float("inf"), 0.0, -0.0,
    5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    -1.7976931348623157e308, 1e16, 1e-300, 1.0,
]

prices = st.floats(min_value=1e-3, max_value=1e6)
any_double = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
values = st.one_of(prices, prices, any_double, st.sampled_from(SPECIAL))


def random_walk(n, seed):
    """n prices of a seeded random walk from 100."""
    return 100 * np.exp(np.random.default_rng(seed).normal(0, 0.01, n).cumsum())


def walks(n):
    return st.integers(0, 2**32 - 1).map(lambda seed: list(random_walk(n, seed)))


@st.composite
def series(draw, min_size=0, max_size=160):
    """A float64 array, mostly prices, with specials anywhere and in runs.
    Half the time it is short; half the time its prices are a random walk
    (drawn values are mostly simple ones, whose sums seldom round)."""
    n = draw(st.integers(min_size, min(max_size, min_size + 8)) | st.integers(min_size, max_size))
    items = draw(st.lists(values, min_size=n, max_size=n) | walks(n))
    if items and draw(st.booleans()):
        start = draw(st.integers(0, len(items) - 1))
        run = draw(st.integers(1, 12))
        fill = draw(st.sampled_from([float("nan"), float("inf"), -float("inf")]))
        items[start:start + run] = [fill] * len(items[start:start + run])
    return np.array(items, dtype=np.float64)


def periods_for(n):
    """Periods at every edge for an input of n values."""
    return st.one_of(
        st.sampled_from([0, 1, 2, n, n + 1, PERIOD_MAX]),
        st.integers(0, n + 2),
        st.integers(0, PERIOD_MAX),
    )


@st.composite
def bars(draw, min_size=0, max_size=160):
    """High, low and close arrays of one length: plain prices, plain prices
    with a few specials each in one of the three arrays (so that a true range
    must pass over them and the average lives on), or each array with its
    own specials (which soon make a running average NaN).

    Drawn independently, a high lies below its low about half the time.
    Sometimes the positions an average true range never reads (the first
    high and low, the last close) are NaN.
    """
    n = draw(st.integers(min_size, max_size))
    mode = draw(st.sampled_from(["plain", "sparse", "dense"]))
    if mode == "dense":
        high, low, close = (draw(series(min_size=n, max_size=n)) for _ in range(3))
    else:
        plain = st.lists(prices, min_size=n, max_size=n)
        high, low, close = (np.array(draw(plain), dtype=np.float64) for _ in range(3))
    if mode == "sparse" and n:
        for _ in range(draw(st.integers(1, 4))):
            array = draw(st.sampled_from([high, low, close]))
            array[draw(st.integers(0, n - 1))] = draw(st.sampled_from(SPECIAL))
    if n and draw(st.booleans()):
        high[0] = low[0] = close[-1] = float("nan")
    return high, low, close
