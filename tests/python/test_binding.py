"""Argument binding and integer conversion: exact exceptions and messages."""

import numpy as np
import pytest

from quorvane import indicator_sma

DATA = np.arange(1.0, 6.0)


class Index:
    """An object converted through __index__, which returns or raises."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


class IntWithOtherIndex(int):
    def __index__(self):
        return 99


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class TypeErrorSubclass(TypeError):
    pass


def call(*args, **kwargs):
    return lambda output: indicator_sma(*args, **kwargs)


BINDING_ERRORS = [
    (call(1, 2, 3, 4), "indicator_sma() takes 3 positional arguments but 4 were given"),
    (call(5), "indicator_sma() missing 2 required positional arguments: 'data' and 'output'"),
    (call(5, DATA), "indicator_sma() missing 1 required positional argument: 'output'"),
    (call(), "indicator_sma() missing 3 required positional arguments: "
             "'period', 'data', and 'output'"),
    (call(data=DATA), "indicator_sma() missing 2 required positional arguments: "
                      "'period' and 'output'"),
    (lambda o: indicator_sma(data=DATA, output=o),
     "indicator_sma() missing 1 required positional argument: 'period'"),
    (lambda o: indicator_sma(5, DATA, o, window=3),
     "indicator_sma() got an unexpected keyword argument 'window'"),
    (lambda o: indicator_sma(5, DATA, o, Period=3),
     "indicator_sma() got an unexpected keyword argument 'Period'"),
    (call(5, DATA, period=3), "indicator_sma() got multiple values for argument 'period'"),
    (lambda o: indicator_sma(5, output=o, data=DATA, **{"output ": 1}),
     "indicator_sma() got an unexpected keyword argument 'output '"),
    # The positional count is tested before any keyword.
    (call(5, 6, 7, 8, x=1), "indicator_sma() takes 3 positional arguments but 4 were given"),
    # Binding comes before any conversion.
    (call(-1, DATA), "indicator_sma() missing 1 required positional argument: 'output'"),
    # A keyword with lone surrogates names no parameter and is shown lossily.
    (lambda o: indicator_sma(5, DATA, o, **{"da\udcffta": 1}),
     "indicator_sma() got an unexpected keyword argument 'da\ufffd\ufffd\ufffdta'"),
]


@pytest.mark.parametrize("make_call, message", BINDING_ERRORS)
def test_binding_errors(make_call, message):
    output = np.full(5, 7.0)
    with pytest.raises(TypeError) as caught:
        make_call(output)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None
    assert not caught.value.__suppress_context__
    assert (output == 7.0).all()


@pytest.mark.parametrize("keywords", [
    {"period": 3, "data": DATA},
    {"output": None, "data": DATA, "period": 3},
])
def test_keywords_in_any_order(keywords):
    output = np.empty(5)
    keywords = {k: (output if v is None else v) for k, v in keywords.items()}
    keywords.setdefault("output", output)
    indicator_sma(**keywords)
    assert output.tolist()[2:] == [2.0, 3.0, 4.0]


@pytest.mark.parametrize("period, expected_tail", [
    (True, [1.0, 2.0, 3.0, 4.0, 5.0]),
    (False, None),
    (np.int64(2), [1.5, 2.5, 3.5, 4.5]),
    (np.uint8(3), [2.0, 3.0, 4.0]),
    (Index(4), [2.5, 3.5]),
    (IntWithOtherIndex(5), [3.0]),
    (2**64 - 1, None),
])
def test_periods_that_convert(period, expected_tail):
    output = np.empty(5)
    assert indicator_sma(period, DATA, output) is None
    values = output.tolist()
    if expected_tail is None:
        assert np.isnan(output).all()
    else:
        assert values[len(values) - len(expected_tail):] == expected_tail


UNPRINTABLE = TypeError(Unprintable())
CAUSE = KeyError("inner cause")
WITH_CAUSE = TypeError("with a cause")
WITH_CAUSE.__cause__ = CAUSE

CONVERSION_ERRORS = [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (Index(-5), OverflowError, "can't convert negative int to unsigned"),
    (3.0, TypeError, "argument 'period': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'period': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'period': 'NoneType' object cannot be interpreted as an integer"),
    (Index("3"), TypeError, "argument 'period': __index__ returned non-int (type str)"),
    (Index(TypeError("bad index")), TypeError, "argument 'period': bad index"),
    (Index(ValueError("own error")), ValueError, "own error"),
    (Index(TypeErrorSubclass("subclass")), TypeErrorSubclass, "subclass"),
    (Index(UNPRINTABLE), TypeError, "argument 'period': <unprintable TypeError object>"),
]


@pytest.mark.parametrize("period, error, message", CONVERSION_ERRORS)
def test_period_conversion_errors(period, error, message):
    output = np.full(5, 7.0)
    with pytest.raises(BaseException) as caught:
        indicator_sma(period, DATA, output)
    assert type(caught.value) is error
    assert str(caught.value) == message
    if error is TypeError:
        assert caught.value.__cause__ is None
        assert caught.value.__suppress_context__
    assert (output == 7.0).all()


def test_wrapped_error_keeps_the_inner_cause():
    with pytest.raises(TypeError) as caught:
        indicator_sma(Index(WITH_CAUSE), DATA, np.empty(5))
    assert str(caught.value) == "argument 'period': with a cause"
    assert caught.value is not WITH_CAUSE
    assert caught.value.__cause__ is CAUSE
    assert caught.value.__suppress_context__


def test_conversions_stop_at_the_first_parameter():
    with pytest.raises(TypeError, match=r"^argument 'period': "):
        indicator_sma(3.0, [1.0], np.empty(1))
