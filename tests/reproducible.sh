#!/usr/bin/env bash
# Checks that the same commit gives the same bytes. Two clones of HEAD, made at different
# times in folders of different names and depths, each make every package
# (`cmake --preset P -DBUILD_TESTING=OFF`, build, `cpack --preset P`) and a Linux build
# with debug information, with SOURCE_DATE_EPOCH unset; the second as another builder
# would, with another umask, time zone and (as root) host name. Every package, its
# checksum, tessolin.exe and the Linux binaries must be identical.
# Needs what every package preset needs (doc/development.md).
#   tests/reproducible.sh [PRESET...]   (default: every package preset)
set -euo pipefail
cd "$(dirname "$0")/.."
script=$PWD/tests/reproducible.sh

build() { # clone HEAD into $1 and make every package of the presets that follow there
  local dir=$1 preset
  shift
  git clone -q --no-hardlinks . "$dir"
  git -C "$dir" checkout -q --detach "$(git rev-parse HEAD)"
  [ ! -d build/sysroot/debs ] || { mkdir -p "$dir/build/sysroot" && cp -r build/sysroot/debs "$dir/build/sysroot/"; } # checked again there
  for preset in "$@"; do
    (cd "$dir" && cmake --preset "$preset" -DBUILD_TESTING=OFF && cmake --build --preset "$preset" &&
      cpack --preset "$preset") > "$dir.log" 2>&1 ||
      { tail -n 30 "$dir.log"; echo "reproducible: making $preset in $dir failed" >&2; exit 1; }
  done
  # Debug information names the source files: it must name them relative to the clone.
  (cd "$dir" && cmake -S . -B build/debuginfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF &&
    cmake --build build/debuginfo -j 2) > "$dir.log" 2>&1 ||
    { tail -n 30 "$dir.log"; echo "reproducible: the build with debug information in $dir failed" >&2; exit 1; }
}

if [ "${1:-}" = --build ]; then # the second builder, started below under its own host name
  shift
  hostname tessolin-other-builder
  build "$@"
  exit 0
fi

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux-amd64 windows windows-x86 linux-arm64 linux-armhf)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "reproducible: checking the commit $(git rev-parse --short HEAD); uncommitted changes are not in it" >&2
fi
unset SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build "$work/a" "${presets[@]}"
sleep 1 # so that every file of the second clone is younger by a second at least
(
  umask 0002
  export TZ=Asia/Kathmandu # UTC+05:45
  if unshare --uts true 2> /dev/null; then
    unshare --uts bash "$script" --build "$work/second/clone" "${presets[@]}"
  else
    echo "reproducible: not root, so both builds have the same host name" >&2
    build "$work/second/clone" "${presets[@]}"
  fi
)

shopt -s nullglob
made() { (cd "$1" && printf '%s\n' build/*/*.deb build/*/*.rpm build/*/*.zip build/*/*.msi build/*/*.sha256 build/*/tessolin build/*/tessolin.exe); }
[ "$(made "$work/a")" = "$(made "$work/second/clone")" ] || { echo "reproducible: the clones made different files" >&2; exit 1; }
differ=0
count=0
for product in $(made "$work/a"); do
  count=$((count + 1))
  if cmp -s "$work/a/$product" "$work/second/clone/$product"; then
    echo "same    $(sha256sum "$work/a/$product" | cut -c1-16)  $product"
  else
    echo "DIFFER                    $product"
    differ=1
  fi
done
[ "$differ" -eq 0 ] || { echo "reproducible: FAILED (diffoscope shows where two files differ)" >&2; exit 1; }
echo "reproducible: ok, $count files identical"
