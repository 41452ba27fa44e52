"""Times quorvane_ta: call overhead against TA-Lib, results with and without
`out=` against the strict functions, and panels against the single-series
kernels, the memory floor, pandas, a TA-Lib loop and polars.

    python bench/ta.py           # the full run, written to bench/ta_results.md
    python bench/ta.py --quick   # a short trial, written to build/ta_results.md

The later indicators, which have no strict functions, are timed against TA-Lib, at two
periods, and against their C++ floors when the floor program has been built
(`bash scripts/bench.sh` builds it into build/bench).

Every ratio is the median of the ratios within rounds in which both sides
took turns, so a busy machine slows both alike.
"""

import argparse
import os
import platform
import statistics
import time
from pathlib import Path
from typing import NamedTuple

import numpy as np
import pandas as pd
import polars as pl
import talib
from calls import INDICATORS, PERIODS, generated_prices, inputs_of, output_count, page_aligned
from run import Floor

import quorvane
import quorvane_ta

ROOT = Path(__file__).resolve().parent.parent
BARS, SYMBOLS = 2520, 500
LARGE = 10**6
SMALL = 250
# A panel's single-thread time per element, as a multiple of the kernel's
# on one long series (lanes for the chain-bound indicators).
PANEL_TARGETS = {"sma": 1.0, "ema": 0.35, "macd": 0.35, "atr": 0.35}
FLOOR_TARGET = 1.2  # over a copy of the panel's bytes in and out
THREADS_TARGET = 1.8
PANDAS_TARGET = 20.0
TALIB_LOOP_TARGET = 3.0
OUT_TARGET = 1.05
ALLOCATED_TARGET = 1.10
OVERHEAD_TARGET = 1.0

TALIB = {"sma": talib.SMA, "ema": talib.EMA, "macd": talib.MACD, "atr": talib.ATR}


def seconds(call, least=0.002):
    """One sample: the time of one call, from enough calls to last `least`."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            call()
        spent = time.perf_counter() - start
        if spent >= least:
            return spent / calls
        calls *= 2


def paired(contenders, rounds):
    """Median time of each contender, and each one's median ratio to the first."""
    samples = [[] for _ in contenders]
    for _ in range(rounds):
        for k, call in enumerate(contenders):
            samples[k].append(seconds(call))
    ratios = [statistics.median(a / b for a, b in zip(s, samples[0])) for s in samples]
    return [statistics.median(s) for s in samples], ratios


def talib_args(indicator, close, high, low):
    periods = PERIODS[indicator]
    if indicator == "atr":
        return (high, low, close, *periods)
    return (close, *periods)


def ta_call(indicator, inputs, **options):
    return lambda: getattr(quorvane_ta, indicator)(*inputs, *PERIODS[indicator], **options)


def strict_call(indicator, inputs, outputs):
    function = getattr(quorvane, f"indicator_{indicator}")
    return lambda: function(*PERIODS[indicator], *inputs, *outputs)


def one_series(rounds):
    rows = []
    for n in (SMALL, LARGE):
        close, high, low = generated_prices(n)
        for indicator in INDICATORS:
            inputs = inputs_of(indicator, close, high, low)
            outputs = tuple(np.empty(n) for _ in range(output_count(indicator)))
            out = outputs if len(outputs) > 1 else outputs[0]
            if n == SMALL:
                args = talib_args(indicator, close, high, low)
                times, ratios = paired([ta_call(indicator, inputs),
                                        lambda: TALIB[indicator](*args)], rounds)
                rows.append((indicator, f"{n} values, a new result", "TA-Lib", times[0], times[1],
                             1 / ratios[1], f"at most {OVERHEAD_TARGET}"))
                continue
            strict = strict_call(indicator, inputs, outputs)
            times, ratios = paired([ta_call(indicator, inputs, out=out), strict], rounds)
            rows.append((indicator, "10^6 values, out=", "strict function", times[0], times[1],
                         1 / ratios[1], f"at most {OUT_TARGET}"))

            def strict_allocating():
                fresh = tuple(np.empty(n) for _ in range(len(outputs)))
                strict_call(indicator, inputs, fresh)()

            series = tuple(pd.Series(x) for x in inputs)
            times, ratios = paired([ta_call(indicator, inputs), strict_allocating,
                                    ta_call(indicator, series)], rounds)
            rows.append((indicator, "10^6 values, a new result", "strict function + np.empty",
                         times[0], times[1], 1 / ratios[1], f"at most {ALLOCATED_TARGET}"))
            rows.append((indicator, "10^6 values, pandas Series", "strict function + np.empty",
                         times[2], times[1], ratios[2] / ratios[1], f"at most {ALLOCATED_TARGET}"))
    return rows


# The later indicators, each timed at TA-Lib's default parameters and with
# its period at 1,000: the parameters of each (long=(): no such row), the
# series it reads (of close, high, low and volume) and TA-Lib's call.
class Later(NamedTuple):
    usual: tuple
    long: tuple
    inputs: tuple = ("close",)
    peer: str = ""  # TA-Lib's function; empty: the name in capitals

    def talib(self, name):
        return getattr(talib, self.peer or name.upper())


LATER = {
    "wma": Later((30,), (1000,)),
    "rsi": Later((14,), (1000,)),
    "bbands": Later((5, 2.0), (1000, 2.0)),
    "stoch": Later((5, 3, 3), (1000, 3, 3), ("high", "low", "close")),
    "willr": Later((14,), (1000,), ("high", "low", "close")),
    "adx": Later((14,), (1000,), ("high", "low", "close")),
    "cci": Later((14,), (1000,), ("high", "low", "close")),
    "obv": Later((), (), ("close", "volume")),
    "roc": Later((10,), (1000,)),
    "mom": Later((10,), (1000,)),
    "dema": Later((30,), (1000,)),
    "tema": Later((30,), (1000,)),
}


def generated_volumes(n, seed=20240602):
    """Positive whole volumes around 10^6, seeded."""
    rng = np.random.default_rng(seed)
    return page_aligned(np.floor(1e6 * rng.lognormal(0.0, 0.5, n)))


def later(name, rounds, floor_program):
    """Rows of one later indicator on 10^6 values, out= given: (call, against, ours, theirs, speed-up)."""
    entry = LATER[name]
    close, high, low = generated_prices(LARGE)
    named = {"close": close, "high": high, "low": low, "volume": generated_volumes(LARGE)}
    inputs = tuple(named[i] for i in entry.inputs)
    sample = getattr(quorvane_ta, name)(*(x[:10] for x in inputs), *entry.usual)
    out = tuple(np.empty(LARGE) for _ in sample) if isinstance(sample, tuple) else np.empty(LARGE)
    peer = entry.talib(name)
    shown = f"defaults ({', '.join(map(str, entry.usual))})" if entry.usual else "defaults"

    def ours(parameters):
        return lambda: getattr(quorvane_ta, name)(*inputs, *parameters, out=out)

    rows = []
    times, ratios = paired([ours(entry.usual), lambda: peer(*inputs, *entry.usual)], rounds)
    rows.append((shown, f"`talib.{peer.__name__}` at the same", times[0], times[1], ratios[1]))
    if entry.long:
        times, ratios = paired([ours(entry.long), ours(entry.usual)], rounds)
        rows.append((f"period 1,000 ({', '.join(map(str, entry.long))})", shown, times[0], times[1],
                     ratios[1]))
    if floor_program.exists():
        # The floor program reads close, high and low, N prices each, and
        # the volumes from a file of their own.
        prices = floor_program.parent / f"{name}_prices.bin"
        np.concatenate([close, high, low]).tofile(prices)
        volumes = floor_program.parent / f"{name}_volumes.bin"
        named["volume"].tofile(volumes)
        floor = Floor(floor_program, prices, volumes)
        try:
            for mode in ("floor", "kernel"):
                # The program times itself (median ns per value); the rounds
                # alternate with ours.
                def ask(mode=mode):
                    return float(floor.ask(mode, name, LARGE, 3, 3, entry.usual)) * 1e-9 * LARGE

                samples = [(seconds(ours(entry.usual)), ask()) for _ in range(rounds)]
                rows.append((shown, f"the C++ {mode}",
                             statistics.median(o for o, _ in samples),
                             statistics.median(t for _, t in samples),
                             statistics.median(t / o for o, t in samples)))
        finally:
            floor.close()
    return rows


def pandas_frame(indicator, frames):
    period = PERIODS[indicator]
    if indicator == "sma":
        return lambda: frames[0].rolling(period[0]).mean()
    if indicator == "ema":
        return lambda: frames[0].ewm(span=period[0], adjust=False).mean()
    if indicator == "macd":
        fast, slow, signal = period

        def macd():
            ewm = frames[0].ewm
            line = ewm(span=fast, adjust=False).mean() - ewm(span=slow, adjust=False).mean()
            return line, line.ewm(span=signal, adjust=False).mean()
        return macd
    high, low, close = frames

    def atr():
        previous = close.shift(1)
        ranges = np.maximum(high - low, np.maximum((high - previous).abs(), (low - previous).abs()))
        return ranges.ewm(alpha=1 / period[0], adjust=False).mean()
    return atr


def panels(rounds):
    rng = np.random.default_rng(7)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (BARS, SYMBOLS)), axis=0))
    high = close * (1.0 + 0.01 * rng.random((BARS, SYMBOLS)))
    low = close * (1.0 - 0.01 * rng.random((BARS, SYMBOLS)))
    elements = BARS * SYMBOLS
    long_close, long_high, long_low = generated_prices(elements)
    rows = []
    for indicator in INDICATORS:
        k = output_count(indicator)
        long_inputs = inputs_of(indicator, long_close, long_high, long_low)
        kernel = strict_call(indicator, long_inputs, tuple(np.empty(elements) for _ in range(k)))
        for order in "CF":
            inputs = tuple(np.asarray(x, order=order) for x in inputs_of(indicator, close, high, low))
            outputs = tuple(np.empty((BARS, SYMBOLS), order=order) for _ in range(k))
            out = outputs if k > 1 else outputs[0]
            targets = tuple(np.empty((BARS, SYMBOLS), order=order) for _ in range(k))

            def floor():
                # The bytes the indicator moves: its first input copied to
                # its first output, further inputs read, further outputs
                # written.
                np.copyto(targets[0], inputs[0])
                for x in inputs[1:]:
                    x.max()
                for target in targets[1:]:
                    target.fill(0.0)

            times, ratios = paired([ta_call(indicator, inputs, out=out, threads=1), kernel, floor,
                                    ta_call(indicator, inputs, out=out, threads=2)], rounds)
            per = [t / elements * 1e9 for t in times]
            rows.append((indicator, order, per[0], per[1], 1 / ratios[1], per[2],
                         1 / ratios[2], ratios[0] / ratios[3]))
    return rows


def peers(rounds):
    rng = np.random.default_rng(8)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (BARS, SYMBOLS)), axis=0))
    high = close * 1.005
    low = close * 0.995
    rows = []
    for indicator in INDICATORS:
        inputs = inputs_of(indicator, close, high, low)
        frames = tuple(pd.DataFrame(x) for x in inputs)
        columns = [tuple(np.ascontiguousarray(x[:, j]) for x in inputs) for j in range(SYMBOLS)]
        period = PERIODS[indicator]

        def talib_loop():
            for c in columns:
                TALIB[indicator](*c, *period)

        times, ratios = paired([ta_call(indicator, frames), pandas_frame(indicator, frames), talib_loop],
                               rounds)
        rows.append((indicator, times[0] * 1e3, times[1] * 1e3, ratios[1], times[2] * 1e3, ratios[2]))
    long = pl.DataFrame({"symbol": np.repeat(np.arange(SYMBOLS), BARS), "close": close.T.ravel()})
    span = PERIODS["ema"][0]
    ours = lambda: long.select(pl.col("close").qv.ema(span).over("symbol"))  # noqa: E731
    theirs = lambda: long.select(  # noqa: E731
        pl.col("close").ewm_mean(span=span, adjust=False).over("symbol"))
    times, ratios = paired([ours, theirs], rounds)
    return rows, (times[0] * 1e3, times[1] * 1e3, ratios[1])


def number(value, digits=2):
    return f"{value:,.{digits}f}"


def report(single, panel, peer, polars_row, later_rows, rounds):
    load = os.getloadavg()[0]
    lines = [
        "# quorvane_ta: measured", "",
        f"`bench/ta.py` on {platform.machine()}, {os.cpu_count()} cores; CPython "
        f"{platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}, polars "
        f"{pl.__version__}, TA-Lib {talib.__version__}; {rounds} rounds; load average {load:.1f} at "
        f"the end. Periods: SMA and EMA 10, MACD 5/10/4, ATR 10.", "",
        "## One series", "",
        "| indicator | call | against | quorvane_ta (µs) | against (µs) | ratio | target |",
        "|---|---|---|---:|---:|---:|---|",
    ]
    for indicator, call, against, ours, theirs, ratio, target in single:
        lines.append(f"| {indicator.upper()} | {call} | {against} | {number(ours * 1e6)} | "
                     f"{number(theirs * 1e6)} | {ratio:.2f} | {target} |")
    lines += ["", f"## Panels of {BARS:,} bars × {SYMBOLS} symbols, out= given", "",
              "ns per element; the kernel runs one series of the same number of elements; the floor "
              "reads every input and writes every output once (a copy, a max, a fill) in the same "
              "order.", "",
              "| indicator | order | 1 thread | kernel | ratio | target | floor | over floor | "
              "2 threads over 1 |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for indicator, order, ours, kernel, ratio, floor, over_floor, threads in panel:
        lines.append(f"| {indicator.upper()} | {order} | {ours:.2f} | {kernel:.2f} | {ratio:.2f} | "
                     f"{PANEL_TARGETS[indicator]} (or {FLOOR_TARGET}× floor) | {floor:.2f} | "
                     f"{over_floor:.2f} | {threads:.2f} (at least {THREADS_TARGET}) |")
    lines += ["", "## Panels against the peers (a new result, default threads)", "",
              "| indicator | quorvane_ta (ms) | pandas on the frame (ms) | speed-up | TA-Lib loop (ms) "
              "| speed-up |", "|---|---:|---:|---:|---:|---:|"]
    for indicator, ours, frame, frame_ratio, loop, loop_ratio in peer:
        lines.append(f"| {indicator.upper()} | {number(ours)} | {number(frame)} | {frame_ratio:.1f} "
                     f"(at least {PANDAS_TARGET:.0f}) | {number(loop)} | {loop_ratio:.1f} (at least "
                     f"{TALIB_LOOP_TARGET:.0f}) |")
    ours, theirs, ratio = polars_row
    lines += ["", "## polars, EMA over 500 symbols in one long frame", "",
              "| `pl.col(\"close\").qv.ema(10).over(\"symbol\")` (ms) | "
              "`ewm_mean(span=10, adjust=False).over(\"symbol\")` (ms) | speed-up |",
              "|---:|---:|---:|", f"| {number(ours)} | {number(theirs)} | {ratio:.2f} |"]
    for name, rows in later_rows.items():
        lines += ["", f"## {name.upper()} on 10^6 values, out= given", "",
                  f"| quorvane_ta.{name} | against | quorvane_ta (ms) | against (ms) | its time over ours |",
                  "|---|---|---:|---:|---:|"]
        for call, against, ours, theirs, ratio in rows:
            lines.append(f"| {call} | {against} | {number(ours * 1e3)} | {number(theirs * 1e3)} | "
                         f"{ratio:.2f} |")
    lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short trial, into build/")
    parser.add_argument("--floor", type=Path, default=ROOT / "build" / "bench" / "quorvane_floor",
                        help="the floor program, for the later indicators' floors "
                             "(default build/bench/quorvane_floor)")
    parser.add_argument("--only", choices=sorted(LATER), action="append",
                        help="this later indicator's rows alone, printed (may be repeated)")
    options = parser.parse_args()
    rounds = 3 if options.quick else 9
    if options.only:
        print(report([], [], [], (0.0, 0.0, 0.0), {name: later(name, rounds, options.floor)
                                                   for name in options.only}, rounds))
        return
    text = report(one_series(rounds), panels(rounds), *peers(rounds),
                  {name: later(name, rounds, options.floor) for name in LATER}, rounds)
    path = ROOT / ("build" if options.quick else "bench") / "ta_results.md"
    path.parent.mkdir(exist_ok=True)
    path.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
