"""Refused calls, one table per kind of refusal."""

# Where a row holds two faults, the first in the check order decides. The model
# of support.calls says what each raises; the long run of the reliability tests
# repeats them all.

from functools import partial

import numpy as np

from support.arrays import (
    Subclass,
    ascending,
    flagged_readonly,
    lying,
    outputs,
    packed_field,
    readonly,
    strided,
)
from support.calls import Call, Index, StreamCall, TypeErrorSubclass

a, D, OUT = ascending, ascending(), np.full(5, 7.0)
sma, macd, atr = (partial(Call, f"indicator_{name}") for name in ("sma", "macd", "atr"))


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


BINDING = [
    sma(1, 2, 3, 4), sma(5), sma(), sma(data=D), atr(),
    # The positional count before any keyword, binding before any conversion.
    sma(5, 6, 7, 8, x=1), sma(-1, D),
    sma(5, D, OUT, Period=3), sma(5, output=OUT, data=D, **{"output ": 1}), sma(5, D, period=3),
    # A keyword with lone surrogates names no parameter and is shown lossily.
    sma(5, D, OUT, **{"da\udcffta": 1}),
]

# Periods first, in parameter order, then each array's type, dimension and dtype.
CONVERSION = [sma(period, [1.0], OUT) for period in [
    -1, 2**64, Index(-5), 3.0, Index("3"), Index(error=(TypeError, "bad index")),
    Index(error=(ValueError, "own error")), Index(error=(TypeErrorSubclass, "subclass")),
    Index(error=(TypeError, Unprintable())),
]] + [
    sma(3, [1.0], [1.0]), sma(3, D.reshape(5, 1).view(Subclass), OUT), sma(3, np.float64(1.0), OUT),
    sma(3, D.astype(">f8"), OUT), sma(3, D, np.empty(5, np.float32)),
    macd(0, 3, 2, D.astype(np.float32), *outputs(5)),
    atr(2, strided(), [1.0], D, D), atr(2, D, D, D.astype(np.float32), [1.0]),
]

# Each entry point's own checks.
SINGLE = [Call(name, 3, data, output) for name in ("indicator_sma", "indicator_ema")
          for data, output in [
    (D[::-1], OUT), (np.broadcast_to(1.0, 5), OUT), (packed_field(), OUT), (strided(), strided()),
    # The output's layout before its length, its writeability last.
    (D, strided()), (D, strided(4)), (D, np.empty(4)), (np.empty(0), np.empty(1)),
    (a(6), readonly()), (a(6), flagged_readonly()), (np.empty(0), readonly(0)),
    (a(6), readonly(7)), (a(6), readonly(12)[::2]),
]]

D6 = a(6)
MACD = [macd(*periods, data, *outs) for periods, data, outs in [
    ((5, 3, 0), D6, outputs()), ((0, 3, 2), D6[::-1], outputs(7)), ((3, 3, 2), D6, outputs()),
    ((4, 3, 2), D6, outputs(5)),
    # Lengths, then the input's layout, the outputs' layouts, their writeability.
    ((2, 3, 2), D6[::-1], [np.empty(6), np.empty(6), np.empty(7)]),
    ((2, 3, 2), D6, [strided(6), strided(6), np.empty(7)]),
    ((2, 3, 2), D6[::-1], [strided(6)] * 3),
    ((2, 3, 2), D6, [strided(6), np.empty(6), strided(6)]),
    ((2, 3, 2), D6, [np.empty(6), strided(6), strided(6)]),
    ((2, 3, 2), D6, [readonly(), np.empty(6), np.empty(6)[::-1]]),
    ((2, 3, 2), D6, [readonly(), np.empty(5), np.empty(6)]),
    ((2, 3, 2), D6, [readonly(), np.empty(6), flagged_readonly()]),
    ((2, 3, 2), D6, [np.empty(6), flagged_readonly(), readonly()]),
    ((2, 3, 2), D6, [np.empty(6), np.empty(6), readonly()]),
    # len() is asked of every output in order, the first raise passed on, and
    # the element count is compared as well.
    ((2, 3, 2), D6[::-1], [np.empty(6), lying(6, "signal"), lying(6, "hist")]),
    ((3, 2, 2), D6, [lying(6, "macd")] * 3),
    ((2, 3, 2), D6, [np.empty(6), np.empty(6), lying(7, 6)]),
    ((2, 3, 2), D6, [np.empty(6), lying(6, 7), np.empty(6)]),
]]

# The inputs' layouts before the lengths (element counts, not len()), the
# output's layout after.
ATR = [atr(2, *arrays) for arrays in [
    (strided(), strided(), a(), a()), (a(), strided(), strided(), a()),
    (a(4), a(), np.broadcast_to(1.0, 5), a()), (strided(), a(), a(), a(4)),
    (a(), a(), a(6), a()), (a(), a(), a(), a(0)), (a(), a(), a(), strided(4)),
    (a(), a(), a(), strided()), (a(), a(), a(), lying(4, 5)),
    (a(6), a(6), a(6), readonly()), (a(0), a(0), a(0), readonly(0)),
    (a(6), a(6), a(6), readonly(7)), (a(6), a(6), a(6), readonly(12)[::2]),
]]

# Every row, under the name of its table and its place there.
REFUSED = {f"{table}-{k}": call for table, rows in [
    ("binding", BINDING), ("conversion", CONVERSION), ("single", SINGLE), ("macd", MACD),
    ("atr", ATR)] for k, call in enumerate(rows)}

# Streaming methods, on a single series (width None) or a universe of 3 lanes.
E3, O3 = a(3), np.empty(3)
STREAM = [StreamCall(cls, width, method, *args) for cls, width, method, args in [
    ("Sma", None, "update", ()), ("Ema", None, "peek", (1.0, 2.0)), ("Macd", None, "update", (None,)),
    ("Atr", None, "update", (1.0, 2.0)), ("Atr", None, "peek", (1.0, "2", 3.0)),
    ("Sma", None, "update_many", (D,)), ("Ema", None, "update_many", (D, np.empty(4))),
    ("Sma", None, "update_many", (strided(), OUT)), ("Ema", None, "update_many", (D, readonly(5))),
    ("Macd", None, "update_many", (D6, *outputs(5))),
    ("Macd", None, "update_many", (D6, [0.0] * 6, *outputs()[:2])),
    ("Atr", None, "update_many", (a(), a(4), a(), a())),
    ("Sma", 3, "update", (E3,)), ("Ema", 3, "update", (E3, [1.0] * 3)), ("Sma", 3, "update", (a(4), a(4))),
    ("Ema", 3, "peek", (a(2), np.empty(2))), ("Macd", 3, "peek", (E3, O3, np.empty(2), O3)),
    ("Macd", 3, "update", (E3, O3, O3, strided(3))), ("Atr", 3, "update", (E3, E3, strided(3), O3)),
    ("Atr", 3, "peek", (E3, E3, E3, readonly(3))), ("Sma", 3, "update", (1.0,)),
    ("Ema", 3, "update_many", (E3, O3)),
    ("Sma", None, "__setstate__", (3,)), ("Sma", None, "__setstate__", (b"",)),
    # Lanes in order, each one's type, then its range.
    ("Sma", None, "reset", ([0],)), ("Ema", 3, "reset", (3,)), ("Macd", 3, "reset", ([0, 2, 3, True],)),
    ("Atr", 3, "reset", ([1, 2.0],)), ("Sma", 3, "reset", ((2, -1),)), ("Ema", 3, "reset", ([2**70, "0"],)),
]] + [StreamCall(cls, None, "__setstate__", state) for cls, state in [
    # Another class's state, one cut short, one with a byte more.
    ("Sma", StreamCall("Ema", None, "update", 1.0).target.__reduce__()[2]),
    ("Macd", StreamCall("Macd", 3, "peek").target.__reduce__()[2][:-8]),
    ("Atr", StreamCall("Atr", None, "peek").target.__reduce__()[2] + b"\0"),
]]
