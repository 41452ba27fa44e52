"""indicator_atr: worked values, bit-exact agreement with the model, and its
checks in their order."""

import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import borrow_registry
import reference
from quorvane import indicator_atr
from reference import NO_VALUE
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
    (5, *RISING, [nan] * 5),
])
def test_worked_values(period, high, low, close, expected):
    output = np.full(len(high), 42.0)
    arrays = [np.array(values, dtype=float) for values in (high, low, close)]
    assert indicator_atr(period, *arrays, output) is None
    np.testing.assert_array_equal(output, np.array(expected, dtype=float))
    warm_up = len(high) if period == 0 or period >= len(high) else period
    assert (output[:warm_up].view(np.uint64) == reference.NO_VALUE_BITS).all()


@given(st.data())
def test_matches_reference_model(draw):
    high, low, close = draw.draw(bars())
    period = draw.draw(periods_for(len(high)))
    inputs = [array.tobytes() for array in (high, low, close)]
    output = np.full(len(high), 42.0)
    indicator_atr(period, high, low, close, output)
    expected = reference.atr(period, high.tolist(), low.tolist(), close.tolist())
    reference.assert_matches(expected, output)
    assert [array.tobytes() for array in (high, low, close)] == inputs


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
    (2, good(), good(), good(), good(0), ValueError, LENGTH),
    (2, good(), good(), good(), good(6), ValueError, LENGTH),
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


@pytest.mark.parametrize("high, low, close, output, expected", [
    (good(0), good(0), good(0), good(0), []),
    # One element passes whatever its stride, and has no average.
    (strided(1), good(3)[::3], np.broadcast_to(1.0, 1), np.full(3, 7.0)[::-3], [NO_VALUE]),
    # Three elements whose len() says five.
    (good(3), good(3), good(3), np.zeros(5).view(ReportsFive)[:3], [NO_VALUE, 1.0, 1.0]),
])
def test_accepted_layouts(high, low, close, output, expected):
    assert indicator_atr(1, high, low, close, output) is None
    reference.assert_matches(expected, np.asarray(output))


@pytest.mark.parametrize("make_call, message", [
    (lambda: indicator_atr(),
     "indicator_atr() missing 5 required positional arguments: "
     "'period', 'high', 'low', 'close', and 'output'"),
    (lambda: indicator_atr(1, good(), good(), good(), high=good()),
     "indicator_atr() got multiple values for argument 'high'"),
])
def test_binding_errors(make_call, message):
    with pytest.raises(TypeError) as caught:
        make_call()
    assert str(caught.value) == message
