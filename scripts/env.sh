# Sourced by the other scripts: makes .venv with the package and its tools installed.
# Safe to run again; each run rebuilds and reinstalls the package from this tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
venv_python="$root/.venv/bin/python"
"$venv_python" -m pip install -q --disable-pip-version-check cmake ninja numpy pytest hypothesis
export PATH="$root/.venv/bin:$PATH"
echo "== building and installing quillon_native into .venv"
"$venv_python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps .
