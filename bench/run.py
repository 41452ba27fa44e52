"""Times quorvane against its speed floor and its peers.

Prints a Markdown report and writes it, with a chart, to the output folder.
`bash scripts/bench.sh` builds what this needs (the floor program, the heap
counter, the peers) and runs it. Every figure is the median of repeated
runs; the contenders of one table cell take turns within each round, so a
busy machine slows them alike and the ratios stay meaningful.
"""

import argparse
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
import timeit
import tracemalloc
from pathlib import Path

import numpy as np
from calls import INDICATORS, PERIODS, generated_prices, page_aligned, quorvane_call

import quorvane

ROOT = Path(__file__).resolve().parent.parent
SIZES = (16, 10**3, 10**5, 10**6, 10**7)
ROUNDS = {16: 31, 10**3: 31, 10**5: 21, 10**6: 21, 10**7: 9}
SAMPLE_SECONDS = 0.004  # at least this much work in one timed sample
THREAD_SIZE = 10**5
THREAD_SECONDS = 0.1  # one thread's work in one round
THREADED = ("sma", "ema", "macd")  # the kernels that run without the lock
THREAD_REFERENCE = "np.exp(a, out) (reference)"

QUORVANE = "quorvane"
KERNEL = "quorvane kernel, direct (C++)"
FLOOR = "floor (C++)"
TALIB = "TA-Lib"

# Most time a call may take, as a multiple of its floor's.
FLOOR_TARGETS = {"sma": 1.10, "ema": 1.10, "macd": 1.15, "atr": 1.25}
TALIB_LARGE_TARGET = 1.5  # TA-Lib's time over quorvane's at 10^6
TALIB_SMALL_TARGET = 3.0  # the same per call at n = 16
NP_ADD_TARGET = 0.6  # a 16-element call over np.add(a, b, out=c)
THREAD_TARGET = 1.8  # two threads' throughput over one's


class Floor:
    """The floor program, answering timing requests over a pipe."""

    def __init__(self, program, prices_path, volumes_path=None):
        self.process = subprocess.Popen(
            [str(program), str(prices_path), *([str(volumes_path)] if volumes_path else [])],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, mode, indicator, n, calls=1, repeats=1, periods=None):
        words = (mode, indicator, n, calls, repeats, *(PERIODS[indicator] if periods is None else periods))
        self.process.stdin.write(" ".join(map(str, words)) + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise RuntimeError(f"the floor program refused: {' '.join(map(str, words))}")
        return answer

    def close(self):
        self.process.stdin.close()
        self.process.wait()


class PythonContender:
    def __init__(self, name, statement, namespace):
        self.name = name
        self.statement = statement
        self.namespace = namespace
        self.timer = timeit.Timer(statement, globals=namespace)

    def seconds(self, calls):
        return self.timer.timeit(calls)

    def last_value(self):
        """The last value of the (first) result, to check that it computes the same."""
        result = eval(self.statement, self.namespace)
        if isinstance(result, tuple):
            result = result[0]
        return float(np.asarray(result)[-1])


class QuorvaneContender(PythonContender):
    def __init__(self, indicator, close, high, low):
        self.function, self.args, self.outputs = quorvane_call(indicator, close, high, low)
        names = [f"a{k}" for k in range(len(self.args))]
        super().__init__(QUORVANE, f"f({', '.join(names)})",
                         {"f": self.function, **dict(zip(names, self.args))})

    def last_value(self):
        self.function(*self.args)
        return float(self.outputs[0][-1])

    def digest(self):
        """The wrapping sum of the bit patterns of every output value."""
        self.function(*self.args)
        return sum(int(out.view(np.uint64).sum(dtype=np.uint64)) for out in self.outputs) % 2**64


class FloorContender:
    def __init__(self, name, floor, mode, indicator, n):
        self.name, self.floor, self.mode, self.indicator, self.n = name, floor, mode, indicator, n

    def seconds(self, calls):
        ns_per_element = float(self.floor.ask(self.mode, self.indicator, self.n, calls))
        return ns_per_element * self.n * calls / 1e9


def numpy_sma(data, period, out):
    """SMA from one cumulative sum: vectorised, but its rounding error grows with the series."""
    sums = np.cumsum(data)
    out[:period - 1] = np.nan
    out[period - 1] = sums[period - 1] / period
    np.subtract(sums[period:], sums[:-period], out=out[period:])
    out[period:] /= period
    return out


def pandas_macd(series, fast, slow, signal):
    line = series.ewm(span=fast, adjust=False).mean() - series.ewm(span=slow, adjust=False).mean()
    signal_line = line.ewm(span=signal, adjust=False).mean()
    return line, signal_line, line - signal_line


def polars_macd(series, fast, slow, signal):
    line = series.ewm_mean(span=fast, adjust=False) - series.ewm_mean(span=slow, adjust=False)
    signal_line = line.ewm_mean(span=signal, adjust=False)
    return line, signal_line, line - signal_line


def peer_contenders(indicator, close, high, low):
    try:
        import bottleneck
        import pandas
        import polars
        import talib
    except ImportError as missing:
        sys.exit(f"{missing.name} is missing: run `bash scripts/bench.sh`, which installs the peers")
    p = PERIODS[indicator]
    frame = {"x": close, "h": high, "l": low, "p": p[0], "s": pandas.Series(close, copy=False),
             "q": polars.Series(close)}
    if indicator == "sma":
        return [
            PythonContender(TALIB, "f(x, p)", {**frame, "f": talib.SMA}),
            PythonContender("pandas", "s.rolling(p).mean()", frame),
            PythonContender("polars", "q.rolling_mean(p)", frame),
            PythonContender("bottleneck", "f(x, p)", {**frame, "f": bottleneck.move_mean}),
            PythonContender("NumPy cumsum", "f(x, p, out)",
                            {**frame, "f": numpy_sma, "out": np.empty_like(close)}),
        ]
    if indicator == "ema":
        return [
            PythonContender(TALIB, "f(x, p)", {**frame, "f": talib.EMA}),
            PythonContender("pandas", "s.ewm(span=p, adjust=False).mean()", frame),
            PythonContender("polars", "q.ewm_mean(span=p, adjust=False)", frame),
        ]
    if indicator == "macd":
        frame["periods"] = p
        return [
            PythonContender(TALIB, "f(x, *periods)", {**frame, "f": talib.MACD}),
            PythonContender("pandas", "f(s, *periods)", {**frame, "f": pandas_macd}),
            PythonContender("polars", "f(q, *periods)", {**frame, "f": polars_macd}),
        ]
    return [PythonContender(TALIB, "f(h, l, x, p)", {**frame, "f": talib.ATR})]


def calls_per_sample(contender):
    calls = 1
    while (elapsed := contender.seconds(calls)) < SAMPLE_SECONDS / 20:
        calls *= 10
    return max(1, round(calls * SAMPLE_SECONDS / elapsed))


def interleaved_samples(contenders, n, rounds):
    """ns per element of each contender in each round, all taking turns in every round."""
    calls = [calls_per_sample(contender) for contender in contenders]
    samples = [[] for _ in contenders]
    for r in range(rounds):
        for k in itertools.islice(itertools.cycle(range(len(contenders))), r, r + len(contenders)):
            samples[k].append(contenders[k].seconds(calls[k]) / (calls[k] * n) * 1e9)
    return samples


def paired_ratio(numerators, denominators):
    """The median of the ratios of samples taken in the same round: two
    contenders timed side by side saw the same machine."""
    return statistics.median(a / b for a, b in zip(numerators, denominators))


def check_agreement(indicator, n, contenders, floor, scale):
    """Every contender must compute the same indicator on the same prices;
    `scale` is the prices' magnitude, for values near zero."""
    mine = contenders[0]
    floor_digest = int(floor.ask("digest", indicator, n))
    if floor_digest != mine.digest():
        raise RuntimeError(f"{indicator} at n = {n}: the floor's results differ from quorvane's")
    if n < 1000:  # the peers' seeds still differ
        return
    expected = mine.last_value()
    for peer in contenders:
        if isinstance(peer, PythonContender) and not np.isclose(
                peer.last_value(), expected, rtol=1e-6, atol=1e-9 * scale):
            raise RuntimeError(f"{indicator} at n = {n}: {peer.name} ends on {peer.last_value()}, "
                               f"quorvane on {expected}")


def time_indicators(prices, floor, sizes, rounds):
    """ns per element in each round: {indicator: {contender: {n: samples}}}."""
    samples = {}
    for indicator in INDICATORS:
        rows = samples.setdefault(indicator, {})
        for n in sizes:
            close, high, low = (values[:n] for values in prices)
            contenders = [
                QuorvaneContender(indicator, close, high, low),
                FloorContender(KERNEL, floor, "kernel", indicator, n),
                FloorContender(FLOOR, floor, "floor", indicator, n),
                *peer_contenders(indicator, close, high, low),
            ]
            check_agreement(indicator, n, contenders, floor, float(np.abs(close).max()))
            for contender, values in zip(contenders, interleaved_samples(contenders, n, rounds[n])):
                rows.setdefault(contender.name, {})[n] = values
            say(f"{indicator} n={n}: " + ", ".join(
                f"{name} {statistics.median(rows[name][n]):.3g}" for name in rows if n in rows[name]))
    return samples


def call_overhead(prices, rounds):
    """ns per call on 16 elements in each round: np.add(a, b, out=c), then each indicator."""
    close, high, low = (values[:16] for values in prices)
    contenders = [PythonContender("np.add(a, b, out=c)", "f(a, b, out=c)",
                                  {"f": np.add, "a": close, "b": high, "c": np.empty(16)})]
    for indicator in INDICATORS:
        contender = QuorvaneContender(indicator, close, high, low)
        contender.name = f"indicator_{indicator}"
        contenders.append(contender)
    samples = interleaved_samples(contenders, 16, rounds)
    return {contender.name: [16 * value for value in values]
            for contender, values in zip(contenders, samples)}


GAPPED_SIZE = 2 * 10**5
# (fast, slow, signal, a NaN every so many values): every window holds a NaN.
GAPPED_CASES = ((12, 26, 9, 10), (100, 500, 9, 50), (1000, 5000, 9, 500), (5000, 20000, 9, 2000))


def gapped_macd(prices, rounds):
    """MACD on prices with a NaN at every k-th value over MACD on the same
    prices without: (case, median ratio within each round) per case."""
    close = prices[0][:GAPPED_SIZE]
    outputs = [np.empty(GAPPED_SIZE) for _ in range(3)]
    ratios = []
    for fast, slow, signal, every in GAPPED_CASES:
        gapped = close.copy()
        gapped[every - 1::every] = np.nan
        contenders = [PythonContender(name, "f(p, q, r, d, a, b, c)",
                                      {"f": quorvane.indicator_macd, "p": fast, "q": slow,
                                       "r": signal, "d": data, "a": outputs[0], "b": outputs[1],
                                       "c": outputs[2]})
                      for name, data in (("clean", close), ("gapped", gapped))]
        clean, with_gaps = interleaved_samples(contenders, GAPPED_SIZE, rounds)
        ratios.append(((fast, slow, signal, every), paired_ratio(with_gaps, clean)))
    return ratios


def gapped_report(ratios):
    lines = ["", f"### MACD with missing values (n = {GAPPED_SIZE:,})", "",
             "Time on prices with a NaN at every k-th value over time on the same prices "
             "without, median of the ratios within each run. Every window holds a NaN, so no "
             "average seeds: the work stays one pass.", "",
             "| periods | a NaN every | time over clean |", "|---|---:|---:|"]
    lines += [f"| {fast}/{slow}/{signal} | {every} | {ratio:.2f}x |"
              for (fast, slow, signal, every), ratio in ratios]
    return "\n".join(lines) + "\n"


def run_threads(workloads, calls):
    """Seconds from the first thread's start to the last one's end."""
    barrier = threading.Barrier(len(workloads))
    spans = [None] * len(workloads)

    def work(k, function, args):
        barrier.wait()
        start = time.perf_counter()
        for _ in itertools.repeat(None, calls):
            function(*args)
        spans[k] = (start, time.perf_counter())

    threads = [threading.Thread(target=work, args=(k, *workload))
               for k, workload in enumerate(workloads)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def thread_scaling(prices, rounds):
    """ns per element with one thread, with two, and the speed-up: per
    indicator, and for np.exp, whose loop runs without the lock too and
    shows how much of the second core the machine had to give."""
    workloads = {}
    for indicator in THREADED:
        # Each thread works on its own series, as when instruments are split among threads.
        workloads[indicator] = [
            quorvane_call(indicator, *(page_aligned(values[:THREAD_SIZE]) for values in prices))[:2]
            for _ in range(2)]
    workloads[THREAD_REFERENCE] = [
        (np.exp, (prices[0][:THREAD_SIZE] / 100.0, np.empty(THREAD_SIZE))) for _ in range(2)]
    result = {}
    for name, pair in workloads.items():
        calls = max(1, round(THREAD_SECONDS / (run_threads(pair[:1], 10) / 10)))
        one, two = [], []
        for _ in range(rounds):
            one.append(run_threads(pair[:1], calls))
            two.append(run_threads(pair, calls))
        elements = calls * THREAD_SIZE
        result[name] = (statistics.median(one) / elements * 1e9,
                        statistics.median(two) / (2 * elements) * 1e9,
                        2 * paired_ratio(one, two))
        say(f"threads {name}: speed-up {result[name][2]:.2f}")
    return result


def traced_allocations(prices, calls=1000):
    """Per indicator: the most bytes tracemalloc saw held at once during
    `calls` calls, and the bytes kept per call, beyond what the timing loop
    itself takes (measured the same way around calls of len(()))."""

    def batch(function, args):
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        for _ in itertools.repeat(None, calls):
            function(*args)
        after, peak = tracemalloc.get_traced_memory()
        return peak - before, after - before

    result = {}
    for indicator in INDICATORS:
        function, args, _ = quorvane_call(indicator, *(values[:1000] for values in prices))
        function(*args)
        tracemalloc.start()
        try:
            empty_peak, empty_kept = batch(len, ((),))
            peak, kept = batch(function, args)
        finally:
            tracemalloc.stop()
        result[indicator] = (peak - empty_peak, (kept - empty_kept) / calls)
    return result


def heap_allocations(counter):
    """Per indicator: C heap allocations per call, counted by the preloaded counter."""
    if not counter.exists():
        return None
    completed = subprocess.run(
        [sys.executable, str(Path(__file__).with_name("heap_allocations.py")), "1000"],
        env={**os.environ, "LD_PRELOAD": str(counter)}, capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def targets(samples, overhead, threads, traced, heap):
    """(target, measured, met) rows, from the samples of each round."""
    rows = []
    for indicator, limit in FLOOR_TARGETS.items():
        ratio = paired_ratio(samples[indicator][QUORVANE][10**6], samples[indicator][FLOOR][10**6])
        rows.append((f"{indicator.upper()} at 10^6 within {limit:.2f}x its floor",
                     f"{ratio:.2f}x", ratio <= limit))
    for indicator in INDICATORS:
        ratio = paired_ratio(samples[indicator][TALIB][10**6], samples[indicator][QUORVANE][10**6])
        rows.append((f"{indicator.upper()} at 10^6 at least {TALIB_LARGE_TARGET}x faster than TA-Lib",
                     f"{ratio:.2f}x", ratio >= TALIB_LARGE_TARGET))
    for indicator in INDICATORS:
        ratio = paired_ratio(samples[indicator][TALIB][16], samples[indicator][QUORVANE][16])
        rows.append((f"{indicator.upper()} at n = 16 at least {TALIB_SMALL_TARGET:g}x faster than "
                     "TA-Lib per call", f"{ratio:.2f}x", ratio >= TALIB_SMALL_TARGET))
    add = overhead["np.add(a, b, out=c)"]
    for indicator in INDICATORS:
        ratio = paired_ratio(overhead[f"indicator_{indicator}"], add)
        rows.append((f"indicator_{indicator} on 16 elements within {NP_ADD_TARGET}x np.add",
                     f"{ratio:.2f}x", ratio <= NP_ADD_TARGET))
    for indicator in THREADED:
        speedup = threads[indicator][2]
        rows.append((f"indicator_{indicator}: two threads at least {THREAD_TARGET}x one",
                     f"{speedup:.2f}x", speedup >= THREAD_TARGET))
    for indicator, (peak, kept) in traced.items():
        rows.append((f"indicator_{indicator}: no bytes allocated per call (tracemalloc)",
                     f"{peak} B held, {kept:g} B kept", peak <= 0 and kept <= 0))
    if heap is not None:
        for indicator in INDICATORS:
            rows.append((f"indicator_{indicator}: no C heap allocation per call",
                         f"{heap[indicator]:g}", heap[indicator] == 0))
    return rows


def machine():
    model = "unknown processor"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    caches = []
    for level in ("index2", "index3"):
        size = Path(f"/sys/devices/system/cpu/cpu0/cache/{level}/size")
        if size.exists():
            caches.append(f"L{level[-1]} {size.read_text().strip()}")
    return f"{model}, {os.cpu_count()} cores ({', '.join(caches)})"


def versions():
    names = ["numpy", "talib", "pandas", "polars", "bottleneck"]
    found = []
    for name in names:
        module = sys.modules.get(name)
        if module is not None:
            found.append(f"{'TA-Lib' if name == 'talib' else name} {module.__version__}")
    return f"CPython {platform.python_version()}, " + ", ".join(found)


def number(value):
    return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"


def size_label(n):
    return str(n) if n < 1000 else f"10^{len(str(n)) - 1}"


def report(table, sizes, rounds, overhead, threads, thread_rounds, traced, heap, goals, load):
    lines = [
        f"Measured on {machine()}; {versions()}; Linux load average "
        f"{load[0]:.1f} at the start, {load[1]:.1f} at the end. Periods: SMA and EMA "
        f"{PERIODS['sma'][0]}, MACD {'/'.join(map(str, PERIODS['macd']))}, "
        f"ATR {PERIODS['atr'][0]}; prices are a seeded random walk.",
        "",
        "Each figure is the median of repeated runs: "
        + ", ".join(f"{rounds[n]} at n = {size_label(n)}" for n in sizes)
        + f"; each run makes calls for at least {SAMPLE_SECONDS * 1000:g} ms. Within a run all "
        "contenders of an indicator and size take turns, and a ratio in the targets is the "
        "median of the ratios within each run. Peers allocate their results; quorvane writes "
        "into arrays allocated once.",
        "",
        "### ns per element",
        "",
        f"`{QUORVANE}` is the Python call; `{KERNEL}` the same kernel called from C++, without "
        f"the call frame; `{FLOOR}` the bare recurrence, without checks or missing-value "
        "handling, which gives the same bits on these prices.",
        "",
        "| indicator | implementation | " + " | ".join(f"n = {size_label(n)}" for n in sizes) + " |",
        "|---|---|" + "---:|" * len(sizes),
    ]
    for indicator, rows in table.items():
        for name, cells in rows.items():
            lines.append(f"| {indicator.upper()} | {name} | "
                         + " | ".join(number(cells[n]) if n in cells else "" for n in sizes) + " |")
    lines += ["", "### Targets", "", "| target | measured | |", "|---|---:|---|"]
    lines += [f"| {goal} | {measured} | {'met' if met else '**missed**'} |"
              for goal, measured, met in goals]
    lines += ["", "### One call on 16 elements", "", f"Median of {rounds[16]} runs.", "",
              "| call | ns per call |", "|---|---:|"]
    lines += [f"| `{name}` | {number(statistics.median(ns))} |" for name, ns in overhead.items()]
    lines += ["", f"### Threads (n = {size_label(THREAD_SIZE)}, each thread on its own series)", "",
              f"Median of {thread_rounds} runs of each. `np.exp` runs without the interpreter "
              "lock too: its speed-up shows how much of the second core the machine had to give.",
              "",
              "| call | ns per element, one thread | two threads | speed-up |",
              "|---|---:|---:|---:|"]
    lines += [f"| {name if name == THREAD_REFERENCE else name.upper()} | {number(one)} | "
              f"{number(two)} | {speedup:.2f}x |" for name, (one, two, speedup) in threads.items()]
    lines += ["", "### Allocation per call (n = 1000)", "",
              "| indicator | bytes held at once (tracemalloc) | bytes kept | C heap allocations |",
              "|---|---:|---:|---:|"]
    lines += [f"| {indicator.upper()} | {peak} | {kept:g} | "
              f"{'not measured' if heap is None else f'{heap[indicator]:g}'} |"
              for indicator, (peak, kept) in traced.items()]
    return "\n".join(lines) + "\n"


# Each contender's line looks the same in every panel.
STYLES = {
    FLOOR: {"color": "black", "linestyle": "--"},
    KERNEL: {"color": "#77767b", "linestyle": ":"},
    TALIB: {"color": "#1c71d8"},
    "pandas": {"color": "#e66100"},
    "polars": {"color": "#9141ac"},
    "bottleneck": {"color": "#26a269"},
    "NumPy cumsum": {"color": "#865e3c"},
}
CHART_TOP = 2.5  # ratios above this are written at the top instead


def chart(table, sizes, path):
    """Per indicator, quorvane's time over each contender's at each size, on
    a linear axis where 1 is a tie: a ratio of times, unlike the times
    themselves, stays in a narrow range."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(2, 2, figsize=(12, 8.5), layout="constrained")
    legend = {}
    for axis, (indicator, rows) in zip(axes.flat, table.items()):
        ours = rows[QUORVANE]
        written = dict.fromkeys(sizes, 0)  # ratios written above each size
        for name, cells in rows.items():
            xs = [n for n in sizes if n in cells and n in ours]
            if name == QUORVANE or not xs:
                continue
            ratios = np.array([ours[n] / cells[n] for n in xs])
            style = STYLES.get(name, {})
            (line,) = axis.plot(xs, np.minimum(ratios, CHART_TOP), marker="o", linewidth=1.5,
                                label=name, **style)
            legend.setdefault(name, line)
            for x, ratio in zip(xs, ratios):
                if ratio > CHART_TOP:
                    axis.annotate(f"{ratio:.0f}x", (x, CHART_TOP), xytext=(10, 2 - 13 * written[x]),
                                  textcoords="offset points", fontsize=8, va="top",
                                  color=line.get_color(),
                                  bbox={"facecolor": "white", "edgecolor": "none", "pad": 1})
                    written[x] += 1
        axis.axhline(1.0, color="#9a9996", linewidth=1.0)
        axis.set_xscale("log")
        axis.set_xticks(sizes, [f"${size_label(n)}$" for n in sizes])
        axis.minorticks_off()
        axis.set_ylim(0.0, CHART_TOP * 1.05)
        axis.set_title(indicator.upper())
        axis.set_xlabel("n (elements)")
        axis.set_ylabel("quorvane's time / theirs")
        axis.grid(True, alpha=0.3)
    figure.suptitle("quorvane's time as a multiple of each contender's: below 1, quorvane is "
                    f"faster (ratios over {CHART_TOP:g} are written at the top)")
    figure.legend(legend.values(), legend.keys(), loc="outside lower center", ncols=len(legend),
                  frameon=False)
    figure.savefig(path, dpi=90)
    pyplot.close(figure)


def table_from_report(text):
    """The medians of the ns-per-element table of a report, and its sizes."""
    lines = text.split("### ns per element", 1)[1].splitlines()
    start = next(k for k, line in enumerate(lines) if line.startswith("|"))
    rows = [line.strip("|").split("|") for line in
            itertools.takewhile(lambda line: line.startswith("|"), lines[start:])]
    labels = [cell.split("=")[1].strip() for cell in rows[0][2:]]  # as size_label writes them
    sizes = [10 ** int(label[3:]) if label.startswith("10^") else int(label) for label in labels]
    table = {}
    for indicator, name, *cells in rows[2:]:
        table.setdefault(indicator.strip().lower(), {})[name.strip()] = {
            n: float(cell.replace(",", "")) for n, cell in zip(sizes, cells) if cell.strip()}
    return table, sizes


def say(text):
    print(f"... {text}", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="the CMake build with QUORVANE_BUILD_BENCH=ON (default build/bench)")
    parser.add_argument("--output-dir", type=Path,
                        help="where results.md and performance.png go (default bench/, where "
                             "the documents link to them; build/bench-quick for --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer runs and no n = 10^7: a trial, not a result")
    parser.add_argument("--chart-only", action="store_true",
                        help="time nothing: draw performance.png again from the results.md "
                             "in the output folder")
    options = parser.parse_args()
    if options.output_dir is None:
        # A trial never replaces the committed results.
        options.output_dir = ROOT / "build" / "bench-quick" if options.quick else ROOT / "bench"
    if options.chart_only:
        table, sizes = table_from_report((options.output_dir / "results.md").read_text())
        chart(table, sizes, options.output_dir / "performance.png")
        print(f"wrote {options.output_dir / 'performance.png'}")
        return

    program = options.build_dir / "bench" / "quorvane_floor"
    if not program.exists():
        sys.exit(f"{program} is missing: run `bash scripts/bench.sh`, which builds it")
    sizes = SIZES[:-1] if options.quick else SIZES
    rounds = {n: max(3, r // 4) if options.quick else r for n, r in ROUNDS.items()}

    load = [os.getloadavg()[0]]
    prices = generated_prices(max(sizes))
    prices_path = options.build_dir / "prices.bin"
    np.concatenate(prices).tofile(prices_path)
    # Threads first: they need both cores free, which a shared machine is
    # likeliest to have when the benchmark is started.
    thread_rounds = 5 if options.quick else 15
    threads = thread_scaling(prices, thread_rounds)
    floor = Floor(program, prices_path)
    try:
        samples = time_indicators(prices, floor, sizes, rounds)
    finally:
        floor.close()
    overhead = call_overhead(prices, rounds[16])
    gapped = gapped_macd(prices, rounds[10**5])
    traced = traced_allocations(prices)
    heap = heap_allocations(options.build_dir / "bench" / "libquorvane_heap_counter.so")
    load.append(os.getloadavg()[0])

    goals = targets(samples, overhead, threads, traced, heap)
    table = {indicator: {name: {n: statistics.median(values) for n, values in cells.items()}
                         for name, cells in rows.items()}
             for indicator, rows in samples.items()}
    text = report(table, sizes, rounds, overhead, threads, thread_rounds, traced, heap, goals, load)
    text += gapped_report(gapped)
    options.output_dir.mkdir(parents=True, exist_ok=True)
    (options.output_dir / "results.md").write_text(text)
    chart(table, sizes, options.output_dir / "performance.png")
    print(text)
    met = sum(met for _, _, met in goals)
    print(f"{met} of {len(goals)} targets met; wrote {options.output_dir / 'results.md'} "
          f"and {options.output_dir / 'performance.png'}")


if __name__ == "__main__":
    main()
