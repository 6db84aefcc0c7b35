#!/usr/bin/env bash
# Runs every test as any user, with nothing from the system's package manager: the C++ unit tests
# of the numeric core (doctest is vendored in tests/cpp/third_party) and the Python tests against
# the installed module. Needs a C++20 compiler and Python >= 3.10 with venv; CMake comes from PyPI
# when the system has none as recent as 3.24.
#
#   PYTHON=python3.12 bash tests/run_all.sh   interpreter for the virtual environment (python3)
#   VENV=/tmp/venv bash tests/run_all.sh      where the virtual environment lives (.venv)
#   MOVARIN_WHEEL=dist/movarin-....whl        install this built wheel instead of building
#
# Under CI (CI=true) a C++ run that executed no test, or a Python run with a skipped test, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

python=${PYTHON:-python3}
venv=${VENV:-.venv}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
venv_python=$(cd "$venv" && pwd)/bin/python
if [ -n "${MOVARIN_WHEEL:-}" ]; then
  "$venv_python" -m pip install -q "${MOVARIN_WHEEL}[test]"
else
  "$venv_python" -m pip install -q ".[test]"
fi

# C++ unit tests, with the system's CMake when it is 3.24 or newer, else with PyPI's in the virtual
# environment; Ninja when it runs here, else CMake's default generator (make).
cmake=cmake ctest=ctest
system_cmake=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p' || true)
if [ -z "$system_cmake" ] || [ "$(printf '%s\n' 3.24 "$system_cmake" | sort -V | head -n 1)" != 3.24 ]; then
  "$venv_python" -m pip install -q "cmake>=3.24"
  cmake=$(dirname "$venv_python")/cmake ctest=$(dirname "$venv_python")/ctest
fi
generator=()
ninja --version >/dev/null 2>&1 && generator=(-G Ninja)
"$cmake" -S . -B build/cpp "${generator[@]}" -DMOVARIN_BUILD_MODULE=OFF -DMOVARIN_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
"$cmake" --build build/cpp -j2
"$ctest" --test-dir build/cpp --no-tests=error --output-on-failure -V | tee build/cpp/ctest.log
# doctest's closing line, e.g. "[doctest] test cases: 120 | 120 passed | 0 failed | 0 skipped".
if ! grep -Eq '\[doctest\] test cases: *[1-9][0-9]* \| *[0-9]+ passed \| *0 failed \| *0 skipped' \
    build/cpp/ctest.log; then
  echo "run_all.sh: the C++ unit tests did not all run" >&2
  exit 1
fi

# From outside the source tree, so that only the installed module can be imported.
cd "$root/tests"
"$venv_python" -m pytest -q -rs -p no:cacheprovider . | tee "$root/build/pytest.log"
if [ "${CI:-}" = true ] && tail -n 1 "$root/build/pytest.log" | grep -q skipped; then
  echo "run_all.sh: tests were skipped under CI" >&2
  exit 1
fi
