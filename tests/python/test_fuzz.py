"""API fuzzing: random objects for every parameter of every function.

A call either returns None with the reference model's results (over the
same sharing of memory between its arrays), or raises exactly the error of
the first check it fails, as the small model of the checks below predicts.
Either way no argument's reference count changes, and a call that raises
changes no array.
"""

import gc
import operator
import sys

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

import quorvane
from aliasing import Buffer
from arguments import PARAMETERS, Index, IntWithOtherIndex, Subclass, TypeErrorSubclass, is_period
from reference import PERIOD_MAX, assert_matches
from strategies import values


class Refused(Exception):
    """The error a call must raise: its class and message."""


def refuse(error, message):
    raise Refused(error, message)


# The model of binding, conversion and the checks.

def convert_period(name, obj):
    if isinstance(obj, int):
        value = int.__int__(obj)  # an int subclass's own __index__ is not asked
    else:
        # Raised after the handler, so no cycle keeps the argument alive.
        failure = None
        try:
            value = operator.index(obj)
        except Exception as error:  # noqa: BLE001 - the model passes on any error
            failure = ((TypeError, f"argument '{name}': {error}") if type(error) is TypeError
                       else (type(error), str(error)))
        if failure:
            refuse(*failure)
    if value < 0:
        refuse(OverflowError, "can't convert negative int to unsigned")
    if value > PERIOD_MAX:
        refuse(OverflowError, "int too big to convert")
    return value


def convert_array(name, obj):
    if not (isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype == np.float64):
        refuse(TypeError, f"argument '{name}': '{type(obj).__qualname__}' object "
                          "cannot be converted to 'PyArray<T, D>'")
    return obj


def contiguous(array):
    return len(array) < 2 or array.strides[0] == 8


def require(condition, message):
    if not condition:
        refuse(ValueError, message)


def check_single(periods, data, output):
    require(contiguous(data), "Input array must be C-contiguous and float64")
    require(contiguous(output), "Output array must be C-contiguous and float64")
    require(len(output) == len(data), "Output array length must match input")
    require(output.flags.writeable, "Output array must be writeable")


def check_macd(periods, data, *outputs):
    require(0 not in periods, "Periods must be greater than 0")
    require(periods[0] < periods[1], "Fast period must be less than slow period")
    require(all(len(o) == len(data) for o in outputs),
            "All output arrays must have the same length as input data")
    require(contiguous(data), "Input array must be C-contiguous")
    labels = ("MACD", "Signal", "Histogram")
    for label, output in zip(labels, outputs):
        require(contiguous(output), f"{label} output array must be C-contiguous")
    for label, output in zip(labels, outputs):
        require(output.flags.writeable, f"{label} output array must be writeable")


def check_atr(periods, high, low, close, output):
    for label, array in (("High", high), ("Low", low), ("Close", close)):
        require(contiguous(array), f"{label} array must be C-contiguous and float64")
    require(all(len(a) == len(high) for a in (low, close, output)),
            "All arrays must have the same length")
    require(contiguous(output), "Output array must be C-contiguous and float64")
    require(output.flags.writeable, "Output array must be writeable")


CHECKS = {
    "indicator_sma": check_single,
    "indicator_ema": check_single,
    "indicator_macd": check_macd,
    "indicator_atr": check_atr,
}


def predict(name, arguments):
    """None and the periods when the call must succeed; else the error."""
    try:
        periods, arrays = [], []
        for parameter in PARAMETERS[name]:
            obj = arguments[parameter]
            if is_period(parameter):
                periods.append(convert_period(parameter, obj))
            else:
                arrays.append(convert_array(parameter, obj))
        CHECKS[name](periods, *arrays)
    except Refused as refusal:
        return refusal.args, None
    return None, periods


# Argument objects.

integers = st.one_of(
    st.integers(-2**70, 2**70), st.integers(0, 40),
    st.sampled_from([0, 1, -1, 2**63, PERIOD_MAX, PERIOD_MAX + 1, -2**63]),
)
raised = st.tuples(
    st.sampled_from([TypeError, TypeErrorSubclass, ValueError, OverflowError, KeyError,
                     ZeroDivisionError]),
    st.text(max_size=4),
)
objects = st.one_of(
    integers, st.booleans(), st.floats(), st.none(), st.text(max_size=3),
    st.lists(st.floats(), max_size=3),
    st.builds(Index, value=integers | st.floats() | st.text(max_size=2)),
    st.builds(Index, error=raised),
    st.builds(IntWithOtherIndex, integers),
    st.builds(np.int64, st.integers(-2**63, 2**63 - 1)),
    st.builds(np.uint64, st.integers(0, PERIOD_MAX)),
    st.builds(np.uint8, st.integers(0, 255)),
    st.builds(np.float64, st.floats()),
    st.builds(np.array, st.integers(-5, 50)),  # a 0-d integer array has __index__
)


@st.composite
def foreign_arrays(draw, n):
    """Arrays of other dtypes or dimensions, in memory of their own."""
    dtype = draw(st.sampled_from(["f8", ">f8", "f4", "f2", "i8", "u1", "?", "c16", "O", "M8[s]"]))
    shapes = [(), (n, 1), (1, n), (2, 2, 2)] + ([] if dtype == "f8" else [(n,)])
    return np.zeros(draw(st.sampled_from(shapes)), dtype)


@st.composite
def views(draw, buffer, n, bent):
    """A view of the buffer: of length n, consecutive and writeable, or,
    when bent, of any length, step and writeability."""
    size = len(buffer)
    length, step, writeable = n, 1, draw(st.integers(0, 9)) > 0
    if bent:
        step = draw(st.sampled_from([1, 2, -1, 0, 3]))
        length = draw(st.integers(0, size))
        writeable = draw(st.booleans())
    reach = abs(step) * (length - 1) if length else 0
    if reach >= size and length > 0:
        length, reach = min(1, size), 0
    low = reach if step < 0 else 0
    high = size - 1 - (reach if step > 0 else 0)
    start = draw(st.integers(low, max(low, high))) if size else 0
    view = buffer.view(start, length, step, writeable)
    return view.view(Subclass) if bent and draw(st.booleans()) else view


@st.composite
def valid_periods(draw, name, n):
    if name == "indicator_macd":
        return [draw(st.integers(1, 4)), draw(st.integers(1, 10)), draw(st.integers(1, 5))]
    return [draw(st.integers(0, n + 2) | st.just(PERIOD_MAX))]


@st.composite
def calls(draw, name):
    """A buffer and arguments: mostly sound ones, some replaced by anything."""
    parameters = PARAMETERS[name]
    n = draw(st.integers(0, 12))
    size = draw(st.integers(n, 3 * n + 4))
    buffer = Buffer(draw(st.lists(values, min_size=size, max_size=size)),
                    misalign=draw(st.integers(0, 7)),
                    writeable=draw(st.integers(0, 9)) > 0)
    periods = iter(draw(valid_periods(name, n)))
    wild = set() if draw(st.booleans()) else draw(
        st.sets(st.sampled_from(parameters), min_size=1, max_size=3))
    arguments = {}
    for parameter in parameters:
        if is_period(parameter):
            arguments[parameter] = draw(objects) if parameter in wild else next(periods)
            continue
        earlier = [a for a in arguments.values() if isinstance(a, np.ndarray)]
        choices = [views(buffer, n, bent=parameter in wild)]
        if parameter in wild:
            choices += [objects, foreign_arrays(n)] + ([st.sampled_from(earlier)] if earlier else [])
        arguments[parameter] = draw(st.one_of(choices))
    return buffer, arguments


@st.composite
def bindings(draw, parameters, arguments):
    """The same arguments by position, by keyword in any order, or both."""
    split = draw(st.integers(0, len(parameters)))
    keywords = draw(st.permutations(parameters[split:]))
    return [arguments[p] for p in parameters[:split]], {p: arguments[p] for p in keywords}


FUZZ_EXAMPLES = 1500


@pytest.mark.parametrize("name", PARAMETERS)
@settings(max_examples=FUZZ_EXAMPLES)
@given(draw=st.data())
def test_fuzzed_calls(name, draw):
    buffer, arguments = draw.draw(calls(name))
    error, periods = predict(name, arguments)
    event("returns None" if error is None else f"raises {error[0].__name__}")
    positional, keywords = draw.draw(bindings(PARAMETERS[name], arguments))
    arrays = [a for a in arguments.values() if isinstance(a, np.ndarray)]
    before = [a.tobytes() for a in arrays]
    if error is None:
        expected = buffer.expected(
            name, periods, [arguments[p] for p in PARAMETERS[name] if not is_period(p)])
    # What __index__ returns is counted too: converting it takes a reference.
    watched = [*arguments.values(), *(a.value for a in arguments.values() if isinstance(a, Index))]
    # No collection may run meanwhile and drop a reference held by garbage.
    gc.disable()
    try:
        references = [sys.getrefcount(a) for a in watched]
        try:
            outcome = getattr(quorvane, name)(*positional, **keywords)
        except Exception as raised_error:  # noqa: BLE001 - compared with the model's
            outcome = (type(raised_error), str(raised_error))
        # The outcome may hold an argument (an error's message is the string
        # it was made from), so it is judged and dropped before counting.
        matched, shown = outcome == error, repr(outcome)
        del outcome
        assert [sys.getrefcount(a) for a in watched] == references
    finally:
        gc.enable()
    assert matched, f"{shown} != {error!r}"
    if error is None:
        assert_matches(expected, buffer.array)
    else:
        assert [a.tobytes() for a in arrays] == before
