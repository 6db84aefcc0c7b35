"""Runs mypy --strict and pyright on misuse.py and fails unless each reports an error on exactly the
lines marked `# expected error` (so every misuse is caught and nothing else is flagged).

Usage: python check_misuse.py   (mypy and pyright are taken from this interpreter's environment)
"""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TARGET = HERE / "misuse.py"
ROOT = HERE.parents[1]  # its pyproject.toml configures both checkers
CHECKERS = {
    "mypy --strict": [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                      "--config-file", str(ROOT / "pyproject.toml"), str(TARGET)],
    "pyright": [sys.executable, "-m", "pyright", "--project", str(ROOT),
                "--pythonpath", sys.executable, str(TARGET)],
}
# "misuse.py:14: error: ..." (mypy) and "  /path/misuse.py:14:34 - error: ..." (pyright).
ERROR_LINE = re.compile(r"misuse\.py:(\d+):(?:\d+ -)? error:")


def expected_lines() -> set[int]:
    lines = TARGET.read_text().splitlines()
    return {number for number, text in enumerate(lines, start=1) if "# expected error:" in text}


def flagged_lines(command: list[str]) -> tuple[int, set[int], str]:
    run = subprocess.run(command, capture_output=True, text=True, cwd=HERE)
    output = run.stdout + run.stderr
    return run.returncode, {int(m.group(1)) for m in ERROR_LINE.finditer(output)}, output


def main() -> int:
    expected = expected_lines()
    failures = 0
    for name, command in CHECKERS.items():
        status, flagged, output = flagged_lines(command)
        missed, extra = sorted(expected - flagged), sorted(flagged - expected)
        if status == 0 or missed or extra:
            failures += 1
            print(output)
            print(f"{name}: exit {status}, misuses not flagged on lines {missed}, "
                  f"unexpected errors on lines {extra}")
        else:
            print(f"{name}: all {len(expected)} misuses in {TARGET.name} flagged, nothing else")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
