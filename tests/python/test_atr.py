"""indicator_atr: worked values, bit-exact agreement with the model, and its
checks in their order."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import borrow_registry
import reference
from quorvane import indicator_atr
from strategies import bars, periods_for

nan, inf = float("nan"), float("inf")
RISING = ([10, 11, 12, 13, 14], [9, 9.5, 10, 11, 12.5], [9.5, 10.5, 11.5, 12.5, 13.5])
ZEROS = [0.0] * 5


@pytest.mark.parametrize("period, high, low, close, expected", [
    (2, *RISING, [nan, nan, 1.75, 1.875, 1.6875]),
    (3, [0, 0.1, 0.1, 0.1, 0.2], ZEROS, ZEROS,
     [nan, nan, nan, 0.10000000000000002, 0.13333333333333336]),
    (1, [0, 0.2, 0.9], ZEROS[:3], ZEROS[:3], [nan, 0.2, 0.8999999999999999]),
    (1, [1, nan, 3], [0, 1, 2], [0.5, 1.5, 2.5], [nan, 0.5, 1.5]),
    (1, [1, 2, 1], [0, 3, 2], [nan, nan, 2.5], [nan, -1, -1]),
    (1, [0, inf, 1, 2], ZEROS[:4], ZEROS[:4], [nan, inf, nan, nan]),
    (4, *RISING, [nan, nan, nan, nan, 1.75]),
    (0, *RISING, [nan] * 5),
    (5, *RISING, [nan] * 5),
    (2**64 - 1, *RISING, [nan] * 5),
    (2, [], [], [], []),
])
def test_worked_values(period, high, low, close, expected):
    output = np.full(len(high), 42.0)
    arrays = [np.array(values, dtype=float) for values in (high, low, close)]
    assert indicator_atr(period, *arrays, output) is None
    np.testing.assert_array_equal(output, np.array(expected, dtype=float))
    warm_up = len(high) if period == 0 or period >= len(high) else period
    assert (output[:warm_up].view(np.uint64) == reference.NO_VALUE_BITS).all()


def run_and_compare(period, high, low, close):
    inputs = [array.copy() for array in (high, low, close)]
    output = np.full(len(high), 42.0)
    indicator_atr(period, high, low, close, output)
    expected = reference.atr(period, high.tolist(), low.tolist(), close.tolist())
    reference.assert_matches(expected, output)
    for before, after in zip(inputs, (high, low, close)):
        assert before.tobytes() == after.tobytes()


@given(st.data())
def test_matches_reference_model(draw):
    high, low, close = draw.draw(bars())
    run_and_compare(draw.draw(periods_for(len(high))), high, low, close)


# Three long series are slow to draw; fewer of them still cover long chains.
@settings(max_examples=100)
@given(st.data())
def test_long_smoothing_matches_reference_model(draw):
    high, low, close = draw.draw(bars(min_size=64, max_size=256))
    run_and_compare(draw.draw(st.integers(1, len(high) - 1)), high, low, close)


@settings(max_examples=100)
@given(st.data(), st.sampled_from([nan, -nan, inf, -inf, -0.0, 1e308]))
def test_unread_positions_change_nothing(draw, value):
    high, low, close = draw.draw(bars(min_size=1))
    period = draw.draw(periods_for(len(high)))
    plain, changed = np.empty_like(high), np.empty_like(high)
    indicator_atr(period, high, low, close, plain)
    high[0], low[0], close[-1] = value, value, value
    indicator_atr(period, high, low, close, changed)
    assert plain.tobytes() == changed.tobytes()


def test_one_array_for_all_three_inputs():
    prices = np.array([3.0, 5.0, 4.0, 4.5, 2.0, 2.5])
    output = np.empty(6)
    indicator_atr(2, prices, prices, prices, output)
    # Every true range is the move from the previous price.
    reference.assert_matches(reference.atr(2, *[prices.tolist()] * 3), output)
    assert output[2] == (2.0 + 1.0) / 2


class ReportsFive(np.ndarray):
    def __len__(self):
        return 5


def good(n=5):
    return np.arange(1.0, n + 1)


def strided(n=5):
    return np.arange(2.0 * n)[::2]


HIGH = "High array must be C-contiguous and float64"
LOW = "Low array must be C-contiguous and float64"
CLOSE = "Close array must be C-contiguous and float64"
LENGTH = "All arrays must have the same length"
OUTPUT = "Output array must be C-contiguous and float64"
CONVERT = "object cannot be converted to 'PyArray<T, D>'"

# (period, high, low, close, output, exception, message)
CHECKS = [
    (2, strided(), good(), good(), good(), ValueError, HIGH),
    (2, good()[::-1], good(), good(), good(), ValueError, HIGH),
    (2, good(), strided(), good(), good(), ValueError, LOW),
    (2, good(), good(), np.broadcast_to(1.0, 5), good(), ValueError, CLOSE),
    (2, good(), good(4), good(), good(), ValueError, LENGTH),
    (2, good(), good(), good(6), good(), ValueError, LENGTH),
    (2, good(), good(), good(), good(4), ValueError, LENGTH),
    (2, good(), good(), good(), good(6), ValueError, LENGTH),
    (2, good(0), good(0), good(0), good(1), ValueError, LENGTH),
    (2, good(), good(), good(), strided(), ValueError, OUTPUT),
    # Element counts decide, not len().
    (2, good(), good(), good(), good(4).view(ReportsFive), ValueError, LENGTH),
    # Two faults: the earlier check wins.
    (2, strided(), strided(), good(), good(), ValueError, HIGH),
    (2, good(), strided(), strided(), good(), ValueError, LOW),
    (2, strided(), good(), good(), good(4), ValueError, HIGH),
    (2, good(4), good(), strided(), good(), ValueError, CLOSE),
    (2, good(), good(), good(), strided(4), ValueError, LENGTH),
    (2, strided(), good(), good(), strided(), ValueError, HIGH),
    # Conversion, in parameter order, comes before every check.
    (3.0, [1.0], good(), good(), good(), TypeError,
     "argument 'period': 'float' object cannot be interpreted as an integer"),
    (-1, [1.0], good(), good(), good(), OverflowError, "can't convert negative int to unsigned"),
    (2, strided(), [1.0], good(), good(), TypeError, f"argument 'low': 'list' {CONVERT}"),
    (2, good(), good(), good().astype(np.float32), [1.0], TypeError,
     f"argument 'close': 'ndarray' {CONVERT}"),
    (2, strided(), good(), good(), np.zeros((5, 1)), TypeError,
     f"argument 'output': 'ndarray' {CONVERT}"),
]


@pytest.mark.parametrize("period, high, low, close, output, error, message", CHECKS)
def test_checks_and_their_order(period, high, low, close, output, error, message):
    arrays = (high, low, close, output)
    before = [np.array(a, copy=True) for a in arrays]
    references = [sys.getrefcount(a) for a in arrays]
    with pytest.raises(error) as caught:
        indicator_atr(period, high, low, close, output)
    assert type(caught.value) is error
    assert str(caught.value) == message
    if error is ValueError:
        assert caught.value.args == (message,)
    assert all(np.array_equal(old, new) for old, new in zip(before, arrays))
    del caught
    assert [sys.getrefcount(a) for a in arrays] == references
    assert borrow_registry.active() == 0


@pytest.mark.parametrize("period", [0, 1, 2])
def test_one_element_arrays_pass_whatever_their_strides(period):
    output = np.full(3, 7.0)[::-3]
    indicator_atr(period, strided(1), good(3)[::3], np.broadcast_to(1.0, 1), output)
    assert output.view(np.uint64)[0] == reference.NO_VALUE_BITS


def test_empty_arrays_and_misreported_lengths_are_accepted():
    assert indicator_atr(1, good(0), good(0), good(0), good(0)) is None
    output = np.empty(5).view(ReportsFive)[:3]  # three elements, len() of 5
    indicator_atr(1, good(3), good(3), good(3), output)
    assert np.asarray(output)[1:].tolist() == [1.0, 1.0]


@pytest.mark.parametrize("make_call, error, message", [
    (lambda: indicator_atr(), TypeError,
     "indicator_atr() missing 5 required positional arguments: "
     "'period', 'high', 'low', 'close', and 'output'"),
    (lambda: indicator_atr(1, *[good()] * 4, good()), TypeError,
     "indicator_atr() takes 5 positional arguments but 6 were given"),
    (lambda: indicator_atr(1, good(), good(), good(), high=good()), TypeError,
     "indicator_atr() got multiple values for argument 'high'"),
])
def test_binding_errors(make_call, error, message):
    with pytest.raises(error) as caught:
        make_call()
    assert str(caught.value) == message


def test_keywords_in_any_order():
    high, low, close = (np.array(values, dtype=float) for values in RISING)
    output = np.empty(5)
    indicator_atr(output=output, close=close, low=low, high=high, period=2)
    assert output.tolist()[2:] == [1.75, 1.875, 1.6875]
