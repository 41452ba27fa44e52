"""Calls of the entry points, and one model of what a call must do."""

# The model binds the arguments, converts each parameter in order and runs the
# entry point's checks in order; then the call must raise the first failure, or
# write what the reference models write.

import gc
import inspect
import operator
import sys

import numpy as np

import quorvane
import quorvane_stream
from support import reference, registry

# Every batch function's parameters, in order, as the module declares them.
PARAMETERS = {name: tuple(inspect.signature(getattr(quorvane, name)).parameters)
              for name in quorvane.__all__}
USUAL_PERIODS = {name: reference.MODELS[name].usual for name in PARAMETERS}


def is_period(parameter):
    return parameter.endswith("period")


def counts(name):
    # How many periods, inputs and outputs the function takes.
    periods, inputs = sum(map(is_period, PARAMETERS[name])), reference.MODELS[name].inputs
    return periods, inputs, len(PARAMETERS[name]) - periods - inputs


class Call:
    # A call of an entry point, made each time this object is called.
    def __init__(self, name, *args, **kwargs):
        self.name, self.args, self.kwargs = name, args, kwargs

    def __call__(self):
        return getattr(quorvane, self.name)(*self.args, **self.kwargs)

    def objects(self):
        return [*self.args, *self.kwargs.values()]

    def __repr__(self):
        return f"{self.name}(*{self.args!r}, **{self.kwargs!r})"


class Index:
    # Converted through __index__, which returns `value` or raises a new
    # error[0](error[1]) each time (one exception raised again and again would
    # grow its traceback).
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error[0](self.error[1])
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.error!r})"


class IntWithOtherIndex(int):
    def __index__(self):
        return 7


class TypeErrorSubclass(TypeError):
    pass


class Refused(Exception):  # noqa: N818 - the model's refusal, not an error of the tests
    pass


def require(condition, message, error=ValueError):
    if not condition:
        raise Refused(error, message)


def bind(name, args, kwargs, parameters=None):
    parameters = parameters or PARAMETERS[name]
    require(len(args) <= len(parameters), f"{name}() takes {len(parameters)} positional "
            f"arguments but {len(args)} were given", TypeError)
    bound = dict(zip(parameters, args))
    for keyword, value in kwargs.items():
        # Each byte of a lone surrogate is shown as U+FFFD.
        shown = keyword.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        require(keyword in parameters, f"{name}() got an unexpected keyword argument '{shown}'",
                TypeError)
        require(keyword not in bound, f"{name}() got multiple values for argument '{shown}'",
                TypeError)
        bound[keyword] = value
    missing = [f"'{p}'" for p in parameters if p not in bound]
    listed = " and ".join(missing) if len(missing) < 3 else ", and ".join(
        [", ".join(missing[:-1]), missing[-1]])
    require(not missing, f"{name}() missing {len(missing)} required positional "
            f"argument{'s' * (len(missing) > 1)}: {listed}", TypeError)
    return bound


def convert_period(name, obj):
    message = None
    try:
        # An int subclass's own __index__ is not asked.
        value = int.__int__(obj) if isinstance(obj, int) else operator.index(obj)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        try:
            message = str(error)
        except Exception:  # noqa: BLE001 - printed as the interpreter prints it
            message = "<unprintable TypeError object>"
    # Refused after the handler, so that no cycle keeps the argument alive.
    require(message is None, f"argument '{name}': {message}", TypeError)
    require(value >= 0, "can't convert negative int to unsigned", OverflowError)
    require(value < 2**64, "int too big to convert", OverflowError)
    return value


def convert_array(name, obj):
    require(isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype == np.float64,
            f"argument '{name}': '{type(obj).__qualname__}' object cannot be converted to "
            "'PyArray<T, D>'", TypeError)
    return obj


def contiguous(array):
    return array.shape[0] < 2 or array.strides[0] == 8


def check_single(periods, data, output):
    require(contiguous(data), "Input array must be C-contiguous and float64")
    require(contiguous(output), "Output array must be C-contiguous and float64")
    require(output.shape == data.shape, "Output array length must match input")
    require(output.flags.writeable, "Output array must be writeable")


def check_macd(periods, data, *outputs):
    require(0 not in periods, "Periods must be greater than 0")
    require(periods[0] < periods[1], "Fast period must be less than slow period")
    lengths = [len(o) for o in outputs]  # all asked (a raise passed on) before any is compared
    require(all(k == o.shape[0] == data.shape[0] for k, o in zip(lengths, outputs)),
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
    require(low.shape == close.shape == output.shape == high.shape,
            "All arrays must have the same length")
    require(contiguous(output), "Output array must be C-contiguous and float64")
    require(output.flags.writeable, "Output array must be writeable")


CHECKS = {"indicator_sma": check_single, "indicator_ema": check_single,
          "indicator_macd": check_macd, "indicator_atr": check_atr}


def predict(call):
    # (error class, message) when the call must raise; else None, its periods
    # and its arrays in parameter order.
    try:
        bound = bind(call.name, call.args, call.kwargs)
        periods, arrays = [], []
        for parameter in PARAMETERS[call.name]:
            converted = (convert_period if is_period(parameter) else convert_array)(
                parameter, bound[parameter])
            (periods if is_period(parameter) else arrays).append(converted)
        CHECKS[call.name](periods, *arrays)
    except Refused as refusal:
        return refusal.args, None, None
    except Exception as error:  # noqa: BLE001 - raised by an argument, passed on unchanged
        return (type(error), str(error)), None, None
    return None, periods, arrays


def assert_call(call, buffer=None):
    # The call raises exactly the predicted error and changes no array, or
    # returns None having written what the reference models write: over the
    # sharing of memory of `buffer` when its views are the arrays, else into
    # separate outputs. Either way no argument's reference count changes and
    # no array stays registered.
    error, periods, arrays = predict(call)
    # What __index__ returns is counted too: converting it takes a reference.
    objects = call.objects() + [o.value for o in call.objects() if isinstance(o, Index)]
    before = {id(o): o.tobytes() for o in objects if isinstance(o, np.ndarray)}
    if error is None:
        inputs = reference.MODELS[call.name].inputs
        if buffer is not None:
            expected = buffer.expected(call.name, periods, arrays)
        else:
            expected = [[None] * a.shape[0] for a in arrays[inputs:]]
            reference.MODELS[call.name].run(*periods, *(a.tolist() for a in arrays[:inputs]), *expected)
    # No collection may run meanwhile and drop a reference held by garbage.
    gc.disable()
    try:
        references = [sys.getrefcount(o) for o in objects]
        try:
            raise LookupError("being handled")
        except LookupError as handled:
            try:
                outcome = (None, call())
            except Exception as raised:  # noqa: BLE001 - compared with the model's
                outcome = (type(raised), str(raised))
                # Every error links the exception being handled. Conversion
                # errors are raised again with the argument's name and with
                # their context suppressed; binding errors as they are.
                assert raised.__context__ is handled
                if type(raised) is TypeError:
                    assert raised.__cause__ is None
                    assert raised.__suppress_context__ == outcome[1].startswith("argument '")
                assert type(raised) is not ValueError or raised.args == (outcome[1],)
        # The outcome may hold an argument (an error's message is the string
        # it was made from), so it is judged and dropped before counting.
        matched, shown = outcome == (error or (None, None)), repr(outcome)
        del outcome
        assert [sys.getrefcount(o) for o in objects] == references
    finally:
        gc.enable()
    assert matched, f"{shown} != {error!r}"
    assert registry.active() == 0
    if error is not None:
        assert {id(o): o.tobytes() for o in objects if isinstance(o, np.ndarray)} == before
    elif buffer is not None:
        reference.assert_matches(expected, buffer.array)
    else:
        assert all(a.tobytes() == before[id(a)] for a in arrays[:inputs])
        for want, got in zip(expected, arrays[inputs:], strict=True):
            reference.assert_matches(want, got)


# The streaming module: a method of one object, a single series or a universe.
STREAM_BATCH = {cls: f"indicator_{cls.lower()}" for cls in quorvane_stream.__all__}


def stream_counts(cls):
    # How many periods, inputs and outputs the class takes, from its signatures.
    periods = [p for p in inspect.signature(cls).parameters if p != "width"]
    arrays = list(inspect.signature(cls.update_many).parameters)[1:]
    outputs = sum(a.endswith("output") for a in arrays)
    return len(periods), len(arrays) - outputs, outputs


def fresh_update_many(cls, periods_count):
    # The batch values of a class that the module quorvane has no function for:
    # update_many of a fresh state, called as a batch function.
    return lambda *args: cls(*args[:periods_count]).update_many(*args[periods_count:])


# Each streaming class with its batch function (quorvane's, or the class's own
# update_many from a fresh state), and how many periods, inputs and outputs
# both take.
INDICATORS = {}
for _cls, _name in STREAM_BATCH.items():
    _counts = stream_counts(getattr(quorvane_stream, _cls))
    INDICATORS[_name] = (getattr(quorvane_stream, _cls),
                         getattr(quorvane, _name, None)
                         or fresh_update_many(getattr(quorvane_stream, _cls), _counts[0]), *_counts)
STREAM_PERIODS = {name: model.small for name, model in reference.MODELS.items()}


class StreamCall:
    # `method` of one object of class `cls` (`width` lanes, or a single
    # series), called each time this object is called.
    def __init__(self, cls, width, method, *args, **kwargs):
        self.batch, self.width, self.method, self.args, self.kwargs = (
            STREAM_BATCH[cls], width, method, args, kwargs)
        self.target = getattr(quorvane_stream, cls)(*STREAM_PERIODS[self.batch], width=width)

    def __call__(self):
        return getattr(self.target, self.method)(*self.args, **self.kwargs)

    def objects(self):
        return [*self.args, *self.kwargs.values()]

    def __repr__(self):
        return f"{self.target!r}.{self.method}(*{self.args!r}, **{self.kwargs!r})"


def predict_stream(call):
    # (error class, message) when the call must raise; else None.
    name, method, args, kwargs = call.batch, call.method, call.args, call.kwargs
    _, inputs, _ = counts(name)
    arrays = [p for p in PARAMETERS[name] if not is_period(p)]
    try:
        if method == "__setstate__":
            require(type(args[0]) is bytes, f"'{type(args[0]).__qualname__}' object cannot be "
                    "converted to 'PyBytes'", TypeError)
            require(False, "State bytes were not saved by this class")  # the tables' bytes are damaged
        elif method == "reset":
            lanes, w = args[0], call.width
            require(w is not None, "reset() takes lanes only on a universe; a single series resets whole",
                    TypeError)
            require(hasattr(lanes, "__iter__"), "reset() takes an iterable of lane indices, ints in "
                    f"range(0, {w}), not {type(lanes).__qualname__}", TypeError)
            for x in lanes:
                require(isinstance(x, int) and not isinstance(x, bool), "reset() lanes must be ints in "
                        f"range(0, {w}), not {type(x).__qualname__}", TypeError)
                require(0 <= x < w, f"reset() lane {x!r} is not in range(0, {w})")
        elif method == "update_many":
            require(call.width is None, "update_many() needs a single-series state; a universe "
                    "takes one bar per update()", TypeError)
            # The batch function's conversion and checks, with its periods.
            error = predict(Call(name, *STREAM_PERIODS[name], **bind(method, args, kwargs, arrays)))[0]
            require(error is None, *reversed(error or ("", "")))
        elif call.width is None:
            require(not kwargs, f"{method}() takes no keyword arguments", TypeError)
            require(len(args) == inputs, f"{method}() takes {inputs} positional argument"
                    f"{'s' * (inputs > 1)} ({len(args)} given)", TypeError)
            for label, x in zip(("high", "low", "close") if inputs == 3 else ("x",), args):
                require(isinstance(x, int | float), f"{method}() argument '{label}' must be a real "
                        f"number, not {type(x).__qualname__}", TypeError)
        else:
            parameters = ["values" if p == "data" else p for p in arrays]
            bound = bind(method, args, kwargs, parameters)
            converted = [convert_array(p, bound[p]) for p in parameters]
            for k, array in enumerate(converted):
                require(contiguous(array), ("Input" if k < inputs else "Output")
                        + " array must be C-contiguous and float64")
            require(all(a.shape[0] == call.width for a in converted), "Array length must match the width")
            require(all(a.flags.writeable for a in converted[inputs:]), "Output array must be writeable")
    except Refused as refusal:
        return refusal.args
    return None
