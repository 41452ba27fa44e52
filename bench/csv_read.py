"""Times the demo's CSV reader against pandas.read_csv on 1,000,000-row files.

Two files, written to a temporary folder, both laid out as price sites
publish daily bars (Date, Open, High, Low, Close, Adj Close, Volume): one
with six decimals, as those sites write prices, and one with every digit
of the doubles, as pandas and Python write them. The two readers take
turns, several runs each; a ratio is the median of the runs' ratios, so a
busy machine slows both alike. Needs pandas (requirements/bench.txt)
besides the demo's packages.
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import csvbars  # noqa: E402

LAYOUTS = {"six decimals": "%.6f", "every digit": None}


def write_bars(path, rows, seed, float_format):
    import pandas

    rng = np.random.default_rng(seed)
    # Prices between about 30 and 300, whatever the number of rows: a random
    # walk of a million days would leave any price range.
    close = 100.0 * np.exp(rng.normal(0.0, 0.3, rows))
    open_ = close * np.exp(rng.normal(0.0, 0.004, rows))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.006, rows)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.006, rows)))
    pandas.DataFrame({
        "Date": (np.datetime64("1000-01-01") + np.arange(rows)).astype(str),
        "Open": open_, "High": high, "Low": low, "Close": close, "Adj Close": close,
        "Volume": rng.integers(10**5, 10**9, rows),
    }).to_csv(path, index=False, float_format=float_format)


def paired(readers, path, runs):
    """Seconds of each reader in each run; the readers take turns."""
    times = [[] for _ in readers]
    for _ in range(runs):
        for read, seconds in zip(readers, times):
            start = time.perf_counter()
            read(path)
            seconds.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    import pandas

    print(f"{args.rows:,} rows, {args.runs} runs taking turns; pandas {pandas.__version__}")
    with tempfile.TemporaryDirectory() as folder:
        for layout, float_format in LAYOUTS.items():
            path = Path(folder) / "bars.csv"
            write_bars(path, args.rows, 3, float_format)
            ours, theirs = csvbars.read_csv(path), pandas.read_csv(path)
            for key in ("open", "high", "low", "close", "volume"):
                if not np.array_equal(ours[key], theirs[key.capitalize()].to_numpy()):
                    sys.exit(f"{layout}: the readers disagree on {key}")
            mine, pandas_times = paired((csvbars.read_csv, pandas.read_csv), path, args.runs)
            ratio = statistics.median(a / b for a, b in zip(mine, pandas_times))
            print(f"{layout} ({path.stat().st_size / 2**20:.0f} MiB): demo "
                  f"{statistics.median(mine):.3f} s, pandas {statistics.median(pandas_times):.3f} s"
                  f" (medians), ratio {ratio:.2f}x")


if __name__ == "__main__":
    main()
