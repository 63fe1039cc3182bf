#!/usr/bin/env bash
# Static analysis and formatting, every finding fatal:
#  - clang-tidy on every C++ source file under src/, through the flags of the Linux build
#    or, for a file only the Windows build compiles, of the mingw-w64 build; and under fuzz/,
#    through the fuzz build's;
#  - cppcheck on src/ and fuzz/;
#  - clang-format --dry-run on every C++ file under src/, tests/, fuzz/ and bench/.
# The compilation databases come from build trees of its own, build/static-analysis/PRESET,
# configured without tests. Needs clang, clang-tidy, clang-format, cppcheck and
# g++-mingw-w64-x86-64-posix.
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob globstar

for preset in default windows fuzz; do
  dir=build/static-analysis/$preset
  mkdir -p "$dir"
  cmake --preset "$preset" -B "$dir" -DBUILD_TESTING=OFF > "$dir.log" 2>&1 ||
    { cat "$dir.log"; echo "static analysis: configuring $dir failed" >&2; exit 1; }
done
built_by() { # PRESET FILE: whether that build compiles the file
  grep -qF "\"file\": \"$PWD/$2\"" "build/static-analysis/$1/compile_commands.json"
}

# One line per clang-tidy run: the build whose flags it takes, the file, any further arguments.
runs=()
linux=0
windows=0
for file in src/**/*.cpp; do
  if built_by default "$file"; then
    runs+=("build/static-analysis/default $file")
    linux=$((linux + 1))
  elif built_by windows "$file"; then
    # The Windows sources with mingw-w64's C++ headers rather than GCC's intrinsics.
    mingw_cxx_headers=$(x86_64-w64-mingw32-g++-posix -E -x c++ -v - < /dev/null 2>&1 |
      sed -n 's|^ \(/.*/c++.*\)|--extra-arg=-isystem\1|p' | paste -sd ' ')
    runs+=("build/static-analysis/windows $file --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++ $mingw_cxx_headers")
    windows=$((windows + 1))
  else
    echo "static analysis: no build compiles $file" >&2
    exit 1
  fi
done
fuzz=0
for file in fuzz/**/*.cpp; do
  runs+=("build/static-analysis/fuzz $file")
  fuzz=$((fuzz + 1))
done
# Two runs at a time, one per core; without clang's count of the warnings it did not show.
status=0
printf '%s\n' "${runs[@]}" | xargs -P 2 -L 1 clang-tidy --quiet -p 2>&1 | grep -v '^[0-9]* warnings generated\.$' ||
  status=${PIPESTATUS[1]}
[ "$status" -eq 0 ] || { echo "static analysis: clang-tidy found something (above)" >&2; exit 1; }

cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --quiet --std=c++20 -I src src fuzz

clang-format --dry-run --Werror src/**/*.[ch]pp tests/**/*.[ch]pp fuzz/**/*.[ch]pp bench/**/*.[ch]pp

echo "static analysis: ok (clang-tidy on $linux Linux, $windows Windows and $fuzz fuzz source files)"
