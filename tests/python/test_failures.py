"""Internal failures: the report and its backtrace variable, and the internal
failure exception type, how it is made and how it is recognised."""

import os
import re
import signal
import textwrap

import pytest

from subprocess_run import run_python

NOTE = "note: run with `QUORVANE_BACKTRACE=1` environment variable to display a backtrace\n"
BACKTRACE = r"stack backtrace:\n(?:[^\n]*\[0x[0-9a-f]+\]\n)+"


def report(source, message):
    """The pattern of a report up to the end of its message line."""
    return (re.escape(f"\nthread '<unnamed>' panicked at {source}:") + r"\d+:\d+:\n"
            + re.escape(message + "\n"))


def run(code, backtrace=None):
    env = {name: value for name, value in os.environ.items() if name != "QUORVANE_BACKTRACE"}
    if backtrace is not None:
        env["QUORVANE_BACKTRACE"] = backtrace
    return run_python(code, env=env, check=False)


def run_aborting(code, backtrace=None):
    """The standard error of `code`, which must end with the abort signal."""
    completed = run(code, backtrace)
    assert completed.returncode == -signal.SIGABRT, completed.stderr
    assert completed.stdout == ""
    return completed.stderr


def digging(code):
    """`code` after a function `made` that lists the classes named like the
    internal failure type. Other packages may make classes of that name, so
    the type is dug out in a fresh interpreter that imports nothing else."""
    return textwrap.dedent("""
        def made():
            return [cls for cls in BaseException.__subclasses__()
                    if cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"]
    """) + textwrap.dedent(code)


NUMPY_UNUSABLE = """
    import sys
    import quorvane
    sys.modules["numpy"] = None
    quorvane.indicator_atr(1, [1.0], [1.0], [1.0], [1.0])
"""


@pytest.mark.parametrize("backtrace, ending", [
    (None, re.escape(NOTE)),
    ("0", re.escape(NOTE)),
    ("1", BACKTRACE),
    ("full", BACKTRACE),
])
def test_unusable_numpy_writes_the_report_and_aborts(backtrace, ending):
    stderr = run_aborting(NUMPY_UNUSABLE, backtrace)
    capsule = report("module/numpy_arrays.cpp", "Failed to access NumPy array API capsule")
    assert re.fullmatch(capsule + ending, stderr), stderr


PANIC_FROM_INDEX = digging("""
    import numpy as np
    import quorvane

    panic, = made()

    class Period:
        def __index__(self):
            raise panic("raised from Python")

    prices = np.ones(3)
    quorvane.indicator_atr(Period(), prices, prices, prices, np.empty(3))
""")


@pytest.mark.parametrize("backtrace", [None, "1"])
def test_internal_failure_type_raised_by_python_is_printed_and_aborts(backtrace):
    assert run_aborting(PANIC_FROM_INDEX, backtrace) == (
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n"
        '  File "<string>", line 13, in __index__\n'
        '    raise panic("raised from Python")\n'
        "pyo3_runtime.PanicException: raised from Python\n")


def test_internal_failure_type_is_made_once_by_the_import():
    run_python(digging("""
        import sys

        assert made() == []
        import quorvane
        panic, = made()
        assert panic.__name__ == "PanicException"
        assert panic.__bases__ == (BaseException,) and not issubclass(panic, Exception)
        assert panic.__doc__.startswith("\\n") and panic.__doc__.endswith("\\n")
        assert len(panic.__doc__.strip().split("\\n\\n")) == 2
        assert not hasattr(quorvane, "PanicException")
        assert "PanicException" not in quorvane.__all__
        for _ in range(3):
            try:
                quorvane.indicator_atr(None, None, None, None, None)
            except TypeError:
                pass
            del sys.modules["quorvane"]
            import quorvane
        assert made() == [panic]
    """))


@pytest.mark.parametrize("base", ["BaseException", "made()[0]"])
def test_other_classes_of_the_same_name_pass_through(base):
    run_python(digging("""
        import numpy as np
        import quorvane

        lookalike = type("PanicException", (BASE,), {"__module__": "pyo3_runtime"})
        raised = lookalike("not the internal failure type")

        class Period:
            def __index__(self):
                raise raised

        output = np.full(3, 7.0)
        try:
            quorvane.indicator_atr(Period(), np.ones(3), np.ones(3), np.ones(3), output)
        except lookalike as caught:
            assert caught is raised
        else:
            raise AssertionError("the exception did not pass through")
        assert (output == 7.0).all()
    """.replace("BASE", base)))


# One allocation fails, `start` allocations after the module begins to load.
FAILED_ALLOCATION = """
    import importlib.util
    import _testcapi

    spec = importlib.util.find_spec("quorvane")
    _testcapi.set_nomemory({start}, {start} + 1)
    try:
        spec.loader.create_module(spec)
    except MemoryError:
        pass
"""


def test_failing_to_make_the_type_writes_the_report_and_aborts():
    pytest.importorskip("_testcapi")
    # The type is made on the first fetch, while the module is built; move
    # the failed allocation forward until it falls inside the making.
    for start in range(200):
        completed = run(FAILED_ALLOCATION.format(start=start))
        if "Failed to initialize new exception type." in completed.stderr:
            break
    else:
        pytest.fail("no failed allocation reached the making of the type")
    assert completed.returncode == -signal.SIGABRT
    expected = report("module/internal_failure.cpp",
                      "Failed to initialize new exception type.: MemoryError()")
    assert re.fullmatch(expected + re.escape(NOTE), completed.stderr), completed.stderr
