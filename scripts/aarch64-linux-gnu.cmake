# CMake toolchain file: 64-bit ARM Linux (aarch64) from an x86-64 Debian machine, with
# Debian's cross compiler (g++-aarch64-linux-gnu) and its own arm64 C library, so that the
# modules need no newer glibc than that of the machine's Debian release.
#   cmake -DCMAKE_TOOLCHAIN_FILE=scripts/aarch64-linux-gnu.cmake ...
# (scripts/cross_wheel.sh uses it to build the aarch64 wheels.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and headers of the target only; programs of this machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
# The interpreter's headers come from elsewhere (Python_INCLUDE_DIR).
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
