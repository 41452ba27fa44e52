"""quorvane_stream as a live feed uses it: bars arrive one at a time.

Replays bars (seeded, generated ones by default, or a CSV file as the demo
reads it) through streaming SMA, EMA, MACD and ATR states, printing a line
per bar as its values arrive, and checks at the end that every streamed
series equals quorvane's batch result bit for bit. Bars without prices hold
NaN and are not fed to SMA and ATR, as examples/ohlc.py does for the batch.

--universe updates many symbols per bar instead, one call per indicator
per bar, and reports bars per second.
"""

import argparse
import sys
import time

import numpy as np
import ohlc
from demo import CsvError, read_csv

import quorvane_stream as qs


def states(width=None):
    wide = {} if width is None else {"width": width}
    return (qs.Sma(ohlc.SMA_PERIOD, **wide), qs.Ema(ohlc.EMA_PERIOD, **wide),
            qs.Macd(*ohlc.MACD_PERIODS, **wide), qs.Atr(ohlc.ATR_PERIOD, **wide))


def replay(bars, quiet):
    n = len(bars["close"])
    sma, ema, macd, atr = states()
    out = {name: np.empty(n) for name in ohlc.INDICATORS}
    for i in range(n):
        high, low, close = (float(bars[key][i]) for key in ("high", "low", "close"))
        present = close == close
        out["sma"][i] = sma.update(close) if present else np.nan
        out["ema"][i] = ema.update(close)
        out["macd"][i], out["signal"][i], out["hist"][i] = macd.update(close)
        ranged = present and high == high and low == low
        out["atr"][i] = atr.update(high, low, close) if ranged else np.nan
        if not quiet:
            print(f"{bars['date'][i]}  close {close:9.3f}  "
                  + "  ".join(f"{name} {out[name][i]:9.4f}" for name in ohlc.INDICATORS))
    expected = ohlc.indicators(bars)
    differ = [name for name in ohlc.INDICATORS
              if not np.array_equal(out[name].view(np.uint64), expected[name].view(np.uint64))]
    if differ:
        sys.exit(f"live.py: streamed {', '.join(differ)} differ from the batch results")
    print(f"streamed {n} bars: every value equal to the batch results, bit for bit")


def universe(symbols, bars, seed, quiet):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.0125, (bars, symbols)), axis=0))
    high = close * np.exp(np.abs(rng.normal(0.0, 0.006, (bars, symbols))))
    low = close * np.exp(-np.abs(rng.normal(0.0, 0.006, (bars, symbols))))
    sma, ema, macd, atr = states(symbols)
    out = {name: np.empty((bars, symbols)) for name in ohlc.INDICATORS}
    start = time.perf_counter()
    for t in range(bars):
        sma.update(close[t], out["sma"][t])
        ema.update(close[t], out["ema"][t])
        macd.update(close[t], out["macd"][t], out["signal"][t], out["hist"][t])
        atr.update(high[t], low[t], close[t], out["atr"][t])
        if not quiet:
            print(f"bar {t}: " + "  ".join(f"{name} {out[name][t, 0]:9.4f}"
                                           for name in ohlc.INDICATORS))
    seconds = time.perf_counter() - start
    for j in range(symbols):
        prices = {"high": high[:, j].copy(), "low": low[:, j].copy(), "close": close[:, j].copy()}
        expected = ohlc.indicators(prices)
        for name in ohlc.INDICATORS:
            if not np.array_equal(out[name][:, j].view(np.uint64), expected[name].view(np.uint64)):
                sys.exit(f"live.py: symbol {j}: streamed {name} differs from the batch result")
    print(f"{symbols} symbols, {bars} bars: {bars / seconds:,.0f} bars per second "
          f"({seconds / bars / symbols * 1e9:.1f} ns per symbol for all four indicators); "
          "every value equal to the batch results")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--csv", metavar="PATH", help="bars from a CSV file, as the demo reads it")
    parser.add_argument("--bars", type=int, default=500, help="bars to generate (default 500)")
    parser.add_argument("--seed", type=int, default=11, help="seed of the generated bars")
    parser.add_argument("--quiet", action="store_true", help="print only the closing line")
    parser.add_argument("--universe", action="store_true",
                        help="update many symbols per bar and report bars per second")
    parser.add_argument("--symbols", type=int, default=5000,
                        help="symbols of --universe (default 5000)")
    options = parser.parse_args(argv)
    if options.universe:
        universe(options.symbols, options.bars, options.seed, options.quiet)
        return
    try:
        bars = read_csv(options.csv) if options.csv else ohlc.generated(options.bars, options.seed)
    except CsvError as error:
        parser.exit(2, f"live.py: error: {error}\n")
    replay(bars, options.quiet)


if __name__ == "__main__":
    main()
