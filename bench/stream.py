"""Times quorvane_stream: per tick against its peers, per chunk and per
universe bar against quorvane's batch kernels.

    python bench/stream.py           # the full run, written to bench/stream_results.md
    python bench/stream.py --quick   # a short trial, written to build/stream_results.md
    python bench/stream.py --stepped # only the stepped indicators' universes, printed

`bash scripts/bench.sh` installs the peers (TA-Lib, talipp). Every ratio is
the median of the ratios within rounds in which both sides took turns, so a
busy machine slows both alike.
"""

import argparse
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from calls import INDICATORS, PERIODS, generated_prices, inputs_of, output_count

import quorvane
import quorvane_stream as qs

ROOT = Path(__file__).resolve().parent.parent
CLASSES = {name.lower(): getattr(qs, name) for name in qs.__all__}
HISTORY = 1000  # bars TA-Lib's stream is given at every tick
WIDTH = 5000
# Most time a series-update of a universe may take, as a multiple of the
# batch kernel's time per element; and update_many's over the batch call's.
UNIVERSE_TARGETS = {"sma": 1.0, "ema": 0.35, "macd": 0.35, "atr": 0.35}
MANY_TARGET = 1.10


def batch_call(indicator, close, high, low):
    """The batch function and its arguments, outputs allocated."""
    n, p = len(close), PERIODS[indicator]
    outs = [np.empty(n) for _ in range(output_count(indicator))]
    inputs = inputs_of(indicator, close, high, low)
    function = getattr(quorvane, f"indicator_{indicator}")
    return lambda: function(*p, *inputs, *outs), inputs, outs


def median_ratio(rounds, first, second):
    """Both timed in every round, alternately first; the median of the ratios."""
    ratios, times = [], ([], [])
    for r in range(rounds):
        pair = (first, second) if r % 2 == 0 else (second, first)
        measured = [timed() for timed in pair]
        a, b = measured if r % 2 == 0 else measured[::-1]
        times[0].append(a)
        times[1].append(b)
        ratios.append(a / b)
    return statistics.median(ratios), statistics.median(times[0]), statistics.median(times[1])


def seconds(call, repeat=1):
    start = time.perf_counter()
    for _ in range(repeat):
        call()
    return (time.perf_counter() - start) / repeat


# Per tick ----------------------------------------------------------------

def tick_contenders(indicator, close, high, low, ticks):
    """name -> (feed, streamed values, batch values): feed() updates once per
    tick from bar HISTORY on and returns the values, which are compared with
    the same library's batch values at those bars."""
    import talib
    import talib.stream as talib_stream
    from talipp import indicators as tp
    from talipp.ohlcv import OHLCV

    p = PERIODS[indicator]
    end = HISTORY + ticks
    bars = range(HISTORY, end)
    first = (lambda v: v[0]) if output_count(indicator) > 1 else (lambda v: v)
    columns = inputs_of(indicator, close, high, low)
    values = [tuple(map(float, bar)) for bar in zip(*(c[:end] for c in columns))]

    def ours():
        state = CLASSES[indicator](*p)
        state.update_many(*(c[:HISTORY] for c in columns), *(
            np.empty(HISTORY) for _ in range(output_count(indicator))))
        update = state.update
        return [first(update(*values[i])) for i in bars]

    expected_ours = batch_call(indicator, *(c[:end].copy() for c in (close, high, low)))
    expected_ours[0]()
    ours_batch = expected_ours[2][0][HISTORY:end]

    talib_name = indicator.upper()
    talib_args = (dict(fastperiod=p[0], slowperiod=p[1], signalperiod=p[2])
                  if indicator == "macd" else dict(timeperiod=p[0]))
    function = getattr(talib_stream, talib_name)

    def talib_window():
        # The stream API given the last HISTORY bars at every tick.
        return [first(function(*(c[i + 1 - HISTORY:i + 1] for c in columns), **talib_args).value)
                for i in bars]

    def talib_update():
        state = function(*(c[:HISTORY] for c in columns), **talib_args)
        update = state.update
        return [first(update(*values[i])) for i in bars]

    talib_batch = first(getattr(talib, talib_name)(*(c[:end] for c in columns), **talib_args))
    talib_batch = np.asarray(talib_batch)[HISTORY:end]

    kind = {"sma": tp.SMA, "ema": tp.EMA, "macd": tp.MACD, "atr": tp.ATR}[indicator]
    items = ([OHLCV(c, high, low, c, 0.0) for high, low, c in values] if indicator == "atr"
             else [v[0] for v in values])
    value_of = (lambda v: float("nan") if v is None else v.macd) if indicator == "macd" else (
        lambda v: float("nan") if v is None else v)

    def talipp():
        state = kind(*p)
        for item in items[:HISTORY]:
            state.add(item)
        add = state.add
        out = []
        for i in bars:
            add(items[i])
            out.append(state[-1])
        return [value_of(v) for v in out]

    talipp_batch = np.array([value_of(v) for v in kind(*p, input_values=items)])[HISTORY:end]
    return {
        "quorvane_stream update(x)": (ours, ours_batch),
        "talipp add": (talipp, talipp_batch),
        "TA-Lib stream, given the last 1,000 bars": (talib_window, talib_batch),
        "TA-Lib stream, update": (talib_update, talib_batch),
    }


def largest_difference(streamed, batch):
    streamed, batch = np.asarray(streamed, dtype=float), np.asarray(batch, dtype=float)
    both = ~np.isnan(streamed) & ~np.isnan(batch)
    mismatched = np.isnan(streamed) != np.isnan(batch)
    if mismatched.any():
        return float("inf")
    return float(np.max(np.abs(streamed[both] - batch[both]), initial=0.0))


def tick_table(prices, ticks, rounds):
    rows = []
    for indicator in INDICATORS:
        contenders = tick_contenders(indicator, *prices, ticks)
        samples = {name: [] for name in contenders}
        results = {}
        for r in range(rounds):
            for name, (feed, _) in (list(contenders.items())[r % len(contenders):]
                                    + list(contenders.items())[:r % len(contenders)]):
                start = time.perf_counter()
                results[name] = feed()
                samples[name].append((time.perf_counter() - start) / ticks * 1e9)
        for name, (_, batch) in contenders.items():
            rows.append((indicator.upper(), name, statistics.median(samples[name]),
                         largest_difference(results[name], batch)))
    return rows


# Chunks and universes ----------------------------------------------------

def many_table(prices, rounds):
    rows = []
    for indicator in INDICATORS:
        batch, inputs, outs = batch_call(indicator, *prices)
        p = PERIODS[indicator]

        def stream():
            CLASSES[indicator](*p).update_many(*inputs, *outs)

        batch()
        stream()
        ratio, ns_stream, ns_batch = median_ratio(
            rounds, lambda: seconds(stream, 3), lambda: seconds(batch, 3))
        n = len(prices[0])
        rows.append((indicator.upper(), ns_batch / n * 1e9, ns_stream / n * 1e9, ratio))
    return rows


def universe_prices(bars, cached):
    """Close, high, low and volume rows of WIDTH series: 2 rows when cached, else `bars`."""
    rng = np.random.default_rng(7)
    rows_made = 2 if cached else bars
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, (rows_made, WIDTH)), axis=0))
    high = close * (1 + 0.01 * rng.random((rows_made, WIDTH)))
    low = close * (1 - 0.01 * rng.random((rows_made, WIDTH)))
    volume = np.floor(1e6 * rng.lognormal(0.0, 0.5, (rows_made, WIDTH)))
    return {"close": close, "data": close, "high": high, "low": low, "volume": volume}


def universe_row(rounds, bars, rows, state, columns, outputs, batch):
    """(batch ns per element, universe ns per series-update, their ratio): `batch`
    runs a kernel over 10^6 elements."""
    outs = [np.empty(WIDTH) for _ in range(outputs)]
    update = state.update
    # Each bar's arguments made beforehand: the loop times the updates.
    calls = [(*(c[t % len(rows)] for c in columns), *outs) for t in range(bars)]

    def run():
        for arguments in calls:
            update(*arguments)

    run()  # past every warm-up
    ratio, universe, kernel = median_ratio(rounds, lambda: seconds(run), lambda: seconds(batch, 2))
    # The ratio of ns per series-update to ns per element.
    return kernel / 1e6 * 1e9, universe / (bars * WIDTH) * 1e9, ratio * 1e6 / (bars * WIDTH)


def universe_table(rounds, bars, cached):
    """ns per series-update of a universe of WIDTH series, and the batch
    kernel's ns per element on 10^6 prices, in the same rounds."""
    rows_of = universe_prices(bars, cached)
    prices = generated_prices(10**6)
    rows = []
    for indicator in INDICATORS:
        p = PERIODS[indicator]
        columns = inputs_of(indicator, rows_of["close"], rows_of["high"], rows_of["low"])
        batch, _, _ = batch_call(indicator, *prices)
        row = universe_row(rounds, bars, rows_of["close"], CLASSES[indicator](*p, width=WIDTH), columns,
                           output_count(indicator), batch)
        rows.append((indicator.upper(), *row, UNIVERSE_TARGETS[indicator]))
    return rows


# The indicators stepped by one generic step (core's stepped.hpp): their
# usual parameters and inputs. Their batch kernels are quorvane_ta's, given out=.
STEPPED = {
    "wma": ((30,), ("close",)),
    "rsi": ((14,), ("close",)),
    "bbands": ((5, 2.0), ("close",)),
    "stoch": ((5, 3, 3), ("high", "low", "close")),
    "willr": ((14,), ("high", "low", "close")),
    "adx": ((14,), ("high", "low", "close")),
    "cci": ((14,), ("high", "low", "close")),
    "obv": ((), ("close", "volume")),
    "roc": ((10,), ("close",)),
    "mom": ((10,), ("close",)),
    "dema": ((30,), ("close",)),
    "tema": ((30,), ("close",)),
}


def stepped_universe_table(rounds, bars, cached):
    """universe_table's rows for the stepped indicators (no target)."""
    import quorvane_ta

    rows_of = universe_prices(bars, cached)
    close, high, low = generated_prices(10**6)
    rng = np.random.default_rng(20240602)
    series = {"close": close, "high": high, "low": low,
              "volume": np.floor(1e6 * rng.lognormal(0.0, 0.5, 10**6))}
    rows = []
    for indicator, (parameters, names) in STEPPED.items():
        function = getattr(quorvane_ta, indicator)
        inputs = tuple(series[n] for n in names)
        sample = function(*(x[:40] for x in inputs), *parameters)
        count = len(sample) if isinstance(sample, tuple) else 1
        out = tuple(np.empty(10**6) for _ in range(count))
        out = out if count > 1 else out[0]

        def batch(function=function, inputs=inputs, out=out, parameters=parameters):
            function(*inputs, *parameters, out=out)

        state = CLASSES[indicator](*parameters, width=WIDTH)
        row = universe_row(rounds, bars, rows_of["close"], state, [rows_of[n] for n in names], count,
                           batch)
        rows.append((indicator.upper(), *row))
    return rows


# Report ------------------------------------------------------------------

def number(x):
    return "inf" if x == float("inf") else ("0" if x == 0 else f"{x:.3g}")


def report(options, ticks_rows, many_rows, universe_rows, cached_rows, stepped):
    import importlib.metadata as metadata

    load = os.getloadavg()[0]
    peers = ", ".join(f"{name} {metadata.version(name)}" for name in ("numpy", "TA-Lib", "talipp"))
    lines = [
        "# quorvane_stream: measured",
        "",
        f"{'Quick trial' if options.quick else 'Full run'} of `bench/stream.py` on "
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores; CPython "
        f"{platform.python_version()}, {peers}; load average {load:.1f} at the end. "
        f"Periods: SMA and EMA {PERIODS['sma'][0]}, MACD "
        f"{'/'.join(map(str, PERIODS['macd']))}, ATR {PERIODS['atr'][0]}; prices are a seeded "
        "random walk. Ratios are medians of ratios taken within rounds.",
        "",
        f"## Per tick through Python ({options.ticks:,} ticks after {HISTORY:,} bars)",
        "",
        "The largest difference compares each library's streamed values with its own batch "
        "function's at the same bars.",
        "",
        "| indicator | implementation | ns per tick | largest difference from its batch |",
        "|---|---|---:|---:|",
    ]
    lines += [f"| {i} | {name} | {ns:,.0f} | {number(d)} |" for i, name, ns, d in ticks_rows]
    lines += [
        "",
        "## update_many on 10^6 prices against the batch function",
        "",
        "| indicator | batch, ns per element | update_many, ns per element | ratio | target |",
        "|---|---:|---:|---:|---|",
    ]
    lines += [f"| {i} | {b:.3g} | {s:.3g} | {r:.2f}x | at most {MANY_TARGET:.2f}x: "
              f"{'met' if r <= MANY_TARGET else '**missed**'} |" for i, b, s, r in many_rows]
    for title, rows in (("bars read from a block of 200 bars (10 MB per input)", universe_rows),
                        ("the same bar each time, as one just received (in cache)", cached_rows)):
        lines += [
            "",
            f"## Universe of {WIDTH:,} series, one update per bar: {title}",
            "",
            "| indicator | batch kernel, ns per element | universe, ns per series-update | "
            "ratio | target |",
            "|---|---:|---:|---:|---|",
        ]
        lines += [f"| {i} | {k:.3g} | {u:.3g} | {r:.2f}x | at most {t:.2f}x: "
                  f"{'met' if r <= t else '**missed**'} |" for i, k, u, r, t in rows]
    lines += stepped_lines(stepped)
    return "\n".join(lines) + "\n"


def stepped_lines(tables):
    """The stepped indicators' universe tables: (title, rows) pairs."""
    lines = []
    for title, rows in tables:
        lines += [
            "",
            f"## Stepped universes of {WIDTH:,} series, one update per bar: {title}",
            "",
            "| indicator | batch kernel (quorvane_ta, out=), ns per element | universe, ns per "
            "series-update | ratio |",
            "|---|---:|---:|---:|",
        ]
        lines += [f"| {i} | {k:.3g} | {u:.3g} | {r:.2f}x |" for i, k, u, r in rows]
    return lines


def stepped_tables(rounds, bars=200):
    return [("bars read from a block of 200 bars", stepped_universe_table(rounds, bars, cached=False)),
            ("the same bar each time (in cache)", stepped_universe_table(rounds, bars, cached=True))]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer ticks and rounds")
    parser.add_argument("--out", type=Path, help="where the report goes")
    parser.add_argument("--stepped", action="store_true",
                        help="only the stepped indicators' universes, printed (load average first)")
    options = parser.parse_args()
    if options.stepped:
        print(f"load average {os.getloadavg()[0]:.1f}")
        print("\n".join(stepped_lines(stepped_tables(5 if options.quick else 11))))
        print(f"load average {os.getloadavg()[0]:.1f}")
        return
    options.ticks = 2000 if options.quick else 20000
    rounds = 5 if options.quick else 21
    out = options.out or (ROOT / "build" / "stream_results.md" if options.quick
                          else ROOT / "bench" / "stream_results.md")
    try:
        import talib  # noqa: F401
        import talipp  # noqa: F401
    except ImportError as missing:
        sys.exit(f"{missing.name} is missing: run `bash scripts/bench.sh`, which installs the peers")
    ticks_rows = tick_table(generated_prices(HISTORY + options.ticks), options.ticks,
                            3 if options.quick else 7)
    many_rows = many_table(generated_prices(10**6), rounds)
    universe_rows = universe_table(rounds, 200, cached=False)
    cached_rows = universe_table(rounds, 200, cached=True)
    stepped = stepped_tables(rounds)
    text = report(options, ticks_rows, many_rows, universe_rows, cached_rows, stepped)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
