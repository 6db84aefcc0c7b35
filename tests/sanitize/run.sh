#!/usr/bin/env bash
# Sanitizers and fuzzers, for CI and by hand. Three parts, one after another:
#   1. the module and the C++ unit tests built with AddressSanitizer + UBSan (gcc), the C++ tests
#      run, then the Python tests of the compiled module (tests/test_*.py) under them;
#   2. the Python fuzzers (tests/fuzz/fuzz_python.py) on that build, each for $PY_FUZZ_SECONDS;
#   3. the libFuzzer targets (weight files, circuit strings) built with clang, each run for
#      $FUZZ_SECONDS. clang is installed with apt-get when missing; without root and without clang
#      this part is skipped with a loud message.
# Everything lives in build/sanitize (kept between runs, so a second run builds incrementally).
# Longer runs (docs/robustness.md): FUZZ_SECONDS=3600 PY_FUZZ_SECONDS=3600 bash tests/sanitize/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$root/build/sanitize
FUZZ_SECONDS=${FUZZ_SECONDS:-45}
PY_FUZZ_SECONDS=${PY_FUZZ_SECONDS:-20}
PYTHON=${PYTHON:-$(command -v python3.11 || command -v python3)}
JOBS=${JOBS:-2}
mkdir -p "$work"
started=$SECONDS
say() { echo "=== sanitize: $*   [$((SECONDS - started)) s]"; }

say "environment"
venv=$work/venv
if [ ! -x "$venv/bin/python" ]; then
  "$PYTHON" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  cmake ninja numpy pandas polars pytest scipy
export PATH=$venv/bin:$PATH

say "AddressSanitizer + UBSan build of the module and the C++ tests"
sanitize_flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
sanitize_flags+=" -fno-omit-frame-pointer"
# -O1 keeps the build short and the reports readable.
cmake -S "$root" -B "$work/asan" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_CXX_FLAGS="$sanitize_flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$work/asan" -j "$JOBS" --target movarin movarin_cpp_tests

say "C++ unit tests under AddressSanitizer + UBSan"
"$work/asan/movarin_cpp_tests"

# The interpreter is not instrumented, so the sanitizer runtimes are loaded before it; its own
# allocations at exit are not ours to judge, hence no leak check. An allocation too large for the
# machine fails as it would without the sanitizer (a MemoryError), instead of ending the run.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
sanitized_python() {
  LD_PRELOAD="$preload" PYTHONPATH="$work/asan:$root/python" "$venv/bin/python" "$@"
}

say "Python tests of the compiled module under AddressSanitizer + UBSan"
(cd "$root/tests" && sanitized_python -m pytest -q -p no:cacheprovider test_*.py)

for target in circuit named_values spectrum fit_keywords constraints; do
  say "Python fuzzer $target for $PY_FUZZ_SECONDS s"
  sanitized_python "$root/tests/fuzz/fuzz_python.py" --target "$target" --seconds "$PY_FUZZ_SECONDS"
done

say "libFuzzer targets"
if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  else
    banner="!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
    echo "$banner"
    echo "!!! sanitize: clang++ is missing and this is not root:"
    echo "!!! the libFuzzer targets are SKIPPED. Install clang (apt-get install clang) and run again."
    echo "$banner"
    say "done, libFuzzer targets SKIPPED"
    exit 0
  fi
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$work/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DMOVARIN_BUILD_FUZZ=ON -DMOVARIN_BUILD_TESTS=OFF -DMOVARIN_BUILD_MODULE=OFF >/dev/null
cmake --build "$work/fuzz" -j "$JOBS" --target fuzz_weight_file fuzz_circuit
for fuzzer in fuzz_weight_file fuzz_circuit; do
  say "$fuzzer for $FUZZ_SECONDS s"
  corpus=$work/corpus-$fuzzer
  mkdir -p "$corpus"
  log=$work/$fuzzer.log
  if ! "$work/fuzz/$fuzzer" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -print_final_stats=1 \
    "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "sanitize: $fuzzer FAILED (its output: $log, the input that failed is named there)"
    exit 1
  fi
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units)" "$log"
done
say "done"
