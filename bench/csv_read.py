"""Times the demo's CSV reader against pandas.read_csv on a 1,000,000-row file.

The file, written to a temporary folder, is laid out as price sites publish
daily bars: Date, Open, High, Low, Close, Adj Close, Volume, with six
decimals. The two readers take turns, several runs each; the ratio is the
median of the runs' ratios.
Needs pandas (requirements/bench.txt) besides the demo's packages.
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import demo  # noqa: E402


def write_bars(path, rows, seed):
    rng = np.random.default_rng(seed)
    # Prices between about 30 and 300, whatever the number of rows: a random
    # walk of a million days would leave any price range.
    close = 100.0 * np.exp(rng.normal(0.0, 0.3, rows))
    open_ = close * np.exp(rng.normal(0.0, 0.004, rows))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.006, rows)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.006, rows)))
    dates = np.datetime64("1000-01-01") + np.arange(rows)
    columns = [dates.astype(str)] + [np.char.mod("%.6f", v) for v in (open_, high, low, close)]
    columns += [columns[-1], rng.integers(10**5, 10**9, rows).astype(str)]
    with open(path, "w") as file:
        file.write("Date,Open,High,Low,Close,Adj Close,Volume\n")
        file.write("\n".join(map(",".join, zip(*columns))) + "\n")


def paired(readers, path, runs):
    """Seconds of each reader in each run; the readers take turns, so a busy
    machine slows them alike."""
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

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bars.csv"
        write_bars(path, args.rows, seed=3)
        ours, theirs = demo.read_csv(path), pandas.read_csv(path)
        for key in ("open", "high", "low", "close", "volume"):
            if not np.array_equal(ours[key], theirs[key.capitalize()].to_numpy()):
                sys.exit(f"the readers disagree on {key}")
        mine, theirs = paired((demo.read_csv, pandas.read_csv), path, args.runs)
        size = path.stat().st_size
    ratio = statistics.median(a / b for a, b in zip(mine, theirs))
    print(f"{args.rows:,} rows, {size / 2**20:.1f} MiB; {args.runs} runs, taking turns")
    print(f"demo.read_csv    best {min(mine):.3f} s, median {statistics.median(mine):.3f} s")
    print(f"pandas.read_csv  best {min(theirs):.3f} s, median {statistics.median(theirs):.3f} s "
          f"(pandas {pandas.__version__})")
    print(f"ratio            {ratio:.2f}x (median of the runs' ratios)")

if __name__ == "__main__":
    main()
