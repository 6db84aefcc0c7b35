#!/usr/bin/env bash
# Sets up everything the tests need on a fresh machine, then runs the C++ unit tests of the numeric
# core and the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/doctest/doctest.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q ".[test]"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/cpp "${generator[@]}" -DMOVARIN_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure

# From outside the source tree, so that only the installed module can be imported.
cd tests && ../.venv/bin/python -m pytest -q -p no:cacheprovider .
