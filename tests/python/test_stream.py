"""quorvane_stream against the batch functions of quorvane, bit for bit."""

import copy
import ctypes
import inspect
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import ROOT, reference, registry
from support.arrays import Buffer
from support.calls import INDICATORS, predict_stream
from support.reference import assert_same
from support.strategies import stream_series, taken_periods
from support.streams import bars, feed, round_trip, saved
from support.streams import make as make_state
from support.tables import STREAM
from support.threads import FUTEX, LIBC, attempt, ended, started, waits_for


@pytest.mark.parametrize("name", INDICATORS)
@given(data=st.data())
def test_any_cut_of_a_stream_gives_the_batch_values(name, data):
    """Single values (with peek first), chunks of every size (empty ones too)
    and copies or pickle round trips between them: the batch's bits."""
    cls, batch, _, inputs_count, outputs_count = INDICATORS[name]
    n = data.draw(st.integers(0, 60))
    p = data.draw(taken_periods(name, n))
    inputs = [data.draw(stream_series(n, p)) for _ in range(inputs_count)]
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
        assert state.last is None if i == 0 else np.array_equal(
            np.array(state.last, ndmin=1).view(np.uint64), [g[i - 1:i].view(np.uint64)[0] for g in got])
        state = round_trip(state, data.draw(st.sampled_from(["pickle", "copy", "deepcopy", "keep"])))
    for e, g in zip(expected, got):
        assert_same(e, g)
    assert repr(state).endswith(f"seen={n})") and repr(state).startswith(cls.__name__ + "(")


@pytest.mark.parametrize("name", INDICATORS)
@given(data=st.data())
def test_a_fresh_stream_computes_the_reference_model(name, data):
    # What the other tests compare streams with is the indicator itself: for a
    # class that quorvane has no function for, its own update_many.
    cls, _, _, inputs_count, outputs_count = INDICATORS[name]
    n = data.draw(st.integers(0, 40))
    p = data.draw(taken_periods(name, n))
    inputs = [data.draw(stream_series(n, p)) for _ in range(inputs_count)]
    got = [np.full(n, -7.0) for _ in range(outputs_count)]
    cls(*p).update_many(*inputs, *got)
    expected = [[None] * n for _ in range(outputs_count)]
    reference.MODELS[name].run(*p, *(x.tolist() for x in inputs), *expected)
    for e, g in zip(expected, got, strict=True):
        reference.assert_matches(e, g)


@pytest.mark.parametrize("name", INDICATORS)
@given(data=st.data())
def test_universe_lanes_are_single_series(name, data):
    """Lane j gives what a single state fed its values since its last reset
    gives, bit for bit, however other lanes are reset; so does `last`,
    through copies and pickles."""
    cls, _, _, inputs_count, outputs_count = INDICATORS[name]
    width, n = data.draw(st.integers(0, 5)), data.draw(st.integers(0, 30))
    p = data.draw(taken_periods(name, n))
    lanes = [[data.draw(stream_series(n, p)) for _ in range(inputs_count)] for _ in range(width)]
    state, singles = cls(*p, width=width), [cls(*p) for _ in range(width)]
    shift = data.draw(st.integers(0, 7))  # bytes: lanes are read and written at any alignment

    def arrays(values, count):
        return [Buffer(values(k), shift).array for k in range(count)]

    for t in range(n):
        restarted = data.draw(st.lists(st.integers(0, width - 1), max_size=3)) if width else []
        state.reset(iter(restarted)) if restarted or data.draw(st.booleans()) else None
        for j in restarted:
            singles[j].reset()
        bar = arrays(lambda k: [lane[k][t] for lane in lanes], inputs_count)
        peeked = arrays(lambda k: [-7.0] * width, outputs_count)
        state.peek(*bar, *peeked)
        outputs = arrays(lambda k: [-7.0] * width, outputs_count)
        state.update(*bar, *outputs)
        expected = np.array([single.update(*(x[j] for x in bar)) for j, single in enumerate(singles)])
        last = state.last if outputs_count > 1 else [state.last]
        for k in range(outputs_count):
            assert_same(peeked[k], outputs[k])
            assert_same(expected.reshape(width, outputs_count)[:, k], outputs[k])
            assert_same(outputs[k], last[k])
        state = round_trip(state, data.draw(st.sampled_from(["pickle", "deepcopy", "keep"])))
    assert repr(state).endswith(f"width={width}, seen={n})") and state.count == n
    assert (state.last is None) == (n == 0)


@pytest.mark.parametrize("name", INDICATORS)
@pytest.mark.parametrize("width", [None, 3])
def test_properties_are_read_only_and_reset_gives_a_fresh_state(name, width):
    cls, _, periods_count, _, _ = INDICATORS[name]
    p = (3, 5, 2)[:periods_count]
    state, names = make_state(name, width, p), [n for n in inspect.signature(cls).parameters if n != "width"]
    feed(state, name, bars(name, 8))
    assert [getattr(state, n) for n in [*names, "count", "width"]] == [*p, 8, width]
    for n in [*names, "count", "width", "last"]:
        with pytest.raises(AttributeError):
            setattr(state, n, 1)
    for copied in (pickle.loads(pickle.dumps(state)), copy.copy(state)):
        assert_same(np.array(state.last), np.array(copied.last))
    state.reset()
    assert saved(state) == saved(make_state(name, width, p)) and state.last is None


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


@pytest.mark.parametrize("name, p", [(f"indicator_{name}", p) for name, p in [
    ("sma", (-1,)), ("ema", (2**64,)), ("atr", (1.5,)), ("sma", ("3",)), ("ema", (0,)),
    ("macd", (0, 2, 1)), ("macd", (2, 2, 1)), ("macd", (3, 2, 1)), ("macd", (1, 2, 0)),
    ("macd", (-1, 2, 1)), ("macd", (1, 2**64 - 1, 1)),
]])
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


@pytest.mark.skipif(FUTEX is None, reason="reads which lock a thread waits for from Linux's /proc")
@pytest.mark.parametrize("name", INDICATORS)
def test_two_threads_on_one_state_take_turns(name):
    """The test holds the object's lock until both calls wait for it, one
    after the other; the kernel wakes them in that order, and the second
    goes on from where the first left the state."""
    cls, batch, periods_count, inputs_count, outputs_count = INDICATORS[name]
    p, data = (12, 26, 9)[:periods_count], np.random.default_rng(3).random(1000) + 1
    expected = [np.empty(len(data)) for _ in range(outputs_count)]
    batch(*p, *[data] * inputs_count, *expected)
    state, got, cut = cls(*p), [np.empty(len(data)) for _ in range(outputs_count)], 900
    lock = id(state) + object.__basicsize__
    assert LIBC.pthread_mutex_lock(ctypes.c_void_p(lock)) == 0
    try:
        first = started(state.update_many, *[data[:cut]] * inputs_count, *(g[:cut] for g in got))
        assert waits_for(first, lock), "the first call did not wait for the object's lock"
        second = started(state.update_many, *[data[cut:]] * inputs_count, *(g[cut:] for g in got))
        assert waits_for(second, lock), "the second call did not wait for the object's lock"
    finally:
        LIBC.pthread_mutex_unlock(ctypes.c_void_p(lock))
    ended(first), ended(second)
    for k in range(outputs_count):
        assert_same(expected[k], got[k])


REPLACED = [(name, method) for name in INDICATORS for method in ("update", "peek")] + [
    ("indicator_macd", "update_many")]


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
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "live.py"), "--quiet", *options],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 1 and "equal" in done.stdout, done.stdout
