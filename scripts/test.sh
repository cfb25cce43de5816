#!/usr/bin/env bash
# Runs every test: the C++ unit tests and the fuzz corpus replay (plain and under
# AddressSanitizer + UBSan), ruff and mypy on the quillon package, then the Python tests against the installed wheel: all of
# them (module and `quillon` package, with every optional dependency) under the newest
# NumPy 2.x, and the module's own under the newest NumPy 1.x. Installs what the tests
# need first.
# Usage: bash scripts/test.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
cd "$root"
pip_quiet=(-q --disable-pip-version-check)

# GoogleTest comes from Debian.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest"
  sudo_="$([ "$(id -u)" = 0 ] || echo sudo)"
  $sudo_ apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_ apt-get install -y -qq libgtest-dev >/dev/null
fi

# env.sh builds the wheel into dist/ and installs it into .venv.
source "$here/env.sh"
wheel="$(ls "$root"/dist/quillon_native-*.whl)"
jobs="$(nproc)"

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLON_BUILD_PYTHON=OFF -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_FUZZ=ON -DQUILLON_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== fuzz corpus replay"
for target in build/tests/fuzz_*; do
  name="$(basename "$target")"
  "$target" "fuzz/corpus/${name#fuzz_}"
done

bash "$here/sanitize.sh" asan

echo "== ruff and mypy (the quillon package)"
"$root/.venv/bin/python" -m pip install "${pip_quiet[@]}" "ruff>=0.17" "mypy>=2.0" pandas-stubs
"$root/.venv/bin/ruff" check python
"$root/.venv/bin/mypy"  # files and settings: [tool.mypy] in pyproject.toml

probe="$root/build/tests/libquillon_probe.so"
echo "== Python tests, NumPy 2.x"
QUILLON_PROBE_LIB="$probe" "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider tests

echo "== Python tests, NumPy 1.x"
if [ ! -x .venv-numpy1/bin/python ]; then
  python3 -m venv .venv-numpy1
fi
.venv-numpy1/bin/python -m pip install "${pip_quiet[@]}" "numpy<2" pytest hypothesis
.venv-numpy1/bin/python -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps "$wheel"
QUILLON_PROBE_LIB="$probe" "$root/.venv-numpy1/bin/python" -m pytest -q -p no:cacheprovider tests \
  --ignore=tests/package
