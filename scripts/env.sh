# Sourced by the other scripts: builds the sdist, the wheel from it, and installs that,
# with all its optional dependencies (the [all] extra) and the tools the scripts use,
# into .venv. Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="${PYTHON:-python3}"
pip_quiet=(-q --disable-pip-version-check)
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
venv_python="$root/.venv/bin/python"
"$venv_python" -m pip install "${pip_quiet[@]}" cmake ninja build "numpy>=2" pytest hypothesis
export PATH="$root/.venv/bin:$PATH"
echo "== building the sdist, the wheel from the sdist, and installing it into .venv"
rm -rf dist
"$venv_python" -m build --sdist --outdir dist . >/dev/null
"$venv_python" -m pip wheel "${pip_quiet[@]}" --no-deps -w dist dist/quillon_native-*.tar.gz
wheel="$(ls "$root"/dist/quillon_native-*.whl)"
"$venv_python" -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps "$wheel"
"$venv_python" -m pip install "${pip_quiet[@]}" "${wheel}[all]"
