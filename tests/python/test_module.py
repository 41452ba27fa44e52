"""The module object: its attributes, its one-time initialisation and its
refusal of a second interpreter."""

import re
from pathlib import Path

import quorvane
from arguments import PARAMETERS
from subprocess_run import run_python

NAMES = list(PARAMETERS)


def test_module_and_function_attributes():
    assert quorvane.__doc__ == ""
    assert quorvane.__all__ == NAMES
    assert [name for name in dir(quorvane) if not name.startswith("__")] == sorted(NAMES)
    for name, parameters in PARAMETERS.items():
        function = getattr(quorvane, name)
        assert function.__name__ == name
        assert function.__doc__ is None
        assert function.__text_signature__ == f"({', '.join(parameters)})"
        assert function.__module__ == "quorvane"
        assert function.__self__ is quorvane


def test_numpy_is_imported_by_the_first_array_argument():
    run_python("""
        import sys
        import quorvane
        assert "numpy" not in sys.modules
        try:
            quorvane.indicator_sma(3)
        except TypeError:
            pass
        assert "numpy" not in sys.modules, "binding alone imported numpy"
        try:
            quorvane.indicator_sma(3, [1.0], [1.0])
        except TypeError as error:
            assert "argument 'data'" in str(error)
        assert "numpy" in sys.modules
    """)


def test_reimport_gives_the_same_module_and_functions():
    run_python("""
        import sys
        import quorvane
        first, sma = quorvane, quorvane.indicator_sma
        del sys.modules["quorvane"]
        import quorvane
        assert quorvane is first and quorvane.indicator_sma is sma
        assert quorvane.__all__ == %r
    """ % NAMES)


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    run_python("""
        import _interpreters
        import numpy as np
        import quorvane
        interpreter = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(interpreter, "import quorvane")
        finally:
            _interpreters.destroy(interpreter)
        assert failure.type.__name__ == "ImportError", failure
        assert failure.msg.startswith(
            "PyO3 modules do not yet support subinterpreters, see "), failure.msg
        output = np.empty(3)
        quorvane.indicator_sma(1, np.ones(3), output)
        assert output.tolist() == [1.0, 1.0, 1.0]
    """)


def test_every_message_the_module_can_raise_is_in_the_stub():
    root = Path(__file__).resolve().parents[2]
    stub = (root / "quorvane.pyi").read_text() + (root / "quorvane_stream.pyi").read_text()
    sources = "".join(path.read_text() for path in sorted((root / "module").glob("*.cpp")))
    sources = re.sub(r'"\s*\n\s*"', "", sources)  # join literals split over lines
    calls = re.findall(r'(?:value_error\(|FromFormat\(\s*|keyword_error\(|fixed\(PyExc_\w+,\s*)'
                       r'"([^"]*[a-z] [^"]*)"', sources)
    listed = re.findall(r'^\s+"([^"]+ must [^"]+)",$', sources, re.MULTILINE)
    formats = calls + listed
    assert len(formats) > 20
    for text in formats:
        # Each %-conversion of a format is a {placeholder} or a value in the stub.
        pattern = ".+?".join(map(re.escape, re.split(r"%[a-zA-Z]+", text)))
        assert re.search(pattern, stub), text
