"""indicator_macd: worked values, check order, bit-exact agreement with the
model, and outputs that share memory or misreport their length."""

import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import borrow_registry
import reference
from quorvane import indicator_macd
from strategies import series

nan = float("nan")
PERIOD_MAX = reference.PERIOD_MAX
LENGTH = "All output arrays must have the same length as input data"


def outputs(n, fill=42.0):
    return [np.full(n, fill) for _ in range(3)]


def run(fast, slow, signal, data):
    data = np.asarray(data, dtype=float)
    result = outputs(len(data))
    assert indicator_macd(fast, slow, signal, data, *result) is None
    return result


def assert_model(fast, slow, signal, data):
    result = run(fast, slow, signal, data)
    expected = reference.macd(fast, slow, signal, list(map(float, data)))
    for want, got in zip(expected, result):
        reference.assert_matches(want, got)
    return result


def test_worked_values():
    m, s, h = assert_model(2, 3, 2, [1, 2, 3, 4, 5])
    np.testing.assert_array_equal(m, [nan, nan, 0.5, 0.5, 0.5])
    np.testing.assert_array_equal(s, [nan, nan, nan, 0.5, 0.5])
    np.testing.assert_array_equal(h, [nan, nan, nan, 0, 0])


def test_warm_up_of_the_usual_periods():
    data = 100 + np.cumsum(np.random.default_rng(3).normal(size=100))
    m, s, h = assert_model(12, 26, 9, data)
    assert np.isnan(m[:25]).all() and not np.isnan(m[25:]).any()
    assert np.isnan(s[:33]).all() and np.isnan(h[:33]).all()
    assert s[33] == m[33] and h[33] == 0


@pytest.mark.parametrize("nan_at, blank", [
    ([1], "all"),                 # inside the first slow window
    ([9, 12], [9, 12]),           # after seeding: only those positions
    ([8], [8]),                   # the signal's first position moves to 9
    ([5], "all"),                 # seeding moves to 6, its slow window holds the NaN
])
def test_missing_values(nan_at, blank):
    data = np.arange(1.0, 17.0)
    data[nan_at] = np.nan
    m, s, h = assert_model(3, 6, 4, data)
    if blank == "all":
        assert np.isnan(m).all() and np.isnan(s).all() and np.isnan(h).all()
        return
    defined = np.ones(16, bool)
    defined[blank] = False
    assert np.isnan(m[blank]).all() and not np.isnan(m[defined & (np.arange(16) >= 5)]).any()
    first_signal = 9 if 8 in blank else 8
    assert np.isnan(s[:first_signal]).all() and s[first_signal] == m[first_signal]


@pytest.mark.parametrize("fast, slow, signal, n", [
    (3, 6, 4, 0), (3, 6, 4, 5), (3, 6, 4, 8), (3, 6, 4, 9),
    (1, 2, 1, 10), (1, 5, PERIOD_MAX, 30), (PERIOD_MAX - 1, PERIOD_MAX, 1, 10),
])
def test_lengths_around_the_warm_up(fast, slow, signal, n):
    data = np.random.default_rng(n).normal(size=n).cumsum()
    assert_model(fast, slow, signal, data)


def test_infinities_flow_through():
    data = np.arange(1.0, 21.0)
    data[10] = np.inf
    m, _, _ = assert_model(2, 4, 3, data)
    assert np.isnan(m[10:]).all()
    # A later -inf makes F NaN (inf - inf), so the next position seeds again.
    data[15] = -np.inf
    for fast in (1, 2, 3):
        assert_model(fast, 4, 3, data)


def test_negative_zeros_give_positive_zero():
    m, _, _ = run(2, 3, 1, [-0.0] * 4)
    assert m[2] == 0 and not np.signbit(m[2])


@st.composite
def periods(draw):
    fast = draw(st.sampled_from([1, 2, 3, 5]) | st.integers(1, 30))
    slow = draw(st.integers(fast + 1, fast + 40) | st.just(PERIOD_MAX))
    signal = draw(st.sampled_from([1, 2, 3, PERIOD_MAX]) | st.integers(1, 40))
    return fast, slow, signal


@given(periods(), series(max_size=90))
def test_matches_reference_model(periods, data):
    assert_model(*periods, data)


class LyingLength(np.ndarray):
    """An array whose len() is set apart from its element count."""

    def __len__(self):
        return self.claimed


def lying(count, claimed):
    array = np.full(count, 42.0).view(LyingLength)
    array.claimed = claimed
    return array


class RaisingLength(np.ndarray):
    def __len__(self):
        raise KeyError(self.label)


def raising(n, label):
    array = np.full(n, 42.0).view(RaisingLength)
    array.label = label
    return array


def strided(n):
    return np.full(2 * n, 42.0)[::2]


N = 8
D = np.arange(1.0, N + 1)

# (periods, data, outputs, exception, message): pairs of faults, the first
# in the check order wins.
CHECK_ORDER = [
    ((0, 0, 1), D, outputs(N), ValueError, "Periods must be greater than 0"),
    ((5, 3, 0), D, outputs(N), ValueError, "Periods must be greater than 0"),
    ((0, 3, 2), D[::-1], outputs(N + 1), ValueError, "Periods must be greater than 0"),
    ((3, 3, 2), D, outputs(N), ValueError, "Fast period must be less than slow period"),
    ((4, 3, 2), D, outputs(N - 1), ValueError, "Fast period must be less than slow period"),
    ((-1, 3, 0), D, outputs(N), OverflowError, "can't convert negative int to unsigned"),
    ((0, 3, 2), D.astype(np.float32), outputs(N), TypeError,
     "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ((2, 3, 2), D[::-1], [np.empty(N), np.empty(N), np.empty(N + 1)], ValueError, LENGTH),
    ((2, 3, 2), D, [np.empty(N), np.empty(N - 1), np.empty(N)], ValueError, LENGTH),
    ((2, 3, 2), D, [strided(N), strided(N), np.empty(N + 1)], ValueError, LENGTH),
    ((2, 3, 2), D[::-1], [strided(N)] * 3, ValueError, "Input array must be C-contiguous"),
    ((2, 3, 2), D, [strided(N), np.empty(N), strided(N)], ValueError,
     "MACD output array must be C-contiguous"),
    ((2, 3, 2), D, [np.empty(N), strided(N), strided(N)], ValueError,
     "Signal output array must be C-contiguous"),
    ((2, 3, 2), D, [np.empty(N), np.empty(N), strided(N)], ValueError,
     "Histogram output array must be C-contiguous"),
    # len() is queried for the outputs in order; the first raise propagates.
    ((2, 3, 2), D[::-1], [np.empty(N), raising(N, "signal"), raising(N, "hist")], KeyError,
     "'signal'"),
    ((3, 2, 2), D, [raising(N, "macd")] * 3, ValueError,
     "Fast period must be less than slow period"),
    # The element count is compared as well as len().
    ((2, 3, 2), D, [np.empty(N), np.empty(N), lying(N + 1, N)], ValueError, LENGTH),
    ((2, 3, 2), D, [lying(N - 1, N), np.empty(N), np.empty(N)], ValueError, LENGTH),
    ((2, 3, 2), D, [np.empty(N), lying(N, N + 1), np.empty(N)], ValueError, LENGTH),
]


@pytest.mark.parametrize("periods, data, outs, error, message", CHECK_ORDER)
def test_check_order(periods, data, outs, error, message):
    before = [o.copy() for o in outs]
    references = [sys.getrefcount(o) for o in outs]
    with pytest.raises(BaseException) as caught:
        indicator_macd(*periods, data, *outs)
    assert type(caught.value) is error
    assert str(caught.value) == message
    for k in range(3):
        np.testing.assert_array_equal(outs[k], before[k])
    del caught
    assert [sys.getrefcount(o) for o in outs] == references
    assert borrow_registry.active() == 0


def test_keywords_in_any_order():
    data = np.arange(1.0, 40.0)
    expected = run(3, 7, 4, data)
    m, s, h = outputs(len(data))
    indicator_macd(hist_output=h, data=data, signal_period=4, macd_output=m,
                   slow_period=7, signal_output=s, fast_period=3)
    for want, got in zip(expected, (m, s, h)):
        np.testing.assert_array_equal(want, got)


@pytest.mark.parametrize("shared, holds", [
    ((1, 2), 2),        # signal and histogram one array: the histogram is written last
    ((0, 1), 1),
    ((0, 1, 2), 2),
])
def test_outputs_sharing_one_array(shared, holds):
    data = np.arange(1.0, 30.0) ** 1.5
    expected = run(3, 7, 4, data)
    outs = outputs(len(data))
    one = outs[shared[0]]
    for k in shared:
        outs[k] = one
    indicator_macd(3, 7, 4, data, *outs)
    np.testing.assert_array_equal(one, expected[holds])


def test_empty_and_single_element_arrays_pass():
    assert indicator_macd(1, 2, 3, np.empty(0), *outputs(0)) is None
    single = [np.full(3, 42.0)[::3] for _ in range(3)]
    indicator_macd(1, 2, 3, np.arange(5.0)[::5], *single)
    assert all(np.isnan(o[0]) for o in single)
