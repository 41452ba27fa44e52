"""The examples as their users meet them, and the documents' Python blocks and links."""

# The demo reads CSV files or stops with one line naming the problem, and writes
# its chart; the Dask example gives what one process gives; every Python block
# of README.md and docs/ runs, and every link between them leads somewhere.

import ast
import contextlib
import csv
import io
import json
import os
import re
import subprocess
import sys
import time

import csvbars
import demo
import numpy as np
import ohlc
import pytest
import universe
from support import ROOT
from support.reference import same_bits

from quorvane import indicator_atr, indicator_sma

SAMPLE = ROOT / "tests" / "python" / "support" / "bars.csv"


def needs(*packages):
    for name in packages:
        pytest.importorskip(name, reason=f"the examples need {name}: pip install 'quorvane[test]'")


@pytest.mark.parametrize("header, missing, newest_first", [
    ('"Date",Open,High,Low,Close', ("",), False),  # quotes: read line by line
    ("date;OPEN;high;Low;close", ("nan", "NA"), True),
    ("Date\tOpen\tClose\tHigh\tLow\tVolume", ("null", "N/A"), False),
    ("Volume, close ,low,HIGH,open,DATE", ("NaN", "#N/A"), True),
])
def test_columns_are_found_whatever_the_layout(tmp_path, header, missing, newest_first):
    # The sample written again under the header, split by its separator, each
    # missing price as the next of `missing`, dates quoted if a name is.
    with open(SAMPLE, newline="") as file:
        rows = list(csv.DictReader(file))
    separator = re.search("[,;\t]", header).group()
    names = [name.strip(' "').capitalize() for name in header.split(separator)]
    quote = '"' if '"' in header else ""
    lines = [separator.join(f"{quote}{row[n]}{quote}" if n == "Date" else
                            row.get(n) or missing[i % len(missing)] for n in names)
             for i, row in enumerate(rows)]
    (tmp_path / "bars.csv").write_text(
        "\n".join([header] + lines[::-1 if newest_first else 1]) + "\n")
    said = []
    read = demo.read_csv(tmp_path / "bars.csv", say=said.append)
    expected = np.genfromtxt(SAMPLE, delimiter=",", names=True, dtype=None, encoding="utf-8")
    assert said == ["bars.csv: the dates run newest first; reversed them"] * newest_first
    assert list(read["date"]) == list(expected["Date"])
    assert all(same_bits(read[key], expected[key.capitalize()]) for key in ohlc.PRICES)
    assert list(read.get("volume", [])) == (list(expected["Volume"]) if "Volume" in header else [])


@pytest.mark.parametrize("terminal", [True, False])
def test_large_files_show_a_progress_bar_on_a_terminal(tmp_path, monkeypatch, capsys, terminal):
    needs("matplotlib", "tqdm")
    monkeypatch.setattr(csvbars, "PROGRESS_BYTES", SAMPLE.stat().st_size)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    demo.main(["--csv", str(SAMPLE), "--chart", str(tmp_path / "chart.png")])
    assert ("reading bars.csv" in capsys.readouterr().err) == terminal


@pytest.mark.parametrize("name, content, problem", [
    # Bars generated, and bars read: a chart is written.
    (None, None, None), ("bars.csv", SAMPLE.read_bytes(), None),
    # Files that cannot be used: one line naming the file, the line and the problem.
    ("bars.csv", b"", ":1: empty file, expected a header naming Date, Open, High, Low, Close"),
    ("bars.csv", b"Date,Open,High,Close\n1,2,3,4\n", ":1: missing column: Low"),
    ("bars.csv", b"Open,High\n1,2\n", ":1: missing columns: Date, Low, Close"),
    ("bars.csv", b"Date,Open,High,Low,Close,close\n", ":1: column 'close' appears twice"),
    ("bars.csv", b"Date,Open,High,Low,Close\n", ":2: no bars after the header"),
    ("bars.csv", b"Date,Open,High,Low,Close\n1,2,3,1,2\n2,2,3,1_0,2\n",
     ":3: column Low: '1_0' is not a number"),
    ("bars.csv", b"Date;Open;High;Low;Close\n1;2;3;1;2\n2;2;3;1;-Infinity\n",
     ":3: column Close: '-Infinity' is not a finite number"),
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


@pytest.mark.parametrize("chart, pipe, status, last", [
    ("chart", "", 0, "chart written to {tmp}/chart.png"),
    ("chart.xyz", "", 2, "demo.py: error: cannot draw a chart as '.xyz': --chart {tmp}/chart.xyz"),
    ("file/chart.png", "", 2, "demo.py: error: cannot write the chart to {tmp}/file/chart.png: "
                              "{tmp}/file is not a directory"),
    ("chart.png", "--bars 3000 --rows 3000 | head -2", 1, "Date"),
])
def test_demo_names_its_chart_and_ends_quietly_in_a_pipe(tmp_path, chart, pipe, status, last):
    needs("matplotlib", "tqdm")
    (tmp_path / "file").touch()
    command = f"'{sys.executable}' '{ROOT}/examples/demo.py' --chart '{tmp_path / chart}' "
    run = subprocess.run(["bash", "-o", "pipefail", "-c", command + pipe],
                         capture_output=True, text=True, timeout=300)
    # The last line of the output, or the only one of the errors.
    said = run.stderr or run.stdout.splitlines()[-1 if not pipe else 0]
    assert run.returncode == status and said.startswith(last.format(tmp=tmp_path)), run.stderr
    assert run.stderr.count("\n") == (status == 2)


def test_sma_and_atr_run_over_the_bars_that_have_prices():
    bars = ohlc.generated(600, 11)
    out, gaps = ohlc.indicators(bars), np.isnan(bars["close"])
    present = {k: bars[k][~gaps] for k in ohlc.PRICES}
    packed = np.empty(len(present["close"]))
    indicator_sma(ohlc.SMA_PERIOD, present["close"], packed)
    assert gaps.sum() >= 3 and same_bits(out["sma"][~gaps], packed)
    indicator_atr(ohlc.ATR_PERIOD, present["high"], present["low"], present["close"], packed)
    assert same_bits(out["atr"][~gaps], packed)
    assert np.isnan(out["sma"][gaps]).all() and np.isnan(out["atr"][gaps]).all()


@pytest.mark.parametrize("cluster", ["local", "running", "tcp://127.0.0.1:9"])
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
    elif cluster.startswith("tcp:"):  # nothing listens there
        where = ["--scheduler", cluster, "--connect-timeout", "1"]
    try:
        run = subprocess.run([sys.executable, str(ROOT / "examples" / "universe.py"), "--symbols",
                              "23", "--bars", "300", "--seed", "5", "--batch", "5",
                              "--out", str(tmp_path / "latest.csv"), *where],
                             capture_output=True, text=True, timeout=300)
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=60)
    if cluster.startswith("tcp:"):
        assert run.returncode == 2 and run.stderr.count("\n") == 1, run.stderr
        assert run.stderr.startswith(f"universe.py: error: cannot reach scheduler {cluster}: ")
        return
    assert run.returncode == 0, run.stderr
    assert re.search(r"^23 symbols x 300 bars in .* symbols per second$", run.stdout, re.M)
    with open(tmp_path / "latest.csv", newline="") as file:
        rows = list(csv.reader(file))[1:]
    assert [row[0] for row in rows] == [f"S{i:05d}" for i in range(23)]
    assert same_bits([[float(x) for x in row[1:]] for row in rows],
                     universe.latest(range(23), 300, 5))


DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCED = re.compile(r"^```.*?^```$", re.M | re.S)


def document_blocks():
    for path in DOCUMENTS:
        document, text = str(path.relative_to(ROOT)), path.read_text()
        for block in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
            line = text.count("\n", 0, block.start()) + 2
            yield pytest.param(block.group(1), document, line, id=f"{document} line {line}")


@pytest.mark.parametrize("code, document, line", list(document_blocks()))
def test_document_block_runs(code, document, line):
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import | ast.ImportFrom):
            for name in [a.name for a in node.names] if isinstance(node, ast.Import) else [node.module]:
                needs(name.partition(".")[0])
    # Line numbers in a traceback are the document's. A table row that a block
    # prints, as far as it prints it, is the start of a row of the document.
    with contextlib.redirect_stdout(io.StringIO()) as printed:
        exec(compile("\n" * (line - 1) + code, str(ROOT / document), "exec"), {"__name__": "readme"})
    rows = [row for row in printed.getvalue().splitlines() if row.startswith("| ")]
    text = (ROOT / document).read_text()
    assert all(f"\n{row} " in text for row in rows), rows


def anchors(path):
    # GitHub's: lower case, punctuation dropped, spaces to '-', repeats numbered.
    seen, found = {}, set()
    for heading in re.findall(r"^#+ (.*)$", FENCED.sub("", path.read_text()), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(f"{slug}-{seen[slug]}" if slug in seen else slug)
        seen[slug] = seen.get(slug, 0) + 1
    return found


def test_document_links_lead_to_files_and_headings():
    broken = []
    for path in DOCUMENTS:
        for target in re.findall(r"\]\(([^)\s]+)\)", FENCED.sub("", path.read_text())):
            if re.match(r"[a-z]+://", target):
                continue
            file, _, anchor = target.partition("#")
            file = (path.parent / file).resolve() if file else path
            if not file.exists() or anchor and (file.suffix != ".md" or anchor not in anchors(file)):
                broken.append(f"{path.relative_to(ROOT)}: {target}")
    assert not broken
