"""Helpers of the tests: models, arrays, calls, strategies and tables."""

# No test module imports another; they share what is here.

import os
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[3]
# The sanitized run sets this: there each property draws a fraction of its
# examples, every allocation being checked.
DIVISOR = int(os.environ.get("QUORVANE_EXAMPLES_DIVISOR", "1"))


def examples(count):
    # How many examples a property with `count` of them draws in this run.
    return max(1, count // DIVISOR)


def run_python(code, env=None, check=True):
    # Runs `code` in a new interpreter of the one under test, which can import
    # this package too; returns the completed process.
    env = dict(os.environ if env is None else env, PYTHONPATH=str(Path(__file__).parents[1]))
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                               capture_output=True, text=True, env=env, timeout=120)
    if check:
        assert completed.returncode == 0, completed.stderr
    return completed
