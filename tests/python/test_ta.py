"""quorvane_ta: every input kind and layout gives the strict functions' bits,
in its own kind; panels; refusals; the pandas and polars namespaces."""

import inspect
import os
import re
from decimal import Decimal
from importlib.metadata import version
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import ROOT, examples, run_python
from support.calls import INDICATORS
from support.reference import assert_same
from support.strategies import series

import quorvane_stream as qs
import quorvane_ta as ta

SPECS = {spec.name: spec for spec in ta._SPECS}
NAN = np.float64(np.nan)


def strict(name, periods, inputs):
    # The strict batch function's outputs over float64 1-D inputs, or its
    # ValueError for periods it refuses.
    _, batch, _, _, count = INDICATORS[f"indicator_{name}"]
    outs = [np.empty(len(inputs[0])) for _ in range(count)]
    batch(*periods, *(np.ascontiguousarray(i) for i in inputs), *outs)
    return outs


def columns(name, periods, inputs):
    # strict() column by column of 2-D inputs, as (outputs x time x columns).
    got = [strict(name, periods, [i[:, j] for i in inputs]) for j in range(inputs[0].shape[1])]
    return np.moveaxis(np.array(got).reshape(len(got), -1, inputs[0].shape[0]), 0, -1)


def nulled(values):
    # What a null-aware container gives back for NaN: its own NaN.
    return np.where(np.isnan(values), NAN, values)


def integral(values):
    # Whole numbers, NaN where values are not finite.
    return np.trunc(np.where(np.isfinite(values), values.clip(-1e6, 1e6), np.nan)) + 0.0


def single(values):
    with np.errstate(over="ignore"):
        return values.astype(np.float32)


class Wrapped:
    # An object seen through __array__ or __arrow_c_array__ only.
    def __init__(self, inner, protocol):
        self.inner = inner
        setattr(self, protocol, getattr(inner, protocol))


def pandas_kinds():
    pd = pytest.importorskip("pandas")
    index = pd.date_range("2024-01-01", periods=64)
    return {
        "pandas": (lambda v: pd.Series(v[:64], index=index[:len(v)]), lambda v: v, pd.Series),
        "pandas Int64 with nulls": (lambda v: pd.Series(integral(v), dtype="Float64").astype("Int64"),
                                    lambda v: nulled(integral(v)), pd.Series),
    }


KINDS = {
    # kind: (input made from float64 values, the float64 values the result is
    # of, the result's type)
    "float64": (lambda v: v, lambda v: v, np.ndarray),
    "float32": (single, single, np.ndarray),
    "int16": (lambda v: np.nan_to_num(v).clip(-3e4, 3e4).astype(np.int16),
              lambda v: np.nan_to_num(v).clip(-3e4, 3e4).astype(np.int16), np.ndarray),
    "uint64": (lambda v: np.nan_to_num(v).clip(0, 1e18).astype(np.uint64),
               lambda v: np.nan_to_num(v).clip(0, 1e18).astype(np.uint64), np.ndarray),
    "big-endian": (lambda v: v.astype(">f8"), lambda v: v, np.ndarray),
    "strided": (lambda v: np.repeat(v, 3)[::3], lambda v: v, np.ndarray),
    "list": (lambda v: v.tolist(), lambda v: v, np.ndarray),
    "tuple": (tuple, lambda v: v, np.ndarray),
    "__array__": (lambda v: Wrapped(v, "__array__"), lambda v: v, np.ndarray),
}
OPTIONAL = {
    "pandas": pandas_kinds,
    "polars with nulls": lambda: {"polars with nulls": (
        lambda v: pytest.importorskip("polars").Series("c", v, nan_to_null=True),
        nulled, pytest.importorskip("polars").Series)},
    "arrow": lambda: (pa := pytest.importorskip("pyarrow")) and {
        "arrow": (lambda v: pa.array(v, from_pandas=True), nulled, pa.Array),
        "arrow chunked": (lambda v: pa.chunked_array([v[:3], v[3:]]), lambda v: v, pa.Array),
        "__arrow_c_array__": (lambda v: Wrapped(pa.array(v), "__arrow_c_array__"),
                              lambda v: v, pa.Array)},
}


def as_numpy(result, kind, made, label):
    # The result's values, having checked what comes with them.
    if kind.startswith(("pandas", "polars")):
        assert result.name == label and (kind.startswith("polars") or result.index.equals(made.index))
        return result.to_numpy()
    return result.to_numpy(zero_copy_only=False) if "arrow" in kind else result


def drawn_periods(draw, spec):
    return tuple(draw.draw(st.floats(0, 8) if type(b) is float else st.integers(1, 12), label=p)
                 for p, b in zip(spec.params, spec.least, strict=True))


@pytest.mark.parametrize("kind", [*KINDS, *OPTIONAL])
@pytest.mark.parametrize("name", SPECS)
@settings(max_examples=examples(40))
@given(draw=st.data())
def test_every_input_kind_gives_the_strict_bits_in_its_own_kind(name, kind, draw):
    spec = SPECS[name]
    kinds = OPTIONAL[kind]() if kind in OPTIONAL else {kind: KINDS[kind]}
    n = draw.draw(st.integers(0, 40))
    values = [np.array(draw.draw(series(n)), dtype=np.float64) for _ in spec.args]
    periods = drawn_periods(draw, spec)
    for kind, (make, seen, kind_type) in kinds.items():
        inputs = [make(v) for v in values]
        try:
            expected = strict(name, periods, [np.asarray(seen(v), dtype=np.float64) for v in values])
        except ValueError as refusal:
            with pytest.raises(ValueError, match=f"^{re.escape(str(refusal))}$"):
                getattr(ta, name)(*inputs, *periods)
            continue
        got = getattr(ta, name)(*inputs, *periods)
        results = got if spec.result else [got]
        assert spec.result is None or (type(got) is spec.result and got._fields == spec.outputs)
        for want, result, label in zip(expected, results, spec.labels(periods), strict=True):
            assert isinstance(result, kind_type), kind
            assert_same(want, as_numpy(result, kind, inputs[0], label))


def layouts(values, layout):
    if layout == "C":
        return np.ascontiguousarray(values)
    if layout == "F":
        return np.asfortranarray(values)
    return np.repeat(values, 2, axis=1)[:, ::2]  # neither


@pytest.mark.parametrize("name", SPECS)
@pytest.mark.parametrize("layout", ["C", "F", "strided", "mixed", "pandas", "polars"])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_panels_equal_their_columns(name, layout, threads):
    # A 2-D input, one series per column, gives each column's strict bits,
    # in the first input's layout or frame, whatever the threads.
    spec = SPECS[name]
    rng = np.random.default_rng(len(layout) + threads)
    values = [100 + rng.standard_normal((50, 7)).cumsum(axis=0) for _ in spec.args]
    values[0][rng.random((50, 7)) < 0.05] = np.nan
    orders = {"mixed": ["F", "C", "strided"]}.get(layout, [layout] * 3)
    inputs = [layouts(v, order) for v, order in zip(values, orders)]
    if layout in ("pandas", "polars"):
        frames = pytest.importorskip(layout)
        inputs = [frames.DataFrame(v, **({"columns": list("abcdefg")} if layout == "pandas" else
                                         {"schema": list("abcdefg"), "orient": "row"})) for v in values]
    got = getattr(ta, name)(*inputs, threads=threads)
    results = got if spec.result else [got]
    periods = spec.defaults
    for want, result in zip(columns(name, periods, values), results, strict=True):
        if layout in ("pandas", "polars"):
            assert list(result.columns) == list("abcdefg")
            result = result.to_numpy()
        else:
            assert result.flags.f_contiguous == (orders[0] == "F")
        assert_same(want, result)


def test_an_ohlc_frame_gives_a_series_and_out_is_written_and_returned():
    # Columns found in any case; out, even over an input, filled with the same bits.
    pd, pl = pytest.importorskip("pandas"), pytest.importorskip("polars")
    rng = np.random.default_rng(5)
    close = 100 + rng.standard_normal(60).cumsum()
    bars = {"High": close + 1, "LOW": close - 1, "close": close, "open": close}
    want = strict("atr", (14,), [close + 1, close - 1, close])[0]
    for frame in (pd.DataFrame(bars), pl.DataFrame(bars)):
        got = ta.atr(frame)
        assert got.name == "ATR_14"
        assert_same(want, got.to_numpy())
        assert_same(want, frame.qv.atr().to_numpy() if hasattr(frame, "loc") else want)
    out = (np.empty(60), np.empty((1, 60))[0], np.empty(120)[:60])
    assert ta.macd(close, out=out) is out
    assert_same(strict("macd", (12, 26, 9), [close]), out)
    want = strict("ema", (5,), [close])[0]
    assert ta.ema(close, 5, out=close) is close
    assert_same(want, close)


def test_functions_are_made_from_the_table():
    # Names, signatures, defaults and docstrings from the engine's records.
    for record in ta._engine.indicators():
        name, _, title, periods, defaults, inputs, outputs, least = record
        function = getattr(ta, name)
        params = [p.removesuffix("_period") for p in periods]
        args = ["x" if i == "data" else i for i in inputs]
        assert str(inspect.signature(function)) == "({}{}, *, out=None, threads=None)".format(
            ", ".join(args[:1] + [f"{a}=None" for a in args[1:]]),
            "".join(f", {p}={d}" for p, d in zip(params, defaults, strict=True)))
        assert function.__doc__.startswith(title) and name in ta.__all__
        assert all(f"{p} : {type(b).__name__}, default {d}" in function.__doc__
                   for p, d, b in zip(params, defaults, least, strict=True))
        assert all(type(d) is type(b) for d, b in zip(defaults, least, strict=True))
        if len(outputs) > 1:
            assert getattr(ta, f"{record[1]}Result")._fields == tuple(
                o.removesuffix("_output") for o in outputs)
    assert ta.__version__ == version("quorvane")


D, B12 = np.arange(8.0), np.empty(12)
P = 2**63 - 1
BAD_PERIOD = "period must be an integer from 1 to 9223372036854775807, got "
REFUSED = [
    (lambda: ta.sma(D, 0), ValueError, BAD_PERIOD + "0"),
    (lambda: ta.sma(D, -3), ValueError, BAD_PERIOD + "-3"),
    (lambda: ta.sma(D, P + 1), ValueError, BAD_PERIOD + str(P + 1)),
    (lambda: ta.sma(D, True), TypeError, BAD_PERIOD + "True"),
    (lambda: ta.sma(D, np.True_), TypeError, BAD_PERIOD + "np.True_"),
    (lambda: ta.sma(D, 3.0), TypeError, BAD_PERIOD + "3.0"),
    (lambda: ta.sma(D, "3"), TypeError, BAD_PERIOD + "'3'"),
    (lambda: ta.macd(D, 3, np.int8(0)), ValueError,
     "slow must be an integer from 1 to 9223372036854775807, got np.int8(0)"),
    (lambda: ta.macd(D, 5, 3, [1]), TypeError,
     "signal must be an integer from 1 to 9223372036854775807, got [1]"),
    (lambda: ta.macd(D, 5, 3), ValueError, "Fast period must be less than slow period"),
    # The function and the stream class take the same k.
    *[(lambda make=make, k=k: make(k), error, f"k must be a finite number of at least 0.0, got {shown}")
      for make in (lambda k: ta.bbands(D, 3, k), lambda k: qs.Bbands(3, k))
      for k, error, shown in [(True, TypeError, "True"), (np.True_, TypeError, "np.True_"),
                              ("2", TypeError, "'2'"), (None, TypeError, "None"),
                              (Decimal("1.5"), TypeError, "Decimal('1.5')"),
                              (np.nan, ValueError, "nan"), (-np.inf, ValueError, "-inf"),
                              (-0.5, ValueError, "-0.5"), (10**400, ValueError, "1" + "0" * 400)]],
    (lambda: ta.sma(D, threads=0), ValueError, "threads must be None or an integer of at least 1, got 0"),
    (lambda: ta.sma(D, threads=1.0), TypeError,
     "threads must be None or an integer of at least 1, got 1.0"),
    *[(lambda dtype=dtype: ta.ema(D.astype(dtype)), TypeError,
       "x must hold real numbers (an integer or floating dtype), got an array of dtype "
       f"{np.dtype(dtype)}; convert it first, e.g. with np.asarray(x, dtype=np.float64)")
      for dtype in (bool, complex, object, "U3", "M8[s]", "m8[D]")],
    (lambda: ta.atr(D, D, ["a"] * 8), TypeError, "close must hold real numbers (an integer or "
     "floating dtype), got list read as an array of dtype <U1; convert it first, e.g. with "
     "np.asarray(close, dtype=np.float64)"),
    (lambda: ta.sma([[1.0], [2.0, 3.0]]), TypeError, "x must be an array of real numbers, got list "
     "that NumPy cannot read as one: setting an array element with a sequence. …"),
    (lambda: ta.sma(5.0), ValueError, "x must be 1-D, or 2-D with time along axis 0, got 0-D"),
    (lambda: ta.sma(np.zeros((2, 2, 2))), ValueError,
     "x must be 1-D, or 2-D with time along axis 0, got 3-D"),
    (lambda: ta.atr(D, D[1:], D), ValueError, "high and low must have the same shape, got (8,) and (7,)"),
    (lambda: ta.atr(D, D, D.reshape(8, 1)), ValueError,
     "high and close must have the same shape, got (8,) and (8, 1)"),
    (lambda: ta.atr(D, D), TypeError, "atr() needs high, low, close, or one DataFrame with these "
     "columns as high"),
    (lambda: ta.sma(D, out=[0.0] * 8), TypeError, "out must be a NumPy array, got list"),
    (lambda: ta.sma(D, out=np.empty(8, np.float32)), TypeError, "out must have dtype float64, got float32"),
    (lambda: ta.sma(D, out=np.empty(8, ">f8")), TypeError, "out must have dtype float64, got >f8"),
    (lambda: ta.sma(D, out=np.empty(7)), ValueError, "out must have the inputs' shape (8,), got (7,)"),
    (lambda: ta.sma(D, out=np.broadcast_to(0.0, 8)), ValueError, "out must be writeable"),
    (lambda: ta.sma(D, out=np.empty(16)[::2]), ValueError, "out must be C- or F-contiguous"),
    (lambda: ta.macd(D, out=[D, D, D]), TypeError,
     "out must be a tuple of 3 arrays (macd, signal, hist), got list"),
    (lambda: ta.macd(D, out=(D, D)), TypeError, "out must be a tuple of 3 arrays (macd, signal, hist), "
     "got tuple"),
    (lambda: ta.macd(D, out=(np.empty(8), np.empty(8), np.empty(9))), ValueError,
     "out[2] must have the inputs' shape (8,), got (9,)"),
    (lambda: ta.macd(D, out=(D + 0, B12[:8], B12[4:])), ValueError,
     "out[1] and out[2] must not share memory"),
    # The engine's own guards, for a caller who reaches past the package.
    *[(lambda args=args: ta._engine.sma(*args), error, message) for args, error, message in [
        (((3,), (D,), (B12[:8],)), TypeError, "expected (periods, inputs, outputs, threads) as tuples "
         "of the indicator's counts and an int"),
        (((3, 4), (D,), (B12[:8],), 1), TypeError, "expected (periods, inputs, outputs, threads) as "
         "tuples of the indicator's counts and an int"),
        (((0,), (D,), (B12[:8],), 1), ValueError, "periods must be at least 1"),
        (((3.0,), (D,), (B12[:8],), 1), ValueError, "periods must be ints"),
        (((3,), (D,), (B12[:8],), 0), ValueError, "threads must be at least 1"),
        *[(((3,), (x,), (o,), 1), TypeError, "arrays must be float64 NumPy arrays of one or two "
           "dimensions, each C- or Fortran-contiguous, all of one shape")
          for x, o in [(D.astype(np.float32), B12[:8]), (list(D), B12[:8]), (D, B12[:7]),
                       (D, B12[::2][:6].reshape(2, 3)), (D.reshape(2, 2, 2), B12[:8].reshape(2, 2, 2)),
                       (D, np.empty((8, 4))[:, 0])]],
        (((3,), (D,), (np.frombuffer(bytes(64)),), 1), ValueError, "outputs must be writeable"),
    ]],
    (lambda: ta._engine.macd((2, 3, 2), (D,), (B12[:8], B12[4:], np.empty(8)), 1), ValueError,
     "outputs must not share memory"),
    *[(lambda k=k: ta._engine.bbands((3, k), (D,), (B12[:8], np.empty(8), np.empty(8)), 1),
       ValueError, "numbers must be finite floats in their range") for k in (2, -1.0, np.inf)],
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refusals_name_the_argument_and_what_was_got(call, error, message):
    with pytest.raises(error) as raised:
        call()
    # A row ending in … gives the start of a message NumPy completes.
    text = str(raised.value)
    assert type(raised.value) is error and (text == message or message.endswith("…") and text.startswith(
        message[:-1])), text


def test_frames_refusals():
    pd, pl = pytest.importorskip("pandas"), pytest.importorskip("polars")
    for frame in (pd.DataFrame({"high": D, "close": D, "Low": D, "low": D}), pl.DataFrame({"high": D})):
        with pytest.raises(ValueError, match=re.escape("atr() needs one column named low (in any case) in "
                                                       "the frame given as high, got [")):
            ta.atr(frame)
    for wrong, got in [(pd.Series(["a"]), "a Series of dtype str"),
                       (pd.DataFrame({"p": D, "q": D > 1}), "a DataFrame whose column 'q' has dtype bool"),
                       (pl.Series([True]), "a Series of dtype Boolean"),
                       (pl.DataFrame({"s": ["a"]}), "a DataFrame whose column 's' has dtype String")]:
        with pytest.raises(TypeError, match=f"^x must hold real numbers .*, got {got}; "):
            ta.ema(wrong)


def test_pandas_accessor():
    pd = pytest.importorskip("pandas")
    close = pd.Series(100 + np.random.default_rng(3).standard_normal(80).cumsum(), name="close")
    bars = pd.DataFrame({"high": close + 1, "low": close - 1, "close": close})
    pairs = [(close.qv.ema(20), ta.ema(close, 20)), (close.qv.atr(close - 1, close, 5), ta.atr(
        close, close - 1, close, 5)), (bars.qv.atr(5), ta.atr(bars, period=5)),
             (bars.qv.macd(3, 5, 2, threads=2), ta.macd(bars, 3, 5, 2)), (bars.qv.sma(4), ta.sma(bars, 4))]
    for got, want in pairs:
        assert type(got) is type(want) and str(got) == str(want)
    assert str(inspect.signature(bars.qv.atr)) == "(period=14, *, out=None, threads=None)"
    assert str(inspect.signature(close.qv.atr)) == "(low, close, period=14, *, out=None, threads=None)"


def test_polars_namespace_over_groups():
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(8)
    bars = pl.DataFrame({"symbol": np.repeat(["a", "b", "c"], 40),
                         "close": 100 + rng.standard_normal(120).cumsum()})
    bars = bars.with_columns(high=pl.col("close") + 1, low=pl.col("close") - 1)
    got = bars.with_columns(pl.col("close").qv.ema(5).over("symbol"),
                            pl.col("high").qv.atr("low", pl.col("close"), period=3).over("symbol"),
                            pl.col("close").qv.macd(3, 6, 2).over("symbol"))
    assert got.columns[-3:] == ["EMA_5", "ATR_3", "MACD_3_6_2"]
    for (symbol,), group in got.group_by("symbol"):
        assert_same(strict("ema", (5,), [group["close"].to_numpy()])[0], group["EMA_5"].to_numpy())
        assert_same(strict("atr", (3,), [group[c].to_numpy() for c in ("high", "low", "close")])[0],
                    group["ATR_3"].to_numpy())
        macd = group["MACD_3_6_2"].struct.unnest()
        assert macd.columns == ["macd", "signal", "hist"]
        assert_same(strict("macd", (3, 6, 2), [group["close"].to_numpy()]), macd.to_numpy().T)
    assert bars["close"].qv.sma(4).name == "SMA_4" and bars["close"].qv.sma(4).dtype == pl.Float64
    with pytest.raises(ValueError, match="^period must be an integer from 1"):
        pl.col("close").qv.ema(0)


def test_numpy_alone_suffices():
    run_python("""
        import importlib.util, sys
        find = importlib.util.find_spec
        importlib.util.find_spec = lambda name, *a: None if name in ("pandas", "polars") else find(name, *a)
        import quorvane_ta
        assert "pandas" not in sys.modules and "polars" not in sys.modules
        assert quorvane_ta.sma([1, 2, 3], 2).tolist()[1:] == [1.5, 2.5]
    """)


# Real daily prices beside the project (QUORVANE_DATA names another folder).
DATA = Path(os.environ.get("QUORVANE_DATA", ROOT.parent / "shared" / "data"))


@pytest.mark.parametrize("name, periods, peers, within, settle", [
    # After the warm-up (and `settle` values more, where TA-Lib seeds
    # otherwise and the seed's weight must decay); TA-Lib rounds in its own
    # order. Periods go to TA-Lib by keyword, its defaults for the rest.
    ("sma", {"timeperiod": 20}, "SMA", 1e-14, 0),
    ("wma", {"timeperiod": 30}, "WMA", 2e-14, 0),
    ("rsi", {"timeperiod": 14}, "RSI", 1e-14, 0),
    # TA-Lib's deviation is some 1e-11 from the exact one, ours 1e-14.
    ("bbands", {"timeperiod": 5}, "BBANDS", 3e-13, 0),
    ("stoch", {"fastk_period": 5, "slowk_period": 3, "slowd_period": 3}, "STOCH", 2e-13, 0),
    ("willr", {"timeperiod": 14}, "WILLR", 1e-15, 0),
    ("adx", {"timeperiod": 14}, "ADX PLUS_DI MINUS_DI", 4e-15, 500),
    # Near 0 the typical price less its mean cancels: 9.2e-11 there, at most 1.9e-11 apart.
    ("cci", {"timeperiod": 14}, "CCI", 2e-10, 0),
    ("obv", {}, "OBV", 0.0, 0),
    ("roc", {"timeperiod": 10}, "ROC", 0.0, 0),
    ("mom", {"timeperiod": 10}, "MOM", 0.0, 0),
    ("dema", {"timeperiod": 30}, "DEMA", 1e-14, 0),
    ("tema", {"timeperiod": 30}, "TEMA", 1e-14, 0),
])
def test_values_agree_with_talib_on_real_bars(name, periods, peers, within, settle):
    talib = pytest.importorskip("talib", reason="TA-Lib is the peer: pip install 'quorvane[test]'")
    files = sorted(DATA.glob("yahoofinance-*.csv"))
    if not files:
        pytest.skip(f"no daily bars in {DATA} (set QUORVANE_DATA to the folder holding them)")
    for file in files:
        bars = np.genfromtxt(file, delimiter=",", names=True)
        inputs = [bars["Close" if arg == "x" else arg.title()] for arg in SPECS[name].args]
        ours = np.atleast_2d(getattr(ta, name)(*inputs, *periods.values()))
        theirs = [t for peer in peers.split()
                  for t in np.atleast_2d(getattr(talib, peer)(*inputs, **periods))]
        for mine, peer_values in zip(ours, theirs, strict=True):
            assert np.array_equal(np.isnan(mine), np.isnan(peer_values)), (file.name, peers)
            after = np.flatnonzero(~np.isnan(peer_values))[settle:]
            assert np.all(np.abs(mine[after] - peer_values[after]) <= within * np.abs(peer_values[after])), (
                file.name, peers)


def test_panels_run_on_a_thread_of_one_mebibyte_stack():
    # Whole blocks of lanes in C order, threads of the engine's own, all
    # called from a thread whose stack is small: the same bits as here.
    import threading

    x = 100 + np.random.default_rng(9).standard_normal((300, 40)).cumsum(axis=0)
    want, got = ta.macd(x, threads=1), []
    previous = threading.stack_size(1 << 20)
    try:
        worker = threading.Thread(target=lambda: got.append(ta.macd(x, threads=2)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert len(got) == 1 and all(np.array_equal(w, g, equal_nan=True) for w, g in zip(want, got[0]))


def walk(start, step, n, seed):
    return start + np.random.default_rng(seed).normal(0.0, step, n).cumsum()


def jumped():
    # Ordinary prices, ten orders of magnitude up for a while, and back.
    x = walk(100.0, 1.0, 300, 2)
    x[100:110] *= 1e10
    return x


def flats():
    # Equal values that no binary64 holds exactly, after and between moves.
    x = walk(50.0, 1.0, 120, 3)
    x[40:70], x[90:] = 0.1, 1e6 + 0.3
    return x


@pytest.mark.parametrize("x, period", [
    (walk(1e6, 1e-3, 600, 1), 5), (walk(1e6, 1e-3, 600, 1), 50), (jumped(), 5), (jumped(), 30),
    (flats(), 5), (flats(), 12),
])
def test_bands_keep_nine_digits_of_the_exact_deviation(x, period):
    # k = 2**40 scales the deviation exactly and puts it far above the middle,
    # so (upper - middle) / k shows it to some 15 digits.
    from decimal import localcontext
    from fractions import Fraction

    k = 2.0**40
    upper, middle, lower = ta.bbands(x, period, k)
    for i in range(period - 1, len(x)):
        window = [Fraction(v) for v in x[i + 1 - period:i + 1]]
        mean = sum(window) / period
        var = sum((v - mean) ** 2 for v in window) / period
        if var == 0:
            assert upper[i] == middle[i] == lower[i], i
            continue
        with localcontext() as context:
            context.prec = 40
            exact = Fraction((Decimal(var.numerator) / Decimal(var.denominator)).sqrt())
        for band in ((Fraction(upper[i]) - Fraction(middle[i])), Fraction(middle[i]) - Fraction(lower[i])):
            assert abs(band / Fraction(k) / exact - 1) < 1e-9, i
