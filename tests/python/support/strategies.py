"""Hypothesis strategies: calls over adversarial prices and arguments."""

# Periods at every edge; arguments mostly sound and now and then anything at all.

import struct

import numpy as np
from hypothesis import strategies as st

from support.arrays import Buffer, Subclass
from support.calls import PARAMETERS, Call, Index, IntWithOtherIndex, TypeErrorSubclass, is_period
from support.reference import MODELS, NO_VALUE_BITS, PERIOD_MAX

NAN, INF = float("nan"), float("inf")
# Quiet NaNs of both signs and other payloads: when two meet in a sum, which
# one comes out shows the order of the operands.
NANS = [NAN, -NAN] + [float(np.uint64(b).view(np.float64)) for b in (
    NO_VALUE_BITS + 1, 0x7FFC00000000ABCD, 0xFFF8000000000123, 0xFFFFFFFFFFFFFFFF)]
SPECIAL = [*NANS, INF, -INF, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308, 1e16, 1e-300, 1.0]
prices = st.floats(min_value=1e-3, max_value=1e6)
values = st.one_of(prices, prices, st.floats(allow_subnormal=True), st.sampled_from(SPECIAL))


def random_walk(n, seed):
    return 100 * np.exp(np.random.default_rng(seed).normal(0, 0.01, n).cumsum())


@st.composite
def series(draw, n, edges=()):
    # Drawn values (mostly simple ones, whose sums seldom round) or a random
    # walk; then maybe a few specials, and maybe a run of one, now and then
    # starting at one of `edges` (where a warm-up ends).
    items = draw(st.lists(values, min_size=n, max_size=n)
                 | st.integers(0, 2**32 - 1).map(lambda seed: list(random_walk(n, seed))))
    if n and draw(st.booleans()):
        for _ in range(draw(st.integers(1, 3))):
            items[draw(st.integers(0, n - 1))] = draw(st.sampled_from(SPECIAL))
    if n and draw(st.booleans()):
        inside = [e for e in edges if 0 <= e < n]
        start = draw(st.integers(0, n - 1) | (st.sampled_from(inside) if inside else st.nothing()))
        run = draw(st.integers(1, 12))
        items[start:start + run] = [draw(st.sampled_from([*NANS, INF, -INF]))] * len(
            items[start:start + run])
    return items


def stream_series(n, p):
    # A series of n values whose runs now and then start where averages with
    # periods p seed or the signal line starts, as an array whose no-value
    # bits are swapped for another NaN's: a result's no-value NaN then cannot
    # have come from an input.
    def unmarked(items):
        array = np.array(items, dtype=np.float64)
        array[array.view(np.uint64) == NO_VALUE_BITS] = np.uint64(NO_VALUE_BITS + 1).view(np.float64)
        return array

    edges = [p[0] - 2, p[0] - 1, p[0]] + ([p[1] - 1, p[1] + p[2] - 2] if len(p) == 3 else []) if p else []
    return series(n, edges).map(unmarked)


@st.composite
def periods(draw, name, n):
    # Periods at the edges for n values; for MACD mostly small enough to seed
    # the averages and start the signal line.
    if name == "indicator_stoch":
        one = st.sampled_from([0, 1, 2, 3, PERIOD_MAX]) | st.integers(1, max(1, n // 3 + 1))
        return [draw(one), draw(one), draw(one)]
    if not MODELS[name].usual:
        return []
    if name != "indicator_macd":
        period = [draw(st.sampled_from([0, 1, 2, n, n + 1, PERIOD_MAX]) | st.integers(0, n + 2)
                       | st.integers(0, PERIOD_MAX))]
        # Bollinger's k: a finite number of at least 0.
        k = st.sampled_from([0.0, 1.0, 2.0, 2.5]) | st.floats(0.0, 1e300)
        return period + [draw(k)] if name == "indicator_bbands" else period
    fast = draw(st.sampled_from([1, 2, 3, 5, PERIOD_MAX - 1]) | st.integers(1, 30) | st.integers(1, n + 2))
    slow = draw(st.integers(fast + 1, max(fast + 1, n)) | st.integers(fast + 1, fast + 40)
                | st.integers(fast + 1, fast + n + 2) | st.just(PERIOD_MAX))
    signal = draw(st.integers(1, max(1, n - slow + 2)) | st.integers(1, 40) | st.integers(1, n + 2)
                  | st.sampled_from([1, 2, 3, PERIOD_MAX]))
    return [fast, slow, signal]


def taken_periods(name, n):
    # Periods that the batch function and the streaming class both take.
    return periods(name, n).filter(lambda p: max(p, default=0) <= PERIOD_MAX)


integers = st.one_of(st.integers(-2**70, 2**70), st.integers(0, 40),
                     st.sampled_from([0, 1, -1, 2**63, PERIOD_MAX, PERIOD_MAX + 1, -2**63]))
raised = st.tuples(st.sampled_from([TypeError, TypeErrorSubclass, ValueError, OverflowError,
                                    KeyError, ZeroDivisionError]), st.text(max_size=4))
objects = st.one_of(
    integers, st.booleans(), st.floats(), st.none(), st.text(max_size=3),
    st.lists(st.floats(), max_size=3),
    st.builds(Index, value=integers | st.floats() | st.text(max_size=2)),
    st.builds(Index, error=raised), st.builds(IntWithOtherIndex, integers),
    st.builds(np.int64, st.integers(-2**63, 2**63 - 1)), st.builds(np.uint64, st.integers(0, PERIOD_MAX)),
    st.builds(np.uint8, st.integers(0, 255)), st.builds(np.float64, st.floats()),
    st.builds(np.array, st.integers(-5, 50)),  # a 0-d integer array has __index__
)


@st.composite
def foreign_arrays(draw, n):
    # Arrays of other dtypes or dimensions, in memory of their own.
    dtype = draw(st.sampled_from(["f8", ">f8", "f4", "f2", "i8", "u1", "?", "c16", "O", "M8[s]"]))
    shapes = [(), (n, 1), (1, n), (2, 2, 2)] + ([] if dtype == "f8" else [(n,)])
    return np.zeros(draw(st.sampled_from(shapes)), dtype)


@st.composite
def views(draw, buffer, n, bent):
    # A view of the buffer: n consecutive elements, mostly writeable, or, when
    # bent, of any length, step and writeability.
    size = len(buffer)
    length, step, writeable = n, 1, draw(st.integers(0, 9)) > 0
    if bent:
        step = draw(st.sampled_from([1, 2, -1, 0, 3]))
        length = draw(st.integers(0, size))
        writeable = draw(st.booleans())
    reach = abs(step) * (length - 1) if length else 0
    if reach >= size and length > 0:
        length, reach = min(1, size), 0
    low, high = (reach if step < 0 else 0), size - 1 - (reach if step > 0 else 0)
    start = draw(st.integers(low, max(low, high))) if size else 0
    view = buffer.view(start, length, step, writeable)
    return view.view(Subclass) if bent and draw(st.booleans()) else view


@st.composite
def calls(draw, name, longest):
    # A Buffer, and a Call of `name` whose arrays are views of it: mostly
    # sound arguments, some replaced by anything, bound by position, keyword
    # or both, and now and then bound wrongly.
    parameters = PARAMETERS[name]
    n = draw(st.integers(0, 12) | st.integers(0, longest))
    size = draw(st.integers(n, n + 8) | st.integers(n, 3 * n + 4))
    buffer = Buffer(draw(series(size)), misalign=draw(st.integers(0, 7)),
                    writeable=draw(st.integers(0, 9)) > 0)
    sound = iter(draw(periods(name, n)))
    wild = draw(st.just(set()) | st.sets(st.sampled_from(parameters), min_size=1, max_size=3))
    arguments = {}
    for parameter in parameters:
        if is_period(parameter):
            arguments[parameter] = draw(objects) if parameter in wild else next(sound)
            continue
        earlier = [a for a in arguments.values() if isinstance(a, np.ndarray)]
        choices = [views(buffer, n, bent=parameter in wild)]
        if parameter in wild:
            choices += [objects, foreign_arrays(n)] + ([st.sampled_from(earlier)] if earlier else [])
        arguments[parameter] = draw(st.one_of(choices))
    split = draw(st.integers(0, len(parameters)))
    args = [arguments[p] for p in parameters[:split]]
    kwargs = {p: arguments[p] for p in draw(st.permutations(parameters[split:]))}
    if draw(st.integers(0, 9)) == 0:
        args = args[:draw(st.integers(0, len(args)))] + draw(st.lists(objects, max_size=2))
        kwargs = {k: v for k, v in kwargs.items() if draw(st.integers(0, 3))}
        kwargs.update(draw(st.dictionaries(st.sampled_from(parameters) | st.text(max_size=3),
                                           objects, max_size=2)))
    return buffer, Call(name, *args, **kwargs)


def mutations(data, others):
    # Saved bytes truncated, extended, a bit flipped, a word made extreme, or another's.
    w = len(data) // 8
    return st.one_of(
        st.integers(0, len(data) - 1).map(lambda k: data[:k]),
        st.binary(min_size=1, max_size=24).map(lambda tail: data + tail),
        st.integers(0, 8 * len(data) - 1).map(
            lambda b: data[:b // 8] + bytes([data[b // 8] ^ 1 << b % 8]) + data[b // 8 + 1:]),
        st.tuples(st.integers(0, w - 1), st.sampled_from([0, 1, 2, 2**62, 2**63, PERIOD_MAX - 1,
                                                          PERIOD_MAX])).map(
            lambda kv: data[:8 * kv[0]] + struct.pack("=Q", kv[1]) + data[8 * kv[0] + 8:]),
        st.sampled_from(others),
    )
