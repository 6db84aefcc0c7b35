"""The C++ sources keep their floors: no include reaches up or sideways, and no header cycle."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#include\s+"([a-z_]+)/([a-z_0-9]+\.hpp)"', re.MULTILINE)

# Folders each folder may include besides itself.
ALLOWED = {
    "elements": {"runtime"},
    "runtime": {"elements"},
    "circuit": {"elements", "runtime"},
    "fit": {"circuit", "elements", "runtime"},
    "nn": {"circuit", "elements", "runtime"},
    "models": {"nn", "circuit", "elements", "runtime"},
    "python": {"models", "nn", "fit", "circuit", "elements", "runtime"},
}


def includes(path: Path) -> list[tuple[str, str]]:
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")


def test_no_folder_includes_a_floor_above_or_beside_it():
    offending = [
        f"{path.relative_to(SRC)} includes {folder}/{name}"
        for path in sorted(SRC.glob("*/*.[ch]pp"))
        for folder, name in includes(path)
        if folder != path.parent.name and folder not in ALLOWED[path.parent.name]
    ]
    assert offending == []


def test_no_header_includes_one_that_includes_it_back():
    graph = {
        f"{h.parent.name}/{h.name}": {f"{folder}/{name}" for folder, name in includes(h)}
        for h in SRC.glob("*/*.hpp")
    }

    def reaches(start: str, goal: str) -> bool:
        seen, stack = set(), [start]
        while stack:
            header = stack.pop()
            if header == goal:
                return True
            if header not in seen:
                seen.add(header)
                stack.extend(graph.get(header, ()))
        return False

    cycles = [(h, d) for h, deps in graph.items() for d in deps if reaches(d, h)]
    assert cycles == []
