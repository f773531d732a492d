#!/usr/bin/env bash
# CPU seconds of two builds of tarn on one input, their runs interleaved (old, new, old, new, ...)
# so that a change in the machine's load touches both alike: the median user + system seconds of
# tarn-encode, tarn-decode and the whole round trip (tarn), and whether both wrote the same bytes.
#
#   bench/compare-builds.sh OLD_BUILD NEW_BUILD [INPUT.wav]   (RUNS=5 by default)
#
# Without INPUT.wav: the recorded-music mix of bench/make-music.sh in build/music.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "Syntax: $0 OLD_BUILD NEW_BUILD [INPUT.wav]"
  exit 1
fi
builds=("$(cd "$1" && pwd)" "$(cd "$2" && pwd)")
input=$(realpath "${3:-$root/build/music/mix.wav}")
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "user + system" seconds of one command, its output thrown away.
cpu() {
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>&1
  awk '{ printf "%.2f", $1 + $2 }' "$work/time"
}
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

declare -A times
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 0; r < runs; r++)); do
  for i in 0 1; do
    b=${builds[$i]}
    times[$i,encode]+=" $(cpu "$b/tarn-encode" "$input" "$work/$i.tarn")"
    times[$i,decode]+=" $(cpu "$b/tarn-decode" "$work/$i.tarn" "$work/$i.wav")"
    times[$i,round]+=" $(cpu "$b/tarn" "$input" "$work/$i.rt.tarn" "$work/$i.rt.wav")"
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "Input: $(basename "$input"); $runs interleaved runs per build; load average before" \
     "$load_before, after $load_after"
echo
echo "| build | encode CPU s | decode CPU s | round trip CPU s |"
echo "|---|---|---|---|"
for i in 0 1; do
  printf "| %s | %s | %s | %s |\n" "${builds[$i]}" \
    "$(echo "${times[$i,encode]}" | median)" "$(echo "${times[$i,decode]}" | median)" \
    "$(echo "${times[$i,round]}" | median)"
done
if cmp -s "$work/0.tarn" "$work/1.tarn" && cmp -s "$work/0.wav" "$work/1.wav"; then
  echo
  echo "Both builds wrote the same stream and WAV bytes."
else
  echo
  echo "The builds wrote different bytes."
  exit 1
fi
