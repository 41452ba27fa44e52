"""The cost of one call of quorvane_ta beside TA-Lib's and quorvane's, on short series.

    .venv/bin/python bench/ta_calls.py [--bars 250] [--repeat 9]

Each figure is the best of `repeat` timeit runs, in nanoseconds per call,
over one seeded random walk: a C-contiguous float64 array (quorvane_ta's
fast path), then a list, a pandas Series and a polars Series of the same
prices. quorvane's strict functions write into outputs allocated once.
"""

import argparse
import timeit

import numpy as np
import talib

import quorvane
import quorvane_ta as ta


def best(call, repeat):
    timer = timeit.Timer(call)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bars", type=int, default=250)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    rng = np.random.default_rng(250)
    close = 100 * np.exp(np.cumsum(rng.normal(0.0, 0.01, args.bars)))
    high, low = close * 1.01, close * 0.99
    out = [np.empty(args.bars) for _ in range(3)]
    rows = {
        "SMA(20)": (lambda: talib.SMA(close, 20), lambda: ta.sma(close, 20),
                    lambda: quorvane.indicator_sma(20, close, out[0])),
        "EMA(20)": (lambda: talib.EMA(close, 20), lambda: ta.ema(close, 20),
                    lambda: quorvane.indicator_ema(20, close, out[0])),
        "MACD(12, 26, 9)": (lambda: talib.MACD(close, 12, 26, 9), lambda: ta.macd(close, 12, 26, 9),
                            lambda: quorvane.indicator_macd(12, 26, 9, close, *out)),
        "ATR(14)": (lambda: talib.ATR(high, low, close, 14), lambda: ta.atr(high, low, close, 14),
                    lambda: quorvane.indicator_atr(14, high, low, close, out[0])),
    }
    print(f"{args.bars} float64 values, ns per call\n")
    print("| indicator | TA-Lib | quorvane_ta | quorvane (strict) |\n|---|---:|---:|---:|")
    for name, calls in rows.items():
        print(f"| {name} | " + " | ".join(f"{best(c, args.repeat):,.0f}" for c in calls) + " |")
    kinds = {"list": close.tolist()}
    try:
        import pandas as pd
        import polars as pl

        kinds.update({"pandas Series": pd.Series(close), "polars Series": pl.Series(close)})
    except ImportError:
        pass
    print("\n| quorvane_ta.sma(x, 20) over | ns per call |\n|---|---:|")
    for kind, x in kinds.items():
        print(f"| {kind} | {best(lambda x=x: ta.sma(x, 20), args.repeat):,.0f} |")


if __name__ == "__main__":
    main()
