#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite under them:
#
#   scripts/sanitize.sh            # or: make sanitize
#   scripts/sanitize.sh -k medical # arguments go to pytest
#
# The sanitized build lives apart from the normal one: its own virtual environment
# (.venv-asan) and CMake build folder (build-asan/), so `make test` is never affected.
# The interpreter itself is not instrumented, so libasan is preloaded (it must come
# first in the process), and Python's own allocator is replaced by malloc so that ASan
# sees every Python object: a reference dropped too early in our code then shows up
# as a heap-use-after-free instead of silently reading a recycled block.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh test  # the normal .venv, whose interpreter the sanitized one is based on

if [ ! -x .venv-asan/bin/python ]; then
  echo "creating .venv-asan"
  .venv/bin/python -m venv .venv-asan
fi
stamp=".venv-asan/.deps-$(cat pyproject.toml constraints.txt | sha256sum | cut -c1-16)"
if [ ! -f "$stamp" ]; then
  echo "installing dependencies into .venv-asan"
  .venv-asan/bin/python -m pip install -q --upgrade pip
  .venv-asan/bin/python -m pip install -q -c constraints.txt -r <(.venv/bin/python scripts/requirements.py build run test)
  rm -f .venv-asan/.deps-*
  touch "$stamp"
fi

echo "building the extension modules with -fsanitize=address,undefined (build-asan/)"
# Symbols are kept (no strip, debug info) so that reports name files and lines.
ORVANE_TEST_MODULES=1 .venv-asan/bin/python -m pip install -q --no-build-isolation --no-deps \
  -C build-dir="build-asan/{wheel_tag}" \
  -C cmake.define.ORVANE_SANITIZE=ON \
  -C cmake.build-type=RelWithDebInfo \
  -C install.strip=false \
  .

libasan=$(gcc -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
  echo "libasan.so not found (gcc -print-file-name=libasan.so gave '$libasan')" >&2
  exit 1
fi

# libstdc++ is preloaded right after libasan: the interpreter does not link it, and ASan
# finds the real __cxa_throw (which it wraps) only in libraries present when it starts;
# without it the first C++ exception stops the process with "CHECK failed".
libstdcxx=$(gcc -print-file-name=libstdc++.so)
# CPython does not free everything at exit, so leak detection would only report that.
# Every other finding stops the run with a report (ASan halts by default; UBSan is told to).
export LD_PRELOAD="$libasan $libstdcxx"
export ASAN_OPTIONS="detect_leaks=0:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc

# The sanitized modules must be the ones imported, and ASan must be live: a deliberate
# overflow through the intercepted memmove has to be caught, or the run proves nothing.
.venv-asan/bin/python - <<'EOF'
import pathlib
import subprocess
import sys

import orvane.basic.medical as medical

library = pathlib.Path(medical.__file__)
assert ".venv-asan" in str(library), f"not the sanitized build: {library}"
needed = subprocess.run(["readelf", "-d", str(library)], capture_output=True, text=True).stdout
assert "libasan" in needed and "libubsan" in needed, f"{library.name} is not instrumented"
probe = "import ctypes; b = ctypes.create_string_buffer(1000); ctypes.memmove(b, bytes(2000), 2000)"
result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
assert result.returncode != 0 and "AddressSanitizer" in result.stderr, "ASan is not active"
print(f"sanitized build in use: {library.name} (ASan live, UBSan halts on error)")
EOF

echo "running the test suite under the sanitizers"
exec .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@"
