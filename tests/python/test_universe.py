"""The Dask example: a small universe on a cluster, checked against direct calls."""

import csv
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import ohlc
from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma

distributed = pytest.importorskip(
    "dask.distributed",
    reason="the Dask example needs dask[distributed]: pip install 'quorvane[dask]'")

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "universe.py"
SYMBOLS, BARS, SEED = 23, 300, 5


def directly(index):
    """The last close and indicator values of one symbol, by plain calls."""
    prices = ohlc.generated(BARS, (SEED, index), gaps=0)
    high, low, close = prices["high"], prices["low"], prices["close"]
    out = np.empty((6, BARS))
    indicator_sma(ohlc.SMA_PERIOD, close, out[0])
    indicator_ema(ohlc.EMA_PERIOD, close, out[1])
    indicator_macd(*ohlc.MACD_PERIODS, close, out[2], out[3], out[4])
    indicator_atr(ohlc.ATR_PERIOD, high, low, close, out[5])
    return [close[-1], *out[:, -1]]


@pytest.fixture
def running_cluster(tmp_path):
    """A scheduler and a worker started on their own, as on a real cluster:
    neither has the examples on its path. Yields the scheduler's address."""
    dask = Path(sys.executable).with_name("dask")
    file = tmp_path / "scheduler.json"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    started = [subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0",
                                 "--no-dashboard", "--scheduler-file", file],
                                cwd=tmp_path, env=env, stderr=subprocess.DEVNULL)]
    try:
        deadline = time.monotonic() + 60
        while not file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        started.append(subprocess.Popen([dask, "worker", "--scheduler-file", file, "--host",
                                         "127.0.0.1", "--nthreads", "2", "--no-dashboard"],
                                        cwd=tmp_path, env=env, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=str(file), timeout=60) as client:
            client.wait_for_workers(1, timeout=60)
            yield client.scheduler.address
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=60)


@pytest.mark.parametrize("cluster", ["local", "running", "tcp://127.0.0.1:9"])
def test_universe_matches_direct_calls_or_names_the_unreachable_scheduler(
        tmp_path, request, cluster):
    results = tmp_path / "latest.csv"
    command = [sys.executable, str(SCRIPT), "--symbols", str(SYMBOLS), "--bars", str(BARS),
               "--seed", str(SEED), "--batch", "5", "--out", str(results)]
    if cluster == "local":
        command += ["--workers", "1", "--threads", "2"]
    elif cluster == "running":
        command += ["--scheduler", request.getfixturevalue("running_cluster")]
    else:  # nothing listens there
        command += ["--scheduler", cluster, "--connect-timeout", "1"]
    run = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if cluster.startswith("tcp:"):
        assert run.returncode == 2 and run.stderr.count("\n") == 1, run.stderr
        assert run.stderr.startswith(f"universe.py: error: cannot reach scheduler {cluster}: ")
        return
    assert run.returncode == 0, run.stderr
    assert f"{SYMBOLS} symbols x {BARS} bars in " in run.stdout
    assert "symbols per second" in run.stdout

    with open(results, newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["symbol", "close", *ohlc.INDICATORS]
    assert [row[0] for row in rows[1:]] == [f"S{i:05d}" for i in range(SYMBOLS)]
    got = np.array([[float(x) for x in row[1:]] for row in rows[1:]])
    want = np.array([directly(i) for i in range(SYMBOLS)])
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
