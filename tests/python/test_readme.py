"""Every Python block of the README runs as written, so the recipes cannot drift."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
DOCUMENTS = [README, ROOT / "docs" / "guide.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.M | re.S)
HEADING = re.compile(r"^#+ (.*)$", re.M)


def blocks():
    for document in DOCUMENTS:
        text = document.read_text()
        for block in BLOCK.finditer(text):
            line = text.count("\n", 0, block.start()) + 2
            section = [h.group(1) for h in HEADING.finditer(text, 0, block.start())][-1:]
            yield pytest.param(block.group(1), document, line,
                               id=f"{document.name}: {''.join(section)} line {line}")


BLOCKS = list(blocks())


def test_the_recipes_are_there():
    sections = {param.id.rsplit(" line ", 1)[0] for param in BLOCKS}
    assert {"README.md: pandas and polars", "guide.md: Missing prices"} <= sections


@pytest.mark.parametrize("code, document, line", BLOCKS)
def test_block_runs(code, document, line):
    for node in ast.walk(ast.parse(code)):
        names = ([a.name for a in node.names] if isinstance(node, ast.Import)
                 else [node.module] if isinstance(node, ast.ImportFrom) else [])
        for name in names:
            package = name.partition(".")[0]
            pytest.importorskip(package, reason=f"the block at {document.name}:{line} needs "
                                                f"{package}: pip install 'quorvane[{package}]'")
    # Line numbers in a traceback are the document's.
    exec(compile("\n" * (line - 1) + code, str(document), "exec"), {"__name__": "readme"})


def test_the_performance_section_is_the_committed_benchmark_run():
    results = (README.parent / "bench" / "results.md").read_text()
    text = README.read_text()
    start = text.index("<!-- bench/results.md: copied in by bench/readme.py -->\n")
    assert text[start:].split("\n", 1)[1].startswith(results + "<!-- end of bench/results.md -->")
