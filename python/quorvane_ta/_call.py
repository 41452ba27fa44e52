"""What a call does past its fast path: arguments of any kind checked and
converted, results allocated, the engine run, results given back in the
first input's kind."""

import math
import numbers
import operator
import os
import sys

import numpy as np

PERIOD_MAX = 2**63 - 1


def period(name, value):
    # An int from 1 to PERIOD_MAX: numpy integers pass, bools do not.
    checked = value
    if type(value) is not int:
        if isinstance(value, bool | np.bool_):
            checked = None
        else:
            try:
                checked = operator.index(value)
            except TypeError:
                checked = None
        if checked is None:
            raise TypeError(f"{name} must be an integer from 1 to {PERIOD_MAX}, got {value!r}")
    if not 1 <= checked <= PERIOD_MAX:
        raise ValueError(f"{name} must be an integer from 1 to {PERIOD_MAX}, got {value!r}")
    return checked


def number(name, least, value):
    # A finite real number of at least `least`, as a float: ints and NumPy
    # numbers pass, bools and strings do not.
    message = f"{name} must be a finite number of at least {least!r}, got {value!r}"
    if isinstance(value, bool | np.bool_) or not isinstance(value, numbers.Real):
        raise TypeError(message)
    try:
        checked = float(value)
    except OverflowError:
        checked = math.inf
    if not (math.isfinite(checked) and checked >= least):
        raise ValueError(message)
    return checked


def parameters(spec, values):
    # Each period or number checked and converted, in order.
    return tuple(number(n, b, v) if type(b) is float else period(n, v)
                 for n, b, v in zip(spec.params, spec.least, values, strict=True))


def threads(value):
    # None stays None: the count of processors is asked only for a panel.
    if value is None:
        return None
    try:
        return period("threads", value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"threads must be None or an integer of at least 1, got {value!r}") from None


def _same(array, label):
    return array


def _refuse_dtype(name, got):
    raise TypeError(f"{name} must hold real numbers (an integer or floating dtype), got {got}; "
                    f"convert it first, e.g. with np.asarray({name}, dtype=np.float64)")


def _from_numpy(name, array, got):
    # float64, 1-D C-contiguous, or 2-D C- or F-contiguous; copied only when
    # it is none of these.
    if array.dtype.kind not in "iuf":
        _refuse_dtype(name, f"{got} of dtype {array.dtype}")
    if array.ndim not in (1, 2):
        raise ValueError(f"{name} must be 1-D, or 2-D with time along axis 0, got {array.ndim}-D")
    if array.ndim == 1 or not (array.flags.c_contiguous or array.flags.f_contiguous):
        return np.ascontiguousarray(array, dtype=np.float64)
    return array.astype(np.float64, order="K", copy=False)


def _label_pandas(pd, index, columns=None):
    if columns is None:
        return lambda array, label: pd.Series(array, index=index, name=label, copy=False)
    return lambda array, label: pd.DataFrame(array, index=index, columns=columns, copy=False)


def _kind(dtype):
    # pandas' extension dtypes (nullable integers, Arrow-backed) have a kind too.
    return getattr(dtype, "kind", "O")


def _pandas(pd, name, obj):
    if isinstance(obj, pd.Series):
        if _kind(obj.dtype) not in "iuf":
            _refuse_dtype(name, f"a Series of dtype {obj.dtype}")
        values = obj.to_numpy(dtype=np.float64, na_value=np.nan)
        return _from_numpy(name, values, "Series"), _label_pandas(pd, obj.index)
    for column, dtype in obj.dtypes.items():
        if _kind(dtype) not in "iuf":
            _refuse_dtype(name, f"a DataFrame whose column {column!r} has dtype {dtype}")
    values = obj.to_numpy(dtype=np.float64, na_value=np.nan)
    return _from_numpy(name, values, "DataFrame"), _label_pandas(pd, obj.index, obj.columns)


def _polars(pl, name, obj):
    if isinstance(obj, pl.Series):
        if not (obj.dtype.is_integer() or obj.dtype.is_float()):
            _refuse_dtype(name, f"a Series of dtype {obj.dtype}")
        values = obj.cast(pl.Float64).to_numpy()
        return _from_numpy(name, values, "Series"), lambda array, label: pl.Series(label, array)
    for column, dtype in obj.schema.items():
        if not (dtype.is_integer() or dtype.is_float()):
            _refuse_dtype(name, f"a DataFrame whose column {column!r} has dtype {dtype}")
    values = obj.select(pl.all().cast(pl.Float64)).to_numpy()
    columns = obj.columns
    return _from_numpy(name, values, "DataFrame"), (
        lambda array, label: pl.DataFrame(array, schema=columns, orient="row"))


def _arrow(name, obj):
    try:
        import pyarrow as pa
    except ImportError:
        raise TypeError(f"{name} is an Arrow array ({type(obj).__name__}), which needs pyarrow: "
                        "pip install pyarrow") from None
    if not isinstance(obj, pa.Array | pa.ChunkedArray):
        obj = pa.array(obj)
    if not (pa.types.is_integer(obj.type) or pa.types.is_floating(obj.type)):
        _refuse_dtype(name, f"an Arrow array of type {obj.type}")
    values = obj.cast(pa.float64()).to_numpy(zero_copy_only=False)
    return _from_numpy(name, values, "Arrow array"), lambda array, label: pa.array(array)


def convert(name, obj):
    # (float64 array, how results are given back in obj's kind).
    if isinstance(obj, np.ndarray):
        return _from_numpy(name, obj, "an array"), _same
    pd, pl = sys.modules.get("pandas"), sys.modules.get("polars")
    if pd is not None and isinstance(obj, pd.Series | pd.DataFrame):
        return _pandas(pd, name, obj)
    if pl is not None and isinstance(obj, pl.Series | pl.DataFrame):
        return _polars(pl, name, obj)
    pa = sys.modules.get("pyarrow")
    if hasattr(obj, "__arrow_c_array__") or pa is not None and isinstance(obj, pa.ChunkedArray):
        return _arrow(name, obj)
    try:
        array = np.asarray(obj)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array of real numbers, got {type(obj).__name__} "
                        f"that NumPy cannot read as one: {error}") from None
    return _from_numpy(name, array, f"{type(obj).__name__} read as an array"), _same


def _frames():
    return tuple(m.DataFrame for m in (sys.modules.get("pandas"), sys.modules.get("polars")) if m)


def _columns(spec, frame):
    # The frame's columns named as the inputs, in any case.
    named = [c for c in frame.columns if isinstance(c, str)]
    columns = []
    for arg in spec.args:
        found = [c for c in named if c.lower() == arg]
        if len(found) != 1:
            raise ValueError(f"{spec.name}() needs one column named {arg} (in any case) in the "
                             f"frame given as {spec.args[0]}, got {found}")
        columns.append(frame[found[0]])
    return columns


def _inputs(spec, inputs):
    if len(inputs) > 1 and all(i is None for i in inputs[1:]) and isinstance(inputs[0], _frames()):
        return _columns(spec, inputs[0])
    if any(i is None for i in inputs):
        raise TypeError(f"{spec.name}() needs {', '.join(spec.args)}, or one DataFrame with these "
                        f"columns as {spec.args[0]}")
    return inputs


def _outputs(spec, out, shape):
    many = len(spec.outputs) > 1
    if many and (type(out) is not tuple or len(out) != len(spec.outputs)):
        raise TypeError(f"out must be a tuple of {len(spec.outputs)} arrays "
                        f"({', '.join(spec.outputs)}), got {type(out).__name__}")
    outs = out if many else (out,)
    for k, o in enumerate(outs):
        name = f"out[{k}]" if many else "out"
        if not isinstance(o, np.ndarray):
            raise TypeError(f"{name} must be a NumPy array, got {type(o).__name__}")
        if o.dtype != np.float64:
            raise TypeError(f"{name} must have dtype float64, got {o.dtype}")
        if o.shape != shape:
            raise ValueError(f"{name} must have the inputs' shape {shape}, got {o.shape}")
        if not o.flags.writeable:
            raise ValueError(f"{name} must be writeable")
        if not (o.flags.c_contiguous or o.flags.f_contiguous):
            raise ValueError(f"{name} must be C- or F-contiguous")
    # Contiguous arrays whose bounds overlap share elements.
    for k, m in ((k, m) for k in range(len(outs)) for m in range(k + 1, len(outs))):
        if np.may_share_memory(outs[k], outs[m]):
            raise ValueError(f"out[{k}] and out[{m}] must not share memory")
    return outs


def call(spec, inputs, periods, out, threads_):
    periods = parameters(spec, periods)
    threads_ = threads(threads_)
    arrays, wrap = [], None
    for name, obj in zip(spec.args, _inputs(spec, inputs), strict=True):
        array, how = convert(name, obj)
        if arrays and array.shape != arrays[0].shape:
            raise ValueError(f"{spec.args[0]} and {name} must have the same shape, "
                             f"got {arrays[0].shape} and {array.shape}")
        arrays.append(array)
        wrap = wrap or how
    first = arrays[0]
    if out is None:
        order = "F" if first.ndim == 2 and not first.flags.c_contiguous else "C"
        outs = tuple(np.empty(first.shape, order=order) for _ in spec.outputs)
    else:
        outs = _outputs(spec, out, first.shape)
    if first.ndim == 1:
        threads_ = 1
    else:  # no more threads than columns
        threads_ = max(1, min(threads_ or os.process_cpu_count() or 1, first.shape[1]))
    spec.kernel(periods, tuple(arrays), outs, threads_)
    if out is not None:
        return out
    results = [wrap(o, label) for o, label in zip(outs, spec.labels(periods), strict=True)]
    return results[0] if len(results) == 1 else spec.result._make(results)
