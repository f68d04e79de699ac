#!/usr/bin/env bash
# Sets up a checkout on a fresh machine, and does only what changed on later runs: a
# virtual environment, the requirements from PyPI, and a build and install of the package
# (the CMake build folder is kept under build/).
#
#   scripts/bootstrap.sh            # what the package needs to build and run (make demo)
#   scripts/bootstrap.sh test docs  # and the dependency groups named (make test)
#   PYTHON=python3.14 scripts/bootstrap.sh test docs  # another interpreter (make ... PYTHON=)
#
# By default the environment is .venv, made with CPython 3.13; with PYTHON set, it is
# .venv-X.Y, made with that interpreter, and its build folders end in -X.Y. The machine
# needs only a C++20 compiler, make and the interpreter: CMake and Ninja come from PyPI
# into the environment (the group "build" of pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
  local candidate
  for candidate in $(ls -d "$HOME"/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r) \
    "$(command -v python3.13 2>/dev/null || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  echo "CPython 3.13 not found: install it with pyenv (~/.pyenv/versions/3.13*) or put python3.13 on the PATH" >&2
  return 1
}

version_of() {  # X.Y of an interpreter
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

if [ -n "${PYTHON:-}" ]; then
  python=$(command -v "$PYTHON") || { echo "PYTHON=$PYTHON: no such interpreter" >&2; exit 1; }
  version=$(version_of "$python")
  venv=".venv-$version"
else
  python=""
  version=3.13
  venv=.venv
fi
if ! [ -x "$venv/bin/python" ] || [ "$(version_of "$venv/bin/python")" != "$version" ]; then
  python=${python:-$(find_python)}
  echo "creating $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

# Each group is installed once, and again when pyproject.toml or constraints.txt changes.
# constraints.txt pins the exact releases that the README's printed outputs come from
# (numpy's and pandas' printing); pyproject.toml gives the oldest that work. Refresh it,
# with every group installed, by
#   scripts/bootstrap.sh test docs dev release
#   .venv/bin/python -m pip freeze --exclude orvane > constraints.txt
digest=$(cat pyproject.toml constraints.txt | sha256sum | cut -c1-16)
for stamp in "$venv"/.deps-*; do
  if [ -e "$stamp" ] && [ "${stamp##*-}" != "$digest" ]; then rm -f "$stamp"; fi
done
missing=()
for group in build run "$@"; do
  if [ ! -f "$venv/.deps-$group-$digest" ]; then missing+=("$group"); fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing into $venv: ${missing[*]}"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -c constraints.txt \
    -r <("$venv/bin/python" scripts/requirements.py "${missing[@]}")
  for group in "${missing[@]}"; do touch "$venv/.deps-$group-$digest"; done
fi

# Incremental: scikit-build-core keeps the CMake build folder under build/, one per
# environment. The checkout's install also holds the module that only the test suite uses
# (see pyproject.toml).
echo "building orvane and installing it into $venv (only what changed is rebuilt)"
ORVANE_TEST_MODULES=1 "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -C build-dir="build/{wheel_tag}${venv#.venv}" .
