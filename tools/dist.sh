#!/usr/bin/env bash
# Makes every download into dist/: the .deb and .rpm for x86-64, arm64 and armhf, the static
# tarball for each of those processors, both Windows zips and both MSIs, and SHA256SUMS, which
# `sha256sum -c SHA256SUMS` checks. Each package preset is configured and built afresh, without
# tests, in build/dist/PRESET, from the committed tree: the downloads are those of a commit, and
# the same commit gives the same bytes (tests/reproducible.sh). Needs what the package presets
# need (doc/development.md).
#   tools/dist.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "dist: the tree has uncommitted changes, which would be in no commit's downloads: commit them first" >&2
  exit 1
fi
presets=(linux-amd64 linux-arm64 linux-armhf static-x86_64 static-aarch64 static-armhf windows windows-x86)
rm -rf dist build/dist
mkdir -p dist build/dist
for preset in "${presets[@]}"; do
  dir=build/dist/$preset
  echo "dist: $preset"
  { cmake --preset "$preset" -B "$dir" -DBUILD_TESTING=OFF && cmake --build "$dir" -j 2 && (cd "$dir" && cpack); } \
    > "$dir.log" 2>&1 || { tail -n 30 "$dir.log"; echo "dist: making $preset failed (all of it in $dir.log)" >&2; exit 1; }
  find "$dir" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.rpm' -o -name '*.tar.gz' -o -name '*.zip' -o -name '*.msi' \) \
    -exec cp {} dist/ \;
done
(cd dist && sha256sum -- *.deb *.rpm *.tar.gz *.zip *.msi > SHA256SUMS)
git rev-parse HEAD > build/dist/commit
echo "dist: $(($(wc -l < dist/SHA256SUMS))) packages of $(git rev-parse --short HEAD) and SHA256SUMS in dist/"
