"""Long runs and threads."""

# A hundred thousand calls leak nothing; calls from many threads at once give
# the serial results; SMA, EMA and MACD let other threads run while their
# kernels do, and ATR keeps the lock.

import copy
import gc
import os
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest
from support import registry
from support.calls import PARAMETERS, USUAL_PERIODS, Call, counts, predict, predict_stream
from support.strategies import random_walk
from support.tables import REFUSED, STREAM

import quorvane
import quorvane_stream as qs


class Job:
    # One function over inputs of n prices with its usual periods.
    def __init__(self, name, n):
        self.name, self.inputs = name, [random_walk(n, k) for k in range(counts(name)[1])]
        for data in self.inputs:
            data[[n // 3, n // 2]] = np.nan

    def outputs(self):
        return [np.full(len(self.inputs[0]), 42.0) for _ in range(counts(self.name)[2])]

    def __call__(self, outputs):
        getattr(quorvane, self.name)(*USUAL_PERIODS[self.name], *self.inputs, *outputs)
        return [o.tobytes() for o in outputs]


def test_a_long_run_on_every_path_leaks_nothing():
    held, d = np.arange(5.0), np.arange(5.0, 10.0)
    failing = [(call, predict(call)[0][0]) for call in REFUSED.values()] + [
        (Call("indicator_sma", 3, held, np.empty(5)), BufferError),
        (Call("indicator_atr", 3, d, held, d, np.empty(5)), BufferError)]
    failing += [(call, predict_stream(call)[0]) for call in STREAM]
    jobs = [(job, job.outputs()) for job in (Job(name, 64) for name in PARAMETERS)]
    # About as many successes as failures.
    calls = [lambda job=job, out=out: job(out) for job, out in jobs] * (len(failing) // 8)
    calls += stream_successes() * (len(failing) // 40)
    calls += [lambda call=call, error=error: pytest.raises(error, call) for call, error in failing]
    passed = [x for call, _ in failing for x in call.objects()]
    passed += [x for job, outputs in jobs for x in job.inputs + outputs]
    with registry.held_exclusively(held):
        for k in range(10_000):  # warms up every cache on the way
            calls[k % len(calls)]()
        references = [sys.getrefcount(x) for x in passed]
        gc.collect()
        tracemalloc.start()
        rss = resident_bytes()
        for k in range(100_000):
            calls[k % len(calls)]()
        gc.collect()
        traced, rss = tracemalloc.get_traced_memory()[0], resident_bytes() - rss
        tracemalloc.stop()
        assert [sys.getrefcount(x) for x in passed] == references
        assert registry.active() == 1
    assert registry.active() == 0
    print(f"\n100,000 calls: traced memory grew {traced} bytes, resident memory {rss} bytes")
    assert traced < 4096
    with open("/proc/self/maps") as maps:
        if "libasan" not in maps.read():  # the sanitizer's allocator holds freed memory back
            assert rss < 2 * 2**20


def stream_successes():
    # Every streaming method that succeeds, on a single series and a universe of 3.
    calls = []
    for cls in (qs.Sma, qs.Ema, qs.Macd, qs.Atr):
        periods, inputs = ((2, 3, 2), 1) if cls is qs.Macd else ((3,), 3 if cls is qs.Atr else 1)
        outputs = [np.empty(64) for _ in range(3 if cls is qs.Macd else 1)]
        single, universe = cls(*periods), cls(*periods, width=3)
        data, bar = random_walk(64, 1), [np.full(3, 2.0)] * inputs + [o[:3] for o in outputs]
        calls += [lambda s=single, i=inputs: s.update(*[1.5] * i),
                  lambda s=single, i=inputs: s.peek(*[1.5] * i),
                  lambda s=single, a=[data] * inputs + outputs: s.update_many(*a),
                  lambda u=universe, b=bar: u.update(*b), lambda u=universe, b=bar: u.peek(*b),
                  lambda s=single: s.__setstate__(s.__reduce__()[2]), lambda u=universe: repr(u),
                  lambda u=universe: copy.deepcopy(u)]
    return calls


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_threads_give_the_serial_results():
    jobs = [Job(name, 50_000) for name in PARAMETERS]
    expected, start, failures = [job(job.outputs()) for job in jobs], threading.Barrier(8), []

    def work():
        start.wait()
        own = [job.outputs() for job in jobs]
        for c in range(100):
            if jobs[c % 4](own[c % 4]) != expected[c % 4]:
                failures.append((jobs[c % 4].name, c))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switching often
    threads = [threading.Thread(target=work) for _ in range(8)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == [] and registry.active() == 0


def ticks_inside(call):
    # Ticks a second thread makes while `call` runs. The ticker gives the
    # interpreter lock up after every tick and forced switching is off (an
    # interval far longer than the test), so the lock changes hands only when
    # a thread gives it up: a call that holds it throughout sees no tick, one
    # that releases it around its kernel lets the ticker run meanwhile.
    ticks, stop = 0, threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        while ticks == 0:
            time.sleep(0.001)
        before = ticks
        call()
        return ticks - before
    finally:
        stop.set()
        ticker.join()
        sys.setswitchinterval(interval)


def test_only_atr_keeps_the_lock_while_its_kernel_runs():
    data = np.random.default_rng(1).random(30_000_000)
    outputs = [np.zeros_like(data) for _ in range(3)]
    for name, periods in USUAL_PERIODS.items():
        _, inputs, results = counts(name)
        call = getattr(quorvane, name)
        ticks = ticks_inside(lambda: call(*periods, *[data] * inputs, *outputs[:results]))
        assert (ticks == 0) == (name == "indicator_atr"), (name, ticks)
