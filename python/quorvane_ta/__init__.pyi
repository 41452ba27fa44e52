"""quorvane's indicators as functions that return their results.

Every function takes its inputs as NumPy arrays of any integer or float
dtype (converted once to float64; a C-contiguous float64 array is not
copied), anything NumPy reads as one (lists give NumPy arrays), pandas and
polars Series and DataFrames (results keep the index and columns; nulls
become NaN), or Arrow arrays (with pyarrow; the result is a pyarrow Array).
Time runs along axis 0: a 2-D input is a panel of one series per column.
Results hold the strict module quorvane's values, bit for bit; positions
without a value hold NaN, never null.

Checks run in this order: periods (in parameter order), threads, each
input (kind, dtype, dimensions, then its shape against the first's), out,
and last the engine's refusal of a combination of periods (ValueError, e.g.
"Fast period must be less than slow period"). The messages, with
{placeholders} for what was given:

    TypeError, ValueError: "{period} must be an integer from 1 to 9223372036854775807, got {value!r}"
    TypeError, ValueError: "threads must be None or an integer of at least 1, got {value!r}"
    TypeError, ValueError: "{number} must be a finite number of at least {least!r}, got {value!r}"
                (a number parameter, such as bbands' k: TypeError for what is not a real
                number or is a bool, ValueError for NaN, an infinity or a value below least)
    TypeError: "{input} must hold real numbers (an integer or floating dtype), got {what};
                convert it first, e.g. with np.asarray({input}, dtype=np.float64)" (one line)
    TypeError: "{input} must be an array of real numbers, got {type} that NumPy cannot read as one: {reason}"
    TypeError: "{input} is an Arrow array ({type}), which needs pyarrow: pip install pyarrow"
    TypeError: "{function}() needs {inputs}, or one DataFrame with these columns as {first}"
    TypeError: "out must be a tuple of {count} arrays ({outputs}), got {type}"
    TypeError: "{out} must be a NumPy array, got {type}"
    TypeError: "{out} must have dtype float64, got {dtype}"
    ValueError: "{input} must be 1-D, or 2-D with time along axis 0, got {ndim}-D"
    ValueError: "{first} and {input} must have the same shape, got {shape} and {shape}"
    ValueError: "{function}() needs one column named {input} (in any case) in the frame given
                 as {first}, got {columns}" (one line)
    ValueError: "{out} must have the inputs' shape {shape}, got {shape}"
    ValueError: "{out} must be writeable"
    ValueError: "{out} must be C- or F-contiguous"
    ValueError: "out[{k}] and out[{m}] must not share memory"

{out} is out, or out[k] for an indicator of several outputs.

The engine underneath checks its arguments again; the checks above leave
its own messages unreachable from these functions:

    TypeError: "expected (periods, inputs, outputs, threads) as tuples of the indicator's counts and an int"
    TypeError: "arrays must be float64 NumPy arrays of one or two dimensions, each C- or
                Fortran-contiguous, all of one shape" (one line)
    ValueError: "periods must be ints", "periods must be at least 1", "threads must be at least 1",
                "numbers must be finite floats in their range",
                "outputs must be writeable", "outputs must not share memory"
"""

from collections.abc import Sequence
from typing import Any, NamedTuple, SupportsIndex, overload

import numpy as np
from numpy.typing import NDArray

__version__: str
__all__ = [
    "sma", "ema", "macd", "MacdResult", "atr", "wma", "rsi",
    "bbands", "BbandsResult",
    "stoch", "StochResult",
    "willr",
    "adx", "AdxResult",
    "cci",
    "obv", "roc", "mom", "dema", "tema",
]

_F64 = NDArray[np.float64]
# Inputs whose results are NumPy arrays; others (pandas, polars, Arrow) give Any.
_Array = NDArray[np.integer[Any]] | NDArray[np.floating[Any]] | Sequence[float] | Sequence[Sequence[float]]

@overload
def sma(x: Any, period: SupportsIndex = 30, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def sma(
    x: _Array, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def sma(x: Any, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Simple moving average: the mean of the last `period` values.

    Warm-up: positions 0 to period - 2 hold NaN. A NaN makes every later
    average NaN. Returns an array, Series or DataFrame (named SMA_{period})
    of x's kind and shape, or `out`. Raises the messages of the module's
    docstring for the parameters x, period, out and threads.
    """

@overload
def ema(x: Any, period: SupportsIndex = 30, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def ema(
    x: _Array, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def ema(x: Any, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Exponential moving average with alpha = 2 / (period + 1).

    Seeded with the mean of the first run of `period` finite values; NaN
    before it. Missing values hold NaN and are stepped over. Returns an
    array, Series or DataFrame (named EMA_{period}) of x's kind and shape,
    or `out`. Raises the messages of the module's docstring for the
    parameters x, period, out and threads.
    """

class MacdResult[T](NamedTuple):
    """The results of macd(): the MACD line, its signal line and their difference."""

    macd: T
    signal: T
    hist: T

@overload
def macd(
    x: Any,
    fast: SupportsIndex = 12,
    slow: SupportsIndex = 26,
    signal: SupportsIndex = 9,
    *,
    out: tuple[_F64, _F64, _F64],
    threads: SupportsIndex | None = None,
) -> tuple[_F64, _F64, _F64]: ...
@overload
def macd(
    x: _Array,
    fast: SupportsIndex = 12,
    slow: SupportsIndex = 26,
    signal: SupportsIndex = 9,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> MacdResult[_F64]: ...
@overload
def macd(
    x: Any,
    fast: SupportsIndex = 12,
    slow: SupportsIndex = 26,
    signal: SupportsIndex = 9,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> MacdResult[Any]:
    """MACD: fast EMA minus slow EMA, its signal line and the histogram.

    The MACD line holds NaN at positions 0 to slow - 2, the signal line and
    histogram at 0 to slow + signal - 3. Returns MacdResult(macd, signal,
    hist) of x's kind and shape (named MACD_{fast}_{slow}_{signal},
    MACD_SIGNAL_..., MACD_HIST_...), or the tuple `out`. Raises the
    messages of the module's docstring for the parameters x, fast, slow,
    signal, out and threads, then ValueError "Fast period must be less than
    slow period".
    """

@overload
def atr(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: _F64,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def atr(
    high: _Array,
    low: _Array,
    close: _Array,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def atr(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> Any:
    """Average true range of parallel high, low and close series.

    Or one pandas or polars DataFrame as `high`, with columns high, low and
    close in any case. Warm-up: positions 0 to period - 1 hold NaN. Returns
    an array, Series or DataFrame (named ATR_{period}) of the inputs' kind
    and shape, or `out`. Raises the messages of the module's docstring for
    the parameters high, low, close, period, out and threads.
    """

@overload
def wma(x: Any, period: SupportsIndex = 30, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def wma(
    x: _Array, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def wma(x: Any, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Linearly weighted moving average: the last `period` values weighted period (newest) down to 1.

    Warm-up: positions 0 to period - 2 hold NaN. A NaN or an infinity makes
    every later average NaN. Returns an array, Series or DataFrame (named WMA_{period})
    of x's kind and shape, or `out`. Raises the messages of the module's
    docstring for the parameters x, period, out and threads.
    """

@overload
def rsi(x: Any, period: SupportsIndex = 14, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def rsi(
    x: _Array, period: SupportsIndex = 14, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def rsi(x: Any, period: SupportsIndex = 14, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Relative strength index (Wilder's): 100 - 100 / (1 + average gain / average loss).

    Warm-up: positions 0 to period - 1 hold NaN; both averages zero give 50.
    A NaN makes every later value NaN. Returns an array, Series or DataFrame
    (named RSI_{period}) of x's kind and shape, or `out`. Raises the messages
    of the module's docstring for the parameters x, period, out and threads.
    """

class BbandsResult[T](NamedTuple):
    """The results of bbands(): upper, middle, lower."""

    upper: T
    middle: T
    lower: T

@overload
def bbands(
    x: Any,
    period: SupportsIndex = 5,
    k: float = 2.0,
    *,
    out: tuple[_F64, _F64, _F64],
    threads: SupportsIndex | None = None,
) -> tuple[_F64, _F64, _F64]: ...
@overload
def bbands(
    x: _Array,
    period: SupportsIndex = 5,
    k: float = 2.0,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> BbandsResult[_F64]: ...
@overload
def bbands(
    x: Any,
    period: SupportsIndex = 5,
    k: float = 2.0,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> BbandsResult[Any]:
    """Bollinger Bands: the mean of the last `period` values, and it plus and
    minus k times their population standard deviation.

    Warm-up: positions 0 to period - 2 hold NaN; a flat window gives bands
    equal to the middle. A NaN or an infinity makes every later value NaN.
    Returns BbandsResult(upper, middle, lower) of x's kind and shape (named
    BBANDS_UPPER_{period}_{k}, BBANDS_MIDDLE_..., BBANDS_LOWER_...), or the
    tuple `out`. k is a finite number of at least 0 (one k for both bands).
    Raises the messages of the module's docstring for the parameters x,
    period, k, out and threads.
    """

class StochResult[T](NamedTuple):
    """The results of stoch(): slow %K and slow %D."""

    slowk: T
    slowd: T

@overload
def stoch(
    high: Any,
    low: Any = None,
    close: Any = None,
    fastk: SupportsIndex = 5,
    slowk: SupportsIndex = 3,
    slowd: SupportsIndex = 3,
    *,
    out: tuple[_F64, _F64],
    threads: SupportsIndex | None = None,
) -> tuple[_F64, _F64]: ...
@overload
def stoch(
    high: _Array,
    low: _Array,
    close: _Array,
    fastk: SupportsIndex = 5,
    slowk: SupportsIndex = 3,
    slowd: SupportsIndex = 3,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> StochResult[_F64]: ...
@overload
def stoch(
    high: Any,
    low: Any = None,
    close: Any = None,
    fastk: SupportsIndex = 5,
    slowk: SupportsIndex = 3,
    slowd: SupportsIndex = 3,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> StochResult[Any]:
    """Slow stochastic oscillator: SMA smoothings of 100 * (close - LL) / (HH - LL).

    Or one pandas or polars DataFrame as `high`, with columns high, low and
    close in any case. HH and LL are the highest high and lowest low of the
    last `fastk` bars; a flat window gives 0. Slow %K is the SMA of that over
    `slowk`, slow %D the SMA of slow %K over `slowd`. Warm-up: positions 0
    to fastk + slowk + slowd - 4 hold NaN in both. A NaN or an infinity
    makes every later value NaN. Returns StochResult(slowk, slowd) of the
    inputs' kind and shape (named STOCH_SLOWK_{fastk}_{slowk}_{slowd},
    STOCH_SLOWD_...), or the tuple `out`. Raises the messages of the
    module's docstring for the parameters high, low, close, fastk, slowk,
    slowd, out and threads.
    """

@overload
def willr(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: _F64,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def willr(
    high: _Array,
    low: _Array,
    close: _Array,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def willr(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> Any:
    """Williams %R: -100 * (HH - close) / (HH - LL) over the last `period` bars.

    Or one pandas or polars DataFrame as `high`, with columns high, low and
    close in any case. A flat window gives 0. Warm-up: positions 0 to
    period - 2 hold NaN. A NaN or an infinity makes every later value NaN.
    Returns an array, Series or DataFrame (named WILLR_{period}) of the
    inputs' kind and shape, or `out`. Raises the messages of the module's
    docstring for the parameters high, low, close, period, out and threads.
    """

class AdxResult[T](NamedTuple):
    """The results of adx(): the average directional index, +DI and -DI."""

    adx: T
    plus_di: T
    minus_di: T

@overload
def adx(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: tuple[_F64, _F64, _F64],
    threads: SupportsIndex | None = None,
) -> tuple[_F64, _F64, _F64]: ...
@overload
def adx(
    high: _Array,
    low: _Array,
    close: _Array,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> AdxResult[_F64]: ...
@overload
def adx(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> AdxResult[Any]:
    """Average directional index (Wilder) with the directional indicators +DI and -DI.

    Or one pandas or polars DataFrame as `high`, with columns high, low and
    close in any case. Warm-up: +DI and -DI hold NaN at positions 0 to
    period - 1, ADX at 0 to 2 * period - 2. A NaN high or low makes every
    later value NaN. Returns AdxResult(adx, plus_di, minus_di) of the
    inputs' kind and shape (named ADX_{period}, ADX_PLUS_DI_{period},
    ADX_MINUS_DI_{period}), or the tuple `out`. Raises the messages of the
    module's docstring for the parameters high, low, close, period, out and
    threads.
    """

@overload
def cci(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: _F64,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def cci(
    high: _Array,
    low: _Array,
    close: _Array,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> _F64: ...
@overload
def cci(
    high: Any,
    low: Any = None,
    close: Any = None,
    period: SupportsIndex = 14,
    *,
    out: None = None,
    threads: SupportsIndex | None = None,
) -> Any:
    """Commodity channel index (Lambert's) of parallel high, low and close series.

    (tp - mean) / (0.015 * mean deviation) over the last `period` typical
    prices (high + low + close) / 3; 0 where the deviation is 0. Or one
    pandas or polars DataFrame as `high`, with columns high, low and close in
    any case. Warm-up: positions 0 to period - 2 hold NaN. A NaN gives NaN
    while it is in the window. Returns an array, Series or DataFrame (named
    CCI_{period}) of the inputs' kind and shape, or `out`. Raises the
    messages of the module's docstring for the parameters high, low, close,
    period, out and threads.
    """

@overload
def obv(close: Any, volume: Any = None, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def obv(close: _Array, volume: _Array, *, out: None = None, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def obv(close: Any, volume: Any = None, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """On-balance volume: the running total of the volume, added when the close rose, subtracted
    when it fell.

    Or one pandas or polars DataFrame as `close`, with columns close and
    volume in any case. The first value is the first volume; a NaN makes
    every later value NaN. Returns an array, Series or DataFrame (named OBV)
    of the inputs' kind and shape, or `out`. Raises the messages of the
    module's docstring for the parameters close, volume, out and threads.
    """

@overload
def roc(x: Any, period: SupportsIndex = 10, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def roc(
    x: _Array, period: SupportsIndex = 10, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def roc(x: Any, period: SupportsIndex = 10, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Rate of change: 100 * (x / x[-period] - 1), the percentage change over period positions.

    Warm-up: positions 0 to period - 1 hold NaN; a zero earlier value gives
    an infinity, or NaN for 0 / 0. A NaN reaches only the two values that
    read it. Returns an array, Series or DataFrame (named ROC_{period}) of
    x's kind and shape, or `out`. Raises the messages of the module's
    docstring for the parameters x, period, out and threads.
    """

@overload
def mom(x: Any, period: SupportsIndex = 10, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def mom(
    x: _Array, period: SupportsIndex = 10, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def mom(x: Any, period: SupportsIndex = 10, *, out: None = None, threads: SupportsIndex | None = None) -> Any:
    """Momentum: x - x[-period], the change over period positions.

    Warm-up: positions 0 to period - 1 hold NaN. A NaN reaches only the two
    values that read it. Returns an array, Series or DataFrame (named
    MOM_{period}) of x's kind and shape, or `out`. Raises the messages of
    the module's docstring for the parameters x, period, out and threads.
    """

@overload
def dema(x: Any, period: SupportsIndex = 30, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def dema(
    x: _Array, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def dema(
    x: Any, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> Any:
    """Double exponential moving average: 2 * E1 - E2, E1 the EMA of x and E2 the EMA of E1.

    Each EMA is ema()'s; E2 starts at E1's first value, so the first value
    is at 2 * (period - 1) on finite data. Missing values are stepped over
    as ema() steps over them. Returns an array, Series or DataFrame (named
    DEMA_{period}) of x's kind and shape, or `out`. Raises the messages of
    the module's docstring for the parameters x, period, out and threads.
    """

@overload
def tema(x: Any, period: SupportsIndex = 30, *, out: _F64, threads: SupportsIndex | None = None) -> _F64: ...
@overload
def tema(
    x: _Array, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> _F64: ...
@overload
def tema(
    x: Any, period: SupportsIndex = 30, *, out: None = None, threads: SupportsIndex | None = None
) -> Any:
    """Triple exponential moving average: 3 * E1 - 3 * E2 + E3 over a chain of three EMAs.

    Each EMA is ema()'s, each over the one before; the first value is at
    3 * (period - 1) on finite data. Missing values are stepped over as
    ema() steps over them. Returns an array, Series or DataFrame (named
    TEMA_{period}) of x's kind and shape, or `out`. Raises the messages of
    the module's docstring for the parameters x, period, out and threads.
    """
