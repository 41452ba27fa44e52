"""Saved states: what a state writes always loads, and what it could not have
written is refused, cheaply and without a change."""

import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import examples, run_python
from support.calls import INDICATORS
from support.reference import PERIOD_MAX as TOP
from support.strategies import mutations
from support.streams import STATES, bars, feed, make, packed, saved, words


@pytest.mark.parametrize("name, p", [(name, None) for name in STATES] + [("indicator_atr", (TOP,))])
@pytest.mark.parametrize("width", [None, 0, 2, 5])
def test_at_the_top_of_the_count_a_state_gives_the_same_values_and_loads_what_it_saves(name, p, width):
    """A state whose count is moved near 2**64 (its MACD marks with it) steps
    like the original, and its count stops at the top instead of wrapping.
    ATR's seed needs period + 1 bars, so with the largest period it never
    comes, at the top either."""
    original = make(name, width, p)
    feed(original, name, bars(name, 30))
    w = words(saved(original))
    where = STATES[name][1] + (width is not None)
    shift = TOP - 3 - w[where]
    w[where] += shift
    if name == "indicator_macd":
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


def test_a_universe_of_no_series_loads_its_count_without_counting():
    run_python("""
import pickle, struct, quorvane_stream as qs
n = 1 << 62
for cls, p, data in ((qs.Sma, (5,), struct.pack("<4Q", 0x51760031, n, 0, n)),
                     (qs.Macd, (1, 2, 1), struct.pack("<6Q", 0x51760033, 1, n, 1, 0, n))):
    state = cls(*p)
    state.__setstate__(data)
    assert repr(state).endswith(f"width=0, seen={n})"), repr(state)
    assert pickle.loads(pickle.dumps(state)).__reduce__() == state.__reduce__()
""")


# The last byte of each kind's tag on a single series; a universe's is 0x10 more.
TAGS = {"indicator_sma": 0x21, "indicator_ema": 0x22, "indicator_macd": 0x23, "indicator_atr": 0x24,
        "indicator_wma": 0x25, "indicator_rsi": 0x26, "indicator_bbands": 0x27, "indicator_stoch": 0x28,
        "indicator_willr": 0x29, "indicator_adx": 0x2A, "indicator_cci": 0x2B, "indicator_obv": 0x2C,
        "indicator_roc": 0x2D, "indicator_mom": 0x2E, "indicator_dema": 0x2F, "indicator_tema": 0x41}


@pytest.mark.parametrize("name", STATES)
def test_saved_bytes_open_with_the_tag_of_their_kind(name):
    # Bytes saved by earlier builds must still load: the tags never change.
    tag = 0x51760000 + TAGS[name]
    assert [words(saved(make(name, w)))[0] for w in (None, 0, 2)] == [tag, *[tag + 0x10] * 2]


# Single words the class could not have written: (name, width, bars fed,
# word, value). Each breaks one rule of its state.
CORRUPT = [
    ("indicator_sma", None, 2, 3, 0x3FF0000000000000),  # a filling sum other than its values'
    ("indicator_sma", 2, 0, 4, 0),  # +0.0 before any value
    ("indicator_ema", None, 4, 3, 3),  # an unseeded run as long as the period
    ("indicator_ema", None, 0, 3, 1),  # a run longer than what was seen
    ("indicator_ema", None, 4, 6, 1),  # seeded with a short run
    ("indicator_ema", 2, 0, 4, 0x7FF8000000000001),  # seeding, with another NaN as its average
    ("indicator_macd", None, 2, 5, 0),  # an average before the first value
    ("indicator_macd", None, 8, 8, 9),  # a mark beyond what was seen
    ("indicator_macd", 1, 8, 9, 0),  # the ring's newest NaN not marked
    ("indicator_atr", None, 1, 3, 0x3FF0000000000000),  # a sum before the second bar
    ("indicator_atr", 2, 0, 6, 0),  # a close before the first bar
    ("indicator_sma", None, 0, 4, 0),  # a latest value before any value
    ("indicator_sma", 2, 2, 6, 5),  # a lane restarted after the bars seen
    ("indicator_macd", 1, 8, 12, 1),  # a lane restarted longer ago than its warm-up
    ("indicator_ema", 2, 0, 10, 1),  # a value missing at a bar not yet seen
    ("indicator_bbands", None, 4, 2, 0x7FF8000000000000),  # k NaN
    ("indicator_bbands", 2, 4, 2, 0xBFF0000000000000),  # k -1.0
    ("indicator_bbands", None, 4, 8, 0x4014000000000000),  # 5.0 steps since a fresh sum, at period 3
    ("indicator_bbands", None, 4, 9, 0x3FF0000000000000),  # a spoil other than +0.0 or a NaN
    ("indicator_adx", None, 2, 6, 0x3FF0000000000000),  # a sum of DXs before the first DI
]


@pytest.mark.parametrize("name, width, n, where, value", CORRUPT)
def test_a_state_the_class_could_not_have_written_is_refused(name, width, n, where, value):
    state = make(name, width)
    lanes = np.full((INDICATORS[name][3], n, 3), 10.0)
    lanes[:, max(n - 2, 0):max(n - 1, 0), 0] = np.nan
    feed(state, name, lanes)
    w, before = words(saved(state)), saved(state)
    assert w[where] != value
    w[where] = value
    with pytest.raises(ValueError, match="^State bytes were not saved by this class$"):
        state.__setstate__(packed(w))
    assert saved(state) == before


@pytest.mark.parametrize("name", STATES)
@settings(max_examples=examples(60))
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
