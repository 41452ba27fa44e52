"""The installed stub: type checkers find it and it matches the module."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="type checks need mypy: pip install 'quorvane[typing]'")

# Calls that mypy must accept, then lines marked `# wrong` that it must reject
# for an argument's type (or with the error code named after it).
CALLS = """
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

    from quorvane_stream import Atr, Ema, Macd
    latest: float = Ema(10).update(1.0)
    line, signal, hist = Macd(12, 26, 9).peek(latest)
    Ema(10, width=40).update(d, m)
    Atr(14).update_many(d, d, d, m)

    from typing import Any, assert_type
    import quorvane_ta as ta
    F64 = npt.NDArray[np.float64]
    assert_type(ta.sma(d), F64)
    assert_type(ta.ema([1, 2, 3], np.int64(2), threads=2), F64)
    assert_type(ta.macd(d, 3, 5, 2).hist, F64)
    assert_type(ta.macd(object(), out=(m, s, h)), tuple[F64, F64, F64])
    assert_type(ta.atr(d, [1.0] * 40, d.astype(np.float32), period=3), F64)
    assert_type(ta.atr(object(), period=3), Any)
    assert_type(ta.MacdResult(1, 2, 3).signal, int)
    # Variables, so that the argument's expected type does not shape their own.
    f32, i64 = d.astype(np.float32), np.zeros(40, dtype=np.int64)
    indicator_sma(3, [1.0, 2.0], d)  # wrong
    indicator_ema(3.0, d, d)  # wrong
    indicator_macd(12, 26, "9", d, d, d, d)  # wrong
    indicator_atr(14, d, d, f32, d)  # wrong
    indicator_sma(3, d, i64)  # wrong
    ta.sma(d, 3.0)  # wrong: call-overload
    ta.ema(d, out=[1.0])  # wrong: call-overload
    ta.macd(d, out=(m, s))  # wrong
"""


def test_mypy_accepts_correct_calls_and_rejects_wrong_argument_types(tmp_path):
    code = textwrap.dedent(CALLS)
    (tmp_path / "calls.py").write_text(code)
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                              str(tmp_path / "cache"), "calls.py"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = re.findall(r"^calls\.py:(\d+): error: .*\[([\w-]+)\]$", checked.stdout, re.M)
    wrong = [(str(i), marked[1] or "arg-type") for i, line in enumerate(code.splitlines(), 1)
             if (marked := re.search(r"# wrong(?:: ([\w-]+))?$", line))]
    assert errors == wrong, checked.stdout
    assert checked.returncode == 1


@pytest.mark.parametrize("module", ["quorvane", "quorvane_stream", "quorvane_ta"])
def test_stub_matches_the_module(tmp_path, module):
    # quorvane_ta's private modules have no stubs and import untyped packages.
    (tmp_path / "allowed").write_text("quorvane_ta\\._.*\n")
    (tmp_path / "mypy.ini").write_text("[mypy]\nignore_missing_imports = True\n")
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", module, "--allowlist", "allowed",
                              "--ignore-unused-allowlist", "--mypy-config-file", "mypy.ini"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
