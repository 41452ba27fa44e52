"""Checks an installed quorvane: run by scripts/release.sh in each fresh
environment it installs a built distribution into.

    python smoke.py VERSION [--no-compiler]

VERSION is the version the distribution must report. --no-compiler also
checks that no C or C++ compiler is on PATH, so that a passing run shows the
install needed none.
"""

import argparse
import importlib.metadata
import shutil
import sys
import sysconfig
from pathlib import Path

import numpy as np

import quorvane
import quorvane_stream
import quorvane_ta

COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++"]


def check(condition, what):
    if not condition:
        sys.exit(f"smoke test failed: {what}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("version")
    parser.add_argument("--no-compiler", action="store_true")
    args = parser.parse_args()
    if args.no_compiler:
        found = {name: shutil.which(name) for name in COMPILERS}
        check(not any(found.values()), f"a compiler is on PATH: {found}")

    # The installed copy, not a build lying in the source tree.
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    check(Path(quorvane.__file__).resolve().parent == site,
          f"quorvane imported from {quorvane.__file__}, not {site}")

    # Integers and a period of 4 keep every sum and the scaling by 1/4 exact.
    close = np.array([10.0, 11, 10, 11, 12, 13, 12, 12, 13, 14, 13, 12])
    n, period = len(close), 4

    sma = np.empty(n)
    quorvane.indicator_sma(period, close, sma)
    expected = np.full(n, np.nan)
    expected[period - 1:] = np.convolve(close, np.ones(period), "valid") * (1 / period)
    check(np.array_equal(sma, expected, equal_nan=True), f"SMA {sma} != {expected}")

    ema = np.empty(n)
    quorvane.indicator_ema(period, close, ema)
    check(np.isnan(ema[:period - 1]).all() and np.isfinite(ema[period - 1:]).all(),
          f"EMA warm-up wrong: {ema}")

    macd, signal, hist = np.empty(n), np.empty(n), np.empty(n)
    quorvane.indicator_macd(3, 6, 3, close, macd, signal, hist)
    warm = 6 + 3 - 2
    check(np.isnan(hist[:warm]).all() and np.array_equal(hist[warm:], macd[warm:] - signal[warm:]),
          f"MACD histogram is not MACD - signal: {hist}")

    # Closes move by at most 1, so every true range is the bar's range, 2.
    atr = np.empty(n)
    quorvane.indicator_atr(period, close + 1, close - 1, close, atr)
    check(np.isnan(atr[:period]).all() and (atr[period:] == 2.0).all(), f"ATR {atr}")

    # The streaming module of the same wheel, value by value, gives the batch bits.
    check(Path(quorvane_stream.__file__).resolve().parent == site,
          f"quorvane_stream imported from {quorvane_stream.__file__}, not {site}")
    state = quorvane_stream.Macd(3, 6, 3)
    streamed = np.array([state.update(x)[2] for x in close])
    check(np.array_equal(streamed, hist, equal_nan=True), f"streamed MACD {streamed} != {hist}")
    chunked = np.empty(n)
    quorvane_stream.Atr(period).update_many(close + 1, close - 1, close, chunked)
    check(np.array_equal(chunked, atr, equal_nan=True), f"streamed ATR {chunked} != {atr}")

    # The package of functions that return results: its engine, stub and
    # marker installed with it, its values the batch functions'.
    package = Path(quorvane_ta.__file__).resolve().parent
    check(package.parent == site, f"quorvane_ta imported from {package}, not {site}")
    check({"__init__.pyi", "py.typed"} <= {f.name for f in package.iterdir()}
          and Path(quorvane_ta._engine.__file__).parent.resolve() == package,
          f"quorvane_ta incomplete: {sorted(f.name for f in package.iterdir())}")
    check(np.array_equal(quorvane_ta.sma(close.astype(np.int32).tolist(), period), sma, equal_nan=True),
          "quorvane_ta.sma differs from indicator_sma")
    result = quorvane_ta.macd(np.column_stack([close, close]), 3, 6, 3, threads=2)
    check(type(result) is quorvane_ta.MacdResult and np.array_equal(result.hist[:, 1], hist, equal_nan=True),
          f"quorvane_ta.macd over a panel: {result}")
    check(quorvane_ta.__version__ == args.version, f"quorvane_ta.__version__ {quorvane_ta.__version__}")

    # Every later indicator of the wheel, at its defaults over bars long
    # enough to warm each up: a panel's columns are the 1-D result, and the
    # streaming class fed the bars in two chunks gives its bits too.
    wave = 100.0 + 5.0 * np.sin(np.arange(120.0))
    bars = {"data": wave, "high": wave + 1, "low": wave - 1, "close": wave, "volume": 100.0 * wave}
    for name, class_name, _, _, defaults, inputs, outputs, _ in quorvane_ta._engine.indicators()[4:]:
        series = [bars[i] for i in inputs]
        single = np.array(getattr(quorvane_ta, name)(*series), ndmin=2)
        panel = np.array(getattr(quorvane_ta, name)(*(np.column_stack([x, x]) for x in series), threads=2),
                         ndmin=3)
        streamed = np.empty((len(outputs), len(wave)))
        state = getattr(quorvane_stream, class_name)(*defaults)
        state.update_many(*(x[:50] for x in series), *(y[:50] for y in streamed))
        state.update_many(*(x[50:] for x in series), *(y[50:] for y in streamed))
        check(np.isfinite(single[:, -1]).all() and np.array_equal(panel[..., 1], single, equal_nan=True)
              and np.array_equal(streamed, single, equal_nan=True), f"{name}: panel or stream differs")

    dist = importlib.metadata.distribution("quorvane")
    version = importlib.metadata.version("quorvane")
    check(version == args.version, f"version {version}, not {args.version}")
    for field, value in [("License-Expression", "BSD-3-Clause"), ("Requires-Python", "==3.13.*")]:
        check(dist.metadata.get(field) == value, f"{field} is {dist.metadata.get(field)!r}")
    licenses = [f for f in dist.files or [] if f.name == "LICENSE" and ".dist-info" in str(f)]
    check(len(licenses) == 1 and "BSD" in licenses[0].read_text(),
          f"no LICENSE in the dist-info: {dist.files}")
    print(f"smoke test passed: quorvane {version} in {site}")


if __name__ == "__main__":
    main()
