"""The examples as their users meet them, and the README's Python blocks."""

# The demo reads CSV files or stops with one line naming the problem, and writes
# its chart; the Dask example gives what one process gives; every Python block
# of the README runs.

import ast
import csv
import json
import os
import re
import subprocess
import sys
import time

import numpy as np
import pytest

import demo
import ohlc
import universe
from quorvane import indicator_atr, indicator_sma
from support import ROOT

SAMPLE = ROOT / "tests" / "python" / "support" / "bars.csv"


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


def needs(*packages):
    for name in packages:
        pytest.importorskip(name, reason=f"the examples need {name}: pip install 'quorvane[test]'")


@pytest.mark.parametrize("header, missing", [
    ("Date,Open,Close,High,Low,Volume", ""), ("Volume, close ,low,HIGH,open,DATE", "null"),
    ("date,OPEN,high,Low,close,Extra", "NaN"),
])
def test_columns_are_found_in_any_order_and_case(tmp_path, header, missing):
    # The sample written again under the header, each missing price as `missing`.
    with open(SAMPLE, newline="") as file:
        rows = list(csv.DictReader(file))
    names = [name.strip().capitalize() for name in header.split(",")]
    lines = [header] + [",".join(row.get(n, "1") or missing for n in names) for row in rows]
    (tmp_path / "bars.csv").write_text("\n".join(lines) + "\n")
    read = demo.read_csv(tmp_path / "bars.csv")
    expected = np.genfromtxt(SAMPLE, delimiter=",", names=True, dtype=None, encoding="utf-8")
    assert list(read["date"]) == list(expected["Date"])
    assert all(same_bits(read[key], expected[key.capitalize()]) for key in ohlc.PRICES)


def test_large_files_show_a_progress_bar(monkeypatch, capsys):
    needs("tqdm")
    monkeypatch.setattr(demo, "PROGRESS_BYTES", SAMPLE.stat().st_size)
    demo.read_csv(SAMPLE, progress=True)
    assert "reading bars.csv" in capsys.readouterr().err


@pytest.mark.parametrize("name, content, problem", [
    # Bars generated, and bars read: a chart is written.
    (None, None, None), ("bars.csv", SAMPLE.read_bytes(), None),
    # Files that cannot be used: one line naming the file, the line and the problem.
    ("bars.csv", b"", ":1: empty file, expected a header naming Date, Open, High, Low, Close"),
    ("bars.csv", b"Date,Open,High,Close\n1,2,3,4\n", ":1: missing column: Low"),
    ("bars.csv", b"Open,High\n1,2\n", ":1: missing columns: Date, Low, Close"),
    ("bars.csv", b"Date,Open,High,Low,Close,close\n", ":1: column 'close' appears twice"),
    ("bars.csv", b"Date,Open,High,Low,Close\n", ":2: no bars after the header"),
    ("bars.csv", b"Date,Open,High,Low,Close\n1,2,3,1,2\n2,2,3,abc,2\n",
     ":3: column Low: 'abc' is not a number"),
    ("bars.csv", b"Date,Open,High,Low,Close\n1,2,3,1,2\n\n2,2,3,1\n",
     ":4: 4 fields where the header has 5"),
    ("bars.csv", b"Date,Open,High,Low,Close\n1,2,3,1,\xff\n", ":2: not UTF-8 text"),
    ("absent.csv", None, ": cannot read: No such file or directory"),
    (".", None, ": cannot read: Is a directory"),
])
def test_demo_writes_its_chart_or_names_the_problem(tmp_path, capsys, name, content, problem):
    needs("matplotlib", "tqdm")
    path, chart = tmp_path / str(name), tmp_path / "chart.png"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(SystemExit) as exit:
        demo.main((["--csv", str(path)] if name else []) + ["--chart", str(chart)])
        sys.exit(0)
    out, err = capsys.readouterr()
    if problem is None:
        assert exit.value.code == 0 and out.splitlines()[-1] == f"chart written to {chart}"
        assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert exit.value.code == 2 and err.endswith(f": error: {path}{problem}\n"), err
        assert err.count("\n") == 1 and not chart.exists()


def test_sma_and_atr_run_over_the_bars_that_have_prices():
    bars = ohlc.generated(600, 11)
    out, gaps = ohlc.into(bars, ohlc.allocated(600)), np.isnan(bars["close"])
    present = {k: bars[k][~gaps] for k in ohlc.PRICES}
    packed = np.empty(len(present["close"]))
    indicator_sma(ohlc.SMA_PERIOD, present["close"], packed)
    assert gaps.sum() >= 3 and same_bits(out["sma"][~gaps], packed)
    indicator_atr(ohlc.ATR_PERIOD, present["high"], present["low"], present["close"], packed)
    assert same_bits(out["atr"][~gaps], packed)
    assert np.isnan(out["sma"][gaps]).all() and np.isnan(out["atr"][gaps]).all()


@pytest.mark.parametrize("cluster", ["local", "running"])
def test_universe_gives_what_one_process_gives(tmp_path, cluster):
    needs("dask.distributed")
    where, started = ["--workers", "1", "--threads", "2"], []
    if cluster == "running":
        # A scheduler and a worker started on their own, as on a real cluster:
        # neither has the examples on its path.
        dask, file = os.path.join(os.path.dirname(sys.executable), "dask"), tmp_path / "cluster.json"
        options = dict(cwd=tmp_path, stderr=subprocess.DEVNULL,
                       env={key: value for key, value in os.environ.items() if key != "PYTHONPATH"})
        started.append(subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0",
                                         "--no-dashboard", "--scheduler-file", file], **options))
        deadline = time.monotonic() + 60
        while not file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        started.append(subprocess.Popen([dask, "worker", "--scheduler-file", file, "--host",
                                         "127.0.0.1", "--nthreads", "2", "--no-dashboard"], **options))
        where = ["--scheduler", json.loads(file.read_text())["address"]]
    try:
        run = subprocess.run([sys.executable, str(ROOT / "examples" / "universe.py"), "--symbols",
                              "23", "--bars", "300", "--seed", "5", "--batch", "5",
                              "--out", str(tmp_path / "latest.csv"), *where],
                             capture_output=True, text=True, timeout=300)
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=60)
    assert run.returncode == 0, run.stderr
    assert re.search(r"^23 symbols x 300 bars in .* symbols per second$", run.stdout, re.M)
    with open(tmp_path / "latest.csv", newline="") as file:
        rows = list(csv.reader(file))[1:]
    assert [row[0] for row in rows] == [f"S{i:05d}" for i in range(23)]
    assert same_bits([[float(x) for x in row[1:]] for row in rows],
                     universe.latest(range(23), 300, 5))


def readme_blocks():
    text = (ROOT / "README.md").read_text()
    for block in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
        line = text.count("\n", 0, block.start()) + 2
        yield pytest.param(block.group(1), line, id=f"line {line}")


@pytest.mark.parametrize("code, line", list(readme_blocks()))
def test_readme_block_runs(code, line):
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import | ast.ImportFrom):
            for name in [a.name for a in node.names] if isinstance(node, ast.Import) else [node.module]:
                needs(name.partition(".")[0])
    # Line numbers in a traceback are the README's.
    exec(compile("\n" * (line - 1) + code, str(ROOT / "README.md"), "exec"), {"__name__": "readme"})
