#!/usr/bin/env bash
# Round-trip speed of tarn against the codecs people already use, on the same input, side by
# side in one run: each tool encodes INPUT.wav and decodes the result back to a WAV, several
# times; the table gives the median wall-clock seconds of the whole round trip, how many times
# real time that is, the compressed bit rate, the peak resident memory (the largest of the
# steps), and the median CPU seconds of the round trip and of each half (encoding alone,
# decoding alone). tarn's round trip is one run of `tarn` (encode, close the stream, decode);
# its halves are `tarn-encode` and `tarn-decode`, run beside it.
#
#   bench/compare-peers.sh [INPUT.wav]          (RUNS=5 by default; RUNS=9 bench/... for more)
#
# Without INPUT.wav: the 10-minute recorded-music mix that bench/make-music.sh makes in build/music.
#
# Peers: ffmpeg's MPEG-1 layer II and AAC encoders, lame at -V 2, opusenc/opusdec at 96 kbps
# and flac, all single-threaded. Missing Debian packages (lame, ffmpeg, opus-tools, flac, time)
# are installed when the script runs as root; otherwise it names them and stops. tarn is built
# (Release) in build/ if needed. Runs are interleaved (every tool once, then again), so that a
# change in the machine's load touches all tools alike; the load averages before and after are
# printed with the table.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -gt 1 ] || { [ $# -eq 1 ] && [ ! -f "$1" ]; }; then
  echo "Syntax: $0 [INPUT.wav]     (default: the recorded-music mix of bench/make-music.sh)"
  exit 1
fi
if [ $# -eq 0 ]; then
  [ -f "$root/build/music/mix.wav" ] || "$root/bench/make-music.sh" "$root/build/music" >/dev/null
  set -- "$root/build/music/mix.wav"
fi
input=$(realpath "$1")
runs=${RUNS:-5}

packages=(lame ffmpeg opus-tools flac time)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "compare-peers needs these packages: ${missing[*]}"
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target tarn tarn-encode tarn-decode -j"$(nproc)" >/dev/null
tarn="$root/build/tarn"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds of audio: the data chunk of a canonical 16-bit stereo 44.1 kHz WAV.
data_bytes=$(od -An -t u4 -j 40 -N 4 "$input" | tr -d ' ')
seconds=$(echo "scale=3; $data_bytes / 176400" | bc)

# Each tool: name, settings, compressed file, encode command, decode command, and where one
# program does the whole round trip, its command (the round trip is then that program's run).
names=("tarn" "ffmpeg mp2" "ffmpeg aac" "lame" "opus-tools" "flac")
settings=("KBD 512, adaptive" "192 kbps, layer II" "128 kbps, native AAC" "-V 2 (VBR)"
          "96 kbps" "-5 (lossless)")
files=("x.tarn" "x.mp2" "x.m4a" "x.mp3" "x.opus" "x.flac")
encode=(
  "$root/build/tarn-encode $input $work/x.tarn"
  "ffmpeg -v error -threads 1 -y -i $input -c:a mp2 -b:a 192k $work/x.mp2"
  "ffmpeg -v error -threads 1 -y -i $input -c:a aac -b:a 128k $work/x.m4a"
  "lame --quiet -V 2 $input $work/x.mp3"
  "opusenc --quiet --bitrate 96 $input $work/x.opus"
  "flac --silent -f -5 -o $work/x.flac $input"
)
decode=(
  "$root/build/tarn-decode $work/x.tarn $work/out.wav"
  "ffmpeg -v error -threads 1 -y -i $work/x.mp2 $work/out.wav"
  "ffmpeg -v error -threads 1 -y -i $work/x.m4a $work/out.wav"
  "lame --quiet --decode $work/x.mp3 $work/out.wav"
  "opusdec --quiet --rate 44100 $work/x.opus $work/out.wav"
  "flac --silent -f -d -o $work/out.wav $work/x.flac"
)
whole=("$tarn $input $work/x.tarn $work/out.wav" "" "" "" "" "")

# Runs one step under GNU time (for the peak memory and the CPU time); prints
# "seconds cpu_seconds peak_kib", the seconds from the clock around it (GNU time rounds to
# hundredths). tarn's own report goes nowhere.
step() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%U %S %M" -o "$work/time" bash -c "$1" >/dev/null 2>&1
  end=$(date +%s.%N)
  read -r user sys kib < "$work/time"
  echo "$(echo "$end - $start" | bc) $(echo "$user + $sys" | bc) $kib"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A totals cpus peaks encode_cpus decode_cpus
for ((r = 0; r < runs; r++)); do
  for i in "${!names[@]}"; do
    total=0
    cpu=0
    peak=0
    half=0
    for cmd in "${encode[$i]}" "${decode[$i]}"; do
      read -r secs cpu_secs kib < <(step "$cmd")
      if [ $half = 0 ]; then
        encode_cpus[$i]="${encode_cpus[$i]:-} $cpu_secs"
      else
        decode_cpus[$i]="${decode_cpus[$i]:-} $cpu_secs"
      fi
      half=1
      total=$(echo "$total + $secs" | bc)
      cpu=$(echo "$cpu + $cpu_secs" | bc)
      [ "$kib" -gt "$peak" ] && peak=$kib
    done
    if [ -n "${whole[$i]}" ]; then
      read -r total cpu kib < <(step "${whole[$i]}")
      [ "$kib" -gt "$peak" ] && peak=$kib
    fi
    totals[$i]="${totals[$i]:-} $total"
    cpus[$i]="${cpus[$i]:-} $cpu"
    [ "$peak" -gt "${peaks[$i]:-0}" ] && peaks[$i]=$peak
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo "Input: $(basename "$input"), $seconds s of 44.1 kHz 16-bit stereo; $runs runs per tool"
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs;" \
     "load average before $load_before, after $load_after"
echo
printf "| %-10s | %-21s | %19s | %11s | %7s | %9s | %12s | %12s | %12s |\n" tool settings \
  "round trip s (med.)" "x real time" kbps "peak MiB" "CPU s (med.)" "encode CPU s" \
  "decode CPU s"
printf "|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n" "------------" "-----------------------" \
  "---------------------" "-------------" "---------" "-----------" "--------------" \
  "--------------" "--------------"
for i in "${!names[@]}"; do
  med=$(printf "%.3f" "$(echo "${totals[$i]}" | median)")
  cpu_med=$(printf "%.2f" "$(echo "${cpus[$i]}" | median)")
  encode_med=$(printf "%.2f" "$(echo "${encode_cpus[$i]}" | median)")
  decode_med=$(printf "%.2f" "$(echo "${decode_cpus[$i]}" | median)")
  bytes=$(stat -c %s "$work/${files[$i]}")
  kbps=$(echo "scale=1; $bytes * 8 / $seconds / 1000" | bc)
  speed=$(echo "scale=1; $seconds / $med" | bc)
  mib=$(echo "scale=1; ${peaks[$i]} / 1024" | bc)
  printf "| %-10s | %-21s | %19s | %11s | %7s | %9s | %12s | %12s | %12s |\n" "${names[$i]}" \
    "${settings[$i]}" "$med" "$speed" "$kbps" "$mib" "$cpu_med" "$encode_med" "$decode_med"
done
