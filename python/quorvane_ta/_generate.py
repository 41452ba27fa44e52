"""The package's functions, made from the engine's table of indicators.

Each function's source is generated and compiled once at import: a real
signature with the table's defaults, and a fast path for float64 arrays
that costs a few attribute checks before the engine runs.
"""

import sys
import textwrap
from collections import namedtuple
from typing import NamedTuple

import numpy as np

from . import _call

_ANY = "array-like, pandas or polars Series or DataFrame, or Arrow array"


class Spec(NamedTuple):
    # One indicator as the package presents it: names without the engine's
    # suffixes ("fast" for "fast_period", "x" for "data", "signal" for
    # "signal_output").
    name: str
    title: str
    params: tuple[str, ...]
    defaults: tuple[int | float, ...]
    args: tuple[str, ...]
    outputs: tuple[str, ...]
    kernel: object
    result: type | None
    least: tuple[int | float, ...]  # each parameter's least value: a float for a number

    def labels(self, periods):
        # Result names: EMA_20, MACD_12_26_9, MACD_SIGNAL_12_26_9.
        # Without periods: OBV.
        tail, base = "".join(f"_{p}" for p in periods), self.name.upper()
        return [f"{base}{tail}" if o in ("output", self.name) else f"{base}_{o.upper()}{tail}"
                for o in self.outputs]


def spec(record, engine):
    name, class_name, title, periods, defaults, inputs, outputs, least = record
    outs = tuple(o.removesuffix("_output") for o in outputs)
    result = None
    if len(outs) > 1:
        result = namedtuple(f"{class_name}Result", outs, module="quorvane_ta")
        result.__doc__ = f"The results of {name}(): {', '.join(outs)}."
    return Spec(name, title, tuple(p.removesuffix("_period") for p in periods), tuple(defaults),
                tuple("x" if i == "data" else i for i in inputs), outs, getattr(engine, name), result,
                tuple(least))


def _fast_checks(spec):
    first, checks = spec.args[0], []
    for arg in spec.args:
        checks += [f"type({arg}) is _ndarray", f"{arg}.dtype is _F64", f"{arg}.strides == _S8"]
        if arg != first:
            checks.append(f"{arg}.shape == {first}.shape")
    checks += [f"type({p}) is float and {b!r} <= {p} <= _FMAX" if type(b) is float
               else f"type({p}) is int and 0 < {p} <= _PMAX"
               for p, b in zip(spec.params, spec.least, strict=True)]
    return "\n            and ".join(["out is None and threads is None", *checks])


def signature(spec, leading, optional=(), keywords=("out", "threads")):
    # The parameters: `leading`, `optional` ones defaulting to None, the
    # periods with their defaults, and `keywords` (keyword-only, None).
    periods = [f"{p}={d}" for p, d in zip(spec.params, spec.defaults, strict=True)]
    return ", ".join([*leading, *(f"{a}=None" for a in optional), *periods,
                      *(["*", *(f"{k}=None" for k in keywords)] if keywords else [])])


def source(spec):
    args, params = ", ".join(spec.args), "".join(f"{p}, " for p in spec.params)
    results = [f"_r{k}" for k in range(len(spec.outputs))]
    allocate = "\n".join(f"        {r} = _empty({spec.args[0]}.shape[0])" for r in results)
    made = results[0] if len(results) == 1 else f"_new(_result, ({', '.join(results)}))"
    return f"""
def {spec.name}({signature(spec, spec.args[:1], spec.args[1:])}):
    if ({_fast_checks(spec)}):
{allocate}
        _kernel(({params}), ({args},), ({", ".join(results)},), 1)
        return {made}
    return _call(_spec, ({args},), ({params}), out, threads)
"""


def compiled(name, text, namespace, doc):
    # The function `name` defined by the source `text`, run in `namespace`.
    exec(compile(text, f"<quorvane_ta.{name}>", "exec"), namespace)
    made = namespace.pop(name)
    made.__module__, made.__doc__ = "quorvane_ta", doc
    return made


def function(spec):
    namespace = {"_ndarray": np.ndarray, "_F64": np.dtype(np.float64), "_S8": (8,),
                 "_PMAX": _call.PERIOD_MAX, "_FMAX": sys.float_info.max, "_empty": np.empty,
                 "_kernel": spec.kernel,
                 "_new": tuple.__new__, "_result": spec.result, "_call": _call.call, "_spec": spec}
    return compiled(spec.name, source(spec), namespace, doc(spec))


def _returns(spec):
    first, names = spec.args[0], ", ".join(spec.labels(spec.defaults))
    kind = (f"float64 results of {first}'s shape and kind: a NumPy array for arrays and "
            f"array-likes, a pandas or polars Series or DataFrame with {first}'s index and columns "
            f"(Series named like {names} at the default periods), or a pyarrow Array. "
            "Positions without a value (the warm-up, and where the indicator meets missing values) "
            "hold NaN, never null. With out given: out.")
    if spec.result is None:
        return ["ndarray, Series, DataFrame or pyarrow Array", *_wrapped(kind)]
    return [f"{spec.result.__name__}({', '.join(spec.outputs)})", *_wrapped(f"A named tuple of {kind}")]


def _wrapped(text):
    return textwrap.wrap(text, 76, initial_indent="    ", subsequent_indent="    ")


def doc(spec):
    p = _call.PERIOD_MAX
    inputs = ", ".join(spec.args)
    lines = [spec.title, "", "Parameters", "----------"]
    for arg in spec.args:
        lines += [f"{arg} : {_ANY}"]
    lines += _wrapped("Time along axis 0: 1-D, or 2-D (a panel) with one series per column; "
                      "integer and float dtypes, converted once to float64; nulls become NaN.")
    if len(spec.args) > 1:
        lines += _wrapped(f"Or one pandas or polars DataFrame as {spec.args[0]}, with columns named "
                          f"{inputs} (in any case), giving a Series"
                          f"{'; periods then by keyword' if spec.params else ''}.")
    for name, default, least in zip(spec.params, spec.defaults, spec.least, strict=True):
        lines += ([f"{name} : float, default {default}", f"    A finite number of at least {least!r}."]
                  if type(least) is float else [f"{name} : int, default {default}", f"    From 1 to {p}."])
    many = len(spec.outputs) > 1
    lines += [f"out : {'tuple of ' + str(len(spec.outputs)) + ' ndarrays' if many else 'ndarray'}, "
              "optional",
              "    float64 arrays of the inputs' shape, writeable, C- or F-contiguous, written",
              "    and returned.",
              "threads : int, optional",
              "    Threads across a panel's columns; default os.process_cpu_count().",
              "", "Returns", "-------", *_returns(spec), "",
              "Raises", "------", "TypeError"]
    lines += [f'    "{name} must be a finite number of at least {least!r}, got {{value!r}}" (not a real '
              'number, or a bool)' if type(least) is float else
              f'    "{name} must be an integer from 1 to {p}, got {{value!r}}" (not an int)'
              for name, least in zip(spec.params, spec.least, strict=True)]
    lines += ['    "threads must be None or an integer of at least 1, got {value!r}"',
              '    "{input} must hold real numbers (an integer or floating dtype), got {what}; '
              'convert it first, e.g. with np.asarray({input}, dtype=np.float64)"',
              '    "{input} must be an array of real numbers, got {type} that NumPy cannot read as '
              'one: {reason}"',
              '    "{input} is an Arrow array ({type}), which needs pyarrow: pip install pyarrow"']
    if len(spec.args) > 1:
        lines += [f'    "{spec.name}() needs {inputs}, or one DataFrame with these columns as '
                  f'{spec.args[0]}"']
    if many:
        lines += [f'    "out must be a tuple of {len(spec.outputs)} arrays ({", ".join(spec.outputs)}), '
                  'got {type}"']
    out = "out[{k}]" if many else "out"
    lines += [f'    "{out} must be a NumPy array, got {{type}}"',
              f'    "{out} must have dtype float64, got {{dtype}}"', "ValueError"]
    lines += [f'    "{name} must be a finite number of at least {least!r}, got {{value!r}}" (NaN, '
              'infinite or below)' if type(least) is float else
              f'    "{name} must be an integer from 1 to {p}, got {{value!r}}" (below 1 or too large)'
              for name, least in zip(spec.params, spec.least, strict=True)]
    lines += ['    "threads must be None or an integer of at least 1, got {value!r}"',
              '    "{input} must be 1-D, or 2-D with time along axis 0, got {ndim}-D"']
    if len(spec.args) > 1:
        lines += [f'    "{spec.args[0]} and {{input}} must have the same shape, got {{shape}} and '
                  '{shape}"',
                  f'    "{spec.name}() needs one column named {{input}} (in any case) in the frame '
                  f'given as {spec.args[0]}, got {{columns}}"']
    lines += [f'    "{out} must have the inputs\' shape {{shape}}, got {{shape}}"',
              f'    "{out} must be writeable"', f'    "{out} must be C- or F-contiguous"',
              *(['    "out[{k}] and out[{m}] must not share memory"'] if many else []),
              "    the engine's own refusal of a combination of periods, after the checks above"]
    return "\n".join(lines)
