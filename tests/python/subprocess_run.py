"""Running snippets in a fresh interpreter of the one under test."""

import subprocess
import sys
import textwrap


def run_python(code, env=None, check=True):
    """Runs `code` in a new process; returns the completed process."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    if check:
        assert completed.returncode == 0, completed.stderr
    return completed
