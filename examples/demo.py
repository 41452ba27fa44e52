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
from csvbars import CsvError, moments, read_csv

DEFAULT_CHART = Path(__file__).resolve().parent.parent / "build" / "demo.png"
# More bars than this would merge into a band of candles: a close line instead.
CANDLE_LIMIT = 400
RISING, FALLING, NEUTRAL, GRID = "#26a269", "#c01c28", "#9a9996", "#deddda"
MAX_TICKS = 8
# Legends beside the panels, never over their lines.
_LEGEND = {"loc": "upper left", "bbox_to_anchor": (1.01, 1.0), "borderaxespad": 0.0,
           "frameon": False, "fontsize": "small"}


def _year(moment):
    return moment.year


def _month(moment):
    return moment.year * 12 + moment.month - 1


def _day(moment):
    return moment.toordinal()  # the ordinal of a Sunday is a multiple of 7


def _hour(moment):
    return moment.toordinal() * 24 + moment.hour


def _minute(moment):
    return _hour(moment) * 60 + moment.minute


# Periods that date ticks may mark the starts of, finest first: the period a
# moment falls in, the numbers of periods one tick may span, the label, and
# the longer period whose change a tick's label also shows, with that label.
TICK_PERIODS = (
    (_minute, (1, 5, 15, 30), "%H:%M", _day, "%b %d\n%H:%M"),
    (_hour, (1, 2, 3, 6, 12), "%H:%M", _day, "%b %d\n%H:%M"),
    (_day, (1, 7, 14), "%d", _month, "%d\n%b %Y"),
    (_month, (1, 2, 3, 6), "%b", _year, "%b\n%Y"),
    (_year, (1, 2, 5, 10, 20, 50, 100), "%Y", _year, "%Y"),
)


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
    """Draws the last `shown` bars: prices with SMA and EMA, the volume when
    the bars have one, MACD with its signal and histogram, and ATR."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch
    from matplotlib.ticker import EngFormatter, FuncFormatter, MaxNLocator

    n = len(bars["close"])
    first = max(0, n - shown)
    x = np.arange(first, n)
    at = slice(first, n)
    panels = {"price": 3, "volume": 0.8, "macd": 1.4, "atr": 1}
    if "volume" not in bars or not np.nanmax(bars["volume"][at], initial=0.0) > 0:
        del panels["volume"]  # none, or none recorded (all zero)
    figure = Figure(figsize=(12, 7 + 1.5 * len(panels) / 2), layout="constrained")
    axes = dict(zip(panels, figure.subplots(len(panels), 1, sharex=True,
                                            height_ratios=list(panels.values()))))

    price = axes["price"]
    rising = bars["close"][at] >= bars["open"][at]
    width = 0.8 if shown <= CANDLE_LIMIT else 1.0  # narrower bars would alias
    if shown <= CANDLE_LIMIT:
        for mask, colour in ((rising, RISING), (~rising, FALLING)):
            price.vlines(x[mask], bars["low"][at][mask], bars["high"][at][mask],
                         colors=colour, linewidth=1)
            price.hlines(bars["open"][at][mask], x[mask] - 0.35, x[mask], colors=colour,
                         linewidth=1)
            price.hlines(bars["close"][at][mask], x[mask], x[mask] + 0.35, colors=colour,
                         linewidth=1)
    else:
        price.plot(x, bars["close"][at], color="#3d3846", linewidth=0.8, label="close")
    price.plot(x, out["sma"][at], color="#1c71d8", linewidth=1.4, label=f"SMA({ohlc.SMA_PERIOD})")
    price.plot(x, out["ema"][at], color="#e66100", linewidth=1.4, label=f"EMA({ohlc.EMA_PERIOD})")
    price.set_ylabel("price")
    price.set_title(title, loc="left")

    if "volume" in axes:
        axes["volume"].bar(x, bars["volume"][at], width=width, linewidth=0, alpha=0.6,
                           color=np.where(rising, RISING, FALLING))
        axes["volume"].yaxis.set_major_formatter(EngFormatter(sep=""))
        axes["volume"].set_ylabel("volume")

    macd = axes["macd"]
    hist = out["hist"][at]
    macd.bar(x, hist, width=width, linewidth=0, color=np.where(hist >= 0, "#8ff0a4", "#f66151"))
    macd.plot(x, out["macd"][at], color="#1c71d8", linewidth=1.2,
              label="MACD({},{},{})".format(*ohlc.MACD_PERIODS))
    macd.plot(x, out["signal"][at], color="#e66100", linewidth=1.2, label="signal")
    macd.axhline(0.0, color=NEUTRAL, linewidth=0.6)
    macd.set_ylabel("MACD")
    # The bars take both colours: a grey swatch stands for them all.
    macd_lines = macd.get_legend_handles_labels()
    macd.legend([Patch(color=NEUTRAL), *macd_lines[0]], ["histogram", *macd_lines[1]],
                **_LEGEND)

    atr = axes["atr"]
    atr.plot(x, out["atr"][at], color="#613583", linewidth=1.2, label=f"ATR({ohlc.ATR_PERIOD})")
    atr.set_ylabel("ATR")

    for name, axis in axes.items():
        axis.grid(True, color=GRID, linewidth=0.5)
        axis.set_xlim(first - 1, n)
        if name not in ("macd", "volume"):
            axis.legend(**_LEGEND)
    dates = bars["date"]
    ticks = date_ticks(dates[at])
    if ticks is None:
        atr.xaxis.set_major_locator(MaxNLocator(MAX_TICKS, integer=True))
        atr.xaxis.set_major_formatter(
            FuncFormatter(lambda value, _: str(dates[int(value)]) if 0 <= value < n else ""))
    else:
        atr.set_xticks(first + ticks[0], ticks[1])
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def date_ticks(dates):
    """Positions and labels of ticks at the bars that start a new year,
    month, week, day, hour or minute: the finest such periods that give
    at most MAX_TICKS ticks. None if the dates cannot be read."""
    if np.issubdtype(dates.dtype, np.datetime64):
        found = dates.astype("datetime64[s]").tolist()
    else:
        found = moments(dates.tolist())
    if found is None or len(found) < 2:
        return None
    for key, steps, label, longer, long_label in TICK_PERIODS:
        keys = np.array([key(moment) for moment in found])
        for step in steps:
            period = keys // step
            places = np.flatnonzero(period[1:] != period[:-1]) + 1
            if len(places) > MAX_TICKS:
                continue
            if not len(places):
                return None
            labels = []
            for k, place in enumerate(places):
                moment = found[place]
                changed = k == 0 or longer(moment) != longer(found[places[k - 1]])
                labels.append(moment.strftime(long_label if changed else label))
            return places, labels
    return None


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
                        help="bars the chart shows, the last ones (default 250); past "
                             f"{CANDLE_LIMIT} a close line stands for the candles")
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
    out = ohlc.indicators(bars)

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
