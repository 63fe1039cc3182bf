#!/usr/bin/env bash
# Benchmark: tessolin against the usual tools on the same files, interleaved.
#   bench/run.sh [SIZE_MIB] [RUNS] [TESSOLIN] [STATIC_TESSOLIN]
# The static binary (by default the x86-64 tarball's, build/dist/static-x86_64/tessolin, where
# tools/dist.sh made it) is timed beside the dynamic one, with a static program that does nothing,
# the limit of a process start, as a yardstick of the 4 KB run.
# For each input shape, generates (not committed) a SIZE_MIB description whose product
# area is at its very end, and once a 4 KB one; prints median wall times, their ratios
# and peak memory. Exits 1 if any run's report is not the one its shape should give.
set -euo pipefail
size_mib=${1:-256}
runs=${2:-5}
tool=$(realpath "${3:-build/default/tessolin}")
static=${4:-build/dist/static-x86_64/tessolin}
[ -x "$static" ] && static=$(realpath "$static") || static=""
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C
bytes=$((size_mib * 1048576))

product='_SEE_PRODUCT 01 Language "en" Manufacturer "Acme" Product_Name "R120" Part_Number "R1-A" Version "A1" Serial_Number "SN0123456789" Asset_Tag "AT-42"'
printf 'SN : SN0123456789\r\nAsset Tag : AT-42\r\n' > "$work/expected.txt"

# One MiB of inventory-like text from a fixed seed; repeated, it is the typical shape.
awk -v seed=42 'BEGIN {
  srand(seed)
  split("_SEE_CHASSIS _SEE_BOARD Serial_Number Part_Number Manufacturer Version Asset_Tag Language", label, " ")
  while (bytes < 1048576) {
    line = sprintf("%s \"%08X-%d\" %s \"%c%c%05d\"\n", label[int(rand() * 8) + 1], int(rand() * 4294967295),
                   int(rand() * 1000), label[int(rand() * 8) + 1], 65 + int(rand() * 26), 65 + int(rand() * 26),
                   int(rand() * 100000))
    printf "%s", line
    bytes += length(line)
  }
}' > "$work/block"
{ head -c 3900 "$work/block" | sed '$d'; echo "$product"; } > "$work/small.fru"

repeat_block() { local i; for ((i = 0; i < size_mib; i++)); do cat "$1"; done; }
# Whole lines only, so that no token is cut short.
repeat_line() { (yes "$1" || true) | head -n $((bytes / (${#1} + 1))); }
run_of() { head -c "$bytes" /dev/zero | tr '\0' "$1"; }

# The body of each shape, everything before the product area.
shapes=(typical marker_prefixed near_misses one_byte whitespace giant_token giant_field short_tokens)
body_typical() { repeat_block "$work/block"; }
body_marker_prefixed() { repeat_line "$(printf '_SEE_PRODUCTS %.0s' {1..7})_SEE_PRODUCTS"; }
body_near_misses() { repeat_line 'x_SEE_PRODUCT _SEE_PRODUCX _SEE_PRODUC x_SEE_PRODUCT _SEE_PRODUCX _SEE_PRODUC'; }
body_one_byte() { run_of _; }
body_whitespace() {
  awk -v seed=42 'BEGIN { srand(seed); split(" ,\t,\n", c, ","); for (i = 0; i < 1048576; i++) printf "%s", c[int(rand() * 3) + 1] }' \
    > "$work/blanks"
  repeat_block "$work/blanks"
}
body_giant_token() { run_of x; }
body_short_tokens() { repeat_line 'a b c d e f g h i j k l m n o p q r s t u v w x y z'; }

generate() {
  if [[ $1 == giant_field ]]; then
    # The product area first, its serial number the whole size: the tool must refuse it.
    printf '%s' "${product%%SN0123456789*}"
    run_of x
    printf '%s\n' "${product#*SN0123456789}"
  else
    "body_$1"
    printf '\n%s\n' "$product"
  fi
}

# The contenders; each reads the file $1.
run_tessolin() { "$tool" "$1" "$work/out.txt"; }
run_static() { "$static" "$1" "$work/out.txt"; }
run_nothing() { "$work/nothing"; }
run_wc() { wc -w < "$1" > /dev/null; }
run_awk() {
  awk '{ for (i = 1; i <= NF; i++) { if (n) { n++; if (n == 14) sn = $i; if (n == 16) { at = $i; exit } }
                                     else if ($i == "_SEE_PRODUCT") n = 1 } }
       END { print "SN : " substr(sn, 2, length(sn) - 2) "\r"; print "Asset Tag : " substr(at, 2, length(at) - 2) "\r" }' \
    "$1" > "$work/awk.txt"
}
run_dd() { dd if="$1" of=/dev/null bs=64K 2> /dev/null; }
run_true() { /bin/true; }

# Wall time of one run in microseconds into $us, its status into $rc; bash's clock, as a
# date process each side would add milliseconds of its own.
time_one() {
  local start end
  rc=0
  start=${EPOCHREALTIME/./}
  "run_$1" "$2" || rc=$?
  end=${EPOCHREALTIME/./}
  us=$((end - start))
}

# Whether the last tessolin run did what the shape calls for.
report_ok() {
  if [[ $1 == giant_field ]]; then
    ((rc == 1)) && [[ ! -e $work/out.txt ]]
  else
    ((rc == 0)) && cmp -s "$work/out.txt" "$work/expected.txt"
  fi
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
ms() { printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)); }
peak_kb() { /usr/bin/time -o "$work/rss" -f %M "$tool" "$1" "$work/out.txt" || true; tail -n 1 "$work/rss"; }

echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "input: ${size_mib} MiB per shape, product area at the very end; times in ms, medians of $runs runs, interleaved"
row='%-16s %9s %9s %9s %7s %-8s %7s %8s %9s %6s  %s\n'
# shellcheck disable=SC2059 # the format is the table's
printf "$row" shape tessolin dd "wc -w" tess/dd target tess/wc "peak KB" static stat/d report

failures=()
rss_big=0
for shape in "${shapes[@]}"; do
  f=$work/$shape.fru
  generate "$shape" > "$f"
  sync "$f" # so that writing it back does not run during the timed runs
  names=(tessolin dd wc)
  [[ $shape == typical ]] && names+=(awk)
  [[ -z $static ]] || names+=(static)
  declare -A samples=()
  bad=0 first_bad=
  for ((r = 0; r < runs; r++)); do
    for name in "${names[@]}"; do
      rm -f "$work/out.txt"
      time_one "$name" "$f"
      samples[$name]+="$us "
      if [[ $name == tessolin || $name == static ]] && ! report_ok "$shape"; then
        bad=$((bad + 1))
        [[ -n $first_bad ]] ||
          first_bad="status $rc, report $([[ -e $work/out.txt ]] && echo "of $(wc -c < "$work/out.txt") bytes" || echo none)"
      fi
    done
  done
  ((bad == 0)) || failures+=("$shape: $bad of $runs runs wrong, the first with $first_bad")
  declare -A med=()
  for name in "${names[@]}"; do med[$name]=$(median <<< "${samples[$name]}"); done

  target=4
  [[ $shape == typical ]] && target=2
  by_dd=$(ratio "${med[tessolin]}" "${med[dd]}")
  verdict=$(awk -v r="$by_dd" -v t="$target" 'BEGIN { print (r <= t) ? "ok" : "OVER" }')
  if ((bad)); then
    report=WRONG
  elif [[ $shape == giant_field ]]; then
    report="status 1, no report, as expected"
  else
    report=ok
  fi
  rss=$(peak_kb "$f")
  ((rss > rss_big)) && rss_big=$rss
  static_ms=-
  by_dynamic=-
  if [[ -n $static ]]; then
    static_ms=$(ms "${med[static]}")
    by_dynamic=$(ratio "${med[static]}" "${med[tessolin]}")
  fi
  # shellcheck disable=SC2059
  printf "$row" "$shape" "$(ms "${med[tessolin]}")" "$(ms "${med[dd]}")" "$(ms "${med[wc]}")" \
    "$by_dd" "<=$target $verdict" "$(ratio "${med[tessolin]}" "${med[wc]}")" "$rss" "$static_ms" "$by_dynamic" "$report"

  if [[ $shape == typical ]]; then
    awk_row="awk extraction, typical only: $(ms "${med[awk]}") ms, tessolin / awk $(ratio "${med[tessolin]}" "${med[awk]}")"
    cmp -s "$work/awk.txt" "$work/expected.txt" || awk_row+=", but its report differs from the expected one"
  fi
  rm -f "$f"
done
echo "$awk_row"

# A 4 KB run is well under a millisecond: time many whole processes per sample.
small_us() {
  local reps=400 start end s out=()
  for ((r = 0; r < runs; r++)); do
    start=${EPOCHREALTIME/./}
    for ((s = 0; s < reps; s++)); do "run_$1" "$work/small.fru"; done
    end=${EPOCHREALTIME/./}
    out+=($(((end - start) / reps)))
  done
  median <<< "${out[*]}"
}
if command -v hyperfine > /dev/null; then
  hyperfine -N --warmup 50 --runs 1000 --export-json "$work/h.json" \
    "$tool $work/small.fru $work/out.txt" /bin/true > /dev/null 2>&1
  read -r small_tool small_true < <(awk -F'[:,]' '/"median"/ { printf "%d ", $2 * 1000000 } END { print "" }' "$work/h.json")
else
  small_tool=$(small_us tessolin)
  small_true=$(small_us true)
fi
if [[ -n $static ]] && printf 'int main(void) { return 0; }\n' | cc -O2 -static -x c - -o "$work/nothing" 2> /dev/null; then
  small_static=$(small_us static)
  small_nothing=$(small_us nothing)
fi
rss_small=$(peak_kb "$work/small.fru")

echo "4 KB run: tessolin ${small_tool} us, /bin/true ${small_true} us, ratio $(ratio "$small_tool" "$small_true")   (target <= 1.5)"
if [[ -n ${small_static:-} ]]; then
  echo "4 KB run, static: ${small_static} us, $(ratio "$small_static" "$small_true") of /bin/true (target <= 0.9)," \
    "$(ratio "$small_static" "$small_nothing") of a static program that does nothing (${small_nothing} us, about 1.1)," \
    "$(ratio "$small_static" "$small_tool") of the dynamic binary"
fi
echo "peak memory: ${rss_big} KB at most on ${size_mib} MiB, ${rss_small} KB on 4 KB, difference $((rss_big - rss_small)) KB   (target <= 1024)"

if ((${#failures[@]})); then
  echo
  echo "!!! WRONG REPORTS: the tool did not do what these shapes call for:"
  printf '!!!   %s\n' "${failures[@]}"
  exit 1
fi
