#!/usr/bin/env bash
# Debian's newest CPython releases (the latest 3.13, 3.14 and 3.15) in a Debian sid root
# file system, for CI and for anyone who wants to test on them. Needs root (debootstrap,
# mount, chroot).
#
#   scripts/debian_sid.sh make         # make the root file system (a few minutes, ~1.2 GB)
#                                      # (and, for another architecture, its emulator ready)
#   scripts/debian_sid.sh run CMD...   # run CMD in it, in this checkout, mounted at its path
#   scripts/debian_sid.sh unmount      # undo the mounts that `run` made
#
# SID_ARCH=arm64 does the same for 64-bit ARM Linux (aarch64) on an x86-64 machine: a root
# of arm64 packages whose programs run under qemu-user (Debian's qemu-user-static registers
# itself with binfmt). It holds the interpreters, their headers (for scripts/cross_wheel.sh)
# and binutils, but no compiler: the modules are cross-compiled on the machine. Its
# packages are only unpacked (mmdebstrap's "extract" variant, under a minute): configured,
# their scripts would run emulated, for about 25 minutes. What those scripts would have made
# is made here instead: the users' files, and the standard library's bytecode, taken from
# the x86-64 root where that one is made already (the bytecode is the same on every
# processor; compiled under emulation, the first imports take minutes).
#
# The root lives in $SID_ROOT (default /var/tmp/orvane-sid, /var/tmp/orvane-sid-arm64 for
# arm64) and is made only when missing. Inside, pip trusts this machine's certificates and
# uses PyPI only.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
arch=${SID_ARCH:-native}
if [ "$arch" = native ]; then
  root=${SID_ROOT:-/var/tmp/orvane-sid}
else
  root=${SID_ROOT:-/var/tmp/orvane-sid-$arch}
fi
interpreters=(python3.13 python3.14 python3.15)

packages() {
  local list=(ca-certificates)
  if [ "$arch" = native ]; then list+=(g++ make git); else list+=(bash coreutils binutils); fi
  for python in "${interpreters[@]}"; do list+=("$python" "$python-venv" "$python-dev"); done
  local IFS=,
  echo "${list[*]}"
}

make_root() {
  if [ -x "$root/usr/bin/${interpreters[-1]}" ]; then return 0; fi
  rm -rf "$root"
  if [ "$arch" = native ]; then
    command -v debootstrap >/dev/null ||
      apt-get install -y -qq -o DPkg::Lock::Timeout=600 debootstrap >/dev/null
    debootstrap --variant=minbase --include="$(packages)" sid "$root" >"$root.log" 2>&1 ||
      { tail -n 20 "$root.log"; exit 1; }
  else
    command -v mmdebstrap >/dev/null ||
      apt-get install -y -qq -o DPkg::Lock::Timeout=600 mmdebstrap >/dev/null
    # The suite's Release file is marked expired on some mirrors; debootstrap ignores that.
    mmdebstrap --mode=root --arch="$arch" --variant=extract --include="$(packages)" \
      --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
      --aptopt='Acquire::Check-Valid-Until "false"' sid "$root" >"$root.log" 2>&1 ||
      { tail -n 20 "$root.log"; exit 1; }
    configure_unpacked
  fi
}

# What the scripts of the unpacked packages would have made, as far as the tests need it.
configure_unpacked() {
  echo 'root:x:0:0:root:/root:/bin/bash' >"$root/etc/passwd"
  echo 'root:x:0:' >"$root/etc/group"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  local native=${SID_NATIVE_ROOT:-/var/tmp/orvane-sid} python
  for python in "${interpreters[@]}"; do
    if ! [ -d "$native/usr/lib/$python" ]; then
      echo "no x86-64 root at $native: the standard library's bytecode is compiled emulated"
      return 0
    fi
    # A .pyc records its source's time and size: where the two releases differ, the
    # interpreter ignores it and compiles again.
    (cd "$native/usr/lib/$python" && find . -path '*/__pycache__/*.pyc' -print0 |
      tar --null -T - -cf -) | tar -xf - -C "$root/usr/lib/$python"
  done
}

# qemu-user registered with the kernel's binfmt_misc (with the F flag, so
# that programs inside a chroot find their emulator).
foreign_ready() {
  local emulator=/proc/sys/fs/binfmt_misc/qemu-aarch64
  if ! [ -e /usr/bin/qemu-aarch64-static ]; then
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 qemu-user-static binfmt-support \
      >/dev/null
  fi
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e "$emulator" ] || update-binfmts --enable qemu-aarch64
  grep -q '^flags: .*F' "$emulator" || { echo "qemu-aarch64 is not registered with flag F" >&2; exit 1; }
}

is_mounted() {
  mountpoint -q "$1"
}

# The checkout at its own path in the root. A mount found there is kept only if it is this
# checkout's folder: one left by an earlier run whose clone was deleted since (its exit
# skipped the unmount) shows an empty folder, and every script run in the root was missing.
bind_checkout() {
  local target=$root$checkout
  mkdir -p "$target"
  while is_mounted "$target" && ! [ "$target" -ef "$checkout" ]; do
    umount "$target" || umount --lazy "$target"
  done
  [ "$target" -ef "$checkout" ] || mount --bind "$checkout" "$target"
}

mount_all() {
  # CI may run two steps in one root at once: they mount in turn, so none mounts twice.
  exec 9>"$root.lock"
  flock 9
  is_mounted "$root/proc" || mount -t proc proc "$root/proc"  # Python and pytest read /proc
  is_mounted "$root/dev/shm" || mount -t tmpfs -o mode=1777 shm "$root/dev/shm"  # multiprocessing
  bind_checkout
  cp /etc/ssl/certs/ca-certificates.crt "$root/root/ca.crt"  # this machine's trust store
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  exec 9>&-
}

unmount_all() {
  # A point mounted more than once (by runs that did not undo theirs) is undone to the end.
  for point in "$root$checkout" "$root/dev/shm" "$root/proc"; do
    while is_mounted "$point"; do umount "$point"; done
  done
}

case "${1:-}" in
  make)
    make_root
    if [ "$arch" != native ]; then foreign_ready; fi
    ;;
  run)
    shift
    make_root
    if [ "$arch" != native ]; then foreign_ready; fi
    mount_all
    # PIP_FIND_LINKS would name folders of this machine, which the root does not have.
    chroot "$root" env -u PIP_FIND_LINKS HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
      PIP_CERT=/root/ca.crt SSL_CERT_FILE=/root/ca.crt bash -c 'cd "$0" && exec "$@"' "$checkout" "$@"
    ;;
  unmount) unmount_all ;;
  *)
    echo "usage: $0 make | run CMD... | unmount" >&2
    exit 2
    ;;
esac
