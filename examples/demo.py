"""quorvane demo: SMA, EMA, MACD and ATR over OHLC bars.

Without --csv it uses a seeded, generated series (a geometric random walk
with a few missing sessions). It prints the last bars as a table and draws
price with SMA and EMA, MACD with its signal and histogram, and ATR into a
PNG chart.
"""

import argparse
import math
import os
import sys
from pathlib import Path

import numpy as np

import ohlc
from csvbars import CsvError, read_csv

DEFAULT_CHART = Path(__file__).resolve().parent.parent / "build" / "demo.png"


def table(bars, out, rows):
    """The last `rows` bars as aligned text, one line each under a header."""
    macd = "MACD({},{},{})".format(*ohlc.MACD_PERIODS)
    columns = [("Date", bars["date"]), ("Close", bars["close"]),
               (f"SMA({ohlc.SMA_PERIOD})", out["sma"]), (f"EMA({ohlc.EMA_PERIOD})", out["ema"]),
               (macd, out["macd"]), ("Signal", out["signal"]), ("Hist", out["hist"]),
               (f"ATR({ohlc.ATR_PERIOD})", out["atr"])]
    last = slice(max(0, len(bars["close"]) - rows), None)
    cells = [[title] + [_cell(value) for value in values[last].tolist()]
             for title, values in columns]
    widths = [max(map(len, column)) for column in cells]
    lines = []
    for row in zip(*cells, strict=True):
        first, *numbers = row
        lines.append("  ".join([first.ljust(widths[0])]
                               + [n.rjust(w) for n, w in zip(numbers, widths[1:], strict=True)]))
    return "\n".join(lines)


def _cell(value):
    if not isinstance(value, float):
        return str(value)
    if math.isnan(value):
        return "NaN"
    return f"{value:.4f}" if abs(value) < 1e9 else f"{value:.6e}"


def chart(bars, out, path, title, shown):
    """Draws the last `shown` bars: prices with SMA and EMA, MACD, ATR."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    n = len(bars["close"])
    first = max(0, n - shown)
    x = np.arange(first, n)
    at = slice(first, n)
    figure = Figure(figsize=(11, 8), layout="constrained")
    price, macd, atr = figure.subplots(3, 1, sharex=True, height_ratios=[3, 1.4, 1])

    rising = bars["close"][at] >= bars["open"][at]
    for mask, colour in ((rising, "#26a269"), (~rising, "#c01c28")):
        price.vlines(x[mask], bars["low"][at][mask], bars["high"][at][mask],
                     colors=colour, linewidth=1)
        price.hlines(bars["open"][at][mask], x[mask] - 0.35, x[mask], colors=colour, linewidth=1)
        price.hlines(bars["close"][at][mask], x[mask], x[mask] + 0.35, colors=colour, linewidth=1)
    price.plot(x, out["sma"][at], color="#1c71d8", linewidth=1.4, label=f"SMA({ohlc.SMA_PERIOD})")
    price.plot(x, out["ema"][at], color="#e66100", linewidth=1.4, label=f"EMA({ohlc.EMA_PERIOD})")
    price.set_ylabel("price")
    price.set_title(title, loc="left")
    price.legend(loc="upper left", framealpha=0.85, edgecolor="none")

    hist = out["hist"][at]
    macd.bar(x, hist, width=0.8, color=np.where(hist >= 0, "#8ff0a4", "#f66151"), label="histogram")
    macd.plot(x, out["macd"][at], color="#1c71d8", linewidth=1.2,
              label="MACD({},{},{})".format(*ohlc.MACD_PERIODS))
    macd.plot(x, out["signal"][at], color="#e66100", linewidth=1.2, label="signal")
    macd.axhline(0.0, color="#9a9996", linewidth=0.6)
    macd.set_ylabel("MACD")
    macd.legend(loc="upper left", framealpha=0.85, edgecolor="none", ncols=3)

    atr.plot(x, out["atr"][at], color="#613583", linewidth=1.2, label=f"ATR({ohlc.ATR_PERIOD})")
    atr.set_ylabel("ATR")
    atr.legend(loc="upper left", framealpha=0.85, edgecolor="none")

    dates = bars["date"]
    atr.xaxis.set_major_locator(MaxNLocator(8, integer=True))
    atr.xaxis.set_major_formatter(
        FuncFormatter(lambda value, _: str(dates[int(value)]) if 0 <= value < n else ""))
    for axes in (price, macd, atr):
        axes.grid(True, color="#deddda", linewidth=0.5)
        axes.set_xlim(first - 1, n)
        # Room above the lines for the legend.
        low, high = axes.get_ylim()
        axes.set_ylim(low, high + 0.2 * (high - low))
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def chart_path(given):
    """Where the chart goes: `given`, ".png" added if it has no extension.
    A ValueError says why it cannot go there."""
    from matplotlib.backend_bases import FigureCanvasBase

    if given.is_dir():
        raise ValueError(f"cannot write the chart to {given}: it is a directory")
    path = given if given.suffix else given.with_name(given.name + ".png")
    kinds = FigureCanvasBase.get_supported_filetypes()
    if path.suffix[1:].lower() not in kinds:
        raise ValueError(f"cannot draw a chart as {path.suffix!r}: --chart {given} should end "
                         "in one of " + ", ".join("." + kind for kind in sorted(kinds)))
    # The first folder that is there must take a new file.
    folder = path.parent
    while not folder.exists() and folder != folder.parent:
        folder = folder.parent
    if not folder.is_dir():
        raise ValueError(f"cannot write the chart to {path}: {folder} is not a directory")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"cannot write the chart to {path}: {folder} is not writable")
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--csv", metavar="PATH",
                        help="bars from a CSV file with the columns Date, Open, High, Low, "
                             "Close (any order, any case) and, if wanted, Volume; separated by "
                             "commas, semicolons or tabs; empty, nan, null, NA, N/A or #N/A is "
                             "missing")
    parser.add_argument("--bars", type=int, default=500,
                        help="bars to generate without --csv (default 500)")
    parser.add_argument("--seed", type=int, default=11,
                        help="seed of the generated bars (default 11)")
    parser.add_argument("--rows", type=int, default=10, help="bars to print (default 10)")
    parser.add_argument("--chart", metavar="PATH", type=Path, default=DEFAULT_CHART,
                        help="where to write the chart, as PNG unless PATH ends in another "
                             f"image type such as .svg or .pdf (default {DEFAULT_CHART})")
    parser.add_argument("--chart-bars", type=int, default=250, metavar="N",
                        help="bars the chart shows, the last ones (default 250)")
    args = parser.parse_args(argv)
    if args.bars < 1 or args.rows < 0 or args.chart_bars < 1:
        parser.error("--bars and --chart-bars must be positive, --rows must not be negative")

    def fail(problem):
        parser.exit(2, f"{parser.prog}: error: {problem}\n")

    try:
        import matplotlib  # noqa: F401
        import tqdm  # noqa: F401
    except ImportError as error:
        fail(f"the demo needs {error.name}: pip install 'quorvane[demo]'")
    try:
        path = chart_path(args.chart)
    except ValueError as problem:
        fail(problem)

    if args.csv:
        try:
            bars = read_csv(args.csv, progress=sys.stderr.isatty(),
                            say=lambda line: print(f"{parser.prog}: {line}", file=sys.stderr))
        except CsvError as error:
            fail(error)
        source = Path(args.csv).name
    else:
        bars = ohlc.generated(args.bars, args.seed)
        source = f"generated bars, seed {args.seed}"
    out = ohlc.into(bars, ohlc.allocated(len(bars["close"])))

    print(table(bars, out, args.rows))
    shown = min(args.chart_bars, len(bars["close"]))
    try:
        chart(bars, out, path, f"quorvane demo: {source}, last {shown} of "
                               f"{len(bars['close'])} bars", shown)
    except OSError as error:
        fail(f"cannot write the chart to {path}: {error.strerror or error}")
    print(f"\nchart written to {path}")


if __name__ == "__main__":
    try:
        main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader left, as `| head` does: stop quietly, as other tools do.
        # Python would complain again while flushing at exit; /dev/null takes that.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
