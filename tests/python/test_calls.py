"""Binding, conversion and the entry points' checks, and the borrow registry."""

# Each refused call of the tables raises the error of its first failing check
# and changes nothing; odd but sound arrays pass; a writer's exclusive hold
# refuses the readers it overlaps, and a reader in force the writers.

import sys

import numpy as np
import pytest
from support import registry
from support.arrays import ascending, fresh_float64, lying
from support.calls import Call, assert_call, counts, predict
from support.tables import REFUSED

from quorvane import indicator_macd, indicator_sma


@pytest.mark.parametrize("call", REFUSED.values(), ids=REFUSED.keys())
def test_refused(call):
    assert predict(call)[0] is not None
    assert_call(call)


# Odd but sound arrays beyond those the property draws.
ACCEPTED = [
    Call("indicator_macd", 1, 2, 3, np.empty(0), np.empty(0), np.empty(0), np.empty(0)),
    # Three elements whose len() says five.
    Call("indicator_atr", 1, ascending(3), ascending(3), ascending(3), lying(3, 5)),
    # float64 descriptors equal to NumPy's own but other objects.
    Call("indicator_atr", 2, *[fresh_float64(ascending(6) + k) for k in range(3)],
         fresh_float64(np.empty(6))),
    # One array for all three inputs: readers do not exclude each other.
    Call("indicator_atr", 2, *[np.array([3.0, 5.0, 4.0, 4.5, 2.0, 2.5])] * 3, np.empty(6)),
]


@pytest.mark.parametrize("call", ACCEPTED)
def test_accepted(call):
    assert predict(call)[0] is None
    assert_call(call)


def test_wrapped_error_keeps_the_inner_cause():
    cause = KeyError("inner cause")

    class Period:
        def __index__(self):
            raise TypeError("with a cause") from cause

    objects = [cause, Period(), ascending(), np.empty(5)]
    references = [sys.getrefcount(o) for o in objects]
    with pytest.raises(TypeError) as caught:
        indicator_sma(*objects[1:])
    assert str(caught.value) == "argument 'period': with a cause"
    assert caught.value.__cause__ is cause and caught.value.__suppress_context__
    del caught
    assert [sys.getrefcount(o) for o in objects] == references


@pytest.mark.parametrize("begin, end, refused", [
    (0, 64, True), (8, 16, True), (56, 72, True), (-8, 8, True),
    (64, 72, False), (-8, 0, False), (8, 8, False)])
def test_a_reader_in_force_refuses_the_writers_it_overlaps(begin, end, refused):
    # MACD asks its outputs' len() while it holds its data for reading: an
    # exclusive hold of bytes [begin, end) from the data's start is tried then.
    base = np.arange(24.0)
    data, start, results = base[8:16], base[8:].__array_interface__["data"][0], []

    class Probe(np.ndarray):
        def __len__(self):
            api = registry.registry()
            results.append(api.acquire_exclusive(id(self), start + begin, start + end))
            if results[-1] == 0:
                api.release_exclusive(id(self), start + begin, start + end)
            return 8

    indicator_macd(2, 3, 2, data, *[np.empty(8).view(Probe) for _ in range(3)])
    assert results == [int(refused)] * 3 and registry.active() == 0


@pytest.mark.parametrize("name, held, parameter", [
    ("indicator_sma", lambda inputs, outputs, base: inputs[0][2:], "data"),
    ("indicator_sma", lambda inputs, outputs, base: inputs[0][:1], "data"),
    ("indicator_sma", lambda inputs, outputs, base: inputs[0][:0], None),
    # The bytes right after the input's do not overlap them.
    ("indicator_sma", lambda inputs, outputs, base: base[8:], None),
    # Outputs are not registered: only readers are refused.
    ("indicator_sma", lambda inputs, outputs, base: outputs[0], None),
    ("indicator_ema", lambda inputs, outputs, base: inputs[0], "data"),
    ("indicator_macd", lambda inputs, outputs, base: inputs[0][7:], "data"),
    ("indicator_atr", lambda inputs, outputs, base: inputs[0], "high"),
    ("indicator_atr", lambda inputs, outputs, base: inputs[1][3:5], "low"),
    ("indicator_atr", lambda inputs, outputs, base: inputs[2], "close"),
])
def test_a_writer_holding_memory_refuses_the_readers_it_overlaps(name, held, parameter):
    _, inputs, results = counts(name)
    base = np.arange(1.0, 25.0) ** 1.5
    inputs = [base[8 * k:8 * k + 8] for k in range(inputs)]
    outputs = [np.full(8, 7.0) for _ in range(results)]
    call = Call(name, *((2, 3, 2) if name == "indicator_macd" else (2,)), *inputs, *outputs)
    assert registry.registry().version == 1
    with registry.held_exclusively(held(inputs, outputs, base)):
        if parameter:
            with pytest.raises(BufferError) as caught:
                call()
            assert str(caught.value) == (
                f"argument '{parameter}': array memory is held exclusively by another extension")
            assert all((output == 7.0).all() for output in outputs)
        else:
            call()
        assert registry.active() == 1
    assert_call(call)
