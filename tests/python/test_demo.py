"""The demo: its CSV reader, its handling of missing bars, its output."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import csvbars
import demo
import ohlc
from quorvane import indicator_atr, indicator_sma

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT.parent / "shared" / "data"
FIELDS = ("Open", "High", "Low", "Close")


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


@pytest.fixture
def demo_extra():
    for name in ("matplotlib", "tqdm"):
        pytest.importorskip(name, reason=f"the demo needs {name}: pip install 'quorvane[demo]'")


def write_csv(path, header, bars, missing=("",), newest_first=False):
    """Bars under `header`, split by its separator; missing prices take
    the markers of `missing` in turn; dates are quoted if a name is."""
    separator = re.search("[,;\t]", header).group()
    columns = [name.strip(' "').lower() for name in header.split(separator)]
    quote = '"' if '"' in header else ""
    lines, gaps = [], 0
    for i in range(len(bars["close"])):
        cells = {"date": f"{quote}{bars['date'][i]}{quote}", "volume": "1000"}
        for k in ohlc.PRICES:
            gaps += np.isnan(bars[k][i])
            cells[k] = missing[gaps % len(missing)] if np.isnan(bars[k][i]) else str(bars[k][i])
        lines.append(separator.join(cells[c] for c in columns))
    path.write_text("\n".join([header] + lines[::-1 if newest_first else 1]) + "\n")


@pytest.mark.parametrize("header, missing, newest_first", [
    ('"Date",Open,High,Low,Close', ("",), False),  # quotes: read line by line
    ("date;OPEN;high;Low;close", ("nan", "NA"), True),
    ("Date\tOpen\tClose\tHigh\tLow\tVolume", ("null", "N/A"), False),
    ("Volume, close ,low,HIGH,open,DATE", ("NaN", "#N/A"), True),
])
def test_columns_are_found_in_any_order_and_case(tmp_path, header, missing, newest_first):
    bars = ohlc.generated(300, 4)
    path = tmp_path / "bars.csv"
    write_csv(path, header, bars, missing, newest_first)
    said = []
    read = demo.read_csv(path, say=said.append)
    assert list(read["date"]) == [str(d) for d in bars["date"]]
    assert said == ["bars.csv: the dates run newest first; reversed them"] * newest_first
    for key in ohlc.PRICES:
        assert same_bits(read[key], bars[key]), key
    assert list(read.get("volume", [])) == [1000.0] * 300 * ("Volume" in header)


@pytest.mark.usefixtures("demo_extra")
@pytest.mark.parametrize("terminal", [True, False])
def test_large_files_show_a_progress_bar_on_a_terminal(tmp_path, monkeypatch, capsys, terminal):
    path = tmp_path / "bars.csv"
    write_csv(path, "Date,Open,High,Low,Close", ohlc.generated(200, 4))
    monkeypatch.setattr(csvbars, "PROGRESS_BYTES", path.stat().st_size)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    demo.main(["--csv", str(path), "--chart", str(tmp_path / "chart.png")])
    assert (f"reading {path.name}" in capsys.readouterr().err) == terminal


@pytest.mark.usefixtures("demo_extra")
@pytest.mark.parametrize("name, content, problem", [
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
def test_unusable_files_end_with_one_line_naming_file_line_and_problem(
        tmp_path, capsys, name, content, problem):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(SystemExit) as exit:
        demo.main(["--csv", str(path), "--chart", str(tmp_path / "chart.png")])
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert err.endswith(f": error: {path}{problem}\n") and err.count("\n") == 1, err
    assert not (tmp_path / "chart.png").exists()


@pytest.mark.parametrize("name", [
    "SP500_NOV2019_IDay.csv",  # its columns in another order
    "yahoofinance-AAPL-20040819-20180120.csv",
    "yahoofinance-INTC-19950101-20040412.csv",
    "yahoofinance-SPY-20080101-20180101.csv",
])
def test_real_files_read_as_numpy_reads_them(name):
    path = DATA / name
    if not path.is_file():
        pytest.skip(f"the real price file {path} is not there")
    expected = np.genfromtxt(path, delimiter=",", names=True, dtype=None, encoding="utf-8")
    read = demo.read_csv(path)
    for field in FIELDS:
        assert same_bits(read[field.lower()], expected[field].astype(np.float64)), field


def test_sma_and_atr_run_over_the_bars_that_have_prices():
    bars = ohlc.generated(600, 11)
    assert same_bits(bars["close"], ohlc.generated(600, 11)["close"])
    out = ohlc.into(bars, ohlc.allocated(600))
    gaps = np.isnan(bars["close"])
    assert gaps.sum() >= 3 and all(np.isnan(bars[k][gaps]).all() for k in ohlc.PRICES)

    present = {k: bars[k][~gaps] for k in ohlc.PRICES}
    packed = np.empty(len(present["close"]))
    indicator_sma(ohlc.SMA_PERIOD, present["close"], packed)
    assert same_bits(out["sma"][~gaps], packed) and np.isnan(out["sma"][gaps]).all()
    indicator_atr(ohlc.ATR_PERIOD, present["high"], present["low"], present["close"], packed)
    assert same_bits(out["atr"][~gaps], packed) and np.isnan(out["atr"][gaps]).all()


@pytest.mark.usefixtures("demo_extra")
@pytest.mark.parametrize("chart, pipe, status, last", [
    ("chart", "", 0, "chart written to {tmp}/chart.png"),
    ("chart.xyz", "", 2, "demo.py: error: cannot draw a chart as '.xyz': --chart {tmp}/chart.xyz"),
    ("file/chart.png", "", 2, "demo.py: error: cannot write the chart to {tmp}/file/chart.png: "
                              "{tmp}/file is not a directory"),
    ("chart.png", "--bars 3000 --rows 3000 | head -2", 1, "2015-01-02"),
])
def test_demo_prints_an_aligned_table_and_writes_a_chart(tmp_path, chart, pipe, status, last):
    (tmp_path / "file").touch()
    command = f"'{sys.executable}' '{ROOT}/examples/demo.py' --chart '{tmp_path / chart}' "
    run = subprocess.run(["bash", "-o", "pipefail", "-c", command + (pipe or "--rows 7")],
                         capture_output=True, text=True, timeout=300)
    # The last line of the output, or the only one of the errors.
    said = run.stderr or run.stdout.splitlines()[-1]
    assert run.returncode == status and said.startswith(last.format(tmp=tmp_path)), run.stderr
    assert run.stderr.count("\n") == (status == 2)
    if pipe or status:
        return
    table, _, tail = run.stdout.partition("\n\n")
    lines = table.splitlines()
    assert lines[0].split() == ["Date", "Close", "SMA(50)", "EMA(20)", "MACD(12,26,9)",
                                "Signal", "Hist", "ATR(14)"]
    assert len(lines) == 8 and len({len(line) for line in lines}) == 1, table
    dates = ohlc.generated(500, 11)["date"]
    assert [line.split()[0] for line in lines[1:]] == [str(d) for d in dates[-7:]]
    png = tmp_path / "chart.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 20_000
