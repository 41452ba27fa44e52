"""quorvane_stream against the batch functions of quorvane, bit for bit."""

import copy
import pickle
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvane
import quorvane_stream as qs

NO_VALUE = 0x7FF8000000000000
NAN, INF = float("nan"), float("inf")
PAYLOAD_NAN = float(np.uint64(NO_VALUE + 1).view(np.float64))
# Quiet NaNs of both signs and other payloads: when two meet in a sum, which
# one comes out shows the order of the operands.
NANS = [NAN, -NAN] + [float(np.uint64(b).view(np.float64)) for b in (
    NO_VALUE + 1, 0x7FFC00000000ABCD, 0xFFF8000000000123, 0xFFFFFFFFFFFFFFFF)]
SPECIAL = [*NANS, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308, 1e16, 1.0]
# class, batch function, number of periods, inputs and outputs
INDICATORS = {
    "sma": (qs.Sma, quorvane.indicator_sma, 1, 1, 1),
    "ema": (qs.Ema, quorvane.indicator_ema, 1, 1, 1),
    "macd": (qs.Macd, quorvane.indicator_macd, 3, 1, 3),
    "atr": (qs.Atr, quorvane.indicator_atr, 1, 3, 1),
}
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "live.py"


def periods(name, n):
    if name != "macd":
        return st.tuples(st.sampled_from([0, 1, 2, n, n + 1, 2**64 - 1]) | st.integers(0, n + 2))
    fast = st.integers(1, n + 2)
    return fast.flatmap(lambda f: st.tuples(
        st.just(f), st.integers(f + 1, f + n + 2) | st.just(2**64 - 1), st.integers(1, n + 2)))


@st.composite
def series(draw, n, edges):
    """Prices or any doubles, with a run of NaN or an infinity at a warm-up's edge."""
    walk = 100 * np.exp(np.cumsum(np.random.default_rng(draw(st.integers(0, 99))).normal(0, .01, n)))
    items = draw(st.just(list(walk)) | st.lists(
        st.floats(1e-3, 1e6) | st.sampled_from(SPECIAL) | st.floats(), min_size=n, max_size=n))
    if n and draw(st.booleans()):
        start = draw(st.sampled_from([e for e in edges if 0 <= e < n] or [0]) | st.integers(0, n - 1))
        run = items[start:start + draw(st.integers(1, 6))]
        items[start:start + len(run)] = [draw(st.sampled_from([*NANS, INF, -INF]))] * len(run)
    values = np.array(items, dtype=np.float64)
    # So that a result's no-value NaN cannot have come from an input.
    values[values.view(np.uint64) == NO_VALUE] = PAYLOAD_NAN
    return values


def edges(p):
    """Positions where seeds and the signal start."""
    return [p[0] - 2, p[0] - 1, p[0]] + ([p[1] - 1, p[1] + p[2] - 2] if len(p) == 3 else [])


def assert_same(expected, got):
    """Equal bits, NaN payloads and signs included: on one build every path
    performs the same operations in the same order."""
    e, g = np.ravel(expected).view(np.uint64), np.ravel(got).view(np.uint64)
    ok = e == g
    first = int(np.argmin(ok)) if ok.size else 0
    assert ok.all(), f"first difference at {first}: {e[first]:#x} vs {g[first]:#x}"


def round_trip(state, how):
    return {"pickle": lambda s: pickle.loads(pickle.dumps(s)), "copy": copy.copy,
            "deepcopy": copy.deepcopy, "keep": lambda s: s}[how](state)


@pytest.mark.parametrize("name", INDICATORS)
@given(data=st.data())
def test_any_cut_of_a_stream_gives_the_batch_values(name, data):
    """Single values (with peek first), chunks of every size (empty ones too)
    and copies or pickle round trips between them: the batch's bits."""
    cls, batch, _, inputs_count, outputs_count = INDICATORS[name]
    n = data.draw(st.integers(0, 60))
    p = data.draw(periods(name, n))
    inputs = [data.draw(series(n, edges(p))) for _ in range(inputs_count)]
    expected = [np.empty(n) for _ in range(outputs_count)]
    batch(*p, *inputs, *expected)
    state, got, i = cls(*p), [np.full(n, -7.0) for _ in range(outputs_count)], 0
    while i < n or data.draw(st.booleans()):
        size = data.draw(st.integers(0, n - i) | st.just(min(1, n - i)))
        if size == 1 and data.draw(st.booleans()):
            values = [float(x[i]) for x in inputs]
            peeked = np.array(state.peek(*values))
            assert_same(peeked, state.peek(*values))
            result = np.array(state.update(*values), ndmin=1)
            assert_same(peeked, result)
            for out, value in zip(got, result):
                out[i] = value
        else:
            state.update_many(*(x[i:i + size] for x in inputs), *(o[i:i + size] for o in got))
        i += size
        state = round_trip(state, data.draw(st.sampled_from(["pickle", "copy", "deepcopy", "keep"])))
    for e, g in zip(expected, got):
        assert_same(e, g)
    assert repr(state).endswith(f"seen={n})") and repr(state).startswith(cls.__name__ + "(")


@pytest.mark.parametrize("name", INDICATORS)
@given(data=st.data())
def test_universe_lanes_are_single_series(name, data):
    cls, batch, _, inputs_count, outputs_count = INDICATORS[name]
    width, n = data.draw(st.integers(0, 5)), data.draw(st.integers(0, 30))
    p = data.draw(periods(name, n))
    lanes = [[data.draw(series(n, edges(p))) for _ in range(inputs_count)] for _ in range(width)]
    state = cls(*p, width=width)
    got = np.full((outputs_count, width, n), -7.0)
    for t in range(n):
        bar = [np.array([lane[k][t] for lane in lanes]) for k in range(inputs_count)]
        peeked = [np.full(width, -7.0) for _ in range(outputs_count)]
        state.peek(*bar, *peeked)
        outputs = [np.full(width, -7.0) for _ in range(outputs_count)]
        state.update(*bar, *outputs)
        for k in range(outputs_count):
            assert_same(peeked[k], outputs[k])
            got[k, :, t] = outputs[k]
        state = round_trip(state, data.draw(st.sampled_from(["pickle", "deepcopy", "keep"])))
    for j, lane in enumerate(lanes):
        expected = [np.empty(n) for _ in range(outputs_count)]
        batch(*p, *lane, *expected)
        for k in range(outputs_count):
            assert_same(expected[k], got[k, j])
    assert repr(state).endswith(f"width={width}, seen={n})")


def strided(a):
    return np.repeat(a, 2)[::2]


def read_only(a):
    a.flags.writeable = False
    return a


# How each bad argument is made from a good one; the input or output it spoils.
FAULTS = {
    "strided input": (0, strided), "strided output": (-1, strided),
    "short output": (-1, lambda a: a[:-1]), "short input": (0, lambda a: a[:-1]),
    "read-only output": (-1, read_only), "float32 input": (0, lambda a: a.astype(np.float32)),
    "list output": (-1, list),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("name", INDICATORS)
def test_refusals_say_what_the_batch_says_and_change_nothing(name, fault):
    cls, batch, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p = (3, 5, 2)[:periods_count]
    where, spoil = FAULTS[fault]
    state, universe = cls(*p), cls(*p, width=4)
    state.update_many(*[np.arange(9.0)] * inputs_count, *[np.empty(9) for _ in range(outputs_count)])
    for target, n in ((batch, 6), (state.update_many, 6), (universe.update, 4)):
        arrays = [np.arange(1.0, n + 1) for _ in range(inputs_count)] + [
            np.full(n, 7.0) for _ in range(outputs_count)]
        arrays[where] = spoil(arrays[where])
        before = pickle.dumps(state), pickle.dumps(universe)
        with pytest.raises((TypeError, ValueError)) as refused:
            target(*(p if target is batch else ()), *arrays)
        if target is batch:
            message = (refused.type, str(refused.value))
        elif target is state.update_many:
            assert (refused.type, str(refused.value)) == message
        assert (pickle.dumps(state), pickle.dumps(universe)) == before
        assert all(np.all(np.asarray(a) == 7.0) for a in arrays[inputs_count:] if len(a))


@pytest.mark.parametrize("name, p", [
    ("sma", (-1,)), ("ema", (2**64,)), ("atr", (1.5,)), ("sma", ("3",)), ("ema", (0,)),
    ("macd", (0, 2, 1)), ("macd", (2, 2, 1)), ("macd", (3, 2, 1)), ("macd", (1, 2, 0)),
    ("macd", (-1, 2, 1)), ("macd", (1, 2**64 - 1, 1)),
])
def test_periods_are_taken_and_refused_as_the_batch_takes_them(name, p):
    cls, batch, _, inputs_count, outputs_count = INDICATORS[name]
    outcomes = []
    for make in (lambda: batch(*p, *[np.ones(3) for _ in range(inputs_count + outputs_count)]),
                 lambda: cls(*p), lambda: cls(*p, width=2)):
        try:
            make()
            outcomes.append(None)
        except (TypeError, ValueError, OverflowError) as error:
            outcomes.append((type(error), str(error)))
    assert outcomes[0] == outcomes[1] == outcomes[2]


@pytest.mark.parametrize("name", INDICATORS)
def test_two_threads_on_one_state_take_turns(name):
    """Both feed the same chunk: one gets the first half of the batch result,
    the other the second, whichever runs first."""
    cls, batch, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p, chunk = (12, 26, 9)[:periods_count], np.random.default_rng(3).random(200_000) + 1
    expected = [np.empty(2 * len(chunk)) for _ in range(outputs_count)]
    batch(*p, *[np.concatenate([chunk, chunk])] * inputs_count, *expected)
    state = cls(*p)
    outs = [[np.empty(len(chunk)) for _ in range(outputs_count)] for _ in range(2)]
    threads = [threading.Thread(target=state.update_many, args=(*[chunk] * inputs_count, *out))
               for out in outs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    first = 0 if outs[0][0].view(np.uint64)[0] == expected[0].view(np.uint64)[0] else 1
    for k in range(outputs_count):
        assert_same(expected[k], np.concatenate([outs[first][k], outs[1 - first][k]]))


@pytest.mark.parametrize("options", [["--bars", "400"], ["--universe", "--symbols", "50", "--bars", "60"]])
def test_live_example_replays_and_checks_itself(options):
    done = subprocess.run([sys.executable, str(EXAMPLE), "--quiet", *options],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 1 and "equal" in done.stdout, done.stdout
