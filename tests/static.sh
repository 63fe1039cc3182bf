#!/usr/bin/env bash
# The end-to-end table against the static binaries of dist/ (tools/dist.sh made them): the x86-64
# one in an empty root, which holds the tarball's files and nothing else but the kernel's /dev and
# /proc, then on this machine as Linux 3.10 would run it (tests/start_tool.cpp --old-kernel); the
# arm64 and armhf ones under qemu-user. The harness is build/default's. Run it as root.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "static: run me as root" >&2; exit 1; }
work=$PWD/build/static-check
root=$work/root
cleanup() {
  for mount in "$root/dev" "$root/proc"; do
    mountpoint -q "$mount" && umount -l "$mount"
  done
  rm -rf "$work"
}
trap cleanup EXIT
cleanup
mkdir -p "$root/dev" "$root/proc" "$work/table"
tar -xzf dist/tessolin-*-linux-x86_64.tar.gz -C "$root" --strip-components=1
mount --bind /dev "$root/dev" # /dev/null, /dev/full, the loop devices of the disk rows
mount -t proc proc "$root/proc" # /dev/stdout, /proc/sys
start=$PWD/build/default/tests/start_tool
table() { # what, then the command that starts the tool
  echo "static: $1"
  TMPDIR=$work/table TESSOLIN_COMMAND="${*:2}" TESSOLIN_PLATFORM=linux build/default/tests/run_test --gtest_brief=1
}
table "in a root of $(find "$root" -mindepth 1 -maxdepth 1 | wc -l) entries: $(cd "$root" && echo *)" "$start" --root "$root" /tessolin
table "as Linux 3.10 would run it" "$start" --old-kernel "$root/tessolin"
for arm in aarch64:qemu-aarch64 armhf:qemu-arm; do
  mkdir -p "$work/${arm%%:*}"
  tar -xzf dist/tessolin-*-linux-"${arm%%:*}".tar.gz -C "$work/${arm%%:*}" --strip-components=1
  table "${arm%%:*} under qemu-user" "${arm#*:}" "$work/${arm%%:*}/tessolin"
done
