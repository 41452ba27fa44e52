"""quorvane universe: the latest SMA, EMA, MACD and ATR of many symbols, with Dask.

Each task takes a batch of symbols, makes their daily bars (seeded, one
generator per symbol) and runs each of the four indicators once over the
batch, a panel with a column per symbol (quorvane_ta); it returns the last
value of every indicator. The workers run tasks in threads: the indicators
release the interpreter lock, so the threads of one worker compute at once.
By default a local cluster is started on this machine; --scheduler connects
to a running one whose workers have quorvane and NumPy installed.
"""

import argparse
import csv
import os
import sys
import time
from contextlib import contextmanager

import numpy as np
import ohlc

COLUMNS = ("close",) + ohlc.INDICATORS
# Seconds to wait for a --scheduler by default: Dask's own 30 s hides a typo.
CONNECT_SECONDS = 10.0


class Unreachable(Exception):
    """A scheduler that could not be connected to."""


def symbol_name(index):
    return f"S{index:05d}"


def latest(indices, bars, seed):
    """The last close and indicator values of each symbol, one row each."""
    generated = [ohlc.generated(bars, (seed, index), gaps=0) for index in indices]
    # One panel per price, a column per symbol; the worker's threads share the
    # tasks, so each indicator runs its panel on one.
    panel = {key: np.column_stack([prices[key] for prices in generated]) for key in ohlc.PRICES}
    out = ohlc.indicators(panel, threads=1)
    return np.column_stack([panel["close"][-1], *(out[name][-1] for name in ohlc.INDICATORS)])


def run(client, symbols, bars, seed, batch):
    """Latest values of `symbols` symbols: an array with a row per symbol."""
    batches = [range(start, min(start + batch, symbols)) for start in range(0, symbols, batch)]
    futures = client.map(latest, batches, bars=bars, seed=seed, pure=False)
    return np.concatenate(client.gather(futures)) if futures else np.empty((0, len(COLUMNS)))


@contextmanager
def connected(scheduler, workers, threads, timeout=CONNECT_SECONDS):
    """A client of the scheduler at `scheduler`, or of a new local cluster."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        try:
            client = Client(scheduler, timeout=timeout)
        except (OSError, ValueError) as error:
            raise Unreachable(f"cannot reach scheduler {scheduler}: {error}") from None
        with client:
            yield client
        return
    with (LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                       host="127.0.0.1", dashboard_address=None) as cluster,
          Client(cluster) as client):
        yield client


def ship_helpers_by_value():
    """Workers need not have the examples' own modules on their path."""
    import cloudpickle

    cloudpickle.register_pickle_by_value(ohlc)
    cloudpickle.register_pickle_by_value(sys.modules[__name__])


def write_csv(path, values):
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(("symbol",) + COLUMNS)
        for index, row in enumerate(values.tolist()):
            writer.writerow([symbol_name(index)] + [repr(value) for value in row])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=2000, help="symbols (default 2000)")
    parser.add_argument("--bars", type=int, default=2520,
                        help="daily bars per symbol (default 2520, ten years)")
    parser.add_argument("--batch", type=int, default=100, help="symbols per task (default 100)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated bars")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler, such as tcp://10.0.0.5:8786; "
                             "without it a local cluster is started")
    parser.add_argument("--connect-timeout", type=float, default=CONNECT_SECONDS,
                        metavar="SECONDS",
                        help=f"how long to try to reach --scheduler (default {CONNECT_SECONDS:g})")
    parser.add_argument("--workers", type=int, default=1,
                        help="worker processes of the local cluster (default 1)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                        help="threads per worker of the local cluster (default: the cores)")
    parser.add_argument("--out", metavar="PATH",
                        help="write every symbol's latest values to this CSV file")
    args = parser.parse_args(argv)
    if min(args.symbols, args.bars) < 0 or args.batch < 1 or args.connect_timeout <= 0:
        parser.error("--symbols and --bars must not be negative, --batch and "
                     "--connect-timeout must be positive")
    try:
        import dask.distributed  # noqa: F401
    except ImportError:
        parser.exit(2, f"{parser.prog}: error: the example needs Dask: "
                       "pip install 'quorvane[dask]'\n")
    ship_helpers_by_value()

    try:
        with connected(args.scheduler, args.workers, args.threads,
                       args.connect_timeout) as client:
            threads = sum(client.nthreads().values())
            start = time.perf_counter()
            values = run(client, args.symbols, args.bars, args.seed, args.batch)
            elapsed = time.perf_counter() - start
    except Unreachable as error:
        parser.exit(2, f"{parser.prog}: error: {error}\n")

    if args.out:
        write_csv(args.out, values)
    print(f"{args.symbols} symbols x {args.bars} bars in {elapsed:.2f} s on {threads} "
          f"thread{'' if threads == 1 else 's'}: "
          f"{args.symbols / elapsed:,.0f} symbols per second")
    shown = values[:5]
    print("\nsymbol  " + "  ".join(f"{name:>10}" for name in COLUMNS))
    for index, row in enumerate(shown.tolist()):
        print(f"{symbol_name(index)}  " + "  ".join(f"{value:>10.4f}" for value in row))


if __name__ == "__main__":
    main()
