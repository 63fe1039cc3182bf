#!/usr/bin/env bash
# The end-to-end table against the .deb of linux-amd64, installed with dpkg in a minimal Debian 11
# root (build/debian-11/root, made once by debootstrap from the mirror this host's apt uses): the
# harness of build/default starts the installed tessolin in the root, in the same folder, through
# this script. Run it as root.
if [ "${1:-}" = --in-root ]; then # ROOT ARGS...: the installed tessolin, in ROOT, in this folder
  exec chroot "$2" /bin/sh -c 'cd "$0" && exec /usr/bin/tessolin "$@"' "$PWD" "${@:3}"
fi
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "debian-11: run me as root" >&2; exit 1; }
source tests/debian-root.sh
root=$PWD/build/debian-11/root
make_root bullseye "$root"
cleanup() {
  chroot "$root" dpkg --purge tessolin > /dev/null 2>&1 || true
  mountpoint -q "$root/proc" && umount "$root/proc"
  rm -rf "$root/tmp/table" "$root/tmp/tessolin.deb" "${root:?}$root" # the link to the root's /
}
trap cleanup EXIT
cp dist/tessolin_*_amd64.deb "$root/tmp/tessolin.deb" # tools/dist.sh made it
chroot "$root" dpkg -i /tmp/tessolin.deb > /dev/null
mount -t proc proc "$root/proc" # /dev/stdout and the like
# The harness's folders, by the path it gives them, are the same folders inside the root.
mkdir -p "$root$(dirname "$root")" "$root/tmp/table"
ln -sfn / "$root$root"
echo "debian-11: tessolin on libc6 $(chroot "$root" dpkg-query -W -f '${Version}' libc6)"
TMPDIR=$root/tmp/table TESSOLIN_COMMAND="$PWD/tests/debian-11.sh --in-root $root" TESSOLIN_PLATFORM=linux \
  build/default/tests/run_test --gtest_brief=1
