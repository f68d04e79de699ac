#!/usr/bin/env bash
# A built wheel as its users get it on one interpreter: installed into a fresh environment
# with the pinned releases of constraints.txt, imported with DeprecationWarnings as errors,
# and tested from outside the source tree against the installed copy. For the aarch64
# wheels inside the arm64 root (scripts/emulated_test.sh), built by scripts/cross_wheel.sh:
#
#   scripts/test_wheel.sh python3.14 WHEEL TEST_MODULES [pytest arguments]
#   ORVANE_TEST_ENV=ENV scripts/test_wheel.sh ...  # ENV: a fresh environment that already
#                                                   # holds the dependencies
#   ORVANE_PYTEST_WORKERS=0 scripts/test_wheel.sh ...  # the tests in the import's process
#
# TEST_MODULES is the tree of the module that only the tests use, laid over the installed
# copy (cross_wheel.sh makes one per interpreter); the pytest arguments name the tests to
# run (the whole suite without any). Under emulation pip itself is slow (most of ten
# minutes per environment), so scripts/emulated_test.sh lets this machine's pip put the
# aarch64 dependencies into ENV, and only the wheel is installed here, by the
# interpreter's own pip (which checks its tag), without compiling to bytecode.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
python=$(command -v "$1")
wheel=$(realpath "$2")
test_modules=$(realpath "$3")
shift 3
echo "== $("$python" -VV | head -n 1), $(uname -m): $(basename "$wheel")"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
start=$SECONDS
if [ -n "${ORVANE_TEST_ENV:-}" ]; then
  env=$ORVANE_TEST_ENV
  "$env/bin/python" -m pip install -q --no-deps --no-compile "$wheel"
  "$env/bin/python" -m pip check
else
  env=$scratch/installed
  "$python" -m venv "$env"
  # The package's dependencies, and of the test tools what the named tests import.
  "$env/bin/python" -m pip install -q -c constraints.txt "$wheel" \
    -r <("$env/bin/python" scripts/requirements.py test | grep -E '^(pytest|pytest-xdist|trustme|hypothesis)\b')
fi
echo "installed in $((SECONDS - start)) s"
site=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')

tests=()
for arg in "$@"; do
  case "$arg" in
    tests/*) tests+=("$checkout/$arg") ;;
    *) tests+=("$arg") ;;
  esac
done
[ ${#tests[@]} -gt 0 ] || tests=("$checkout/tests")
pytest_args=(-q -p no:cacheprovider -c "$checkout/pyproject.toml" --rootdir "$checkout")
cp -r "$test_modules/." "$site/"  # the probe: the import below does not touch it
cd "$scratch"
start=$SECONDS
if [ "${ORVANE_PYTEST_WORKERS:-auto}" = 0 ]; then
  # In one process: the import, then the tests in the same interpreter, under their own
  # warning filters as in a fresh one (emulated, every start of an interpreter that
  # imports numpy and scipy takes most of a minute).
  "$env/bin/python" -W error::DeprecationWarning - "$site" "${pytest_args[@]}" -n 0 \
    "${tests[@]}" <<'EOF_PYTHON'
import sys
import time
import warnings

start = time.monotonic()
import orvane.basic.annotix, orvane.basic.instances, orvane.basic.medical, orvane.basic.trialgrid

site, arguments = sys.argv[1], sys.argv[2:]
where = orvane.basic.medical.__file__
if not where.startswith(site + "/"):
    sys.exit(f"orvane was imported from {where}, not from {site}")
seconds = time.monotonic() - start
print(f"imported in {seconds:.0f} s, with DeprecationWarnings as errors: {where}", flush=True)
warnings.filters[:] = [f for f in warnings.filters if f[:3] != ("error", None, DeprecationWarning)]
sys.warnoptions.clear()
import pytest

sys.exit(pytest.main(arguments))
EOF_PYTHON
  exit
fi
imported=$("$env/bin/python" -W error::DeprecationWarning -c '
import orvane.basic.annotix, orvane.basic.instances, orvane.basic.medical, orvane.basic.trialgrid
print(orvane.basic.medical.__file__)')
case "$imported" in
  "$site"/*) echo "imported in $((SECONDS - start)) s, with DeprecationWarnings as errors: $imported" ;;
  *) echo "orvane was imported from $imported, not from $site" >&2; exit 1 ;;
esac
"$env/bin/python" -m pytest "${pytest_args[@]}" -n auto "${tests[@]}"
