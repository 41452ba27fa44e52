"""OHLC bars for the examples: a seeded generator and the four indicators.

Bars are a dict of equal-length float64 arrays under the keys in `PRICES`,
plus "date", an array of dates or of strings.
"""

import numpy as np

import quorvane_ta as ta

PRICES = ("open", "high", "low", "close")
SMA_PERIOD = 50
EMA_PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
INDICATORS = ("sma", "ema", "macd", "signal", "hist", "atr")

# Daily log-return drift and volatility (about 7% and 20% a year), the spread
# of the overnight gap between a close and the next open, and the spread of
# the wicks beyond the open and the close.
DRIFT, VOLATILITY, OVERNIGHT, WICK = 0.0003, 0.0125, 0.004, 0.006
# No gap falls inside the longest warm-up: a gap among the first MACD inputs
# would blank the whole MACD.
FIRST_GAP = 2 * SMA_PERIOD


def generated(bars, seed, gaps=None):
    """A geometric random walk of daily bars starting near 100.

    `gaps` bars after the warm-ups (by default one in 80) have no prices at
    all: every field holds NaN, as a halted or unrecorded session would.
    """
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(DRIFT, VOLATILITY, bars)))
    previous = np.concatenate(([100.0], close[:-1]))
    open_ = previous * np.exp(rng.normal(0.0, OVERNIGHT, bars))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, WICK, bars)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, WICK, bars)))
    prices = {"open": open_, "high": high, "low": low, "close": close}
    if gaps is None:
        gaps = bars // 80
    candidates = max(0, bars - FIRST_GAP)
    if gaps and candidates:
        missing = FIRST_GAP + rng.choice(candidates, size=min(gaps, candidates), replace=False)
        for values in prices.values():
            values[missing] = np.nan
    dates = np.busday_offset("2015-01-02", np.arange(bars), roll="forward")
    return {"date": dates, **prices}


def indicators(prices, threads=None):
    """The four indicators of `prices`, a new array under each name in
    `INDICATORS`.

    EMA and MACD step over missing prices themselves. A NaN would stop SMA
    and ATR for good, so where bars are missing those two run over the bars
    that have prices and their results are spread back, NaN at the gaps.
    Prices without gaps may be panels, one column per symbol.
    """
    close = prices["close"]
    has_close = ~np.isnan(close)
    has_range = has_close & ~np.isnan(prices["high"]) & ~np.isnan(prices["low"])
    return {
        "sma": _over_present(has_close, lambda c: ta.sma(c, SMA_PERIOD, threads=threads), close),
        "ema": ta.ema(close, EMA_PERIOD, threads=threads),
        **ta.macd(close, *MACD_PERIODS, threads=threads)._asdict(),
        "atr": _over_present(has_range, lambda h, lo, c: ta.atr(h, lo, c, ATR_PERIOD, threads=threads),
                             prices["high"], prices["low"], close),
    }


def _over_present(present, compute, *inputs):
    if present.all():
        return compute(*inputs)
    spread = np.full(present.shape, np.nan)
    spread[present] = compute(*(values[present] for values in inputs))
    return spread
