#!/usr/bin/env bash
# Checks the packages made by `cpack --preset default` and `cpack --preset windows`:
# the .deb's file list, lintian on it (no error, no warning), a real install with
# dpkg (so run it as root, on a machine you may install on), `tessolin` and
# `man tessolin` from it, the zip's contents, and both packages' checksums.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls build/default/tessolin_*_amd64.deb)
zip=$(ls build/windows/tessolin-*-Windows.zip)

diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }') - <<'LIST'
./usr/bin/tessolin
./usr/share/doc/tessolin/LICENSE
./usr/share/doc/tessolin/README.md
./usr/share/doc/tessolin/changelog.gz
./usr/share/doc/tessolin/copyright
./usr/share/doc/tessolin/examples/bmcfru.fru
./usr/share/doc/tessolin/examples/crlf-unit.fru
./usr/share/doc/tessolin/examples/export-unit.bat
./usr/share/man/man1/tessolin.1.gz
LIST
lintian --fail-on error,warning "$deb"
diff <(unzip -Z1 "$zip" | grep -v '/$' | sort) - <<'LIST'
LICENSE
README.md
examples/bmcfru.fru
examples/crlf-unit.fru
examples/export-unit.bat
tessolin.exe
LIST

for package in "$deb" "$zip"; do # each against the checksum beside it, as a download would be
  (cd "$(dirname "$package")" && sha256sum --quiet -c "$(basename "$package").sha256")
done

dpkg -i "$deb" > /dev/null
trap 'dpkg -r tessolin > /dev/null' EXIT
work=$(mktemp -d)
status=0
tessolin > "$work/banner" || status=$?
[ "$status" -eq 1 ] && grep -q 'ver 0.1' "$work/banner"
tessolin /usr/share/doc/tessolin/examples/bmcfru.fru "$work/sn_at.txt"
printf 'SN : NWR120K4410023\r\nAsset Tag : DC3-R07-U21\r\n' | cmp - "$work/sn_at.txt"
MANPAGER=cat man tessolin 2> /dev/null | grep -q 'EXIT STATUS'
rm -rf "$work"
echo "packages: ok"
