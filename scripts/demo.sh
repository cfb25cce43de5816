#!/usr/bin/env bash
# The demo: installs the package into .venv, makes a sample stream and runs it
# through index_chunks, parse_chunks and write_stream. Usage: bash scripts/demo.sh [--size 200M]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/env.sh"
exec "$root/.venv/bin/python" "$here/demo.py" "$@"
