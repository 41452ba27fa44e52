"""Long runs and threads: a hundred thousand calls leak nothing, and calls
from many threads at once give the serial results or, while a cooperating
writer holds an input, refuse without touching their outputs."""

import gc
import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import borrow_registry
import quorvane
# The error tables of the other test files: between them, every error path.
import test_arrays
import test_binding
from arguments import USUAL_PERIODS, Call, ascending, counts
from test_indicators import prices

CALLS = 100_000
THREADS = 8
CALLS_PER_THREAD = 100
HELD = "argument '{}': array memory is held exclusively by another extension"


class Job:
    """One function over shared inputs, with its usual periods, writing
    outputs of its own."""

    def __init__(self, name, inputs):
        self.name, self.inputs = name, inputs

    def fresh_outputs(self):
        return [np.full(len(self.inputs[0]), 42.0) for _ in range(counts(self.name)[2])]

    def __call__(self, outputs):
        return getattr(quorvane, self.name)(*USUAL_PERIODS[self.name], *self.inputs, *outputs)


def jobs(n):
    inputs = [prices(n, seed) for seed in range(3)]
    return {name: Job(name, inputs[:counts(name)[1]]) for name in USUAL_PERIODS}


def refused(call, error):
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError(f"went through, expected {error.__name__}")
    return run


def mixed_calls(held):
    """Calls on every success path and every error path, and the objects
    they pass; `held` is an input that a writer holds exclusively."""
    work = [(job, job.fresh_outputs()) for job in jobs(64).values()]
    succeeding = [lambda job=job, out=out: job(out) for job, out in work]
    d, o = ascending(), np.empty(5)
    rows = [*test_binding.REFUSED, *test_arrays.REFUSED,
            (Call("indicator_sma", 3, held, np.empty(len(held))), BufferError, None),
            (Call("indicator_atr", 3, d, held, d, o), BufferError, None)]
    failing = [refused(call, error) for call, error, _ in rows]
    passed = [x for call, _, _ in rows for x in call.objects()]
    passed += [x for job, outputs in work for x in job.inputs + outputs]
    # About as many successes as failures.
    return succeeding * (len(failing) // len(succeeding)) + failing, passed


def run(calls, count):
    for k in range(count):
        calls[k % len(calls)]()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def test_long_mixed_run_leaks_nothing():
    held = np.arange(5.0)
    with borrow_registry.held_exclusively(held):
        calls, passed = mixed_calls(held)
        tracemalloc.start()
        try:
            run(calls, CALLS // 10)  # warms up every cache on the way
            references = [sys.getrefcount(x) for x in passed]
            gc.collect()
            traced, rss = tracemalloc.get_traced_memory()[0], resident_bytes()
            run(calls, CALLS)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced
            rss_growth = resident_bytes() - rss
        finally:
            tracemalloc.stop()
        assert [sys.getrefcount(x) for x in passed] == references
        assert borrow_registry.active() == 1
    assert borrow_registry.active() == 0
    print(f"\n{CALLS} calls ({len(calls)} kinds): traced memory grew {traced_growth} bytes, "
          f"resident memory {rss_growth} bytes")
    assert traced_growth < 4096
    if not sanitized():  # the sanitizer's allocator holds freed memory back
        assert rss_growth < 2 * 2**20


def in_threads(work):
    """Runs work(k) in THREADS threads started together; re-raises the
    first failure."""
    start = threading.Barrier(THREADS)
    failures = []

    def run(k):
        start.wait()
        try:
            work(k)
        except BaseException as failure:  # noqa: BLE001 - reported below
            failures.append(failure)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    if failures:
        raise failures[0]


def serial_results(jobs):
    results = {}
    for name, job in jobs.items():
        outputs = job.fresh_outputs()
        job(outputs)
        results[name] = [o.tobytes() for o in outputs]
    return results


def test_threads_give_the_serial_results():
    shared = jobs(50_000)
    expected = serial_results(shared)
    names = list(shared)

    def work(k):
        own = {name: job.fresh_outputs() for name, job in shared.items()}
        for c in range(CALLS_PER_THREAD):
            name = names[(k + c) % len(names)]
            for output in own[name]:
                output.fill(42.0)
            shared[name](own[name])
            assert [o.tobytes() for o in own[name]] == expected[name], (name, k, c)

    in_threads(work)
    assert borrow_registry.active() == 0


@pytest.mark.parametrize("name, parameter, index", [
    ("indicator_sma", "data", 0), ("indicator_ema", "data", 0), ("indicator_macd", "data", 0),
    ("indicator_atr", "high", 0), ("indicator_atr", "low", 1), ("indicator_atr", "close", 2),
])
def test_writer_holding_an_input_stops_calls_until_it_lets_go(name, parameter, index):
    job = jobs(5_000)[name]
    expected = serial_results({name: job})[name]
    untouched = [o.tobytes() for o in job.fresh_outputs()]
    holding, release = threading.Event(), threading.Event()

    def writer():
        with borrow_registry.held_exclusively(job.inputs[index]):
            holding.set()
            release.wait()

    def refusing(_):
        outputs = job.fresh_outputs()
        for _ in range(20):
            with pytest.raises(BufferError) as caught:
                job(outputs)
            assert str(caught.value) == HELD.format(parameter)
            assert [o.tobytes() for o in outputs] == untouched

    def succeeding(_):
        outputs = job.fresh_outputs()
        for _ in range(20):
            job(outputs)
            assert [o.tobytes() for o in outputs] == expected

    holder = threading.Thread(target=writer)
    holder.start()
    try:
        assert holding.wait(10)
        in_threads(refusing)
    finally:
        release.set()
        holder.join()
    in_threads(succeeding)
    assert borrow_registry.active() == 0
