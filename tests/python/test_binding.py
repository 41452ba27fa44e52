"""Argument binding and integer conversion: exact exceptions and messages."""

from functools import partial

import numpy as np
import pytest

from arguments import (Call, Index, IntWithOtherIndex, TypeErrorSubclass, ascending,
                       assert_refused)

DATA, OUTPUT = ascending(), np.full(5, 7.0)
sma = partial(Call, "indicator_sma")


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


REFUSED = [
    (sma(1, 2, 3, 4), TypeError, "indicator_sma() takes 3 positional arguments but 4 were given"),
    (sma(5), TypeError,
     "indicator_sma() missing 2 required positional arguments: 'data' and 'output'"),
    (sma(5, DATA), TypeError, "indicator_sma() missing 1 required positional argument: 'output'"),
    (sma(), TypeError, "indicator_sma() missing 3 required positional arguments: "
                       "'period', 'data', and 'output'"),
    (sma(data=DATA), TypeError, "indicator_sma() missing 2 required positional arguments: "
                                "'period' and 'output'"),
    (sma(data=DATA, output=OUTPUT), TypeError,
     "indicator_sma() missing 1 required positional argument: 'period'"),
    (sma(5, DATA, OUTPUT, window=3), TypeError,
     "indicator_sma() got an unexpected keyword argument 'window'"),
    (sma(5, DATA, OUTPUT, Period=3), TypeError,
     "indicator_sma() got an unexpected keyword argument 'Period'"),
    (sma(5, DATA, period=3), TypeError,
     "indicator_sma() got multiple values for argument 'period'"),
    (sma(5, output=OUTPUT, data=DATA, **{"output ": 1}), TypeError,
     "indicator_sma() got an unexpected keyword argument 'output '"),
    (Call("indicator_atr", 1, DATA, DATA, DATA, high=DATA), TypeError,
     "indicator_atr() got multiple values for argument 'high'"),
    (Call("indicator_atr"), TypeError, "indicator_atr() missing 5 required positional "
                                       "arguments: 'period', 'high', 'low', 'close', and 'output'"),
    # The positional count is tested before any keyword.
    (sma(5, 6, 7, 8, x=1), TypeError,
     "indicator_sma() takes 3 positional arguments but 4 were given"),
    # Binding comes before any conversion.
    (sma(-1, DATA), TypeError, "indicator_sma() missing 1 required positional argument: 'output'"),
    # A keyword with lone surrogates names no parameter and is shown lossily.
    (sma(5, DATA, OUTPUT, **{"da\udcffta": 1}), TypeError,
     "indicator_sma() got an unexpected keyword argument 'da\ufffd\ufffd\ufffdta'"),
    # Periods, converted in parameter order before any array.
    *[(sma(period, [1.0], OUTPUT), error, message) for period, error, message in [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (Index(-5), OverflowError, "can't convert negative int to unsigned"),
        (3.0, TypeError, "argument 'period': 'float' object cannot be interpreted as an integer"),
        (None, TypeError,
         "argument 'period': 'NoneType' object cannot be interpreted as an integer"),
        (Index("3"), TypeError, "argument 'period': __index__ returned non-int (type str)"),
        (Index(error=(TypeError, "bad index")), TypeError, "argument 'period': bad index"),
        (Index(error=(ValueError, "own error")), ValueError, "own error"),
        (Index(error=(TypeErrorSubclass, "subclass")), TypeErrorSubclass, "subclass"),
        (Index(error=(TypeError, Unprintable())), TypeError,
         "argument 'period': <unprintable TypeError object>"),
    ]],
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused(call, error, message):
    assert_refused(call, error, message)


def test_wrapped_error_keeps_the_inner_cause():
    cause = KeyError("inner cause")

    class Period:
        def __index__(self):
            raise TypeError("with a cause") from cause

    with pytest.raises(TypeError) as caught:
        Call("indicator_sma", Period(), DATA, np.empty(5))()
    assert str(caught.value) == "argument 'period': with a cause"
    assert caught.value.__cause__ is cause
    assert caught.value.__suppress_context__


# Periods that convert, each giving what its plain int gives.
CONVERTED = [(True, 1), (False, 0), (np.int64(2), 2), (np.uint8(3), 3), (Index(4), 4),
             (np.array(3), 3), (IntWithOtherIndex(5), 5), (2**64 - 1, 2**64 - 1)]


@pytest.mark.parametrize("period, plain", CONVERTED)
def test_periods_that_convert(period, plain):
    expected, output = np.empty(5), np.empty(5)
    Call("indicator_sma", plain, DATA, expected)()
    assert Call("indicator_sma", period, DATA, output)() is None
    assert output.tobytes() == expected.tobytes()
