# Sourced by the other scripts: builds the wheel from this tree and installs it,
# with the tools the scripts use, into .venv. Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="${PYTHON:-python3}"
pip_quiet=(-q --disable-pip-version-check)
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
venv_python="$root/.venv/bin/python"
"$venv_python" -m pip install "${pip_quiet[@]}" cmake ninja "numpy>=2" pytest hypothesis
export PATH="$root/.venv/bin:$PATH"
echo "== building the wheel and installing it into .venv"
rm -rf dist
"$venv_python" -m pip wheel "${pip_quiet[@]}" --no-deps -w dist .
wheel="$(ls "$root"/dist/quillon_native-*.whl)"
"$venv_python" -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps "$wheel"
