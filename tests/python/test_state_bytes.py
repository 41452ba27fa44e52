"""Saved states: what a state writes always loads, and what it could not have
written is refused, cheaply and without a change."""

import pickle
import re
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvane_stream as qs

# class, periods, inputs and outputs, and the word that holds `seen`
STATES = {
    "sma": (qs.Sma, (3,), 1, 1, 2),
    "ema": (qs.Ema, (3,), 1, 1, 2),
    "macd": (qs.Macd, (3, 5, 2), 1, 3, 4),
    "atr": (qs.Atr, (3,), 3, 1, 2),
}
TOP = 2**64 - 1
EXTREMES = [0, 1, 2, 2**62, 2**63, TOP - 1, TOP]


def make(name, width, p=None):
    cls, p = STATES[name][0], p or STATES[name][1]
    return cls(*p) if width is None else cls(*p, width=width)


def feed(state, name, bars):
    """Feeds bars (inputs x time x lanes) and returns the outputs' bytes."""
    _, _, inputs, outputs, _ = STATES[name]
    width = re.search(r"width=(\d+)", repr(state))
    n, width = bars.shape[1], width and int(width[1])
    if width is None:
        outs = [np.empty(n) for _ in range(outputs)]
        state.update_many(*np.ascontiguousarray(bars[:, :, 0]), *outs)
        return b"".join(o.tobytes() for o in outs)
    got = b""
    for t in range(n):
        outs = [np.empty(width) for _ in range(outputs)]
        state.update(*np.resize(bars[:, t], (inputs, width)).copy(), *outs)
        got += b"".join(o.tobytes() for o in outs)
    return got


def bars(name, n, seed=0, lanes=5):
    rng = np.random.default_rng(seed)
    values = 100 + rng.standard_normal((STATES[name][2], n, lanes)).cumsum(axis=1)
    missing = rng.random(values.shape) < 0.15
    values[missing] = rng.choice([np.nan, -np.nan, np.inf, -np.inf], missing.sum())
    return values


def saved(state):
    return state.__reduce__()[2]


def words(data):
    return list(struct.unpack(f"={len(data) // 8}Q", data))


def packed(values):
    return struct.pack(f"={len(values)}Q", *values)


@pytest.mark.parametrize("name, p", [(name, None) for name in STATES] + [("atr", (TOP,))])
@pytest.mark.parametrize("width", [None, 0, 2, 5])
def test_at_the_top_of_the_count_a_state_gives_the_same_values_and_loads_what_it_saves(name, p, width):
    """A state whose count is moved near 2**64 (its MACD marks with it) steps
    like the original, and its count stops at the top instead of wrapping.
    ATR's seed needs period + 1 bars, so with the largest period it never
    comes, at the top either."""
    original = make(name, width, p)
    feed(original, name, bars(name, 30))
    w = words(saved(original))
    where = STATES[name][4] + (width is not None)
    shift = TOP - 3 - w[where]
    w[where] += shift
    if name == "macd":
        first = 11 - 3 if width is None else 6 + 3 * width
        for k in range(first, first + 3 * (1 if width is None else width)):
            w[k] += shift if w[k] else 0
    moved = make(name, width, p)
    moved.__setstate__(packed(w))
    for seed in range(1, 4):
        later = bars(name, 3, seed)
        assert feed(moved, name, later) == feed(original, name, later)
        copy = pickle.loads(pickle.dumps(moved))
        assert saved(copy) == saved(moved)
    assert repr(moved).endswith(f"seen={TOP})")


def hangs_not(code):
    subprocess.run([sys.executable, "-c", "import pickle, struct, quorvane_stream as qs\n" + code],
                   check=True, timeout=60)


def test_a_universe_of_no_series_loads_its_count_without_counting():
    hangs_not("""
n = 1 << 62
for cls, p, data in ((qs.Sma, (5,), struct.pack("<4Q", 0x51760011, n, 0, n)),
                     (qs.Macd, (1, 2, 1), struct.pack("<6Q", 0x51760013, 1, n, 1, 0, n))):
    state = cls(*p)
    state.__setstate__(data)
    assert repr(state).endswith(f"width=0, seen={n})"), repr(state)
    assert pickle.loads(pickle.dumps(state)).__reduce__() == state.__reduce__()
""")


# Single words the class could not have written: (name, width, bars fed,
# word, value). Each breaks one rule of its state.
CORRUPT = [
    ("sma", None, 2, 3, 0x3FF0000000000000),  # a filling sum other than its values'
    ("sma", 2, 0, 4, 0),  # +0.0 before any value
    ("ema", None, 4, 3, 3),  # an unseeded run as long as the period
    ("ema", None, 0, 3, 1),  # a run longer than what was seen
    ("ema", None, 4, 6, 1),  # seeded with a short run
    ("ema", 2, 0, 4, 0x7FF8000000000001),  # seeding, with another NaN as its average
    ("macd", None, 2, 5, 0),  # an average before the first value
    ("macd", None, 8, 8, 9),  # a mark beyond what was seen
    ("macd", 1, 8, 9, 0),  # the ring's newest NaN not marked
    ("atr", None, 1, 3, 0x3FF0000000000000),  # a sum before the second bar
    ("atr", 2, 0, 6, 0),  # a close before the first bar
]


@pytest.mark.parametrize("name, width, n, where, value", CORRUPT)
def test_a_state_the_class_could_not_have_written_is_refused(name, width, n, where, value):
    state = make(name, width)
    lanes = np.full((STATES[name][2], n, 3), 10.0)
    lanes[:, max(n - 2, 0):max(n - 1, 0), 0] = np.nan
    feed(state, name, lanes)
    w, before = words(saved(state)), saved(state)
    assert w[where] != value
    w[where] = value
    with pytest.raises(ValueError, match="^State bytes were not saved by this class$"):
        state.__setstate__(packed(w))
    assert saved(state) == before


def mutations(data, others):
    """Truncated, extended, a bit flipped, a word made extreme, or another's."""
    w = len(data) // 8
    return st.one_of(
        st.integers(0, len(data) - 1).map(lambda k: data[:k]),
        st.binary(min_size=1, max_size=24).map(lambda tail: data + tail),
        st.integers(0, 8 * len(data) - 1).map(
            lambda b: data[:b // 8] + bytes([data[b // 8] ^ 1 << b % 8]) + data[b // 8 + 1:]),
        st.tuples(st.integers(0, w - 1), st.sampled_from(EXTREMES)).map(
            lambda kv: data[:8 * kv[0]] + struct.pack("=Q", kv[1]) + data[8 * kv[0] + 8:]),
        st.sampled_from(others),
    )


@pytest.mark.parametrize("name", STATES)
@settings(max_examples=60)
@given(data=st.data())
def test_mutated_bytes_load_into_a_working_state_or_are_refused_without_a_change(name, data):
    width = data.draw(st.sampled_from([None, 0, 1, 3]))
    n = data.draw(st.integers(0, 8))
    source = make(name, width)
    feed(source, name, bars(name, n, n))
    original = saved(source)
    others = [saved(make(other, w)) for other in STATES for w in (None, 2) if other != name]
    others.append(saved(make(name, 2 if width is None else None)))
    mutated = data.draw(mutations(original, others))
    target = make(name, data.draw(st.sampled_from([None, 2])))
    feed(target, name, bars(name, 4, 9))
    before = saved(target)
    try:
        target.__setstate__(mutated)
    except ValueError:
        assert saved(target) == before
        return
    copy = make(name, None)
    copy.__setstate__(saved(target))
    assert saved(copy) == saved(target)
    later = bars(name, 3, 5)
    if mutated == original:
        assert feed(target, name, later) == feed(source, name, later)
    else:
        feed(target, name, later)
