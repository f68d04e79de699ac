#!/usr/bin/env bash
# Wheels for 64-bit ARM Linux (aarch64), cross-compiled on an x86-64 Debian machine (.ci/run
# builds the one for python3.13):
#
#   scripts/cross_wheel.sh OUT python3.13 python3.14 python3.15
#   scripts/cross_wheel.sh --tools   # only the cross compiler (.ci/run, meanwhile)
#
# For each interpreter, the modules are built by Debian's g++-aarch64-linux-gnu (the
# toolchain file scripts/aarch64-linux-gnu.cmake) against the headers of that arm64
# interpreter, taken from the arm64 Debian sid root (SID_ARCH=arm64 scripts/debian_sid.sh
# make), into build-cross/; the wheel is repaired to a manylinux tag and checked
# (scripts/check_wheel.py). OUT then holds the wheels and, per interpreter, the module that
# only the tests use (OUT/test-modules-3.X/, a tree to lay over an installed copy), for
# scripts/test_wheel.sh to install and test inside the arm64 root. Needs root the first
# time (apt-get install of the cross compiler).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
  echo "installing g++-aarch64-linux-gnu (Debian)"
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 g++-aarch64-linux-gnu >/dev/null
fi
[ "${1:-}" != --tools ] || exit 0
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
root=${SID_ROOT:-/var/tmp/orvane-sid-arm64}
toolchain=$checkout/scripts/aarch64-linux-gnu.cmake
for python in "$@"; do
  [ -e "$root/usr/include/$python/Python.h" ] ||
    { echo "no $python headers in $root: run SID_ARCH=arm64 scripts/debian_sid.sh make" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The build tools run on this machine, under its CPython 3.13 (.venv's). An existing .venv
# is left as it is: CI runs this beside steps that use it.
[ -x .venv/bin/python ] || scripts/bootstrap.sh >/dev/null
host_python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
"$host_python" -m venv "$scratch/tools"
"$scratch/tools/bin/python" -m pip install -q --upgrade pip
"$scratch/tools/bin/python" -m pip install -q -c constraints.txt \
  -r <("$scratch/tools/bin/python" scripts/requirements.py release build)
tools=$scratch/tools/bin

rm -f "$out"/orvane-*.whl
for python in "$@"; do
  version=${python#python}  # 3.14
  tag=cp${version/./}        # cp314
  echo "== $python, aarch64"
  # Debian's pyconfig.h includes the one of the architecture from the multiarch folder:
  # the headers are laid out here as one folder, with the arm64 pyconfig.h in it.
  include=$scratch/include/$python
  mkdir -p "$include"
  cp -r "$root/usr/include/$python/." "$include/"
  cp "$root/usr/include/aarch64-linux-gnu/$python/pyconfig.h" "$include/pyconfig.h"
  soabi=$("$tools/python" -c 'import runpy, sys
print(runpy.run_path(sys.argv[1])["build_time_vars"]["SOABI"])' \
    "$root/usr/lib/$python/_sysconfigdata__linux_aarch64-linux-gnu.py")

  # The wheel's name and the modules' suffix are the target's, not this interpreter's.
  start=$SECONDS
  if ! _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
    "$tools/python" -m build --wheel --no-isolation --outdir "$scratch/dist-$version" \
    -C cmake.python-hints=false \
    -C wheel.tags="$tag-$tag-linux_aarch64" \
    -C build-dir="build-cross/{wheel_tag}" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" \
    -C cmake.define.Python_INCLUDE_DIR="$include" \
    -C cmake.define.Python_SOABI="$soabi" \
    . >"$scratch/build.log" 2>&1; then
    cat "$scratch/build.log"
    exit 1
  fi
  echo "built in $((SECONDS - start)) s"
  # auditwheel takes the architecture from the modules; "auto" gives the oldest manylinux
  # tag they fit, which check_wheel.py holds to manylinux_2_28 or older.
  PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$out" \
    "$scratch/dist-$version"/*.whl 2>&1 | tail -n 1
  wheel=$(ls "$out"/orvane-*-"$tag"-*.whl)
  "$tools/python" scripts/check_wheel.py "$wheel"

  # The module that only the tests use, built the same way, laid out as installed.
  "$tools/cmake" -S . -B "build-cross/test-modules-$version" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$tools/ninja" -DCMAKE_BUILD_TYPE=Release -DORVANE_TEST_MODULES=ON \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPython_INCLUDE_DIR="$include" \
    -DPython_SOABI="$soabi" >/dev/null
  "$tools/cmake" --build "build-cross/test-modules-$version" --target _runtime_probe >/dev/null
  rm -rf "$out/test-modules-$version"
  "$tools/cmake" --install "build-cross/test-modules-$version" --component test_modules \
    --prefix "$out/test-modules-$version" >/dev/null
done
