#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets into BUILD/fuzz-seeds/<target>/, from inputs made by
# the project's own tools in BUILD (tarn-make-signal, tarn-encode, fuzz/tarn-fuzz-seeds) plus small
# hand-made edge files. Every file is derived from fixed inputs, so every run makes the same seeds.
#   fuzz/make_seeds.sh BUILD
set -euo pipefail

build=$(realpath "${1:?usage: make_seeds.sh BUILD}")
seeds=$build/fuzz-seeds
work=$build/fuzz-seeds.work
rm -rf "$seeds" "$work"
mkdir -p "$seeds"/{wav_reader,arith_decompress,channel_frame,decoder} "$work"

# Little-endian fields as printf escapes; emit them with `printf %b`.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
  $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
# Overwrites bytes of FILE at OFFSET with the escapes in $3.
patch() { printf '%b' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# Encoder inputs: the music-like piece (1 s, and cut to the 32768-frame minimum) and silence.
"$build/tarn-make-signal" --seconds 1 "$work/music-1s.wav" >/dev/null
head -c $((44 + 32768 * 4)) "$work/music-1s.wav" >"$work/music-min.wav"
patch "$work/music-min.wav" 4 "$(le32 $((36 + 32768 * 4)))"
patch "$work/music-min.wav" 40 "$(le32 $((32768 * 4)))"
{ head -c 44 "$work/music-min.wav"; head -c $((32768 * 4)) /dev/zero; } >"$work/silence.wav"
for name in music-1s music-min silence; do
  "$build/tarn-encode" "$work/$name.wav" "$seeds/decoder/$name.tarn" >/dev/null
  "$build/fuzz/tarn-fuzz-seeds" "$seeds/decoder/$name.tarn" "$name" \
    "$seeds/arith_decompress" "$seeds/channel_frame" 16
done

# Decoder edge files: a header and no block, a stray byte after the last block, a cut inside a
# block, the other windows, another transform size.
d=$seeds/decoder
head -c 12 "$d/music-min.tarn" >"$d/header-only.tarn"
{ cat "$d/silence.tarn"; printf '\x5a'; } >"$d/stray-byte.tarn"
head -c 5000 "$d/music-min.tarn" >"$d/cut-in-block.tarn"
for w in 0 2 7; do
  cp "$d/silence.tarn" "$d/window-$w.tarn"
  patch "$d/window-$w.tarn" 9 "$(printf '\\x%02x' $w)"
done
cp "$d/music-min.tarn" "$d/half-frame-128.tarn"
patch "$d/half-frame-128.tarn" 10 "$(le16 128)"

# Arithmetic coder edge files: the coded forms of an empty buffer, "abc" and 14 zero bytes.
a=$seeds/arith_decompress
printf '\xff\x40' >"$a/empty"
printf '\x61\x01\x9d\x92' >"$a/abc"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x0d\x88' >"$a/zeros-14"
: >"$a/nothing"

# Channel frame edge files: every band at 0 bits; every band at 15 bits over a full stream of
# ones, in both header forms; a raw count of 16.
f=$seeds/channel_frame
head -c 15 /dev/zero >"$f/all-silent"
{ printf '\x00'; head -c 12 /dev/zero | tr '\0' '\377'; printf '\x0f\x00'
  head -c 499 /dev/zero | tr '\0' '\377'; } >"$f/all-15"
{ printf '\x01'; head -c 25 /dev/zero | tr '\0' '\017'; head -c 499 /dev/zero | tr '\0' '\377'; } \
  >"$f/raw-all-15"
{ printf '\x01\x10'; head -c 24 /dev/zero; head -c 8 /dev/zero; } >"$f/raw-16"

# WAV reader edge files: header + 64 frames of music with the header cut to taste.
w=$seeds/wav_reader
frames=$work/frames.raw
dd if="$work/music-min.wav" of="$frames" bs=4 skip=11 count=64 status=none
# fmt CHUNK-SIZE TAG CHANNELS RATE BITS: a format chunk's header and its 16 fields.
fmt() { printf '%b' "fmt $(le32 "$1")$(le16 "$2")$(le16 "$3")$(le32 "$4")$(le32 $(($4 * $3 * $5 / 8)))$(le16 $(($3 * $5 / 8)))$(le16 "$5")"; }
riff() { printf '%b' "RIFF$(le32 "$1")WAVE"; }
chunk() { printf '%b' "$1$(le32 "$2")"; }
{ riff 292; fmt 16 1 2 44100 16; chunk data 256; cat "$frames"; } >"$w/canonical.wav"
{ riff 294; fmt 18 1 2 44100 16; printf '\x00\x00'; chunk data 256; cat "$frames"; } >"$w/fmt18.wav"
{ riff 318; fmt 16 1 2 44100 16; chunk LIST 18; printf 'INFOISFT\x06\x00\x00\x00tarn\x00\x00'
  chunk data 256; cat "$frames"; } >"$w/list.wav"
{ riff 301; fmt 16 1 2 44100 16; chunk odd_ 1; printf '\x00'; chunk data 256; cat "$frames"; } \
  >"$w/odd-chunk.wav"
{ riff 292; fmt 16 1 2 44100 16; chunk data 255; cat "$frames"; } >"$w/data-not-multiple-of-4.wav"
{ riff 292; fmt 16 1 2 44100 16; chunk data 4294967295; cat "$frames"; } >"$w/data-size-huge.wav"
{ riff 292; fmt 0 1 2 44100 16; chunk data 256; cat "$frames"; } >"$w/fmt-size-0.wav"
{ riff 36; fmt 16 1 2 44100 16; chunk LIST 4; printf 'INFO'; } >"$w/no-data-chunk.wav"
head -c 35 "$w/canonical.wav" >"$w/short-35.wav"
head -c 36 "$w/canonical.wav" >"$w/short-36.wav"
head -c 43 "$w/canonical.wav" >"$w/short-43.wav"
{ riff 292; fmt 16 1 1 44100 16; chunk data 256; cat "$frames"; } >"$w/mono.wav"
{ riff 292; fmt 16 1 2 48000 16; chunk data 256; cat "$frames"; } >"$w/48k.wav"
{ riff 292; fmt 16 3 2 44100 32; chunk data 256; cat "$frames"; } >"$w/float.wav"
{ riff 292; fmt 16 65534 2 44100 16; chunk data 256; cat "$frames"; } >"$w/extensible.wav"

rm -rf "$work"
for t in "$seeds"/*/; do
  echo "seeds: $(basename "$t"): $(find "$t" -type f | wc -l) files"
done
