#!/usr/bin/env bash
# Builds the extension modules with clang and LLVM's C++ library (libc++) instead of GCC
# and libstdc++, warnings as errors at the project's warning level, and runs the whole
# test suite against that build:
#
#   scripts/clang_libcxx.sh             # needs root the first time (apt-get install)
#   scripts/clang_libcxx.sh -k medical  # arguments go to pytest
#   scripts/clang_libcxx.sh --tools     # only the compiler and library (.ci/run, meanwhile)
#
# The build lives apart from the normal one: its own virtual environment (.venv-clang)
# and CMake build folder (build-clang/), so `make test` is never affected. Debian's
# clang-19 and libc++ are installed when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

version=19
if ! command -v "clang++-$version" >/dev/null || ! [ -e "/usr/lib/llvm-$version/include/c++/v1" ]; then
  echo "installing clang-$version and libc++ (Debian)"
  # (waiting for another install's lock: .ci/run installs meanwhile)
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 "clang-$version" "libc++-$version-dev" \
    "libc++abi-$version-dev" >/dev/null
fi
[ "${1:-}" != --tools ] || exit 0

scripts/bootstrap.sh test  # the normal .venv, whose interpreter this one is based on

if [ ! -x .venv-clang/bin/python ]; then
  echo "creating .venv-clang"
  .venv/bin/python -m venv .venv-clang
fi
stamp=".venv-clang/.deps-$(cat pyproject.toml constraints.txt | sha256sum | cut -c1-16)"
if [ ! -f "$stamp" ]; then
  echo "installing dependencies into .venv-clang"
  .venv-clang/bin/python -m pip install -q --upgrade pip
  .venv-clang/bin/python -m pip install -q -c constraints.txt \
    -r <(.venv/bin/python scripts/requirements.py build run test docs)
  rm -f .venv-clang/.deps-*
  touch "$stamp"
fi

echo "building the extension modules with clang++-$version and libc++ (build-clang/)"
export CXX="clang++-$version"
export CXXFLAGS="-stdlib=libc++ -Werror"
export LDFLAGS="-stdlib=libc++"
ORVANE_TEST_MODULES=1 .venv-clang/bin/python -m pip install -q --no-build-isolation --no-deps \
  -C build-dir="build-clang/{wheel_tag}" .

# The build must be the one imported, and made by clang against libc++ (not libstdc++).
.venv-clang/bin/python - <<'EOF'
import pathlib
import subprocess

import orvane.basic
import orvane.basic.medical as medical

library = pathlib.Path(medical.__file__)
assert ".venv-clang" in str(library), f"not the clang build: {library}"
for module in sorted(pathlib.Path(orvane.basic.__file__).parent.glob("*.so")):
    needed = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True).stdout
    assert "libc++.so" in needed and "libstdc++" not in needed, f"{module.name}: {needed}"
    comment = subprocess.run(["readelf", "-p", ".comment", str(module)], capture_output=True,
                             text=True).stdout  # fmt: skip
    assert "clang version" in comment, f"{module.name} was not built by clang"
print(f"clang and libc++ build in use: {library.name}")
EOF

echo "running the test suite against the clang and libc++ build"
exec .venv-clang/bin/python -m pytest -q -n auto -p no:cacheprovider "$@"
