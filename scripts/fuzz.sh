#!/usr/bin/env bash
# Runs a libFuzzer target (built with clang, AddressSanitizer + UBSan) and merges
# what it found into a fresh minimised corpus in fuzz/out/<target>/min (copy that
# over fuzz/corpus/<target> to keep it).
# Usage: bash scripts/fuzz.sh index|parser|pystr|roundtrip|row [seconds=600]
set -euo pipefail
cd "$(dirname "$0")/.."
target="$1"
seconds="${2:-600}"
clang="${CXX_FUZZ:-clang++-14}"
if ! command -v "$clang" >/dev/null; then
  sudo_="$([ "$(id -u)" = 0 ] || echo sudo)"
  $sudo_ apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_ apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi
CXX="$clang" cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BUILD_PYTHON=OFF \
  -DQUILLON_BUILD_FUZZ=ON -DQUILLON_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz --target "fuzz_$target"
mkdir -p "fuzz/out/$target/new" "fuzz/out/$target/min"
dict=()
[ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
"build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 "${dict[@]}" \
  "fuzz/out/$target/new" "fuzz/corpus/$target"
"build/fuzz/fuzz_$target" -merge=1 "fuzz/out/$target/min" "fuzz/corpus/$target" "fuzz/out/$target/new"
