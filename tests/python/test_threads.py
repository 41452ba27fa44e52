"""The interpreter lock around the kernels."""

import numpy as np
import pytest

import quorvane
from lock_probe import ticks_inside

N = 30_000_000


@pytest.fixture(scope="module")
def arrays():
    data = np.random.default_rng(1).random(N)
    return data, [np.full(N, 0.0) for _ in range(3)]


@pytest.mark.parametrize("call", [
    lambda data, out: quorvane.indicator_sma(20, data, out[0]),
    lambda data, out: quorvane.indicator_ema(20, data, out[0]),
    lambda data, out: quorvane.indicator_macd(12, 26, 9, data, *out),
], ids=["sma", "ema", "macd"])
def test_kernel_runs_with_the_lock_released(arrays, call):
    data, out = arrays
    assert ticks_inside(lambda: call(data, out)) > 0


def test_atr_holds_the_lock_while_its_kernel_runs(arrays):
    data, out = arrays
    assert ticks_inside(lambda: quorvane.indicator_atr(14, data, data, data, out[0])) == 0
