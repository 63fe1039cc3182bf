#!/usr/bin/env bash
# Benchmark: tessolin against the usual tools on the same files, interleaved.
#   bench/run.sh [SIZE_MIB] [RUNS] [TESSOLIN]
# Generates (not committed) a SIZE_MIB description whose product area is at its very
# end, and a 4 KB one; prints median wall times, their ratios and peak memory.
set -euo pipefail
size_mib=${1:-256}
runs=${2:-5}
tool=$(realpath "${3:-build/default/tessolin}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C

# One MiB of inventory-like text from a fixed seed, repeated; the product area last.
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
product='_SEE_PRODUCT 01 Language "en" Manufacturer "Acme" Product_Name "R120" Part_Number "R1-A" Version "A1" Serial_Number "SN0123456789" Asset_Tag "AT-42"'
for ((i = 0; i < size_mib; i++)); do cat "$work/block"; done > "$work/big.fru"
echo "$product" >> "$work/big.fru"
{ head -c 3900 "$work/block" | sed '$d'; echo "$product"; } > "$work/small.fru"
cat "$work/big.fru" > /dev/null # into the page cache

# The contenders; each reads the file $1.
run_tessolin() { "$tool" "$1" "$work/out.txt"; }
run_wc() { wc -w < "$1" > /dev/null; }
run_awk() {
  awk '{ for (i = 1; i <= NF; i++) { if (n) { n++; if (n == 14) sn = $i; if (n == 16) { at = $i; exit } }
                                     else if ($i == "_SEE_PRODUCT") n = 1 } }
       END { print "SN : " substr(sn, 2, length(sn) - 2) "\r"; print "Asset Tag : " substr(at, 2, length(at) - 2) "\r" }' \
    "$1" > "$work/awk.txt"
}
run_dd() { dd if="$1" of=/dev/null bs=64K 2> /dev/null; }
run_true() { /bin/true; }
names=(tessolin wc awk dd)

# Wall time of one run in microseconds; bash's clock, as a date process each side
# would add milliseconds of its own.
time_one() {
  local f=$2 start end
  start=${EPOCHREALTIME/./}
  "run_$1" "$f" || true
  end=${EPOCHREALTIME/./}
  echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A samples
for ((r = 0; r < runs; r++)); do
  for name in "${names[@]}"; do
    samples[$name]+="$(time_one "$name" "$work/big.fru") "
  done
done
declare -A med
for name in "${names[@]}"; do
  med[$name]=$(tr ' ' '\n' <<< "${samples[$name]}" | grep . | median)
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# A 4 KB run is well under a millisecond: time many whole processes per sample.
small_us() {
  local reps=400 start end s out=()
  for ((r = 0; r < runs; r++)); do
    start=$(date +%s%N)
    for ((s = 0; s < reps; s++)); do "run_$1" "$work/small.fru"; done
    end=$(date +%s%N)
    out+=($(((end - start) / reps / 1000)))
  done
  printf '%s\n' "${out[@]}" | median
}
if command -v hyperfine > /dev/null; then
  hyperfine -N --warmup 50 --runs 1000 --export-json "$work/h.json" \
    "$tool $work/small.fru $work/out.txt" /bin/true > /dev/null 2>&1
  read -r small_tool small_true < <(awk -F'[:,]' '/"median"/ { printf "%d ", $2 * 1000000 } END { print "" }' "$work/h.json")
else
  small_tool=$(small_us tessolin)
  small_true=$(small_us true)
fi

rss_big=$(/usr/bin/time -f %M "$tool" "$work/big.fru" "$work/out.txt" 2>&1 >/dev/null)
rss_small=$(/usr/bin/time -f %M "$tool" "$work/small.fru" "$work/out.txt" 2>&1 >/dev/null)
cmp -s "$work/out.txt" "$work/awk.txt" || echo "note: awk's report differs from tessolin's"

echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "input: ${size_mib} MiB, product area at the end; medians of $runs runs, interleaved"
printf '  %-10s %10s us\n' tessolin "${med[tessolin]}" "wc -w" "${med[wc]}" awk "${med[awk]}" "dd bs=64K" "${med[dd]}"
echo "ratios:"
echo "  tessolin / wc -w      $(ratio "${med[tessolin]}" "${med[wc]}")   (target <= 0.10)"
echo "  tessolin / dd         $(ratio "${med[tessolin]}" "${med[dd]}")   (target <= 4)"
echo "  tessolin / awk        $(ratio "${med[tessolin]}" "${med[awk]}")"
echo "4 KB run: tessolin ${small_tool} us, /bin/true ${small_true} us, ratio $(ratio "$small_tool" "$small_true")   (target <= 1.5)"
echo "peak memory: ${rss_big} KB on ${size_mib} MiB, ${rss_small} KB on 4 KB, difference $((rss_big - rss_small)) KB   (target <= 1024)"
