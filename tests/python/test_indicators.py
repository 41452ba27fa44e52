"""The four indicators against their reference models."""

# One property per indicator; outputs placed over inputs; seeding in one pass.

import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import examples, reference
from support.arrays import Buffer, outputs
from support.calls import PARAMETERS, USUAL_PERIODS, Call, assert_call, counts
from support.strategies import calls, random_walk

import quorvane


@pytest.mark.parametrize("name", PARAMETERS)
@settings(max_examples=examples(1000))
@given(draw=st.data())
def test_calls_do_what_the_models_say(name, draw):
    # Every value bit for bit as the reference model writes it over the same
    # sharing of memory, at any alignment, or exactly the error of the first
    # failing check; reference counts, untouched arrays and the registry
    # checked either way.
    buffer, call = draw.draw(calls(name, reference.MODELS[name].longest))
    assert_call(call, buffer)


def run(name, periods, inputs):
    # The function's outputs (first filled with 42) over `inputs`.
    results = outputs(len(inputs[0]))[:counts(name)[2]]
    assert_call(Call(name, *periods, *inputs, *results))
    return results


def prices(n, seed, gaps):
    # A walk of n prices with NaN at `gaps`.
    walk = random_walk(n, seed)
    walk[gaps] = np.nan
    return walk


@pytest.mark.parametrize("name", PARAMETERS)
@pytest.mark.parametrize("shift", [0, 8 * 5, -8 * 5, 3, -13, 8 * 39 + 1])
def test_an_output_over_an_input_gives_the_separate_result(name, shift):
    # Each output in turn placed over each input, exactly, in part, or `shift`
    # bytes off the element grid: the results are those of separate arrays,
    # as if every input were read before any output is written.
    _, inputs, outs = counts(name)
    # Gaps after every warm-up (a NaN in MACD's first slow window blanks all of
    # it), so that each output holds values an overwritten input would change.
    values = [prices(40, k, [30, 36]) for k in range(inputs)]
    expected = run(name, USUAL_PERIODS[name], values)
    assert all(np.isfinite(e).sum() >= 6 for e in expected)
    for into in range(outs):
        for over in range(inputs):
            raw = bytearray(8 * 120)
            shared = np.frombuffer(raw, np.float64, 40, 8 * 40)
            shared[:] = values[over]
            arrays = [Buffer(v).array for v in values]
            arrays[over] = shared
            results = outputs(40)[:outs]
            results[into] = np.frombuffer(raw, np.float64, 40, 8 * 40 + shift)
            getattr(quorvane, name)(*USUAL_PERIODS[name], *arrays, *results)
            assert [r.tobytes() for r in results] == [e.tobytes() for e in expected], (into, over)


def gapped(n, every, tail=0):
    # Ones with a NaN at every `every`-th position, then `tail` twos.
    data = np.ones(n)
    data[every - 1::every] = np.nan
    data[n - tail:] = 2.0
    return data


@pytest.mark.parametrize("name, periods, data, last", [
    # Runs of period - 1 finite values, each broken by a NaN: testing every
    # candidate window from its first value costs n * period steps.
    ("indicator_ema", (200_000,), gapped(2_000_000, 200_000, tail=200_000), 2.0),
    # A NaN in every window: summing both windows afresh at each position
    # costs n * (fast + slow) steps.
    ("indicator_macd", (5000, 20_000, 9), gapped(1_000_000, 2000), None),
])
def test_seeding_is_linear_in_the_length(name, periods, data, last):
    # About 10**11 steps if quadratic (minutes); milliseconds in one pass. The
    # process's CPU time, unlike the clock's, does not grow when other work
    # shares the machine.
    results = outputs(len(data))[:counts(name)[2]]
    start = time.process_time()
    getattr(quorvane, name)(*periods, data, *results)
    assert time.process_time() - start < 10.0
    output = results[0]
    assert np.isnan(output[:-1]).all()
    assert output[-1] == last if last is not None else np.isnan(output[-1])
