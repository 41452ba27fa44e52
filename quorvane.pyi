"""Exact, zero-copy technical-analysis indicators over float64 NumPy arrays.

Every function writes into output arrays that the caller allocates and
returns None. Arrays are one-dimensional float64 arrays of equal length with
a stride of 8 bytes (arrays of fewer than two elements pass whatever their
stride). A position without a value holds the quiet NaN 0x7FF8000000000000.

An output may share memory with an input, wholly or in part: results are as
if every input were read before any output is written (such an input is read
from a private copy; MemoryError when it cannot be made, nothing written).

Every call checks its arguments in parameter order, then its own conditions,
and raises only the first failure, before anything is written. Besides each
function's ValueError messages below, the texts are:

    TypeError: "{function}() takes {count} positional arguments but {count} were given"
    TypeError: "{function}() got an unexpected keyword argument '{keyword}'"
    TypeError: "{function}() got multiple values for argument '{keyword}'"
    TypeError: "{function}() missing {count} required positional {argument|arguments}: {names}"
    TypeError: "argument '{name}': '{type}' object cannot be converted to 'PyArray<T, D>'"
    TypeError: "argument '{name}': {message}" (an integer conversion's TypeError)
    OverflowError: the integer conversion's own, for a negative period or one of 2**64 or more
    BufferError: "argument '{name}': array memory is held exclusively by another extension"
    SystemError: "attempted to fetch exception but none was set"
    ImportError: "PyO3 modules do not yet support subinterpreters, see https://docs.python.org/3/c-api/init.html#sub-interpreter-support"

Callers match on these texts, so they never change.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = ["indicator_atr", "indicator_ema", "indicator_macd", "indicator_sma"]

def indicator_sma(
    period: SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]
) -> None:
    """Simple moving average of `data` into `output`.

    output[i] is the mean of data[i - period + 1] through data[i]: a running
    sum updated by one difference per position, times 1 / period.

    Warm-up: positions 0 to period - 2 hold NaN. A period of 0 or one longer
    than the input leaves the output all NaN.

    Missing values: none are skipped. A NaN makes every later average NaN; an
    infinity gives infinite averages while in the window and NaN after.

    Runs with the interpreter lock released.

    Raises:
        TypeError: a missing or unexpected argument, a period that is not an
            integer, or an array that is not a 1-D float64 NumPy array.
        OverflowError: a negative period, or one of 2**64 or more.
        BufferError: `data` is held for writing by a cooperating extension.
        ValueError: "Input array must be C-contiguous and float64",
            "Output array must be C-contiguous and float64",
            "Output array length must match input",
            "Output array must be writeable", checked in that order.
        MemoryError: `output` overlaps `data` and no copy could be made.
    """

def indicator_ema(
    period: SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]
) -> None:
    """Exponential moving average of `data` into `output`.

    alpha = 2 / (period + 1). The seed is the mean of the first run of
    `period` consecutive finite values, written at the run's last position;
    after it, average = (1 - alpha) * average + alpha * x.

    Warm-up: every position before the seed holds NaN. A period of 0, one
    longer than the input, or no run of `period` finite values leaves the
    output all NaN.

    Missing values: NaN, +inf and -inf. After the seed a missing value holds
    NaN at its position and leaves the average untouched.

    Runs with the interpreter lock released.

    Raises:
        TypeError, OverflowError, BufferError: as indicator_sma.
        ValueError: "Input array must be C-contiguous and float64",
            "Output array must be C-contiguous and float64",
            "Output array length must match input",
            "Output array must be writeable", checked in that order.
        MemoryError: `output` overlaps `data` and no copy could be made.
    """

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: NDArray[np.float64],
    macd_output: NDArray[np.float64],
    signal_output: NDArray[np.float64],
    hist_output: NDArray[np.float64],
) -> None:
    """MACD line, signal line and histogram of `data`, in one pass.

    MACD is the fast EMA minus the slow EMA of `data`; the signal line is an
    EMA of the MACD line; the histogram is MACD minus signal. Both averages
    are seeded together at position slow_period - 1 (or the first non-NaN
    position after it) with the means of the windows ending there.

    Warm-up: the MACD line holds NaN at positions 0 to slow_period - 2, the
    signal line and the histogram at 0 to slow_period + signal_period - 3.
    The signal starts as the MACD value there, so the first histogram is 0.

    Missing values: NaN only. A NaN input holds NaN in all three outputs and
    is skipped by the averages; a NaN among the first slow_period inputs
    makes everything NaN. Infinities are ordinary values.

    Runs with the interpreter lock released.

    Raises:
        TypeError, OverflowError, BufferError: as indicator_sma.
        ValueError, checked in this order: "Periods must be greater than 0",
            "Fast period must be less than slow period",
            "All output arrays must have the same length as input data",
            "Input array must be C-contiguous",
            "MACD output array must be C-contiguous",
            "Signal output array must be C-contiguous",
            "Histogram output array must be C-contiguous",
            "MACD output array must be writeable",
            "Signal output array must be writeable",
            "Histogram output array must be writeable".
        MemoryError: an output overlaps `data` and no copy could be made.
    """

def indicator_atr(
    period: SupportsIndex,
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    output: NDArray[np.float64],
) -> None:
    """Average true range of parallel high, low and close series.

    The true range at i >= 1 is the largest of high[i] - low[i],
    |high[i] - close[i-1]| and |low[i] - close[i-1]|. The first average is the
    mean of the first `period` true ranges; each later one is
    avg + (1 / period) * (tr - avg).

    Warm-up: positions 0 to period - 1 hold NaN. A period of 0, or one equal
    to or longer than the input, leaves the output all NaN.

    Missing values: none are skipped. One NaN among high[i], low[i] and
    close[i-1] is ignored by the largest-of; a NaN true range makes its
    average and every later one NaN.

    Runs with the interpreter lock held.

    Raises:
        TypeError, OverflowError, BufferError: as indicator_sma.
        ValueError, checked in this order:
            "High array must be C-contiguous and float64",
            "Low array must be C-contiguous and float64",
            "Close array must be C-contiguous and float64",
            "All arrays must have the same length",
            "Output array must be C-contiguous and float64",
            "Output array must be writeable".
        MemoryError: `output` overlaps an input and no copy could be made.
    """
