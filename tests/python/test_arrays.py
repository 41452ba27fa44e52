"""Array arguments: type, layout, length and writeability checks in each
function's order, the layouts that pass, and the read-only access to
inputs."""

import numpy as np
import pytest

import borrow_registry
from arguments import (Call, PARAMETERS, Subclass, ascending, assert_refused, counts, is_output,
                       lying, raising, strided)
from quorvane import indicator_sma

CONVERT = "object cannot be converted to 'PyArray<T, D>'"
N = 6


def packed_field(n=5):
    record = np.zeros(n, dtype=np.dtype([("a", "i4"), ("b", "f8")], align=False))
    record["b"] = np.arange(n)
    return record["b"]


def readonly(n=N):
    return np.frombuffer(bytes(8 * n))


def flagged_readonly(n=N):
    array = np.full(n, 42.0)
    array.flags.writeable = False
    return array


def outputs(n=N, fill=42.0):
    return [np.full(n, fill) for _ in range(3)]


# indicator_sma and indicator_ema: (data, output, exception, message).
SINGLE = [
    ([1.0] * 5, np.empty(5), TypeError, f"argument 'data': 'list' {CONVERT}"),
    (ascending().reshape(5, 1), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (np.float64(1.0), np.empty(1), TypeError, f"argument 'data': 'float64' {CONVERT}"),
    (np.array(1.0), np.empty(1), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (ascending().astype(np.int64), np.empty(5), TypeError,
     f"argument 'data': 'ndarray' {CONVERT}"),
    (ascending().astype(">f8"), np.empty(5), TypeError, f"argument 'data': 'ndarray' {CONVERT}"),
    (ascending().reshape(5, 1).view(Subclass), np.empty(5), TypeError,
     f"argument 'data': 'Subclass' {CONVERT}"),
    # The input is checked before the output is looked at.
    ([1.0], [1.0], TypeError, f"argument 'data': 'list' {CONVERT}"),
    (ascending(), [1.0] * 5, TypeError, f"argument 'output': 'list' {CONVERT}"),
    (ascending(), np.empty((5, 1)), TypeError, f"argument 'output': 'ndarray' {CONVERT}"),
    (ascending(), np.empty(5, np.float32), TypeError, f"argument 'output': 'ndarray' {CONVERT}"),
    (ascending()[::-1], np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    (strided(), np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    (np.broadcast_to(1.0, 5), np.empty(5), ValueError,
     "Input array must be C-contiguous and float64"),
    (packed_field(), np.empty(5), ValueError, "Input array must be C-contiguous and float64"),
    # Both laid out wrongly: the input's message; the output's layout comes
    # before its length, and its writeability last.
    (strided(), strided(), ValueError, "Input array must be C-contiguous and float64"),
    (ascending(), strided(), ValueError, "Output array must be C-contiguous and float64"),
    (ascending(), strided(4), ValueError, "Output array must be C-contiguous and float64"),
    (ascending(), np.empty(5)[::-1], ValueError, "Output array must be C-contiguous and float64"),
    (ascending(), np.empty(4), ValueError, "Output array length must match input"),
    (ascending(), np.empty(6), ValueError, "Output array length must match input"),
    (np.empty(0), np.empty(1), ValueError, "Output array length must match input"),
    (ascending(N), readonly(), ValueError, "Output array must be writeable"),
    (ascending(N), flagged_readonly(), ValueError, "Output array must be writeable"),
    (np.empty(0), readonly(0), ValueError, "Output array must be writeable"),
    (ascending(N), readonly(N + 1), ValueError, "Output array length must match input"),
    (ascending(N), readonly(2 * N)[::2], ValueError,
     "Output array must be C-contiguous and float64"),
]

D = ascending(N)
LENGTH = "All output arrays must have the same length as input data"

# indicator_macd: (periods, data, outputs, exception, message), each row a
# pair of faults of which the first in the check order wins.
MACD = [
    ((5, 3, 0), D, outputs(), ValueError, "Periods must be greater than 0"),
    ((0, 3, 2), D[::-1], outputs(N + 1), ValueError, "Periods must be greater than 0"),
    ((3, 3, 2), D, outputs(), ValueError, "Fast period must be less than slow period"),
    ((4, 3, 2), D, outputs(N - 1), ValueError, "Fast period must be less than slow period"),
    ((-1, 3, 0), D, outputs(), OverflowError, "can't convert negative int to unsigned"),
    ((0, 3, 2), D.astype(np.float32), outputs(), TypeError,
     f"argument 'data': 'ndarray' {CONVERT}"),
    ((2, 3, 2), D[::-1], [np.empty(N), np.empty(N), np.empty(N + 1)], ValueError, LENGTH),
    ((2, 3, 2), D, [np.empty(N), np.empty(N - 1), np.empty(N)], ValueError, LENGTH),
    ((2, 3, 2), D, [strided(N), strided(N), np.empty(N + 1)], ValueError, LENGTH),
    ((2, 3, 2), D[::-1], [strided(N)] * 3, ValueError, "Input array must be C-contiguous"),
    ((2, 3, 2), D, [strided(N), np.empty(N), strided(N)], ValueError,
     "MACD output array must be C-contiguous"),
    ((2, 3, 2), D, [np.empty(N), strided(N), strided(N)], ValueError,
     "Signal output array must be C-contiguous"),
    ((2, 3, 2), D, [np.empty(N), np.empty(N), strided(N)], ValueError,
     "Histogram output array must be C-contiguous"),
    ((2, 3, 2), D, [readonly(), np.empty(N), np.empty(N)[::-1]], ValueError,
     "Histogram output array must be C-contiguous"),
    ((2, 3, 2), D, [readonly(), np.empty(N - 1), np.empty(N)], ValueError, LENGTH),
    ((2, 3, 2), D, [readonly(), np.empty(N), flagged_readonly()], ValueError,
     "MACD output array must be writeable"),
    ((2, 3, 2), D, [np.empty(N), flagged_readonly(), readonly()], ValueError,
     "Signal output array must be writeable"),
    ((2, 3, 2), D, [np.empty(N), np.empty(N), readonly()], ValueError,
     "Histogram output array must be writeable"),
    # len() is queried for the outputs in order; the first raise propagates.
    ((2, 3, 2), D[::-1], [np.empty(N), raising(N, "signal"), raising(N, "hist")], KeyError,
     "'signal'"),
    ((3, 2, 2), D, [raising(N, "macd")] * 3, ValueError,
     "Fast period must be less than slow period"),
    # The element count is compared as well as len().
    ((2, 3, 2), D, [np.empty(N), np.empty(N), lying(N + 1, N)], ValueError, LENGTH),
    ((2, 3, 2), D, [lying(N - 1, N), np.empty(N), np.empty(N)], ValueError, LENGTH),
    ((2, 3, 2), D, [np.empty(N), lying(N, N + 1), np.empty(N)], ValueError, LENGTH),
]


class ReportsFive(np.ndarray):
    def __len__(self):
        return 5


HIGH = "High array must be C-contiguous and float64"
LOW = "Low array must be C-contiguous and float64"
CLOSE = "Close array must be C-contiguous and float64"
ALL = "All arrays must have the same length"
OUTPUT = "Output array must be C-contiguous and float64"
a = ascending

# indicator_atr: (period, high, low, close, output, exception, message).
ATR = [
    (2, strided(), a(), a(), a(), ValueError, HIGH),
    (2, a(), strided(), a(), a(), ValueError, LOW),
    (2, a(), a(), np.broadcast_to(1.0, 5), a(), ValueError, CLOSE),
    (2, a(), a(4), a(), a(), ValueError, ALL),
    (2, a(), a(), a(6), a(), ValueError, ALL),
    (2, a(), a(), a(), a(0), ValueError, ALL),
    (2, a(), a(), a(), a(6), ValueError, ALL),
    (2, a(), a(), a(), strided(), ValueError, OUTPUT),
    (2, a(N), a(N), a(N), readonly(), ValueError, "Output array must be writeable"),
    (2, a(0), a(0), a(0), readonly(0), ValueError, "Output array must be writeable"),
    (2, a(N), a(N), a(N), readonly(N + 1), ValueError, ALL),
    (2, a(N), a(N), a(N), readonly(2 * N)[::2], ValueError, OUTPUT),
    # Element counts decide, not len().
    (2, a(), a(), a(), a(4).view(ReportsFive), ValueError, ALL),
    # Two faults: the earlier check wins.
    (2, strided(), strided(), a(), a(), ValueError, HIGH),
    (2, a(), strided(), strided(), a(), ValueError, LOW),
    (2, strided(), a(), a(), a(4), ValueError, HIGH),
    (2, a(4), a(), strided(), a(), ValueError, CLOSE),
    (2, a(), a(), a(), strided(4), ValueError, ALL),
    (2, strided(), a(), a(), strided(), ValueError, HIGH),
    # Every argument is converted, in parameter order, before any check.
    (2, strided(), [1.0], a(), a(), TypeError, f"argument 'low': 'list' {CONVERT}"),
    (2, a(), a(), a().astype(np.float32), [1.0], TypeError,
     f"argument 'close': 'ndarray' {CONVERT}"),
    (2, strided(), a(), a(), np.zeros((5, 1)), TypeError,
     f"argument 'output': 'ndarray' {CONVERT}"),
]

REFUSED = [
    *[(Call(name, 3, data, output), error, message)
      for name in ("indicator_sma", "indicator_ema") for data, output, error, message in SINGLE],
    *[(Call("indicator_macd", *periods, data, *outs), error, message)
      for periods, data, outs, error, message in MACD],
    *[(Call("indicator_atr", *arguments), error, message) for *arguments, error, message in ATR],
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused(call, error, message):
    assert_refused(call, error, message)


# Calls with odd but sound arrays, which must give what contiguous copies give.
ACCEPTED = [
    *[Call(name, 1, data, output) for name in ("indicator_sma", "indicator_ema")
      for data, output in [
          (np.empty(0), np.empty(0)),
          # One element passes whatever its stride.
          (strided(1, 3), strided(1, 5)),
          (np.broadcast_to(2.0, 1), np.empty(1)[::-1]),
          (ascending().view(Subclass), np.empty(5).view(Subclass)),
          (np.frombuffer(bytes(40)), np.empty(5)),
      ]],
    Call("indicator_macd", 1, 2, 3, np.empty(0), *outputs(0)),
    Call("indicator_macd", 1, 2, 3, np.arange(5.0)[::5], *[strided(1, 3) for _ in range(3)]),
    Call("indicator_atr", 1, strided(1), a(3)[::3], np.broadcast_to(1.0, 1), np.full(3, 7.0)[::-3]),
    # Three elements whose len() says five.
    Call("indicator_atr", 1, a(3), a(3), a(3), np.zeros(5).view(ReportsFive)[:3]),
    # One array for all three inputs: readers do not exclude each other.
    Call("indicator_atr", 2, *[np.array([3.0, 5.0, 4.0, 4.5, 2.0, 2.5])] * 3, np.empty(6)),
]


@pytest.mark.parametrize("call", ACCEPTED)
def test_accepted_layouts(call):
    periods = counts(call.name)[0]
    copies = [np.array(x) for x in call.args[periods:]]
    Call(call.name, *call.args[:periods], *copies)()
    assert call() is None
    for parameter, array, copy in zip(PARAMETERS[call.name][periods:], call.args[periods:], copies):
        if is_output(parameter):
            assert np.asarray(array).tobytes() == copy.tobytes()


@pytest.mark.parametrize("held, refused", [
    (lambda data, output: data[2:], True),
    (lambda data, output: data[:1], True),
    (lambda data, output: data[:0], False),
    (lambda data, output: ascending(8), False),
    # The bytes right after the data's do not overlap them.
    (lambda data, output: data.base[8:], False),
    # Outputs are not registered: only readers are refused.
    (lambda data, output: output, False),
])
def test_exclusive_holds_refuse_overlapping_readers(held, refused):
    data, output = ascending(16)[:8], np.full(8, 7.0)
    assert borrow_registry.registry().version == 1
    with borrow_registry.held_exclusively(held(data, output)):
        if refused:
            with pytest.raises(BufferError):
                indicator_sma(2, data, output)
            assert (output == 7.0).all()
        else:
            indicator_sma(2, data, output)
            assert output[1] == 1.5
    assert borrow_registry.active() == 0
    indicator_sma(2, data, output)
    assert output[1] == 1.5
