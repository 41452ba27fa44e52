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


# Hostile calls that once crashed the process or left it unsound. Each runs
# in a fresh interpreter and must end normally, its own checks passing.
HOSTILE = {
    "keyword_whose_str_fails": """
        import numpy as np
        import quorvane

        class Raising(str):
            def __str__(self):
                raise ValueError("no text")

        class NotText(str):
            def __str__(self):
                return 5

        class Other(str):
            def __str__(self):
                return "other"

        data, output = np.ones(4), np.full(4, 7.0)
        for name, keyword, message in [
            (Raising, "windw", "got an unexpected keyword argument 'windw'"),
            (NotText, "windw", "got an unexpected keyword argument 'windw'"),
            (Raising, "period", "got multiple values for argument 'period'"),
            (Other, "period", "got multiple values for argument 'other'"),
        ]:
            try:
                quorvane.indicator_sma(3, data, output, **{name(keyword): 1})
            except TypeError as error:
                assert str(error) == "indicator_sma() " + message, error
            else:
                raise AssertionError(keyword)
        assert (output == 7.0).all()
    """,
    "exception_made_at_the_recursion_limit": """
        import sys
        import numpy as np
        import quorvane

        sys.setrecursionlimit(10**6)  # the C stack's limit is then the one met
        output = np.full(3, 7.0)
        if WARM:  # else NumPy's C API is first loaded at the limit
            quorvane.indicator_sma(1, output, np.empty(3))
        seen = set()

        class Via:
            # A call through this costs C stack, and a level of the guard.
            def __init__(self, call):
                self.call = call

            def __call__(self):
                return self.call()

        def calls():
            yield lambda: quorvane.indicator_sma(3, [1.0, 2.0, 3.0], output)
            yield lambda: quorvane.indicator_ema(1.5, output, output)

        class Deep:
            # Each level tries the calls at a few C depths, so that one of
            # them meets the limit inside the making of its error.
            def __init__(self):
                try:
                    Deep()
                except RecursionError:
                    pass
                for call in calls():
                    for wrapped in (call, Via(call), Via(Via(call)), Via(Via(Via(call)))):
                        try:
                            wrapped()
                        except (TypeError, RecursionError) as error:
                            seen.add(type(error))

        Deep()
        assert seen == {TypeError, RecursionError}, seen
        assert (output == 7.0).all()
    """,
    "reentry_to_the_recursion_limit": """
        import os
        import sys
        import threading
        import numpy as np
        import quorvane

        # A thread's stack of 6 MiB (more under the sanitizer's larger
        # frames) holds every level the recursion guard lets through.
        sys.setrecursionlimit(10**6)
        threading.stack_size((24 if "asan" in os.environ.get("LD_PRELOAD", "") else 6) << 20)
        data, output = np.ones(4), np.empty(4)

        class Period:
            def __index__(self):
                quorvane.indicator_sma(Period(), data, output)
                return 2

        class Longer(np.ndarray):
            def __len__(self):
                quorvane.indicator_macd(2, 3, 2, data, *outputs)
                return 4

        outputs = [np.empty(4).view(Longer) for _ in range(3)]
        raised = []

        def recurse():
            for call in (lambda: quorvane.indicator_sma(Period(), data, output),
                         lambda: quorvane.indicator_macd(2, 3, 2, data, *outputs)):
                try:
                    call()
                except RecursionError:
                    raised.append(call)

        worker = threading.Thread(target=recurse)
        worker.start()
        worker.join()
        assert len(raised) == 2, raised
    """,
    "argument_freed_during_conversion": """
        import functools
        import numpy as np
        import quorvane

        output = np.full(4, 7.0)

        class Period:
            def __index__(self):
                call.__setstate__((print, (), {}, None))
                return 2

        call = functools.partial(quorvane.indicator_sma, Period(), np.arange(4.0), output)
        call()
        assert output.tolist()[1:] == [0.5, 1.5, 2.5], output
    """,
    "huge_stride": """
        import numpy as np
        import quorvane
        from numpy.lib.stride_tricks import as_strided

        for stride in (2**62, -(2**62), 2**63 - 8):
            data = as_strided(np.zeros(4), shape=(3,), strides=(stride,))
            try:
                quorvane.indicator_sma(2, data, np.empty(3))
            except ValueError as error:
                assert str(error) == "Input array must be C-contiguous and float64"
            else:
                raise AssertionError(stride)
    """,
    "nul_in_a_type_name": """
        import quorvane

        Odd = type("Odd", (), {"__qualname__": "Before\\0After"})
        try:
            quorvane.indicator_sma(3, Odd(), None)
        except TypeError as error:
            assert str(error) == (
                "argument 'data': 'Before\\0After' object cannot be converted to 'PyArray<T, D>'")
        else:
            raise AssertionError("accepted")
    """,
    "registrations_of_threads_lost_in_a_fork": """
        import os
        import threading
        import numpy as np
        import quorvane
        import borrow_registry

        data = np.ones(50_000_000)
        output = np.empty_like(data)
        while True:
            worker = threading.Thread(target=quorvane.indicator_sma, args=(5, data, output))
            worker.start()
            while borrow_registry.active() == 0 and worker.is_alive():
                pass
            child = os.fork()
            if child == 0:
                # Only this thread exists here: nothing holds the data.
                with borrow_registry.held_exclusively(data):
                    pass
                os._exit(0 if borrow_registry.active() == 0 else 1)
            forked_during_the_call = worker.is_alive()
            worker.join()
            _, status = os.waitpid(child, 0)
            if forked_during_the_call:
                assert os.waitstatus_to_exitcode(status) == 0, status
                break
    """,
}


@pytest.mark.parametrize("name, warm", [(name, False) for name in HOSTILE] + [
    ("exception_made_at_the_recursion_limit", True)])
def test_hostile_calls_end_normally(name, warm):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    completed = run_python(f"WARM = {warm}\n" + textwrap.dedent(HOSTILE[name]), env=env,
                           check=False)
    assert completed.returncode == 0, completed.stderr[-3000:]
