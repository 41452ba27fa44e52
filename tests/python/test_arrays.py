"""Array arguments: type checks, layout and length checks, the read-only
access to inputs, and what a failed call leaves behind."""

import sys

import numpy as np
import pytest

import borrow_registry
from quorvane import indicator_ema, indicator_sma

# The two entry points with one input and one output check alike.
TWINS = pytest.mark.parametrize("function", [indicator_sma, indicator_ema])

CONVERT = "object cannot be converted to 'PyArray<T, D>'"


class Subclass(np.ndarray):
    pass


def base(n=5):
    return np.arange(1.0, n + 1)


def strided(n=5, step=2):
    return np.arange(float(n * step))[::step]


def packed_field(n=5):
    record = np.zeros(n, dtype=np.dtype([("a", "i4"), ("b", "f8")], align=False))
    record["b"] = np.arange(n)
    return record["b"]


# (data, output, exception, message)
CHECKS = [
    ([1.0] * 5, np.empty(5), TypeError, f"argument 'data': 'list' {CONVERT}"),
    (None, np.empty(5), TypeError, f"argument 'data': 'NoneType' {CONVERT}"),
    (base().reshape(5, 1), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (np.float64(1.0), np.empty(1), TypeError, f"argument 'data': 'float64' {CONVERT}"),
    (np.array(1.0), np.empty(1), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (base().astype(np.float32), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (base().astype(np.int64), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (base().astype(">f8"), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (base().reshape(5, 1).view(Subclass), np.empty(5), TypeError,
     f"argument 'data': 'Subclass' {CONVERT}"),
    # The input is checked before the output is looked at.
    ([1.0], [1.0], TypeError, f"argument 'data': 'list' {CONVERT}"),
    (base(), [1.0] * 5, TypeError, f"argument 'output': 'list' {CONVERT}"),
    (base(), np.empty((5, 1)), TypeError, f"argument 'output': 'ndarray' {CONVERT}"),
    (base(), np.empty(5, np.float32), TypeError, f"argument 'output': 'ndarray' {CONVERT}"),
    (base()[::-1], np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    (strided(), np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    (np.broadcast_to(1.0, 5), np.empty(5), ValueError,
     "Input array must be C-contiguous and float64"),
    (packed_field(), np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    # Both laid out wrongly: the input's message; the output's layout comes
    # before its length.
    (strided(), strided(), ValueError, "Input array must be C-contiguous and float64"),
    (base(), strided(), ValueError, "Output array must be C-contiguous and float64"),
    (base(), strided(4), ValueError, "Output array must be C-contiguous and float64"),
    (base(), np.empty(5)[::-1], ValueError, "Output array must be C-contiguous and float64"),
    (base(), np.empty(4), ValueError, "Output array length must match input"),
    (base(), np.empty(6), ValueError, "Output array length must match input"),
    (np.empty(0), np.empty(1), ValueError, "Output array length must match input"),
]


@TWINS
@pytest.mark.parametrize("data, output, error, message", CHECKS)
def test_checks_and_their_order(function, data, output, error, message):
    before = output.copy() if isinstance(output, np.ndarray) else list(output)
    references = (sys.getrefcount(data), sys.getrefcount(output))
    with pytest.raises(error) as caught:
        function(3, data, output)
    assert type(caught.value) is error
    assert str(caught.value) == message
    if error is ValueError:
        assert caught.value.args == (message,)
    np.testing.assert_array_equal(output, before)
    del caught
    assert (sys.getrefcount(data), sys.getrefcount(output)) == references
    assert borrow_registry.active() == 0


@pytest.mark.parametrize("data, output", [
    (np.empty(0), np.empty(0)),
    (strided(1, 3), strided(1, 5)),
    (np.broadcast_to(2.0, 1), np.empty(1)[::-1]),
    (base().view(Subclass), np.empty(5).view(Subclass)),
    (np.frombuffer(bytes(40)), np.empty(5)),
])
@TWINS
def test_accepted_layouts(function, data, output):
    references = (sys.getrefcount(data), sys.getrefcount(output))
    assert function(1, data, output) is None
    np.testing.assert_array_equal(output, data)
    assert (sys.getrefcount(data), sys.getrefcount(output)) == references


@TWINS
def test_output_over_its_input_is_all_no_value(function):
    values = base()
    function(2, values, values)
    assert (values.view(np.uint64) == 0x7FF8000000000000).all()


def test_registry_is_empty_after_calls():
    data = base()
    indicator_sma(3, data, np.empty(5))
    assert borrow_registry.registry().version == 1
    assert borrow_registry.active() == 0


@pytest.mark.parametrize("held", [
    lambda data: data,
    lambda data: data[2:],
    lambda data: data[:1],
])
def test_input_held_exclusively_is_refused(held):
    data = base(8)
    output = np.full(8, 7.0)
    with borrow_registry.held_exclusively(held(data)):
        with pytest.raises(BufferError) as caught:
            indicator_sma(2, data, output)
        assert str(caught.value) == (
            "argument 'data': array memory is held exclusively by another extension")
        assert (output == 7.0).all()
        assert borrow_registry.active() == 1
    indicator_sma(2, data, output)
    assert output[1] == 1.5
    assert borrow_registry.active() == 0


def test_exclusive_hold_elsewhere_does_not_refuse():
    data = base(8)
    neighbour = base(8)
    output = np.empty(8)
    with borrow_registry.held_exclusively(neighbour), \
            borrow_registry.held_exclusively(data[:0]):
        indicator_sma(2, data, output)
    assert output[1] == 1.5


def test_output_held_exclusively_is_written():
    # Outputs are not registered: only readers are refused.
    data = base()
    output = np.empty(5)
    with borrow_registry.held_exclusively(output):
        indicator_sma(1, data, output)
    np.testing.assert_array_equal(output, data)
