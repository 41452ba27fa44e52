"""The four indicators bit for bit against their reference models, at any
alignment, and the cases that only some of them have: SMA's blocked slide,
EMA's seed search, MACD's missing values and shared outputs."""

import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvane
import reference
from aliasing import Buffer, placed
from arguments import PARAMETERS, USUAL_PERIODS, counts
from reference import PERIOD_MAX
from strategies import bars, periods_for, random_walk, series, values


def run(name, periods, inputs):
    """The function's outputs (first filled with 42) over `inputs`, which it
    must leave as they were."""
    before = [array.tobytes() for array in inputs]
    outputs = [np.full(len(inputs[0]), 42.0) for _ in range(counts(name)[2])]
    assert getattr(quorvane, name)(*periods, *inputs, *outputs) is None
    assert [array.tobytes() for array in inputs] == before
    return outputs


def assert_model(name, periods, inputs):
    outputs = run(name, periods, inputs)
    expected = [[None] * len(inputs[0]) for _ in outputs]
    reference.MODELS[name](periods, [array.tolist() for array in inputs] + expected)
    for want, got in zip(expected, outputs, strict=True):
        reference.assert_matches(want, got)
    return outputs


@st.composite
def macd_periods(draw, n):
    """Periods at the edges, or small enough for n values to seed the
    averages and start the signal line."""
    fast = draw(st.sampled_from([1, 2, 3, 5]) | st.integers(1, 30))
    slow = draw(st.integers(fast + 1, max(fast + 1, n)) | st.integers(fast + 1, fast + 40)
                | st.just(PERIOD_MAX))
    signal = draw(st.integers(1, max(1, n - slow + 2)) | st.integers(1, 40)
                  | st.sampled_from([1, 2, 3, PERIOD_MAX]))
    return fast, slow, signal


@st.composite
def arguments(draw, name):
    """Periods at every edge and adversarial inputs for one function."""
    if name == "indicator_macd":
        data = draw(series(max_size=90))
        return draw(macd_periods(len(data))), [data]
    inputs = list(draw(bars())) if name == "indicator_atr" else [draw(series())]
    return (draw(periods_for(len(inputs[0]))),), inputs


@pytest.mark.parametrize("name", PARAMETERS)
@given(draw=st.data())
def test_matches_reference_model(name, draw):
    assert_model(name, *draw.draw(arguments(name)))


@given(st.data())
def test_sma_long_windows_match_reference_model(draw):
    # Long enough for the slide to run in blocks, with room on both sides.
    data = draw.draw(series(min_size=64, max_size=400))
    assert_model("indicator_sma", (draw.draw(st.integers(1, len(data))),), [data])


def prices(n, seed):
    walk = random_walk(n, seed)
    walk[[n // 3, n // 2]] = np.nan
    return walk


@pytest.mark.parametrize("name", PARAMETERS)
@pytest.mark.parametrize("misalign", [1, 4, 7])
def test_unaligned_arrays_give_the_aligned_results(name, misalign):
    _, inputs, outputs = counts(name)
    aligned = [prices(200, k) for k in range(inputs)]
    unaligned = [Buffer(a, misalign, writeable=False).array for a in aligned]
    results = [Buffer(np.zeros(200), misalign).array for _ in range(outputs)]
    assert all(a.ctypes.data % 8 == misalign for a in unaligned + results)
    getattr(quorvane, name)(*USUAL_PERIODS[name], *unaligned, *results)
    expected = run(name, USUAL_PERIODS[name], aligned)
    assert [r.tobytes() for r in results] == [e.tobytes() for e in expected]


def test_ema_seed_search_is_linear():
    # Runs of period - 1 finite values, each broken by a NaN: testing every
    # candidate window from its first value would cost n * period steps
    # (about 10**11 here, minutes); one pass costs milliseconds.
    period = 200_000
    data = np.ones(2_000_000)
    data[period - 1::period] = np.nan
    data[-period:] = 2.0
    start = time.perf_counter()
    output, = run("indicator_ema", (period,), [data])
    assert time.perf_counter() - start < 10.0
    assert np.isnan(output[:-1]).all() and output[-1] == 2.0


def walk(n, *specials):
    """A random walk of n values around 0, with (position, value) pairs put in."""
    data = np.random.default_rng(n).normal(size=n).cumsum()
    for position, value in specials:
        data[position] = value
    return data


@pytest.mark.parametrize("periods, data", [
    # Lengths around the warm-up, and periods at the edges.
    *[((3, 6, 4), walk(n)) for n in (0, 5, 8, 9)],
    ((1, 2, 1), walk(10)), ((1, 5, PERIOD_MAX), walk(30)),
    ((PERIOD_MAX - 1, PERIOD_MAX, 1), walk(10)), ((12, 26, 9), walk(100)),
    # Infinities flow through; a later -inf makes F NaN (inf - inf), so the
    # next position seeds again.
    ((2, 4, 3), walk(20, (10, np.inf))),
    *[((fast, 4, 3), walk(20, (10, np.inf), (15, -np.inf))) for fast in (1, 2, 3)],
    # A window of negative zeros gives a MACD value of +0.
    ((2, 3, 1), np.array([-0.0] * 4)),
])
def test_macd_edges_match_reference_model(periods, data):
    assert_model("indicator_macd", periods, [data])


@pytest.mark.parametrize("nan_at, blank", [
    ([1], "all"),                 # inside the first slow window
    ([9, 12], [9, 12]),           # after seeding: only those positions
    ([8], [8]),                   # the signal's first position moves to 9
    ([5], "all"),                 # seeding moves to 6, its slow window holds the NaN
])
def test_macd_missing_values(nan_at, blank):
    data = np.arange(1.0, 17.0)
    data[nan_at] = np.nan
    m, s, h = assert_model("indicator_macd", (3, 6, 4), [data])
    if blank == "all":
        assert np.isnan(m).all() and np.isnan(s).all() and np.isnan(h).all()
        return
    defined = np.ones(16, bool)
    defined[blank] = False
    assert np.isnan(m[blank]).all() and not np.isnan(m[defined & (np.arange(16) >= 5)]).any()
    first_signal = 9 if 8 in blank else 8
    assert np.isnan(s[:first_signal]).all() and s[first_signal] == m[first_signal]


@pytest.mark.parametrize("shared, holds", [
    ((1, 2), 2),        # signal and histogram one array: the histogram is written last
    ((0, 1), 1),
    ((0, 1, 2), 2),
])
def test_macd_outputs_sharing_one_array(shared, holds):
    data = np.arange(1.0, 30.0) ** 1.5
    expected = run("indicator_macd", (3, 7, 4), [data])
    outs = [np.full(len(data), 42.0) for _ in range(3)]
    for k in shared:
        outs[k] = outs[shared[0]]
    quorvane.indicator_macd(3, 7, 4, data, *outs)
    assert outs[shared[0]].tobytes() == expected[holds].tobytes()


@st.composite
def small_periods(draw, name, n):
    if name == "indicator_macd":
        fast = draw(st.integers(1, 5))
        return fast, draw(st.integers(fast + 1, fast + 8)), draw(st.integers(1, 5))
    return (draw(st.integers(0, n + 1)),)


@pytest.mark.parametrize("name", PARAMETERS)
@given(draw=st.data())
def test_overlap_gives_the_kernels_steps_one_at_a_time(name, draw):
    """Every array argument lies `shift` elements after the previous one in
    one buffer, so outputs overlap inputs in part, ahead or behind; the
    result is the model's, run over the same sharing."""
    n = draw.draw(st.integers(0, 30))
    shift = draw.draw(st.integers(-n - 1, n + 1))
    periods = draw.draw(small_periods(name, n))
    count = sum(counts(name)[1:])
    cells = draw.draw(st.lists(values, min_size=n + abs(shift) * (count - 1),
                               max_size=n + abs(shift) * (count - 1)))
    buffer, arrays = placed(cells, count, n, shift, misalign=draw.draw(st.integers(0, 7)))
    expected = buffer.expected(name, periods, arrays)
    assert getattr(quorvane, name)(*periods, *arrays) is None
    reference.assert_matches(expected, buffer.array)
