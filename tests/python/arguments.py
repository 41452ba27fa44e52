"""The entry points' parameters, odd argument objects, and calls kept to be
made again: what the tables of calls and the fuzzing share."""

import sys

import numpy as np
import pytest

import borrow_registry
import quorvane

PARAMETERS = {
    "indicator_sma": ("period", "data", "output"),
    "indicator_ema": ("period", "data", "output"),
    "indicator_macd": ("fast_period", "slow_period", "signal_period", "data",
                       "macd_output", "signal_output", "hist_output"),
    "indicator_atr": ("period", "high", "low", "close", "output"),
}
USUAL_PERIODS = {
    "indicator_sma": (20,), "indicator_ema": (20,), "indicator_macd": (12, 26, 9),
    "indicator_atr": (14,),
}


def is_period(parameter):
    return parameter.endswith("period")


def is_output(parameter):
    return parameter.endswith("output")


def counts(name):
    """How many periods, inputs and outputs the function takes."""
    periods = sum(map(is_period, PARAMETERS[name]))
    outputs = sum(map(is_output, PARAMETERS[name]))
    return periods, len(PARAMETERS[name]) - periods - outputs, outputs


class Call:
    """A call of an entry point, made each time this object is called."""

    def __init__(self, name, *args, **kwargs):
        self.name, self.args, self.kwargs = name, args, kwargs

    def __call__(self):
        return getattr(quorvane, self.name)(*self.args, **self.kwargs)

    def objects(self):
        return [*self.args, *self.kwargs.values()]

    def __repr__(self):
        return f"{self.name}(*{self.args!r}, **{self.kwargs!r})"


def assert_refused(call, error, message):
    """The call raises exactly `error` with `message` and leaves behind no
    changed array, no changed reference count and no read-only access."""
    arrays = [o for o in call.objects() if isinstance(o, np.ndarray)]
    before = [a.tobytes() for a in arrays]
    references = [sys.getrefcount(o) for o in call.objects()]
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is error, caught.value
    assert str(caught.value) == message
    if error is ValueError:
        assert caught.value.args == (message,)
    if error is TypeError:
        # Binding errors are raised as they are; conversion errors again,
        # with the argument's name and without their context.
        assert caught.value.__cause__ is None
        assert caught.value.__suppress_context__ == message.startswith("argument '")
    assert [a.tobytes() for a in arrays] == before
    del caught
    assert [sys.getrefcount(o) for o in call.objects()] == references
    assert borrow_registry.active() == 0


class Index:
    """Converted through __index__, which returns `value` or raises a new
    error[0](error[1]) each time (one exception raised again and again would
    grow its traceback)."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error[0](self.error[1])
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.error!r})"


class IntWithOtherIndex(int):
    def __index__(self):
        return 7


class TypeErrorSubclass(TypeError):
    pass


class Subclass(np.ndarray):
    pass


class LyingLength(np.ndarray):
    """An array whose len() is set apart from its element count."""

    def __len__(self):
        return self.claimed


def lying(count, claimed):
    array = np.full(count, 42.0).view(LyingLength)
    array.claimed = claimed
    return array


class RaisingLength(np.ndarray):
    def __len__(self):
        raise KeyError(self.label)


def raising(n, label):
    array = np.full(n, 42.0).view(RaisingLength)
    array.label = label
    return array


def ascending(n=5):
    return np.arange(1.0, n + 1)


def strided(n=5, step=2):
    return np.arange(float(n * step))[::step]
