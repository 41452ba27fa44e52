"""quorvane demo: a moving average over a seeded, generated price series."""

import argparse

import numpy as np

from quorvane import indicator_sma


def generated_prices(n, seed):
    """Closing prices of a geometric random walk starting at 100."""
    steps = np.random.default_rng(seed).normal(0.0002, 0.01, n)
    return 100.0 * np.exp(np.cumsum(steps))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bars", type=int, default=250, help="number of prices (default 250)")
    parser.add_argument("--period", type=int, default=20, help="SMA window (default 20)")
    parser.add_argument("--rows", type=int, default=10, help="rows to print (default 10)")
    parser.add_argument("--seed", type=int, default=7, help="random seed (default 7)")
    args = parser.parse_args()

    close = generated_prices(args.bars, args.seed)
    sma = np.empty_like(close)
    indicator_sma(args.period, close, sma)

    print(f"{'bar':>5}  {'close':>10}  {f'SMA({args.period})':>10}")
    for bar in range(max(0, args.bars - args.rows), args.bars):
        print(f"{bar:>5}  {close[bar]:>10.4f}  {sma[bar]:>10.4f}")


if __name__ == "__main__":
    main()
