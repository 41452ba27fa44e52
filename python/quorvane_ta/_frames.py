"""The namespace `qv` of pandas Series and DataFrames, and of polars Series
and expressions, registered through their extension APIs.

Every method calls the package's function of the same name with the object
as its first input (a DataFrame: as its only input), so it takes the same
periods, gives the same results and raises the same errors.
"""

from . import _call, _generate


def _hold(self, obj):
    self._obj = obj


def _namespace(kind, specs, functions, make):
    # A class holding `_obj`, with the method `make(spec)` gives, as
    # (parameters after self, what it returns), per indicator.
    members = {"__init__": _hold, "__slots__": ("_obj",),
               "__doc__": f"quorvane's indicators over this {kind}: {', '.join(s.name for s in specs)}."}
    for spec in specs:
        parameters, arguments = make(spec)
        namespace = {"_fn": functions[spec.name], "_spec": spec, "_expression": _expression}
        text = f"def {spec.name}(self, {parameters}):\n    return {arguments}\n"
        members[spec.name] = _generate.compiled(
            spec.name, text, namespace,
            f"{spec.name}() of this {kind}, as quorvane_ta.{spec.name}.\n\n{functions[spec.name].__doc__}")
    return type("Qv" + "".join(w[0].upper() + w[1:] for w in kind.split()), (), members)


def _series(spec):
    # The Series as the first input; any further inputs follow.
    rest = list(spec.args[1:])
    return (_generate.signature(spec, rest),
            f"_fn({', '.join(['self._obj', *rest, *spec.params, "out=out", "threads=threads"])})")


def _frame(spec):
    # The frame as the only input: a panel, or the columns of every input.
    keywords = ", ".join(f"{p}={p}" for p in (*spec.params, "out", "threads"))
    return _generate.signature(spec, []), f"_fn(self._obj, {keywords})"


def _expr(spec):
    rest = list(spec.args[1:])
    return (_generate.signature(spec, rest, keywords=()),
            f"_expression(_spec, _fn, (self._obj, {''.join(a + ', ' for a in rest)}), "
            f"({''.join(p + ', ' for p in spec.params)}))")


def _expression(spec, function, inputs, periods):
    # The function over each batch polars hands over (the whole column, or a
    # group under .over()): several inputs as the fields of one struct, several
    # outputs as the fields of a struct result.
    import polars as pl

    periods = _call.parameters(spec, periods)
    inputs = [pl.col(i) if isinstance(i, str) else i for i in inputs]

    def run(batch):
        got = function(*([batch] if len(inputs) == 1 else
                         [batch.struct.field(a) for a in spec.args]), *periods)
        if spec.result is None:
            return got
        return pl.DataFrame(dict(zip(spec.outputs, got, strict=True))).to_struct()

    source = inputs[0] if len(inputs) == 1 else pl.struct(
        *(i.alias(a) for i, a in zip(inputs, spec.args, strict=True)))
    dtype = pl.Float64 if spec.result is None else pl.Struct({o: pl.Float64 for o in spec.outputs})
    return source.map_batches(run, return_dtype=dtype).alias(spec.labels(periods)[0])


def register_pandas(specs, functions):
    import pandas as pd

    pd.api.extensions.register_series_accessor("qv")(_namespace("Series", specs, functions, _series))
    pd.api.extensions.register_dataframe_accessor("qv")(
        _namespace("DataFrame", specs, functions, _frame))


def register_polars(specs, functions):
    import polars as pl

    pl.api.register_series_namespace("qv")(_namespace("polars Series", specs, functions, _series))
    pl.api.register_expr_namespace("qv")(_namespace("polars expression", specs, functions, _expr))
