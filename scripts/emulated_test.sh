#!/usr/bin/env bash
# The aarch64 wheels tested on arm64 Debian sid under qemu-user, after
# scripts/cross_wheel.sh OUT ... (scripts/ci_aarch64.sh says what CI runs this way):
#
#   scripts/emulated_test.sh OUT python3.14 [pytest arguments]
#   ORVANE_PYTEST_WORKERS=0 scripts/emulated_test.sh ...  # a few tests: in the import's process
#
# A fresh environment of the interpreter is made in the arm64 root (SID_ARCH=arm64
# scripts/debian_sid.sh); this machine's pip puts the aarch64 wheels of the dependencies
# (pinned by constraints.txt) and of the test tools the tests import into it, as the
# interpreter's own pip would choose them but without its ten emulated minutes, and the
# x86-64 sid root (scripts/debian_sid.sh) compiles them to bytecode; then scripts/test_wheel.sh
# runs inside the root: the interpreter's pip installs the wheel, `pip check`, the import
# with DeprecationWarnings as errors, the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
python=$2
shift 2
version=${python#python}
tag=cp${version/./}
root=${SID_ROOT:-/var/tmp/orvane-sid-arm64}
wheel=$(ls "$out"/orvane-*-"$tag"-*_aarch64.whl)
in_root() { SID_ARCH=arm64 scripts/debian_sid.sh run "$@"; }

# A fresh environment inside the root, its own for each run (two may run at once), and a
# folder in the checkout, seen at the same path in both roots, to fill it from.
mkdir -p "$root/var/tmp"
env=$(mktemp -d "$root/var/tmp/orvane-test-$version.XXXXXX")
env=${env#"$root"}
trap 'rm -rf "${root:?}$env"' EXIT
site=build-cross/site-$version
start=$SECONDS
rm -rf "$site"
in_root "$python" -m venv --without-pip "$env"
# The platforms that the root's glibc (sid's) accepts, newest first, as its pip lists them.
platforms=()
for minor in $(seq 39 -1 17); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
platforms+=(--platform manylinux2014_aarch64 --platform linux_aarch64)
.venv/bin/python -m pip install -q --no-compile --only-binary=:all: --target "$site" \
  "${platforms[@]}" --implementation cp --python-version "$version" --abi "$tag" --abi abi3 \
  --abi none -c constraints.txt -r <(.venv/bin/python scripts/requirements.py run) \
  -r <(.venv/bin/python scripts/requirements.py test | grep -E '^(pytest|pytest-xdist|trustme|hypothesis)\b')
# The pip that venv would have put in (ensurepip's wheel, Debian's), unpacked: installed
# under emulation, it takes two minutes.
.venv/bin/python -m zipfile -e "$(ls "$root"/usr/share/python-wheels/pip-*.whl)" "$site"
# Bytecode made natively, by the x86-64 build of the same Debian interpreter (the bytecode
# is the same on every processor): compiled under emulation, the first import took 4 minutes.
scripts/debian_sid.sh run "$python" -m compileall -q -j 0 "$site" >/dev/null
cp -a "$site/." "$root$env/lib/$python/site-packages/"
rm -rf "$site"
echo "environment made in $((SECONDS - start)) s"
# numpy's and scipy's OpenBLAS start a thread per processor at import, and those threads
# spin while they wait: emulated, that took a third of the time of importing numpy and
# scipy. The tests compare answers within one setting, so one thread is enough.
# pytest rewrites the asserts of every module of a package that brings a plugin (all of
# hypothesis) as it is imported, unless the plugin is named rather than found: emulated,
# that took most of a minute in every test process. The same plugins are named here.
in_root env ORVANE_TEST_ENV="$env" OPENBLAS_NUM_THREADS=1 \
  PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
  PYTEST_PLUGINS=xdist.plugin,xdist.looponfail,_hypothesis_pytestplugin \
  ORVANE_PYTEST_WORKERS="${ORVANE_PYTEST_WORKERS:-auto}" scripts/test_wheel.sh "$python" \
  "$wheel" "$out/test-modules-$version" "$@"
