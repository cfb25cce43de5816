#!/usr/bin/env bash
# Sanitizer runs. Usage: bash scripts/sanitize.sh [asan|python|tsan|all]   (default: all)
#   asan    C++ tests and the fuzz corpus replay, built with AddressSanitizer + UBSan
#   python  the whole pytest suite against a module built with AddressSanitizer + UBSan
#   tsan    C++ tests (pool, parallel index, merge, parallel writer) under ThreadSanitizer
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
cd "$root"
what="${1:-all}"
jobs="$(nproc)"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

configure() {  # build-dir sanitizers extra-args...
  local dir="$1" san="$2"
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_SANITIZE="$san" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

replay_corpus() {  # build-dir
  for target in "$1"/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    [ -d "fuzz/corpus/${name#fuzz_}" ] && "$target" "fuzz/corpus/${name#fuzz_}"
  done
}

if [ "$what" = asan ] || [ "$what" = all ]; then
  echo "== C++ tests and fuzz corpus under AddressSanitizer + UBSan"
  configure build/asan address,undefined -DQUILLON_BUILD_PYTHON=OFF -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_FUZZ=ON
  ASAN_OPTIONS="detect_leaks=1" ctest --test-dir build/asan --output-on-failure -j "$jobs"
  ASAN_OPTIONS="detect_leaks=1" replay_corpus build/asan
fi

if [ "$what" = python ] || [ "$what" = all ]; then
  echo "== Python tests against the module built with AddressSanitizer + UBSan"
  [ -x .venv/bin/python ] || source "$here/env.sh"
  configure build/asan-py address,undefined -DQUILLON_BUILD_PYTHON=ON -DQUILLON_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python"
  # The interpreter is not instrumented: preload the runtime, and leave leak checking
  # to the C++ run (the interpreter keeps memory until exit by design).
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS="detect_leaks=0" \
    PYTHONPATH="$root/build/asan-py" QUILLON_PROBE_LIB="$root/build/asan-py/libquillon_probe.so" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests
fi

if [ "$what" = tsan ] || [ "$what" = all ]; then
  echo "== C++ tests under ThreadSanitizer"
  configure build/tsan thread -DQUILLON_BUILD_PYTHON=OFF -DQUILLON_BUILD_TESTS=ON
  TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan --output-on-failure -j "$jobs"
fi
