"""Streaming indicators: quorvane's values one position at a time.

Each class keeps the state of one indicator over one series, or, made with
`width=N`, over N independent series that advance together one bar per
update. Whatever the cut, the values are the batch functions' of quorvane,
bit for bit: `update` one value at a time, `update_many` over chunks of any
sizes, and lane j of a universe all give what indicator_* gives over the
whole series (j). Positions without a value hold the quiet NaN
0x7FF8000000000000.

States pickle (and copy) to a compact state: periods, counters, the latest
values and the trailing window, which continue bit for bit after a round
trip. Read-only properties give the periods (named as the constructor's
parameters), `count`, `width` (None for a single series) and `last`;
`reset()` starts again, and `reset(lanes)` restarts lanes of a universe
(a halted symbol whose slot is reused). peek on a
universe runs a copy of it, so unlike update it allocates.

Threads: every object has its own lock. A call that uses the state holds it,
and update_many and a universe update hold it while they compute with the
interpreter lock released (Atr keeps the interpreter lock, as indicator_atr
does), so calls on one object from several threads take turns and never
corrupt it. A call waiting for the lock lets other threads run.

Arguments are converted before the lock is taken, and conversion may run
Python code (__float__, __len__) that replaces the state with __setstate__,
as may another thread while a call waits for the lock. Such a replacement
is never refused: the call then goes on with the new state when its
arguments suit it (any single series for values, a universe of the same
width for arrays), and is otherwise refused with a TypeError or ValueError
that says so, writing nothing; call it again with arguments for the new
state.

A fork waits until no other thread works under an object's lock, so the
child finds every object whole and free to use.

Periods are accepted and refused as by the batch functions; update_many
checks its arrays with the batch function's messages and writes nothing
when it refuses them. An output may share memory with an input.

Besides the batch functions' messages, the texts raised are:

    TypeError: "{method}() takes no keyword arguments"
    TypeError: "{method}() takes {count} positional argument{s} ({count} given)"
    TypeError: "{method}() argument '{name}' must be a real number, not {type}"
    TypeError: "update_many() needs a single-series state; a universe takes one bar per update()"
    TypeError: "The state became a universe during {method}(); pass a universe's arrays"
    TypeError: "The state became a single series during {method}(); pass one bar's values"
    ValueError: "The state changed width during {method}(); pass arrays of the new width"
    OverflowError: "width is too large"
    ValueError: "Array length must match the width"
    ValueError: "State bytes were not saved by this class"
    TypeError: "reset() takes lanes only on a universe; a single series resets whole"
    TypeError: "reset() takes an iterable of lane indices, ints in range(0, {width}), not {type}"
    TypeError: "reset() lanes must be ints in range(0, {width}), not {type}"
    ValueError: "reset() lane {lane} is not in range(0, {width})"
    ValueError: "The state changed width during reset(); pass lanes of the new width"
    TypeError, ValueError: "{number} must be a finite number of at least {least!r}, got {value!r}"
        (a number parameter, such as Bbands' k: not a real number or a bool, or NaN,
        infinite or below its least)
    ImportError: "PyO3 modules do not yet support subinterpreters, see https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
"""

from collections.abc import Iterable
from typing import Self, SupportsIndex, final, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "Adx", "Atr", "Bbands", "Cci", "Dema", "Ema", "Macd", "Mom", "Obv", "Roc", "Rsi", "Sma", "Stoch",
    "Tema", "Willr", "Wma",
]

@final
class Sma:
    """Simple moving average, one position at a time; the values of indicator_sma.

    Keeps the trailing window of `period` values (storage grows with the
    values seen until the window is full).
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float:
        """The value at the next position (NaN while warming up)."""
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None:
        """With width=N: one bar of N series, one output per series."""
    @overload
    def peek(self, x: float, /) -> float:
        """What update(x) would return; the state does not change."""
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None:
        """update(x) for each x of data, into output (single series only).

        Raises ValueError as indicator_sma: "Input array must be C-contiguous
        and float64", "Output array must be C-contiguous and float64",
        "Output array length must match input", "Output array must be
        writeable".
        """
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int:
        """Values seen so far (on a universe, bars)."""
    @property
    def width(self) -> int | None:
        """The number of series of a universe; None for a single series."""
    @property
    def last(self) -> float | NDArray[np.float64] | None:
        """What the latest update gave at its last position (a new array per
        output on a universe; NaN for a lane reset since); None before any value."""
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None:
        """Back to the start: the whole state, or with lanes (a universe only)
        those lanes, which from the next bar on give what a fresh state
        gives, the others going on unchanged."""
    def __reduce__(self) -> tuple[type[Sma], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Ema:
    """Exponential moving average, one position at a time; the values of indicator_ema.

    Keeps a few numbers: the running sum of the current run of finite values
    until the seed, then the average.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Ema], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Macd:
    """MACD line, signal line and histogram, one position at a time; indicator_macd's values.

    Keeps the trailing window of `slow_period` values, which reseeding reads.

    Raises:
        ValueError: "Periods must be greater than 0", "Fast period must be
            less than slow period".
    """

    def __new__(
        cls,
        fast_period: SupportsIndex,
        slow_period: SupportsIndex,
        signal_period: SupportsIndex,
        *,
        width: SupportsIndex | None = None,
    ) -> Self: ...
    @overload
    def update(self, x: float, /) -> tuple[float, float, float]:
        """(macd, signal, hist) at the next position."""
    @overload
    def update(
        self,
        values: NDArray[np.float64],
        macd_output: NDArray[np.float64],
        signal_output: NDArray[np.float64],
        hist_output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, x: float, /) -> tuple[float, float, float]: ...
    @overload
    def peek(
        self,
        values: NDArray[np.float64],
        macd_output: NDArray[np.float64],
        signal_output: NDArray[np.float64],
        hist_output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        data: NDArray[np.float64],
        macd_output: NDArray[np.float64],
        signal_output: NDArray[np.float64],
        hist_output: NDArray[np.float64],
    ) -> None: ...
    @property
    def fast_period(self) -> int: ...
    @property
    def slow_period(self) -> int: ...
    @property
    def signal_period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> (
        tuple[float, float, float]
        | tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]
        | None
    ): ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Macd], tuple[int, int, int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Atr:
    """Average true range, one bar at a time; the values of indicator_atr.

    Keeps a few numbers: the previous close and the running sum or average.
    Computes with the interpreter lock held, as indicator_atr does.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def update(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def peek(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
    ) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Atr], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Wma:
    """Linearly weighted moving average, one position at a time.

    Keeps the trailing window of `period` values and two running sums.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Wma], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Rsi:
    """Relative strength index, one position at a time.

    Keeps the previous value and the two averages, of gains and of losses.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Rsi], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Bbands:
    """Bollinger Bands (upper, middle, lower), one position at a time.

    Keeps the trailing window of `period` values and six numbers: the sums
    about a base value, the budget that decides when the window is summed
    afresh, a counter and whether a value not finite was seen. k is a
    binary64 number, saved with the state as its bits.
    """

    def __new__(
        cls, period: SupportsIndex, k: float, *, width: SupportsIndex | None = None
    ) -> Self: ...
    @overload
    def update(self, x: float, /) -> tuple[float, float, float]:
        """(upper, middle, lower) at the next position."""
    @overload
    def update(
        self,
        values: NDArray[np.float64],
        upper_output: NDArray[np.float64],
        middle_output: NDArray[np.float64],
        lower_output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, x: float, /) -> tuple[float, float, float]: ...
    @overload
    def peek(
        self,
        values: NDArray[np.float64],
        upper_output: NDArray[np.float64],
        middle_output: NDArray[np.float64],
        lower_output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        data: NDArray[np.float64],
        upper_output: NDArray[np.float64],
        middle_output: NDArray[np.float64],
        lower_output: NDArray[np.float64],
    ) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def k(self) -> float: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> (
        tuple[float, float, float]
        | tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]
        | None
    ): ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Bbands], tuple[int, float], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Stoch:
    """Slow stochastic oscillator (slow %K, slow %D), one bar at a time.

    Keeps the last fastk_period + slowk_period - 1 bars, the window's block
    extremes, the fast and slow %K values the smoothings drop, and their sums.
    """

    def __new__(
        cls,
        fastk_period: SupportsIndex,
        slowk_period: SupportsIndex,
        slowd_period: SupportsIndex,
        *,
        width: SupportsIndex | None = None,
    ) -> Self: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float]:
        """(slowk, slowd) at the next bar."""
    @overload
    def update(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        slowk_output: NDArray[np.float64],
        slowd_output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    @overload
    def peek(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        slowk_output: NDArray[np.float64],
        slowd_output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        slowk_output: NDArray[np.float64],
        slowd_output: NDArray[np.float64],
    ) -> None: ...
    @property
    def fastk_period(self) -> int: ...
    @property
    def slowk_period(self) -> int: ...
    @property
    def slowd_period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> tuple[float, float] | tuple[NDArray[np.float64], NDArray[np.float64]] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Stoch], tuple[int, int, int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Willr:
    """Williams %R, one bar at a time.

    Keeps the last `period` bars, the window's block extremes and five numbers.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def update(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def peek(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
    ) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Willr], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Adx:
    """Average directional index, +DI and -DI, one bar at a time.

    Keeps the previous bar and four averages: of the upward and downward
    moves, of the true ranges and of the directional index.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float, float]:
        """(adx, plus_di, minus_di) at the next bar."""
    @overload
    def update(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        adx_output: NDArray[np.float64],
        plus_di_output: NDArray[np.float64],
        minus_di_output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, high: float, low: float, close: float, /) -> tuple[float, float, float]: ...
    @overload
    def peek(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        adx_output: NDArray[np.float64],
        plus_di_output: NDArray[np.float64],
        minus_di_output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        adx_output: NDArray[np.float64],
        plus_di_output: NDArray[np.float64],
        minus_di_output: NDArray[np.float64],
    ) -> None:
        """update(high, low, close) for each bar, into the outputs (single series only).

        Raises ValueError, checked in this order:
            "High array must be C-contiguous and float64",
            "Low array must be C-contiguous and float64",
            "Close array must be C-contiguous and float64",
            "All arrays must have the same length",
            "ADX output array must be C-contiguous and float64",
            "+DI output array must be C-contiguous and float64",
            "-DI output array must be C-contiguous and float64",
            "ADX output array must be writeable",
            "+DI output array must be writeable",
            "-DI output array must be writeable".
        """
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> (
        tuple[float, float, float]
        | tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]
        | None
    ): ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Adx], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Cci:
    """Commodity channel index, one bar at a time.

    Keeps the last period - 1 bars: every value sums its whole window afresh.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def update(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    @overload
    def peek(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def peek(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
        /,
    ) -> None: ...
    def update_many(
        self,
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        output: NDArray[np.float64],
    ) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Cci], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Obv:
    """On-balance volume, one bar at a time.

    Keeps the previous close and the running total.
    """

    def __new__(cls, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, close: float, volume: float, /) -> float: ...
    @overload
    def update(
        self, close: NDArray[np.float64], volume: NDArray[np.float64], output: NDArray[np.float64], /
    ) -> None: ...
    @overload
    def peek(self, close: float, volume: float, /) -> float: ...
    @overload
    def peek(
        self, close: NDArray[np.float64], volume: NDArray[np.float64], output: NDArray[np.float64], /
    ) -> None: ...
    def update_many(
        self, close: NDArray[np.float64], volume: NDArray[np.float64], output: NDArray[np.float64]
    ) -> None:
        """update(close, volume) for each bar, into output (single series only).

        Raises ValueError: "Close array must be C-contiguous and float64",
        "Volume array must be C-contiguous and float64", "All arrays must have
        the same length", "Output array must be C-contiguous and float64",
        "Output array must be writeable".
        """
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Obv], tuple[()], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Roc:
    """Rate of change, one position at a time.

    Keeps the trailing window of `period` values.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Roc], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Mom:
    """Momentum, one position at a time.

    Keeps the trailing window of `period` values.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Mom], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Dema:
    """Double exponential moving average, one position at a time.

    Keeps each EMA's seed run, sum and average: a few numbers.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Dema], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class Tema:
    """Triple exponential moving average, one position at a time.

    Keeps each EMA's seed run, sum and average: a few numbers.
    """

    def __new__(cls, period: SupportsIndex, *, width: SupportsIndex | None = None) -> Self: ...
    @overload
    def update(self, x: float, /) -> float: ...
    @overload
    def update(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    @overload
    def peek(self, x: float, /) -> float: ...
    @overload
    def peek(self, values: NDArray[np.float64], output: NDArray[np.float64], /) -> None: ...
    def update_many(self, data: NDArray[np.float64], output: NDArray[np.float64]) -> None: ...
    @property
    def period(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def width(self) -> int | None: ...
    @property
    def last(self) -> float | NDArray[np.float64] | None: ...
    def reset(self, lanes: Iterable[SupportsIndex] | None = None) -> None: ...
    def __reduce__(self) -> tuple[type[Tema], tuple[int], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...
