"""OHLC bars for the examples: a seeded generator and the four indicators.

Bars are a dict of equal-length float64 arrays under the keys in `PRICES`,
plus "date", an array of dates or of strings.
"""

from functools import partial

import numpy as np

from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma

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


def allocated(bars):
    """Output arrays for `into`, one per name in `INDICATORS`."""
    return {name: np.empty(bars) for name in INDICATORS}


def into(prices, out):
    """Writes the four indicators of `prices` into the arrays of `out`.

    EMA and MACD step over missing prices themselves. A NaN would stop SMA
    and ATR for good, so where bars are missing those two run over the bars
    that have prices and their results are spread back, NaN at the gaps.
    """
    close = prices["close"]
    indicator_ema(EMA_PERIOD, close, out["ema"])
    indicator_macd(*MACD_PERIODS, close, out["macd"], out["signal"], out["hist"])
    has_close = ~np.isnan(close)
    _over_present(has_close, partial(indicator_sma, SMA_PERIOD), [close], out["sma"])
    has_range = has_close & ~np.isnan(prices["high"]) & ~np.isnan(prices["low"])
    _over_present(has_range, partial(indicator_atr, ATR_PERIOD),
                  [prices["high"], prices["low"], close], out["atr"])
    return out


def _over_present(present, compute, inputs, output):
    if present.all():
        compute(*inputs, output)
        return
    packed = np.empty(np.count_nonzero(present))
    compute(*(values[present] for values in inputs), packed)
    output.fill(np.nan)
    output[present] = packed
