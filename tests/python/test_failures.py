"""Internal failures and hostile calls, each in a fresh interpreter."""

# The report and its backtrace variable, the internal failure exception type
# raised from Python, and hostile calls that once crashed the process.

import os
import re
import signal

import pytest
from support import run_python

NOTE = "note: run with `QUORVANE_BACKTRACE=1` environment variable to display a backtrace\n"
BACKTRACE = r"stack backtrace:\n(?:[^\n]*\[0x[0-9a-f]+\]\n)+"
# Every snippet starts with these lines. `made()` lists the classes named like
# the internal failure type (other packages may make classes of that name, so
# the type is dug out in an interpreter that imports nothing else), and
# `refused` checks that a call raises exactly `error` with `message`.
PRELUDE = """\
import os, sys, threading
def made():
    return [cls for cls in BaseException.__subclasses__()
            if cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"]
def refused(error, message, call):
    try:
        call()
    except error as caught:
        assert str(caught) == message, caught
    else:
        raise AssertionError(f"no {error.__name__}: {message}")
"""


def run(code, backtrace=None):
    env = {name: value for name, value in os.environ.items() if name != "QUORVANE_BACKTRACE"}
    if backtrace is not None:
        env["QUORVANE_BACKTRACE"] = backtrace
    return run_python(PRELUDE + code, env=env, check=False)


def report(source, message):
    # The pattern of a report up to the end of its message line.
    return (re.escape(f"\nthread '<unnamed>' panicked at {source}:") + r"\d+:\d+:\n"
            + re.escape(message + "\n"))


UNUSABLE_NUMPY = """
import quorvane
sys.modules["numpy"] = None
quorvane.indicator_atr(1, [1.0], [1.0], [1.0], [1.0])
"""
CAPSULE = report("module/numpy_arrays.cpp", "Failed to access NumPy array API capsule")
BROKEN_REGISTRY = """
import numpy as np
import quorvane
sys._array_borrow_registry_v1 = "not the registry"
quorvane.indicator_sma(1, np.ones(1), np.empty(1))
"""
REGISTRY = report("module/borrow_registry.cpp", "Interal borrow checking API error")
RAISED_FROM_PYTHON = """
import numpy as np
import quorvane
class Period:
    def __index__(self):
        raise made()[0]("raised from Python")
quorvane.indicator_atr(Period(), np.ones(3), np.ones(3), np.ones(3), np.empty(3))
"""
# Either extension recognises the one type, whichever made it: each has
# fetched an exception before the other's type is raised in its call.
FETCHED = """
import quorvane_stream
class Hook:
    def __index__(self):
        raise ERROR("raised from Python")
    __float__ = __index__
ERROR = ValueError
try:
    quorvane_stream.Sma(2).update(Hook())
except ValueError:
    pass
"""
RAISED_ACROSS = {
    "stream-to-batch": FETCHED + """
import numpy as np
import quorvane
assert len(made()) == 1
ERROR = made()[0]
quorvane.indicator_sma(Hook(), np.ones(3), np.empty(3))
""",
    "batch-to-stream": "import quorvane\n" + FETCHED + """
assert len(made()) == 1
ERROR = made()[0]
quorvane_stream.Sma(2).update(Hook())
""",
}
RESUMED = (re.escape(
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\nTraceback (most recent call last):\n")
    + r'  File "<string>", line \d+, in \w+\n(?:    .*\n)+'
    + re.escape("pyo3_runtime.PanicException: raised from Python\n"))


@pytest.mark.parametrize("code, backtrace, expected", [
    (UNUSABLE_NUMPY, None, CAPSULE + re.escape(NOTE)), (UNUSABLE_NUMPY, "0", CAPSULE + re.escape(NOTE)),
    (UNUSABLE_NUMPY, "1", CAPSULE + BACKTRACE), (UNUSABLE_NUMPY, "full", CAPSULE + BACKTRACE),
    # The type raised by Python code is printed the same way with or without a backtrace.
    (RAISED_FROM_PYTHON, None, RESUMED), (RAISED_FROM_PYTHON, "1", RESUMED),
    *[(code, None, RESUMED) for code in RAISED_ACROSS.values()],
    (BROKEN_REGISTRY, None, REGISTRY + re.escape(NOTE)),
], ids=["numpy-unset", "numpy-0", "numpy-1", "numpy-full", "raised-unset", "raised-1",
        *RAISED_ACROSS, "broken-registry"])
def test_internal_failures_write_their_report_and_abort(code, backtrace, expected):
    completed = run(code, backtrace)
    assert completed.returncode == -signal.SIGABRT and completed.stdout == "", completed.stderr
    assert re.fullmatch(expected, completed.stderr), completed.stderr


def test_failing_to_make_the_type_writes_the_report_and_aborts():
    pytest.importorskip("_testcapi")
    # The type is made on the first fetch, while the module is built: one
    # failed allocation moves forward until it falls inside the making.
    for start in range(200):
        completed = run(f"""
import importlib.util, _testcapi
spec = importlib.util.find_spec("quorvane")
_testcapi.set_nomemory({start}, {start} + 1)
try:
    spec.loader.create_module(spec)
except MemoryError:
    pass
""")
        if "Failed to initialize new exception type." in completed.stderr:
            break
    else:
        pytest.fail("no failed allocation reached the making of the type")
    expected = report("module/internal_failure.cpp",
                      "Failed to initialize new exception type.: MemoryError()")
    assert completed.returncode == -signal.SIGABRT, completed.stderr
    assert re.fullmatch(expected + re.escape(NOTE), completed.stderr), completed.stderr


# Hostile calls that once crashed the process or left it unsound. Each runs
# in a fresh interpreter, after NumPy and quorvane are imported, and must end
# normally, its own checks passing.
HOSTILE = {
    # Classes named like the internal failure type, even its subclasses, are
    # other exceptions; so is a class published in the type's place in sys
    # before quorvane_stream looks there, as itself or in a capsule of the
    # right name, with the wrong base.
    "lookalikes_of_the_internal_failure_type": """
import ctypes
import quorvane_stream
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.py_object, ctypes.c_char_p, ctypes.c_void_p]
name = b"sys._quorvane_internal_failure_type_v1"
output = np.full(3, 7.0)
for base in (Exception, BaseException, made()[0]):
    lookalike = type("PanicException", (base,), {"__module__": "pyo3_runtime"})
    sys._quorvane_internal_failure_type_v1 = (
        new_capsule(lookalike, name, None) if base is Exception else lookalike)
    class Hook:
        def __index__(self):
            raise lookalike("not the internal failure type")
        __float__ = __index__
    for call in (lambda: quorvane.indicator_atr(Hook(), np.ones(3), np.ones(3), np.ones(3), output),
                 lambda: quorvane_stream.Sma(2).update(Hook())):
        refused(lookalike, "not the internal failure type", call)
assert (output == 7.0).all()
""",
    "keyword_whose_str_fails": """
# Keywords whose str() raises, returns no text, or returns other text.
raising, not_text, other = (type("Key", (str,), {"__str__": f}) for f in (
    lambda self: 1 / 0, lambda self: 5, lambda self: "other"))
data, output = np.ones(4), np.full(4, 7.0)
for keyword, message in [
    (raising("windw"), "got an unexpected keyword argument 'windw'"),
    (not_text("windw"), "got an unexpected keyword argument 'windw'"),
    (raising("period"), "got multiple values for argument 'period'"),
    (other("period"), "got multiple values for argument 'other'"),
]:
    refused(TypeError, "indicator_sma() " + message,
            lambda: quorvane.indicator_sma(3, data, output, **{keyword: 1}))
assert (output == 7.0).all()
""",
    "exception_made_at_the_recursion_limit": """
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
class Deep:
    # Each level tries the calls at a few C depths, so that one of them
    # meets the limit inside the making of its error.
    def __init__(self):
        try:
            Deep()
        except RecursionError:
            pass
        for call in (lambda: quorvane.indicator_sma(3, [1.0, 2.0, 3.0], output),
                     lambda: quorvane.indicator_ema(1.5, output, output)):
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
# Re-entry through each hook that a conversion or a check calls, in a thread
# with MIB MiB of stack (four times that under the sanitizer's larger frames), ends
# in RecursionError, not in a crash, whatever the interpreter's own limit.
import quorvane_stream
sys.setrecursionlimit(10**6)
threading.stack_size(MIB << (22 if "asan" in os.environ.get("LD_PRELOAD", "") else 20))
data, output = np.ones(4), np.empty(4)
class Hook:
    def __index__(self):
        CALLS[PATH]()
        return 2
    def __float__(self):
        CALLS[PATH]()
        return 1.0
class Longer(np.ndarray):
    def __len__(self):
        CALLS[PATH]()
        return 4
outputs = [np.empty(4).view(Longer) for _ in range(3)]
CALLS = {
    "index": lambda: quorvane.indicator_sma(Hook(), data, output),
    "len": lambda: quorvane.indicator_macd(2, 3, 2, data, *outputs),
    "stream-index": lambda: quorvane_stream.Sma(Hook()),
    "stream-float": lambda: quorvane_stream.Sma(2).update(Hook()),
    "stream-len": lambda: quorvane_stream.Macd(2, 3, 2).update_many(data, *outputs),
}
raised = []
def recurse():
    try:
        CALLS[PATH]()
    except RecursionError:
        raised.append(PATH)
worker = threading.Thread(target=recurse)
worker.start()
worker.join()
assert raised == [PATH], raised
""",
    "argument_freed_during_conversion": """
import functools
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
for stride in (2**62, -(2**62), 2**63 - 8):
    data = np.lib.stride_tricks.as_strided(np.zeros(4), shape=(3,), strides=(stride,))
    refused(ValueError, "Input array must be C-contiguous and float64",
            lambda: quorvane.indicator_sma(2, data, np.empty(3)))
""",
    "nul_in_a_type_name": """
Odd = type("Odd", (), {"__qualname__": "Before\\0After"})
refused(TypeError,
        "argument 'data': 'Before\\0After' object cannot be converted to 'PyArray<T, D>'",
        lambda: quorvane.indicator_sma(3, Odd(), None))
""",
    "registrations_of_threads_lost_in_a_fork": """
from support import registry
data = np.ones(50_000_000)
output = np.empty_like(data)
for _ in range(100):  # a call that keeps the lock never lets a fork fall inside it
    worker = threading.Thread(target=quorvane.indicator_sma, args=(5, data, output))
    worker.start()
    while registry.active() == 0 and worker.is_alive():
        pass
    child = os.fork()
    if child == 0:
        # Only this thread exists here: nothing holds the data.
        with registry.held_exclusively(data):
            pass
        os._exit(0 if registry.active() == 0 else 1)
    forked_during_the_call = worker.is_alive()
    worker.join()
    _, status = os.waitpid(child, 0)
    if forked_during_the_call:
        assert os.waitstatus_to_exitcode(status) == 0, status
        break
else:
    raise AssertionError("no fork fell inside a call")
""",
    # Streaming: a fork while another thread works under an object's lock,
    # the interpreter lock released, waits for that work to end; the child
    # has the whole update, and the object is free to use.
    "stream_used_after_a_fork_inside_a_call": """
import pickle, time
import quorvane_stream as qs
from support import registry
n = 10_000_000
state, data, output = qs.Sma(5), np.random.default_rng(1).random(n), np.full(n, 7.0)
worker = threading.Thread(target=state.update_many, args=(data, output))
worker.start()
while registry.active() == 0:  # until the worker works under the state's lock
    time.sleep(0)
child = os.fork()
if child == 0:
    whole = repr(state) == f"Sma(period=5, seen={n})" and output[-1] != 7.0
    state.update_many(data[:9], output[:9])
    copied = pickle.loads(pickle.dumps(state))
    os._exit(0 if whole and copied.update(2.0) == state.update(2.0) else 1)
for _ in range(600):  # a child waiting for a lock that no thread will give back is killed
    ended, status = os.waitpid(child, os.WNOHANG)
    if ended:
        break
    time.sleep(0.1)
else:
    os.kill(child, 9)
    raise AssertionError("the child never ended")
worker.join()
assert os.waitstatus_to_exitcode(status) == 0, status
""",
}


REENTRY = ["index", "len", "stream-index", "stream-float", "stream-len"]


@pytest.mark.parametrize("name, given", [
    (name, "") for name in HOSTILE if name != "reentry_to_the_recursion_limit"] + [
    ("exception_made_at_the_recursion_limit", "WARM = True")] + [
    ("reentry_to_the_recursion_limit", f"PATH, MIB = {path!r}, {mib}")
    for path in REENTRY for mib in (1, 2)])
def test_hostile_calls_end_normally(name, given):
    completed = run(f"import numpy as np\nimport quorvane\nWARM = False\n{given}\n" + HOSTILE[name])
    assert completed.returncode == 0, completed.stderr[-3000:]
