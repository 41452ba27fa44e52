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
from aliasing import Buffer
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


def gapped(n, every, tail=0):
    """Ones with a NaN at every `every`-th position, then `tail` twos."""
    data = np.ones(n)
    data[every - 1::every] = np.nan
    data[n - tail:] = 2.0
    return data


@pytest.mark.parametrize("name, periods, data, tail", [
    # Runs of period - 1 finite values, each broken by a NaN: testing every
    # candidate window from its first value costs n * period steps.
    ("indicator_ema", (200_000,), gapped(2_000_000, 200_000, tail=200_000), 2.0),
    # A NaN in every window: summing both windows afresh at each position
    # costs n * (fast + slow) steps.
    ("indicator_macd", (5000, 20_000, 9), gapped(1_000_000, 2000), None),
])
def test_seeding_is_linear_in_the_length(name, periods, data, tail):
    # About 10**11 steps if quadratic (minutes); milliseconds in one pass.
    start = time.perf_counter()
    output = run(name, periods, [data])[0]
    assert time.perf_counter() - start < 10.0
    assert np.isnan(output[:-1]).all()
    assert output[-1] == tail if tail is not None else np.isnan(output[-1])


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


@pytest.mark.parametrize("name", PARAMETERS)
@pytest.mark.parametrize("shift", [0, 8 * 5, -8 * 5, 3, -13, 8 * 39 + 1])
def test_an_output_over_an_input_gives_the_separate_result(name, shift):
    """Each output in turn placed over each input, exactly, in part, or
    `shift` bytes off the element grid: the results are those of separate
    arrays, as if every input were read before any output is written."""
    _, inputs, outputs = counts(name)
    values = [prices(40, k) for k in range(inputs)]
    expected = run(name, USUAL_PERIODS[name], values)
    for into in range(outputs):
        for over in range(inputs):
            raw = bytearray(8 * 120)
            start = 8 * 40
            shared = np.frombuffer(raw, np.float64, 40, start)
            shared[:] = values[over]
            arrays = [Buffer(v).array for v in values]
            arrays[over] = shared
            results = [np.full(40, 42.0) for _ in range(outputs)]
            results[into] = np.frombuffer(raw, np.float64, 40, start + shift)
            getattr(quorvane, name)(*USUAL_PERIODS[name], *arrays, *results)
            assert [r.tobytes() for r in results] == [e.tobytes() for e in expected], (into, over)
