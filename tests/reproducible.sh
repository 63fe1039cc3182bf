#!/usr/bin/env bash
# Checks that the same commit gives the same bytes: the downloads tools/dist.sh made here (made
# first where dist/ holds no downloads of HEAD) against those of a clone of HEAD, made a second
# later in a folder of another name and depth, as another builder would: with another umask, time
# zone and (as root) host name, SOURCE_DATE_EPOCH unset. Every download, SHA256SUMS and a Linux
# build with debug information (which names its sources relative to the clone) must be identical.
# Needs what tools/dist.sh needs (doc/development.md).
set -euo pipefail
cd "$(dirname "$0")/.."
script=$PWD/tests/reproducible.sh
unset SOURCE_DATE_EPOCH

debuginfo() { # the build with debug information of the checkout in $1
  (cd "$1" && cmake -S . -B build/debuginfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF &&
    cmake --build build/debuginfo -j 2) > "$1/build/debuginfo.log" 2>&1 ||
    { tail -n 30 "$1/build/debuginfo.log"; echo "reproducible: the build with debug information in $1 failed" >&2; exit 1; }
}

if [ "${1:-}" = --build ]; then # the second builder, started below: DIR, and `renamed` under a host name of its own
  [ "${3:-}" != renamed ] || hostname tessolin-other-builder
  git clone -q --no-hardlinks . "$2"
  git -C "$2" checkout -q --detach "$(git rev-parse HEAD)"
  [ ! -d build/sysroot/debs ] || { mkdir -p "$2/build/sysroot" && cp -r build/sysroot/debs "$2/build/sysroot/"; } # checked again there
  (cd "$2" && tools/dist.sh) > "$2.log" 2>&1 || { tail -n 30 "$2.log"; echo "reproducible: tools/dist.sh in $2 failed" >&2; exit 1; }
  debuginfo "$2"
  exit 0
fi

if [ "$(cat build/dist/commit 2> /dev/null)" != "$(git rev-parse HEAD)" ]; then
  tools/dist.sh
fi
debuginfo .
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sleep 1 # so that every file of the second clone is younger by a second at least
(
  umask 0002
  export TZ=Asia/Kathmandu # UTC+05:45
  if unshare --uts true 2> /dev/null; then
    unshare --uts bash "$script" --build "$work/second/clone" renamed
  else
    echo "reproducible: not root, so both builds have the same host name" >&2
    bash "$script" --build "$work/second/clone"
  fi
)

other=$work/second/clone
[ "$(ls dist)" = "$(ls "$other/dist")" ] || { echo "reproducible: the clones made different files" >&2; exit 1; }
differ=0
count=0
for product in dist/* build/debuginfo/tessolin; do
  count=$((count + 1))
  if cmp -s "$product" "$other/$product"; then
    echo "same    $(sha256sum "$product" | cut -c1-16)  $product"
  else
    echo "DIFFER                    $product"
    differ=1
  fi
done
[ "$differ" -eq 0 ] || { echo "reproducible: FAILED (diffoscope shows where two files differ)" >&2; exit 1; }
echo "reproducible: ok, $count files identical"
