#!/usr/bin/env bash
# The Linux and Windows workflows as a contributor on Debian 13 runs them: a minimal Debian 13 root
# (build/debian-13/root, made once by debootstrap from the mirror this host's apt uses, with what
# the two workflows need), a clone of HEAD in it, and `cmake --workflow` of `default` and
# `windows` there: GCC 14, CMake 3.31, Wine 10. Run it as root; with --root-only it makes the root alone.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "debian-13: run me as root" >&2; exit 1; }
source tests/debian-root.sh
root=$PWD/build/debian-13/root
make_root trixie "$root" cmake make g++ libgtest-dev groff-base strace g++-mingw-w64-x86-64-posix wine wine64 \
  icoutils libxml2-utils
[ "${1:-}" != --root-only ] || exit 0 # made while other work goes on (.ci/run)
cleanup() {
  mountpoint -q "$root" && umount -R -l "$root"
  rm -rf "$root/tessolin"
}
trap cleanup EXIT
# The root a mount point of its own, as a mount namespace in it needs (tests/wine-sandbox.sh).
mountpoint -q "$root" || mount --bind "$root" "$root"
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mountpoint -q "$root/sys" || mount -t sysfs sysfs "$root/sys"
mountpoint -q "$root/dev" || mount --bind /dev "$root/dev" # loop devices, for the disk rows
mountpoint -q "$root/dev/pts" || mount --bind /dev/pts "$root/dev/pts"
rm -rf "$root/tessolin"
git clone -q --no-hardlinks . "$root/tessolin"
git -C "$root/tessolin" checkout -q --detach "$(git rev-parse HEAD)"
chroot "$root" /bin/sh -c 'cd /tessolin && cmake --version | head -n 1 && /usr/lib/wine/wine64 --version &&
  cmake --workflow --preset default > default.log 2>&1 && tail -n 3 default.log &&
  cmake --workflow --preset windows > windows.log 2>&1 && tail -n 3 windows.log' ||
  { for log in default windows; do [ ! -f "$root/tessolin/$log.log" ] || tail -n 40 "$root/tessolin/$log.log"; done
    echo "debian-13: a workflow failed (above)" >&2; exit 1; }
echo "debian-13: ok"
