"""The installed stub: type checkers find it and it matches the module."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="type checks need mypy: pip install 'quorvane[typing]'")

CORRECT = """
    import numpy as np
    import numpy.typing as npt
    from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma

    def smooth(prices: npt.NDArray[np.float64], period: int) -> npt.NDArray[np.float64]:
        out = np.empty_like(prices)
        indicator_sma(period, prices, out)
        indicator_ema(period=np.int64(period), data=prices, output=out)
        return out

    d = np.zeros(40)
    m, s, h = np.empty_like(d), np.empty_like(d), np.empty_like(d)
    indicator_macd(12, 26, 9, d, m, s, h)
    indicator_atr(True, d, d, d, smooth(d, 3))
"""

# Each line must draw an arg-type error from mypy.
WRONG = """
    import numpy as np
    from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma

    d = np.zeros(40)
    f32 = d.astype(np.float32)
    i64 = np.zeros(40, dtype=np.int64)
    indicator_sma(3, [1.0, 2.0], d)
    indicator_ema(3.0, d, d)
    indicator_macd(12, 26, "9", d, d, d, d)
    indicator_atr(14, d, d, f32, d)
    indicator_sma(3, d, i64)
"""


def test_mypy_accepts_correct_calls_and_rejects_wrong_argument_types(tmp_path):
    (tmp_path / "correct.py").write_text(textwrap.dedent(CORRECT))
    (tmp_path / "wrong.py").write_text(textwrap.dedent(WRONG))
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                              str(tmp_path / "cache"), "correct.py", "wrong.py"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = re.findall(r"^(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", checked.stdout, re.M)
    assert [e for e in errors if e[0] == "correct"] == [], checked.stdout
    wrong_lines = {str(i) for i, line in enumerate(textwrap.dedent(WRONG).splitlines(), 1)
                   if line.startswith("indicator_")}
    assert {line for name, line, code in errors if code == "arg-type"} == wrong_lines, \
        checked.stdout
    assert checked.returncode == 1


def test_stub_matches_the_module(tmp_path):
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quorvane"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
