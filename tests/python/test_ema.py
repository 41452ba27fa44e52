"""indicator_ema: worked values, bit-exact agreement with the model, and a
seed search that stays linear."""

import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
from quorvane import indicator_ema
from strategies import periods_for, series

nan, inf = float("nan"), float("inf")


@pytest.mark.parametrize("period, data, expected", [
    (3, [1, 2, 3, 4, 5], [nan, nan, 2, 3, 4]),
    (3, [nan, 1, 2, 3, nan, 5, 6], [nan, nan, nan, 2, nan, 3.5, 4.75]),
    (2, [1, nan, 2, 3, inf, 4], [nan, nan, nan, 2.5, nan, 3.5]),
    (3, [0.1, 0.2, 0.3], [nan, nan, 0.20000000000000004]),
    (1, [1, nan, 2], [1, nan, 2]),
    (1, [-inf, 5, inf], [nan, 5, nan]),
    (0, [1, 2], [nan, nan]),
    (3, [1, 2], [nan, nan]),
    (3, [1, 2, nan, 4, 5, nan, 7, 8, nan], [nan] * 9),
    (3, [], []),
])
def test_worked_values(period, data, expected):
    output = np.full(len(data), 42.0)
    assert indicator_ema(period, np.array(data, dtype=float), output) is None
    np.testing.assert_array_equal(output, np.array(expected, dtype=float))
    no_value = np.isnan(output)
    assert (output.view(np.uint64)[no_value] == reference.NO_VALUE_BITS).all()


def test_smoothing_factor_for_period_ten():
    # A jump from a flat seed of 0 to 1 shows alpha itself.
    data = np.array([0.0] * 10 + [1.0])
    output = np.empty_like(data)
    indicator_ema(10, data, output)
    assert output[-1].view(np.uint64) == 0x3FC745D1745D1746


@given(st.data())
def test_matches_reference_model(draw):
    data = draw.draw(series())
    period = draw.draw(periods_for(len(data)))
    output = np.full(len(data), 42.0)
    indicator_ema(period, data, output)
    reference.assert_matches(reference.ema(period, data.tolist()), output)


def test_seed_search_is_linear():
    # Runs of period - 1 finite values, each broken by a NaN: testing every
    # candidate window from its first value would cost n * period steps
    # (about 10**11 here, minutes); one pass costs milliseconds.
    period = 200_000
    data = np.ones(2_000_000)
    data[period - 1::period] = np.nan
    data[-period:] = 2.0
    output = np.empty_like(data)
    start = time.perf_counter()
    indicator_ema(period, data, output)
    assert time.perf_counter() - start < 10.0
    assert np.isnan(output[:-1]).all() and output[-1] == 2.0
