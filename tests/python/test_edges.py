"""The edges the checks let through or stop: read-only outputs, unaligned
arrays, and outputs that overlap inputs in part."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorvane
from aliasing import Buffer, placed
from reference import assert_matches
from strategies import values

N = 6

# Per function: periods for the edge cases, inputs, outputs.
SHAPES = {
    "indicator_sma": ((3,), 1, 1),
    "indicator_ema": ((3,), 1, 1),
    "indicator_macd": ((2, 3, 2), 1, 3),
    "indicator_atr": ((2,), 3, 1),
}


def readonly(n=N):
    return np.frombuffer(bytes(8 * n))


def writeable(n=N):
    return np.full(n, 42.0)


def strided_readonly(n=N):
    return np.frombuffer(bytes(16 * n))[::2]


def flagged_readonly(n=N):
    array = writeable(n)
    array.flags.writeable = False
    return array


SMA_LIKE = ["indicator_sma", "indicator_ema", "indicator_atr"]
LENGTH = {
    "indicator_sma": "Output array length must match input",
    "indicator_ema": "Output array length must match input",
    "indicator_atr": "All arrays must have the same length",
}

# (function, outputs, message): a read-only output is refused after every
# other check of the function.
READ_ONLY = [
    *[(f, [make()], "Output array must be writeable")
      for f in SMA_LIKE for make in (readonly, flagged_readonly, lambda: readonly(0))],
    *[(f, [readonly(N + 1)], LENGTH[f]) for f in SMA_LIKE],
    *[(f, [strided_readonly()], "Output array must be C-contiguous and float64")
      for f in SMA_LIKE],
    ("indicator_macd", [readonly(), writeable(), writeable()],
     "MACD output array must be writeable"),
    ("indicator_macd", [writeable(), flagged_readonly(), readonly()],
     "Signal output array must be writeable"),
    ("indicator_macd", [writeable(), writeable(), readonly()],
     "Histogram output array must be writeable"),
    ("indicator_macd", [readonly(), writeable(), writeable()[::-1]],
     "Histogram output array must be C-contiguous"),
    ("indicator_macd", [readonly(), writeable(N - 1), writeable()],
     "All output arrays must have the same length as input data"),
]


def call(name, outputs):
    """The function over inputs as long as its first output, N at most."""
    periods, inputs, _ = SHAPES[name]
    data = [np.linspace(1.0, 2.0, min(len(outputs[0]), N)) for _ in range(inputs)]
    return getattr(quorvane, name)(*periods, *data, *outputs)


@pytest.mark.parametrize("name, outputs, message", READ_ONLY)
def test_read_only_outputs_are_refused(name, outputs, message):
    before = [o.tobytes() for o in outputs]
    with pytest.raises(ValueError) as caught:
        call(name, outputs)
    assert caught.value.args == (message,)
    assert [o.tobytes() for o in outputs] == before


def test_read_only_memory_map_is_not_written(tmp_path):
    path = tmp_path / "prices.f8"
    path.write_bytes(np.arange(float(N)).tobytes())
    mapped = np.memmap(path, dtype=np.float64, mode="r")
    with pytest.raises(ValueError, match="^Output array must be writeable$"):
        quorvane.indicator_sma(2, np.ones(N), mapped)
    del mapped
    assert path.read_bytes() == np.arange(float(N)).tobytes()


def prices(n, seed):
    walk = 100 * np.exp(np.cumsum(np.random.default_rng(seed).normal(0, 0.01, n)))
    walk[[n // 3, n // 2]] = np.nan
    return walk


@pytest.mark.parametrize("name", SHAPES)
@pytest.mark.parametrize("misalign", [1, 4, 7])
def test_unaligned_arrays_give_the_aligned_results(name, misalign):
    periods, inputs, outputs = SHAPES[name]
    n = 200
    aligned_in = [prices(n, k) for k in range(inputs)]
    unaligned_in = [Buffer(a, misalign, writeable=False).array for a in aligned_in]
    aligned_out = [np.empty(n) for _ in range(outputs)]
    unaligned_out = [Buffer(np.zeros(n), misalign).array for _ in range(outputs)]
    assert all(a.ctypes.data % 8 == misalign for a in unaligned_in + unaligned_out)
    function = getattr(quorvane, name)
    function(*periods, *aligned_in, *aligned_out)
    function(*periods, *unaligned_in, *unaligned_out)
    assert [o.tobytes() for o in unaligned_out] == [o.tobytes() for o in aligned_out]


@st.composite
def periods_for(draw, name, n):
    if name == "indicator_macd":
        fast = draw(st.integers(1, 5))
        return fast, draw(st.integers(fast + 1, fast + 8)), draw(st.integers(1, 5))
    return (draw(st.integers(0, n + 1)),)


@pytest.mark.parametrize("name", SHAPES)
@given(draw=st.data())
def test_overlap_gives_the_kernels_steps_one_at_a_time(name, draw):
    """Every array argument lies `shift` elements after the previous one in
    one buffer, so outputs overlap inputs in part, ahead or behind; the
    result is the model's, run over the same sharing."""
    _, inputs, outputs = SHAPES[name]
    n = draw.draw(st.integers(0, 30))
    shift = draw.draw(st.integers(-n - 1, n + 1))
    periods = draw.draw(periods_for(name, n))
    count = inputs + outputs
    cells = draw.draw(st.lists(values, min_size=n + abs(shift) * (count - 1),
                               max_size=n + abs(shift) * (count - 1)))
    buffer, arrays = placed(cells, count, n, shift, misalign=draw.draw(st.integers(0, 7)))
    expected = buffer.expected(name, periods, arrays)
    assert getattr(quorvane, name)(*periods, *arrays) is None
    assert_matches(expected, buffer.array)
