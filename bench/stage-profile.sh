#!/usr/bin/env bash
# What each stage of the encoder and of the decoder costs on one input: the share of time
# (perf's samples of tarn-encode and tarn-decode) and the instructions (callgrind), each
# function put into its stage by name.
#
#   bench/stage-profile.sh [BUILD_DIR [INPUT.wav]]   (default: build, the music mix)
#
# Time: `perf record` of one run of each program, CPU seconds from `perf stat` (task-clock).
# Instructions: `valgrind --tool=callgrind`, which runs the programs about 50 times slower; set
# INSTRUCTIONS=0 to leave them out. Needs perf and valgrind (Debian: linux-perf, valgrind).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
input=$(realpath "${2:-$root/build/music/mix.wav}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stage of a symbol (a function name as perf and callgrind print it; kernel says whether
# perf found it in the kernel).
stage_of='
function stage(s, kernel) {
  if (kernel) return "system (kernel)";
  if (s ~ /^_dl_|do_lookup_x|^_start|get_available_features|handle_amd|handle_intel|init_cpu/)
    return "start-up";
  if (s ~ /arith|encode_symbol|encode_bytes|encode_short|decompress|decode_one/) return "coder";
  if (s ~ /mask|spread|next_masker|scan_band|run_masking|psycho/) return "masking";
  if (s ~ /level|log10|__ieee754_log|__log/) return "levels";
  if (s ~ /mdct|spectrum|window_product|split_bins|fftw|^(n1|n2|t1|t2|t3|q1|r2c|hc2c|hf|hb|e01|e10)[A-Za-z]*_[0-9]+$|^apply/)
    return "transforms";
  if (s ~ /quantis|band_extremes|encode_channel_block|decode_channel_block|allocat|scale_factor/)
    return "allocation and quantisation";
  if (s ~ /channel_frame|put_bits|get_bits|band_bits|field_bits|word_bits|words/) return "packing";
  if (s ~ /pcm16|wav|read_frames|write_frames|_IO_|fread|fwrite/) return "PCM, WAV and stdio";
  if (s ~ /encoder_push|code_block|channel_record|decoder_read|decode_block|push_input|overlap|encode_file|decode_file|memmove|memcpy|memset/)
    return "framing";
  return "other";
}'

profile() {  # name, command...
  local name=$1
  shift
  perf stat -x, -e task-clock -o "$work/$name.stat" "$@" >/dev/null 2>&1
  perf record -q -o "$work/$name.perf" "$@" >/dev/null 2>&1
  perf report -i "$work/$name.perf" --no-children --sort sym --stdio 2>/dev/null |
    awk "$stage_of"'
      /^ +[0-9.]+%/ { p = $1; sub(/%/, "", p); kernel = $2 == "[k]"; $1 = ""; $2 = "";
                      share[stage(substr($0, 3), kernel)] += p }
      END { for (s in share) printf "%s\t%.1f\n", s, share[s] }' > "$work/$name.time"
  if [ "${INSTRUCTIONS:-1}" != 0 ]; then
    valgrind --tool=callgrind --callgrind-out-file="$work/$name.cg" "$@" >/dev/null 2>&1
    callgrind_annotate "$work/$name.cg" 2>/dev/null |
      awk "$stage_of"'
        /^ *[0-9,]+ \( *[0-9.]+%\) / && !/PROGRAM TOTALS|events annotated/ {
          n = $1; gsub(/,/, "", n);
          s = $0; sub(/^ *[0-9,]+ \( *[0-9.]+%\) +/, "", s);  # file:function [object]
          sub(/ \[[^]]*\]$/, "", s); sub(/^[^:]*:/, "", s);
          ins[stage(s, 0)] += n }
        END { for (s in ins) printf "%s\t%.1f\n", s, ins[s] / 1e6 }' > "$work/$name.ins"
  else
    : > "$work/$name.ins"
  fi
  local seconds
  seconds=$(awk -F, '/task-clock/ { printf "%.2f", $1 / 1000 }' "$work/$name.stat")
  echo "$name: $seconds CPU s on $(basename "$input")"
  echo
  echo "| stage | share of time | CPU s | instructions (M) |"
  echo "|---|---|---|---|"
  sort -t$'\t' -k2 -rn "$work/$name.time" | while IFS=$'\t' read -r s p; do
    ins=$(awk -F'\t' -v s="$s" '$1 == s { print $2 }' "$work/$name.ins")
    printf "| %s | %s %% | %.2f | %s |\n" "$s" "$p" "$(echo "$seconds * $p / 100" | bc -l)" \
      "${ins:--}"
  done
  echo
}

profile tarn-encode "$build/tarn-encode" "$input" "$work/x.tarn"
profile tarn-decode "$build/tarn-decode" "$work/x.tarn" "$work/x.wav"
