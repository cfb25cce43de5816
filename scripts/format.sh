#!/usr/bin/env bash
# Formats the C++ sources with the root .clang-format: src/, tests/cpp/, fuzz/ and
# tests/probe/. Needs clang-format on PATH (or CLANG_FORMAT=/path/to/it).
# Usage: bash scripts/format.sh           rewrites the files in place
#        bash scripts/format.sh --check   changes nothing; lists the files that differ
#                                         and exits 1 if there are any
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
clang_format="${CLANG_FORMAT:-clang-format}"
if ! command -v "$clang_format" >/dev/null; then
  echo "format.sh: $clang_format not found (set CLANG_FORMAT)" >&2
  exit 2
fi

mapfile -t files < <(find src tests/cpp fuzz tests/probe -type f \
  \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)

case "${1:-}" in
  "")
    "$clang_format" -i --style=file "${files[@]}"
    ;;
  --check)
    differ=0
    for f in "${files[@]}"; do
      if ! "$clang_format" --style=file "$f" | cmp -s - "$f"; then
        echo "$f"
        differ=1
      fi
    done
    exit "$differ"
    ;;
  *)
    echo "usage: bash scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac
