"""The interpreter lock around the kernels."""

import numpy as np

from lock_probe import ticks_inside
from quorvane import indicator_atr, indicator_sma

N = 30_000_000


def test_sma_releases_the_lock_around_its_kernel():
    data = np.random.default_rng(1).random(N)
    output = np.full(N, 0.0)
    assert ticks_inside(lambda: indicator_sma(20, data, output)) > 0


def test_atr_holds_the_lock_while_its_kernel_runs():
    prices = np.random.default_rng(2).random(N // 3)
    output = np.full(N // 3, 0.0)
    assert ticks_inside(lambda: indicator_atr(14, prices, prices, prices, output)) == 0
