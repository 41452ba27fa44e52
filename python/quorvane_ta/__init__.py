"""quorvane's indicators as functions that return their results.

One function per indicator of the engine, taking whatever holds the prices
(NumPy arrays of any real dtype, lists, pandas and polars Series and
DataFrames, Arrow arrays) and giving the results back in the same kind:
`sma(close, 20)`, `macd(close)`, `atr(high, low, close, period=14)`. The
values are the strict module quorvane's, bit for bit. With pandas or polars
installed, their Series and frames (and polars expressions) also gain the
namespace `qv`: `close.qv.ema(20)`, `pl.col("close").qv.ema(20)`.
"""

import importlib.util
from importlib.metadata import PackageNotFoundError, version

from . import _engine, _generate

try:
    __version__ = version("quorvane")
except PackageNotFoundError:  # installed without its metadata
    __version__ = "0+unknown"

_SPECS = tuple(_generate.spec(record, _engine) for record in _engine.indicators())
__all__ = []
for _spec in _SPECS:
    globals()[_spec.name] = _generate.function(_spec)
    __all__.append(_spec.name)
    if _spec.result is not None:
        globals()[_spec.result.__name__] = _spec.result
        __all__.append(_spec.result.__name__)
del _spec

if importlib.util.find_spec("pandas") is not None:
    from . import _frames

    _frames.register_pandas(_SPECS, globals())
if importlib.util.find_spec("polars") is not None:
    from . import _frames

    _frames.register_polars(_SPECS, globals())
