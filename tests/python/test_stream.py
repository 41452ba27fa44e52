"""quorvane_stream against the batch functions of quorvane, bit for bit."""

import contextlib
import copy
import ctypes
import pickle
import platform
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import registry
from support.calls import predict_stream
from support.tables import STREAM

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


@pytest.mark.parametrize("call", STREAM, ids=[f"{k}-{c.method}" for k, c in enumerate(STREAM)])
def test_refused_calls_raise_what_the_model_says_and_change_nothing(call):
    expected = predict_stream(call)
    assert expected is not None
    state = lambda: (pickle.dumps(call.target), [a.tobytes() for a in call.objects()  # noqa: E731
                                                 if isinstance(a, np.ndarray)])
    before = state()
    with pytest.raises(expected[0]) as refused:
        call()
    assert str(refused.value) == expected[1] and state() == before and registry.active() == 0


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


def started(target, *args):
    """A daemon thread running target(*args), its outcome appended to .ended."""
    thread = threading.Thread(target=lambda: thread.ended.append(target(*args)), daemon=True)
    thread.ended = []
    thread.start()
    return thread


def attempt(call):
    try:
        return call(), None
    except (TypeError, ValueError) as error:
        return None, (type(error), str(error))


def inside(worker, active):
    """Waits until `active` calls hold their input arrays, the worker's among
    them, having given the interpreter lock up: for a streaming call, that
    is when it waits for the object's lock or works under it."""
    while registry.active() < active and worker.is_alive():
        time.sleep(0)


def ended(worker):
    # Joined with a bound: a lock never given back must fail, not hang, the suite.
    worker.join(60)
    assert worker.ended, "the call never ended"
    return worker.ended[0]


@pytest.mark.parametrize("name", INDICATORS)
def test_two_threads_on_one_state_take_turns(name):
    """The second comes while the first works with the interpreter lock
    released (Atr keeps it, so the second comes after): it waits its turn."""
    cls, batch, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p, data = (12, 26, 9)[:periods_count], np.random.default_rng(3).random(2_000_100) + 1
    expected = [np.empty(len(data)) for _ in range(outputs_count)]
    batch(*p, *[data] * inputs_count, *expected)
    state, got, cut = cls(*p), [np.empty(len(data)) for _ in range(outputs_count)], 2_000_000
    first = started(state.update_many, *[data[:cut]] * inputs_count, *(g[:cut] for g in got))
    inside(first, 1)
    second = started(state.update_many, *[data[cut:]] * inputs_count, *(g[cut:] for g in got))
    ended(first), ended(second)
    for k in range(outputs_count):
        assert_same(expected[k], got[k])


REPLACED = [(name, method) for name in INDICATORS for method in ("update", "peek")] + [
    ("macd", "update_many")]


@pytest.mark.parametrize("where", ["hook", "thread"])
@pytest.mark.parametrize("into", ["universe", "single"])
@pytest.mark.parametrize("name, method", REPLACED)
def test_a_state_replaced_while_a_call_reads_its_arguments(name, method, into, where):
    """By the call's own conversion (__float__, __len__), or by another thread
    while it converts: the call goes on with the new state if its arguments
    suit it, else it is refused, and writes nothing."""
    cls, _, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p = (3, 5, 2)[:periods_count]
    state, other = cls(*p), cls(*p, width=2) if into == "universe" else cls(*(k + 1 for k in p))
    for x in (4.0, 2.0, 7.0, 1.0, 3.0, 6.0):
        if into == "universe":
            other.update(*[np.full(2, x)] * inputs_count, *[np.empty(2) for _ in range(outputs_count)])
        else:
            other.update(*[x] * inputs_count)
    saved, reached, replaced = other.__reduce__()[2], threading.Event(), threading.Event()

    def replace():
        if where == "hook":
            state.__setstate__(saved)
        else:
            reached.set()
            replaced.wait()

    class Value:
        def __float__(self):
            replace()
            return 2.5

    class Output(np.ndarray):
        def __len__(self):
            replace()
            return 6

    data, plain = np.arange(6.0), [np.full(6, 7.0) for _ in range(outputs_count)]
    hooked = [o.view(Output) for o in (np.full(6, 7.0) for _ in range(outputs_count))]
    args = [Value()] + [2.5] * (inputs_count - 1) if method != "update_many" else [data, *hooked]
    worker = started(lambda: (attempt(lambda: getattr(state, method)(*args)), state.__reduce__()[2]))
    if where == "thread":
        assert reached.wait(60)
        state.__setstate__(saved)
        replaced.set()
    (result, refused), after = ended(worker)
    twin = cls(*p)
    twin.__setstate__(saved)
    if into == "universe":
        assert refused == (TypeError, f"The state became a universe during {method}(); "
                           "pass a universe's arrays") and after == saved
        assert all((o == 7.0).all() for o in hooked)
    else:
        plain_args = [2.5] * inputs_count if method != "update_many" else [data, *plain]
        expected = getattr(twin, method)(*plain_args)
        assert refused is None and after == twin.__reduce__()[2]
        assert np.array(result).tobytes() == np.array(expected).tobytes()
        assert all(h.tobytes() == o.tobytes() for h, o in zip(hooked, plain))


# The futex system call, in which a thread sleeps while a lock it wants is held.
FUTEX = {"x86_64": 202, "aarch64": 98}.get(platform.machine())
LIBC = ctypes.CDLL(None)


def waits_for(thread, lock):
    """Whether `thread` comes to sleep on the futex at `lock` (else it ends)."""
    where = Path(f"/proc/self/task/{thread.native_id}/syscall")
    while thread.is_alive():
        with contextlib.suppress(OSError):
            fields = where.read_text().split()  # "running" when it runs
            if fields[0] == str(FUTEX) and int(fields[1], 16) == lock:
                return True
        time.sleep(0)
    return False


@pytest.mark.skipif(FUTEX is None, reason="reads which lock a thread waits for from Linux's /proc")
@pytest.mark.parametrize("method, into", [("update", "narrower"), ("peek", "narrower"),
                                          ("update", "single"), ("peek", "single"),
                                          ("update_many", "universe")])
@pytest.mark.parametrize("name", INDICATORS)
def test_a_state_replaced_while_a_call_waits_for_the_lock(name, method, into):
    """The test holds the object's lock (a std::mutex, the first field after
    the object's header): __setstate__ comes to wait for it, then a call
    that read the old kind and width. The kernel wakes a lock's waiters in
    the order they came, so the state is replaced before the call gets the
    lock, and the call is refused and writes nothing."""
    cls, _, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p, m = (2, 3, 2)[:periods_count], 4
    state = cls(*p, width=None if method == "update_many" else m)
    new = cls(*p, width=1) if into == "narrower" else cls(*p, width=3) if into == "universe" else cls(*p)
    saved = new.__reduce__()[2]
    args = [np.ones(m)] * inputs_count + [np.full(m, 7.0) for _ in range(outputs_count)]
    lock = id(state) + object.__basicsize__
    assert LIBC.pthread_mutex_lock(ctypes.c_void_p(lock)) == 0
    try:
        setter = started(state.__setstate__, saved)
        assert waits_for(setter, lock), "__setstate__ did not wait for the object's lock"
        caller = started(attempt, lambda: getattr(state, method)(*args))
        assert waits_for(caller, lock), "the call did not wait for the object's lock"
    finally:
        LIBC.pthread_mutex_unlock(ctypes.c_void_p(lock))
    ended(setter)
    assert ended(caller) == (None, {
        "narrower": (ValueError, f"The state changed width during {method}(); pass arrays of the new width"),
        "single": (TypeError, f"The state became a single series during {method}(); pass one bar's values"),
        "universe": (TypeError, f"The state became a universe during {method}(); pass a universe's arrays"),
    }[into])
    assert all((a == 7.0).all() for a in args[inputs_count:]) and state.__reduce__()[2] == saved


@pytest.mark.parametrize("options", [["--bars", "400"], ["--universe", "--symbols", "50", "--bars", "60"]])
def test_live_example_replays_and_checks_itself(options):
    done = subprocess.run([sys.executable, str(EXAMPLE), "--quiet", *options],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 1 and "equal" in done.stdout, done.stdout
