#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest), the fuzz corpus replay, and the
# Python tests against the installed package. Installs what the tests need first.
# Usage: bash scripts/test.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# GoogleTest comes from Debian.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest"
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  fi
fi

source "$here/env.sh"

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_BUILD_PYTHON=OFF -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_FUZZ=ON >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

echo "== fuzz corpus replay"
for target in build/tests/fuzz_*; do
  [ -x "$target" ] || continue
  name="$(basename "$target")"
  corpus="fuzz/corpus/${name#fuzz_}"
  if [ -d "$corpus" ]; then
    "$target" "$corpus"
  fi
done

echo "== Python tests"
probe="$(ls build/tests/libquillon_probe.so 2>/dev/null || true)"
QUILLON_PROBE_LIB="${probe:+$root/$probe}" "$root/.venv/bin/python" -m pytest -q tests
