#!/usr/bin/env bash
# Sets up everything on a fresh machine, and does only what changed on later runs:
# a CPython 3.13 virtual environment in .venv, the dependencies from PyPI, and a
# build and install of the package (the CMake build folder is kept under build/).
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

venv_is_313() {
  [ -x .venv/bin/python ] && .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'
}

if ! venv_is_313; then
  python=$(find_python)
  echo "creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi

# Dependencies are reinstalled only when pyproject.toml or constraints.txt changes.
# constraints.txt pins the versions the suite last passed with (the README's printed
# outputs depend on numpy's and pandas' printing); refresh it with
#   .venv/bin/python -m pip freeze --exclude orvane > constraints.txt
stamp=".venv/.deps-$(cat pyproject.toml constraints.txt | sha256sum | cut -c1-16)"
if [ ! -f "$stamp" ]; then
  echo "installing dependencies into .venv"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -c constraints.txt $(.venv/bin/python scripts/requirements.py)
  rm -f .venv/.deps-*
  touch "$stamp"
fi

# Incremental: scikit-build-core keeps the CMake build folder under build/.
echo "building orvane and installing it into .venv (only what changed is rebuilt)"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps .
