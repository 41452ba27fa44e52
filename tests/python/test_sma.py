"""indicator_sma: worked values and bit-exact agreement with the model."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
from quorvane import indicator_sma
from strategies import periods_for, series

nan, inf = float("nan"), float("inf")


@pytest.mark.parametrize("period, data, expected", [
    (3, [1, 2, 3, 4, 5], [nan, nan, 2, 3, 4]),
    (3, [0.1, 0.2, 0.3, 0.4, 0.5], [nan, nan, 0.2, 0.30000000000000004, 0.4]),
    (0, [1, 2], [nan, nan]),
    (3, [1, 2], [nan, nan]),
    (3, [], []),
    (4, [1, 2, 3, 6], [nan, nan, nan, 3]),
    (1, [1e16, 1, 2], [1e16, 0, 1]),
    (2, [1, nan, 1, 1, 1], [nan] * 5),
    (2, [1, inf, 1, 1, 1], [nan, inf, inf, nan, nan]),
])
def test_worked_values(period, data, expected):
    output = np.full(len(data), 42.0)
    assert indicator_sma(period, np.array(data, dtype=float), output) is None
    np.testing.assert_array_equal(output, np.array(expected, dtype=float))


def test_window_of_negative_zeros_is_negative_zero():
    output = np.empty(3)
    indicator_sma(3, np.array([-0.0, -0.0, -0.0]), output)
    assert np.signbit(output[2]) and output[2] == 0


@given(st.data())
def test_matches_reference_model(draw):
    data = draw.draw(series())
    period = draw.draw(periods_for(len(data)))
    output = np.full(len(data), 42.0)
    indicator_sma(period, data, output)
    reference.assert_matches(reference.sma(period, data.tolist()), output)


@given(st.data())
def test_long_windows_match_reference_model(draw):
    # Long enough for the slide to run in blocks, with room on both sides.
    data = draw.draw(series(min_size=64, max_size=400))
    period = draw.draw(st.integers(1, len(data)))
    output = np.empty_like(data)
    indicator_sma(period, data, output)
    reference.assert_matches(reference.sma(period, data.tolist()), output)
