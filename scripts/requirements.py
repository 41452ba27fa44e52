"""Prints, one a line, what building quorvane needs and what the named extras
of pyproject.toml list, with the extras they name in turn: pyproject.toml is
the one list of the project's Python dependencies."""

import re
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def requirements(extras):
    settings = tomllib.loads(PYPROJECT.read_text())
    name = settings["project"]["name"]
    listed = settings["project"]["optional-dependencies"]
    found = list(settings["build-system"]["requires"])
    pending, seen = list(extras), set()
    while pending:
        extra = pending.pop(0)
        if extra in seen:
            continue
        seen.add(extra)
        for requirement in listed[extra]:
            named = re.fullmatch(rf"{name}\[(.*)\]", requirement)
            if named:
                pending += [part.strip() for part in named.group(1).split(",")]
            elif requirement not in found:
                found.append(requirement)
    return found


if __name__ == "__main__":
    print("\n".join(requirements(sys.argv[1:])))
