"""The module object, its initialisation and its one interpreter."""

# In a fresh interpreter: NumPy imported by the first array argument only, one
# module and one internal failure type however often the module is imported, a
# second interpreter refused by both extensions with the same text.

import re

from support import ROOT, run_python

import quorvane

# The module's functions and their parameters, in order: the other tests take
# their lists from the module, so this one pins it.
PARAMETERS = {
    "indicator_sma": ("period", "data", "output"),
    "indicator_ema": ("period", "data", "output"),
    "indicator_macd": ("fast_period", "slow_period", "signal_period", "data",
                       "macd_output", "signal_output", "hist_output"),
    "indicator_atr": ("period", "high", "low", "close", "output"),
}


def test_module_and_function_attributes():
    assert quorvane.__doc__ == ""
    assert quorvane.__all__ == list(PARAMETERS)
    assert [name for name in dir(quorvane) if not name.startswith("__")] == sorted(PARAMETERS)
    for name, parameters in PARAMETERS.items():
        function = getattr(quorvane, name)
        assert function.__name__ == name and function.__doc__ is None
        assert function.__text_signature__ == f"({', '.join(parameters)})"
        assert function.__module__ == "quorvane" and function.__self__ is quorvane


def test_import():
    # The refusal of a second interpreter: one text, the one both stubs list.
    refusal, = {re.search(r'^\s+ImportError: "(.*)"$', (ROOT / stub).read_text(), re.MULTILINE)[1]
                for stub in ("quorvane.pyi", "quorvane_stream.pyi")}
    assert refusal.startswith("PyO3 modules do not yet support subinterpreters, see ")
    run_python(f"""
        import sys
        def made():
            return [cls for cls in BaseException.__subclasses__()
                    if cls.__module__ == "pyo3_runtime" and cls.__qualname__ == "PanicException"]
        assert made() == []
        import quorvane
        panic, = made()
        assert panic.__bases__ == (BaseException,) and panic.__doc__.strip()
        assert not hasattr(quorvane, "PanicException") and "PanicException" not in quorvane.__all__
        for args, imported in (((3,), False), ((3, [1.0], [1.0]), True)):
            try:
                quorvane.indicator_sma(*args)
            except TypeError:
                assert ("numpy" in sys.modules) == imported, args
        first, sma = quorvane, quorvane.indicator_sma
        for _ in range(3):
            try:
                quorvane.indicator_atr(None, None, None, None, None)
            except TypeError:
                pass
            del sys.modules["quorvane"]
            import quorvane
        assert quorvane is first and quorvane.indicator_sma is sma and made() == [panic]
        assert quorvane.__all__ == {list(PARAMETERS)!r}

        import _interpreters
        import numpy as np
        import quorvane_stream
        interpreter = _interpreters.create("legacy")
        try:
            failures = [_interpreters.run_string(interpreter, f"import {{name}}")
                        for name in ("quorvane", "quorvane_stream")]
        finally:
            _interpreters.destroy(interpreter)
        for failure in failures:
            assert failure.type.__name__ == "ImportError" and failure.msg == {refusal!r}, failure
        output = np.empty(3)
        quorvane.indicator_sma(1, np.ones(3), output)
        assert output.tolist() == [1.0, 1.0, 1.0] and quorvane_stream.Sma(1).update(2.0) == 2.0
    """)


def test_every_message_the_module_can_raise_is_in_the_stub():
    stub = "".join((ROOT / path).read_text() for path in (
        "quorvane.pyi", "quorvane_stream.pyi", "python/quorvane_ta/__init__.pyi"))
    # The bindings' own messages, and those of the indicators' descriptors.
    paths = [*(ROOT / "module").glob("*.[ch]pp"), *(ROOT / "core/include/quorvane").rglob("*.hpp")]
    sources = "".join(path.read_text() for path in sorted(paths))
    sources = re.sub(r'"\s*\n\s*"', "", sources)  # join literals split over lines
    calls = re.findall(r'(?:value_error\(|FromFormat\(\s*|keyword_error\(|fixed\(PyExc_\w+,\s*'
                       r'|Check::\w+,\s*\d+,\s*|return\s+)"([^"]*[a-z] [^"]*)"', sources)
    listed = re.findall(r'^\s+"([^"]+ must [^"]+)",$', sources, re.MULTILINE)
    formats = calls + listed
    assert len(formats) > 20
    for text in formats:
        # Each %-conversion of a format is a {placeholder} or a value in the stub.
        pattern = ".+?".join(map(re.escape, re.split(r"%[a-zA-Z]+", text)))
        assert re.search(pattern, stub), text
