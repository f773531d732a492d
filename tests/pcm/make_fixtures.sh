#!/usr/bin/env bash
# Writes WAV files made by real tools (sox, ffmpeg) into OUTDIR for the WAV reader's tests:
#   tool_plain.wav       16-bit stereo 44100 Hz, 40000 frames: 440 Hz left, 1000 Hz right
#   tool_plain.raw       sox's own decoding of tool_plain.wav: the interleaved 16-bit samples
#   tool_short.wav       as tool_plain.wav, 1000 frames (valid, but too short to encode)
#   tool_list.wav        ffmpeg's copy of tool_plain.wav: a LIST chunk stands before "data"
#   tool_fmt18.wav       tool_plain.wav with an 18-byte fmt chunk (cbSize 0 appended)
#   tool_pipe.wav        ffmpeg's copy of tool_plain.wav written to a pipe: the data size is
#                        0xFFFFFFFF, since a pipe cannot be rewound to fill it in
#   tool_bext_odd.wav    ffmpeg's copy with a bext chunk of odd size (605), then its pad byte
#   tool_float.wav       32-bit float stereo 44100 Hz (format tag 3, 18-byte fmt, fact chunk)
#   tool_ext16.wav       WAVE_FORMAT_EXTENSIBLE, 16-bit stereo 44100 Hz (ffmpeg, 2-channel
#                        "downmix" layout, which is not plain stereo)
#   tool_ext24.wav       WAVE_FORMAT_EXTENSIBLE, 24-bit stereo 44100 Hz (sox)
#   tool_mono.wav        16-bit mono 44100 Hz
#   tool_48k.wav         16-bit stereo 48000 Hz
#   tool_8bit.wav        8-bit (unsigned) stereo 44100 Hz
# Every file is checked for the property it stands for, so a tool that changes its habits fails
# here instead of letting a test pass on the wrong input.
set -euo pipefail

out=${1:?usage: make_fixtures.sh OUTDIR}
for tool in sox ffmpeg od; do
  command -v "$tool" >/dev/null || { echo "make_fixtures.sh: $tool is not installed" >&2; exit 1; }
done
mkdir -p "$out"
cd "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# The 4 bytes at a byte offset, as text.
bytes_at() { dd if="$1" bs=1 skip="$2" count=4 status=none; }
# Unsigned little-endian integer of $3 bytes at a byte offset.
uint_at() { od -A n -t "u$3" -j "$2" -N "$3" --endian=little "$1" | tr -d ' '; }
expect() {  # file, what, actual, wanted
  if [ "$3" != "$4" ]; then
    echo "make_fixtures.sh: $1: $2 is '$3', expected '$4'" >&2
    exit 1
  fi
}

# A deterministic signal: plain sine tones, no dither (-D), so every run writes the same bytes.
# The rate and channel count go before -n: they set the generator's format, so sox neither
# resamples nor remixes on the way out.
tone() {  # file frames
  local file=$1 frames=$2
  sox -D -r 44100 -c 2 -n -b 16 -e signed-integer "$file" \
    synth "${frames}s" sine 440 sine 1000 vol 0.9
}

tone tool_plain.wav 40000
sox -D tool_plain.wav -t raw tool_plain.raw
expect tool_plain.wav "fmt size" "$(uint_at tool_plain.wav 16 4)" 16
expect tool_plain.wav "chunk at 36" "$(bytes_at tool_plain.wav 36)" data
expect tool_plain.raw "byte count" "$(stat -c %s tool_plain.raw)" 160000

tone tool_short.wav 1000

ff -i tool_plain.wav -c:a pcm_s16le tool_list.wav
expect tool_list.wav "chunk at 36" "$(bytes_at tool_list.wav 36)" LIST

ff -i tool_plain.wav -f wav - | cat >tool_pipe.wav
expect tool_pipe.wav "chunk at 70" "$(bytes_at tool_pipe.wav 70)" data
expect tool_pipe.wav "data size" "$(uint_at tool_pipe.wav 74 4)" 4294967295

ff -i tool_plain.wav -c:a pcm_s16le -write_bext 1 -metadata coding_history=ab tool_bext_odd.wav
expect tool_bext_odd.wav "chunk at 36" "$(bytes_at tool_bext_odd.wav 36)" bext
expect tool_bext_odd.wav "bext size" "$(uint_at tool_bext_odd.wav 40 4)" 605
expect tool_bext_odd.wav "pad byte" "$(uint_at tool_bext_odd.wav 649 1)" 0

# Neither tool writes an 18-byte fmt chunk for integer PCM (both keep the 16-byte form and only
# add cbSize for other formats), so take sox's file and widen its fmt chunk: size 16 -> 18, two
# zero bytes (cbSize = 0) after the format fields, RIFF size + 2.
{
  head -c 4 tool_plain.wav
  riff_size=$(($(uint_at tool_plain.wav 4 4) + 2))
  printf "\\x$(printf %02x $((riff_size & 255)))\\x$(printf %02x $(((riff_size >> 8) & 255)))"
  printf "\\x$(printf %02x $(((riff_size >> 16) & 255)))\\x$(printf %02x $((riff_size >> 24)))"
  dd if=tool_plain.wav bs=1 skip=8 count=8 status=none
  printf '\x12\x00\x00\x00'
  dd if=tool_plain.wav bs=1 skip=20 count=16 status=none
  printf '\x00\x00'
  tail -c +37 tool_plain.wav
} >tool_fmt18.wav
expect tool_fmt18.wav "fmt size" "$(uint_at tool_fmt18.wav 16 4)" 18
expect tool_fmt18.wav "chunk at 38" "$(bytes_at tool_fmt18.wav 38)" data

sox -D tool_plain.wav -e floating-point -b 32 tool_float.wav
expect tool_float.wav "format tag" "$(uint_at tool_float.wav 20 2)" 3
expect tool_float.wav "fmt size" "$(uint_at tool_float.wav 16 4)" 18

ff -i tool_plain.wav -af "channelmap=map=FL-DL|FR-DR:channel_layout=downmix" -c:a pcm_s16le \
  tool_ext16.wav
expect tool_ext16.wav "format tag" "$(uint_at tool_ext16.wav 20 2)" 65534
expect tool_ext16.wav "channels" "$(uint_at tool_ext16.wav 22 2)" 2
expect tool_ext16.wav "bits" "$(uint_at tool_ext16.wav 34 2)" 16

sox -D tool_plain.wav -b 24 tool_ext24.wav
expect tool_ext24.wav "format tag" "$(uint_at tool_ext24.wav 20 2)" 65534

sox -D tool_plain.wav -c 1 tool_mono.wav
sox -D tool_plain.wav -r 48000 tool_48k.wav
sox -D tool_plain.wav -b 8 tool_8bit.wav
for f in tool_mono.wav tool_48k.wav tool_8bit.wav; do
  expect $f "format tag" "$(uint_at $f 20 2)" 1
done
