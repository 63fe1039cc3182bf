#!/usr/bin/env bash
# Checks the downloads that tools/dist.sh made in dist/, for each package PRESET given (default:
# all of them): every package against dist/SHA256SUMS; for each .deb its architecture,
# its Depends and glibc symbols (2.28 at most), its file list and lintian (no error, no warning);
# for each .rpm the same, with rpmlint reporting only what is listed below, and an install into
# a scratch root; the Windows packages (below); and the tessolin of every Linux package run on
# the shipped example (the ARM ones under qemu-user). The .deb of linux-amd64 is installed with dpkg, then
# `tessolin` and `man tessolin` are run from it and it is purged again: so run this as root,
# on a machine without tessolin installed (it refuses to run over one).
#   tests/packages.sh [linux-amd64] [windows] [windows-x86] [linux-arm64] [linux-armhf] [static-x86_64] ...
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux-amd64 windows windows-x86 linux-arm64 linux-armhf static-x86_64 static-aarch64 static-armhf)
example=examples/bmcfru.fru
expected=$(printf 'SN : NWR120K4410023\r\nAsset Tag : DC3-R07-U21\r\n' | od -An -tx1)
work=$(mktemp -d)
trap 'for prefix in "$work"/wine-*; do WINEPREFIX=$prefix wineserver -k 2> /dev/null || true; done; rm -rf "$work"' EXIT

fail() {
  echo "packages: $*" >&2
  exit 1
}

version_of() { # the version CMake gave the packages of build/dist/$1
  sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "build/dist/$1/CPackConfig.cmake" 2> /dev/null
}

check_checksum() { # a package against SHA256SUMS, as a download would be checked
  (cd dist && grep -F "  $(basename "$1")" SHA256SUMS | sha256sum --quiet --strict -c -) ||
    fail "$1: not in SHA256SUMS, or its checksum does not match"
}

glibc_2_28() { dpkg --compare-versions "${1:-none}" le 2.28 2> /dev/null; } # VERSION: 2.28 or older
runs_example() { # COMMAND...: the command writes the example's report
  rm -f "$work/sn_at.txt"
  "$@" "$example" "$work/sn_at.txt" || fail "$*: status $? on $example"
  [ "$(od -An -tx1 "$work/sn_at.txt")" = "$expected" ] || fail "$*: wrong report for $example"
}

deb_files() {
  cat <<'LIST'
./usr/bin/tessolin
./usr/share/doc/tessolin/LICENSE
./usr/share/doc/tessolin/README.md
./usr/share/doc/tessolin/changelog.gz
./usr/share/doc/tessolin/copyright
./usr/share/doc/tessolin/examples/bmcfru.fru
./usr/share/doc/tessolin/examples/crlf-unit.fru
./usr/share/doc/tessolin/examples/export-unit.bat
./usr/share/doc/tessolin/examples/export-unit.sh
./usr/share/man/man1/tessolin.1.gz
LIST
}

# What rpmlint may say, and why it stays: no key to sign with; the project has no URL; the
# two Windows examples keep CR LF on purpose; Debian's stock rpmlint settings know no
# licence names and want man pages compressed with bzip2; and Debian's rpmlint 2.4 misses
# every man page (it records the section, 1, as the page's name).
rpmlint_accepted() {
  cat <<'LIST'
E: no-signature
W: invalid-license MIT
W: manpage-not-compressed bz2 /usr/share/man/man1/tessolin.1.gz
W: no-manual-page-for-binary tessolin
W: no-url-tag
W: wrong-file-end-of-line-encoding /usr/share/doc/tessolin/examples/crlf-unit.fru
W: wrong-file-end-of-line-encoding /usr/share/doc/tessolin/examples/export-unit.bat
LIST
}

check_linux() { # PRESET DEB_ARCH RPM_ARCH [EMULATOR...]
  local preset=$1 deb_arch=$2 rpm_arch=$3 version deb rpm
  shift 3
  version=$(version_of "$preset")
  [ -n "$version" ] || fail "build/dist/$preset has no packages: run tools/dist.sh"
  deb=dist/tessolin_${version}_$deb_arch.deb
  rpm=dist/tessolin-$version-1.$rpm_arch.rpm
  [ -f "$deb" ] && [ -f "$rpm" ] || fail "$deb or $rpm is missing: run tools/dist.sh"
  check_checksum "$deb"
  check_checksum "$rpm"

  [ "$(dpkg-deb -f "$deb" Architecture)" = "$deb_arch" ] || fail "$deb: Architecture is not $deb_arch"
  glibc_2_28 "$(dpkg-deb -f "$deb" Depends | sed -En 's/^libc6 \(>= ([0-9.]+)\)$/\1/p')" || fail "$deb: Depends is not libc6 (>= 2.28)"
  diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }') <(deb_files) || fail "$deb: other files"
  # lintian leaves a file per binary in TMPDIR: in the scratch folder, it goes with it.
  TMPDIR=$work lintian --fail-on error,warning "$deb" || fail "$deb: lintian"
  mkdir "$work/$preset.deb"
  dpkg-deb -x "$deb" "$work/$preset.deb"
  runs_example "$@" "$work/$preset.deb/usr/bin/tessolin"
  glibc_2_28 "$(objdump -T "$work/$preset.deb/usr/bin/tessolin" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1 | cut -c7-)" ||
    fail "$deb: tessolin asks for a glibc newer than 2.28"

  [ "$(rpm -qp --qf '%{ARCH}' "$rpm" 2> /dev/null)" = "$rpm_arch" ] || fail "$rpm: architecture is not $rpm_arch"
  rpm -qp --requires "$rpm" 2> /dev/null | grep -q '^libc\.so\.6' || fail "$rpm: requires no libc.so.6"
  diff <(rpm -qpl "$rpm" 2> /dev/null | grep -v '^/usr/lib/\.build-id') - <<'LIST' || fail "$rpm: other files"
/usr/bin/tessolin
/usr/share/doc/tessolin
/usr/share/doc/tessolin/LICENSE
/usr/share/doc/tessolin/README.md
/usr/share/doc/tessolin/changelog.gz
/usr/share/doc/tessolin/copyright
/usr/share/doc/tessolin/examples
/usr/share/doc/tessolin/examples/bmcfru.fru
/usr/share/doc/tessolin/examples/crlf-unit.fru
/usr/share/doc/tessolin/examples/export-unit.bat
/usr/share/doc/tessolin/examples/export-unit.sh
/usr/share/man/man1/tessolin.1.gz
LIST
  diff <(rpmlint "$rpm" 2> /dev/null | sed -n "s/^tessolin\.$rpm_arch: //p" | sort) <(rpmlint_accepted) ||
    fail "$rpm: rpmlint says more than it may (lines marked >)"
  mkdir "$work/$preset.rpm"
  rpm --root "$work/$preset.rpm" --initdb 2> /dev/null
  rpm --root "$work/$preset.rpm" -i --nodeps --ignorearch "$rpm" 2> /dev/null || fail "$rpm: does not install"
  runs_example "$@" "$work/$preset.rpm/usr/bin/tessolin"
  echo "packages: $deb and $rpm ok"
}

windows_files() {
  cat <<'LIST'
LICENSE
README.md
doc/how-it-works.md
doc/tessolin.txt
examples/bmcfru.fru
examples/crlf-unit.fru
examples/export-unit.bat
examples/export-unit.sh
tessolin.exe
LIST
}

# Wine through its 64-bit loader where there is one: Debian's `wine` takes the 32-bit one whenever
# wine32 is installed, which a kernel without IA-32 emulation cannot start; there the x86 MSI's
# install-and-run check is skipped, saying so.
wine_loader=wine
if [ -x /usr/lib/wine/wine64 ]; then
  wine_loader=/usr/lib/wine/wine64
  export WINELOADER=$wine_loader
fi
# Without address-space randomization where the host allows it, as in the test rows: Debian's Wine
# has no preloader, and one start in a few thousand fails otherwise.
unrandomized=()
if setarch -R true 2> /dev/null; then
  unrandomized=(setarch -R)
fi
run_wine() { "${unrandomized[@]}" "$wine_loader" "$@"; }
runs_32_bit() { /usr/lib/wine/wine --version > /dev/null 2>&1; }

# The zip's files; the MSI in a 64-bit Wine prefix: installed, its files, `tessolin` by name in a
# new cmd (before an upgrade: Wine leaves a ';' in PATH on removal, and its cmd stops there), removed,
# an upgrade from 0.0.1 in place, removed, and no file, PATH entry or registry key of it left.
check_windows() { # PRESET ZIP_SUFFIX MSI_ARCH PROGRAM_FILES
  local version zip msi dir reg
  version=$(version_of "$1")
  [ -n "$version" ] || fail "build/dist/$1 has no package: run tools/dist.sh"
  zip=dist/tessolin-$version-Windows$2.zip
  msi=dist/tessolin-$version-$3.msi
  [ -f "$zip" ] && [ -f "$msi" ] || fail "$zip or $msi is missing: run tools/dist.sh"
  check_checksum "$zip"
  check_checksum "$msi"
  diff <(unzip -Z1 "$zip" | grep -v '/$' | sort) <(windows_files) || fail "$zip: other files"
  if [ "$3" = x86 ] && ! runs_32_bit; then
    echo "packages: $zip ok; skipped installing and running $msi: this host runs no 32-bit code"
    return
  fi

  cpack --config "build/dist/$1/CPackConfig.cmake" -D CPACK_PACKAGE_VERSION=0.0.1 -B "$work/$1.old" > /dev/null
  export WINEPREFIX=$work/wine-$1 TMPDIR=$work WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= # Wine's server folder too
  mkdir "$WINEPREFIX" && run_wine wineboot --init > /dev/null 2>&1
  dir="$WINEPREFIX/drive_c/$4/tessolin" reg=$WINEPREFIX/system.reg
  run_wine msiexec /i "$msi" /qn || fail "$msi: does not install"
  diff <(cd "$dir" && find . -type f | cut -c3- | sort) <(windows_files) || fail "$msi: other files in $4"
  runs_example run_wine cmd /c tessolin
  run_wine msiexec /x "$msi" /qn || fail "$msi: does not uninstall"
  run_wine msiexec /i "$work/$1.old/tessolin-0.0.1-$3.msi" /qn && run_wine msiexec /i "$msi" /qn ||
    fail "$msi: does not install over version 0.0.1"
  wineserver -w # so that the registry is on disk
  grep -q "^\"DisplayVersion\"=\"$version\"" "$reg" && ! grep -q '^"DisplayVersion"="0.0.1"' "$reg" ||
    fail "$msi: version 0.0.1 is not upgraded in place"
  [ "$(grep '^"PATH"=' "$reg" | grep -o tessolin | wc -l)" -eq 1 ] || fail "$msi: not once on PATH"
  run_wine msiexec /x "$msi" /qn || fail "$msi: does not uninstall"
  wineserver -w
  [ ! -e "$dir" ] && ! grep -qi tessolin "$WINEPREFIX"/*.reg || fail "$msi: left files or registry entries"
  echo "packages: $zip and $msi ok"
}

# The real install: the .deb of linux-amd64, on this machine.
install_default() {
  local version deb status=0
  version=$(version_of linux-amd64)
  deb=dist/tessolin_${version}_$(dpkg --print-architecture).deb
  dpkg -i "$deb" > /dev/null
  trap 'dpkg --purge tessolin > /dev/null; rm -rf "$work"' EXIT
  /usr/bin/tessolin > "$work/banner" || status=$?
  [ "$status" -eq 1 ] && grep -qF "ver ${version%.*}" "$work/banner" || fail "installed tessolin: no banner for ${version%.*}"
  runs_example /usr/bin/tessolin
  MANPAGER=cat man tessolin 2> /dev/null | grep -q 'EXIT STATUS' || fail "man tessolin shows no page"
  echo "packages: $deb installed, run and purged"
}

# The static tarball: one folder with the four files, a tessolin with no program interpreter and no
# shared library, run on the example (the ARM ones under qemu-user).
check_tarball() { # PROCESSOR [EMULATOR...]
  local tarball folder
  tarball=dist/tessolin-$(version_of "static-$1")-linux-$1.tar.gz
  [ -f "$tarball" ] || fail "$tarball is missing: run tools/dist.sh"
  check_checksum "$tarball"
  folder=$(basename "$tarball" .tar.gz)
  diff <(tar -tzf "$tarball" | sort) <(printf "$folder/%s\n" LICENSE README.md tessolin tessolin.1) ||
    fail "$tarball: other files"
  tar -xzf "$tarball" -C "$work"
  ! readelf -lW "$work/$folder/tessolin" | grep -q INTERP && ! readelf -dW "$work/$folder/tessolin" | grep -q NEEDED ||
    fail "$tarball: tessolin asks for a program interpreter or a shared library"
  shift
  runs_example "$@" "$work/$folder/tessolin"
  echo "packages: $tarball ok"
}

for preset in "${presets[@]}"; do
  case $preset in
  linux-amd64)
    [ "$(id -u)" -eq 0 ] || fail "the .deb of linux-amd64 is installed with dpkg: run this as root"
    if dpkg-query -W -f '${Status}' tessolin 2> /dev/null | grep -q installed || command -v tessolin > /dev/null; then
      fail "tessolin is already installed ($(command -v tessolin || echo 'dpkg: tessolin')); this script installs" \
        "its own .deb and purges it, which would remove or hide that one: remove it first or run elsewhere"
    fi
    ;;
  windows | windows-x86 | linux-arm64 | linux-armhf | static-x86_64 | static-aarch64 | static-armhf) ;;
  *) fail "no such package preset: $preset" ;;
  esac
done
for preset in "${presets[@]}"; do
  case $preset in
  linux-amd64) check_linux linux-amd64 amd64 x86_64 ;;
  windows) check_windows windows "" x64 "Program Files" ;;
  windows-x86) check_windows windows-x86 -x86 x86 "Program Files (x86)" ;;
  linux-arm64) check_linux linux-arm64 arm64 aarch64 qemu-aarch64 -L build/sysroot/debian-11-arm64 ;;
  linux-armhf) check_linux linux-armhf armhf armv7hl qemu-arm -L build/sysroot/debian-11-armhf ;;
  static-x86_64) check_tarball x86_64 ;;
  static-aarch64) check_tarball aarch64 qemu-aarch64 ;;
  static-armhf) check_tarball armhf qemu-arm ;;
  esac
done
for preset in "${presets[@]}"; do
  [ "$preset" != linux-amd64 ] || install_default
done
echo "packages: ok"
