#!/usr/bin/env bash
# The GStreamer plugin of the build in BUILD (default build), in whole pipelines: decode against
# tarn-decode's samples, encode (known and unknown length) against tarn-encode's bytes, the
# discoverer's duration and caps, playbin to the end, exact seeks, a damaged stream, eight
# pipelines at once. The demo input and, when MUSIC_DIR (default /work/music) holds it, a
# recorded-music file. Skips with one line when the plugin was not built.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
music_dir=${MUSIC_DIR:-/work/music}
if [ ! -f "$build/gst/libgsttarn.so" ]; then
  echo "GStreamer plugin test: skipped (no $build/gst/libgsttarn.so: GStreamer's development" \
    "packages are missing or the build has -DTARN_GSTREAMER=OFF)"
  exit 0
fi
for tool in gst-launch-1.0 gst-discoverer-1.0 gst-play-1.0 sox; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Only this build's plugin and the system's, with a registry of our own.
export GST_PLUGIN_PATH=$build/gst
export GST_REGISTRY=$work/registry.bin
launch() { timeout 120 gst-launch-1.0 -q "$@"; }
fail() { echo "FAIL: $*"; exit 1; }
pcm_of() { sox -t wav "$1" -t raw -e signed -b 16 -L "$2"; }   # a WAV's samples, any header

gst-inspect-1.0 tarn >/dev/null || fail "gst-inspect-1.0 does not load $build/gst/libgsttarn.so"

inputs=()
"$build/tarn-make-signal" "$work/demo.wav" >/dev/null
inputs+=(demo)
if [ -f "$music_dir/rock-15s.wav" ]; then
  cp "$music_dir/rock-15s.wav" "$work/music.wav"
  inputs+=(music)
fi

for name in "${inputs[@]}"; do
  wav=$work/$name.wav
  "$build/tarn-encode" -q "$wav" "$work/$name.tarn" >/dev/null
  "$build/tarn-decode" -q "$work/$name.tarn" "$work/$name-ref.wav" >/dev/null
  pcm_of "$work/$name-ref.wav" "$work/$name-ref.pcm"
  frames=$(( $(stat -c %s "$work/$name-ref.pcm") / 4 ))

  # Decode: the samples of tarn-decode, through tarndec in pull mode (filesrc) and in push mode
  # (fdsrc from a pipe), and through playbin.
  launch filesrc location="$work/$name.tarn" ! tarndec ! wavenc ! filesink location="$work/$name-gst.wav"
  pcm_of "$work/$name-gst.wav" "$work/$name-gst.pcm"
  cmp -s "$work/$name-gst.pcm" "$work/$name-ref.pcm" || fail "$name: tarndec's samples differ from tarn-decode's"
  # shellcheck disable=SC2002
  cat "$work/$name.tarn" | launch fdsrc ! tarndec ! wavenc ! filesink location="$work/$name-push.wav"
  pcm_of "$work/$name-push.wav" "$work/$name-push.pcm"
  cmp -s "$work/$name-push.pcm" "$work/$name-ref.pcm" || fail "$name: tarndec from a pipe differs from tarn-decode"
  launch playbin uri="file://$work/$name.tarn" \
    audio-sink="wavenc ! filesink location=$work/$name-play.wav" video-sink=fakesink
  pcm_of "$work/$name-play.wav" "$work/$name-play.pcm"
  cmp -s "$work/$name-play.pcm" "$work/$name-ref.pcm" || fail "$name: playbin's samples differ from tarn-decode's"

  # Encode: the bytes of tarn-encode, from a WAV file (downstream seekable, the header rewritten)
  # and from a pipe into a pipe (the length known from the WAV header, no rewrite).
  launch filesrc location="$wav" ! wavparse ! tarnenc ! filesink location="$work/$name-gst.tarn"
  cmp -s "$work/$name-gst.tarn" "$work/$name.tarn" || fail "$name: tarnenc's stream differs from tarn-encode's"
  # shellcheck disable=SC2002
  cat "$wav" | launch fdsrc ! wavparse ! tarnenc ! fdsink | cat > "$work/$name-pipe.tarn"
  cmp -s "$work/$name-pipe.tarn" "$work/$name.tarn" || fail "$name: tarnenc into a pipe differs from tarn-encode"

  # Discover: the duration from the header, and the stream's caps.
  timeout 60 gst-discoverer-1.0 "$work/$name.tarn" > "$work/$name-discover.txt"
  seconds=$(awk -v f="$frames" 'BEGIN { printf "%d", int(f / 44100) }')
  grep -q "Duration: 0:00:$(printf %02d "$seconds")\." "$work/$name-discover.txt" ||
    fail "$name: gst-discoverer-1.0 shows no ${seconds}-second duration: $(cat "$work/$name-discover.txt")"
  grep -q "audio/x-tarn" "$work/$name-discover.txt" ||
    fail "$name: gst-discoverer-1.0 does not name audio/x-tarn"

  # Seeks, and the same whole decode in eight pipelines at once.
  "$build/gst/gst_seek_test" seek "$work/$name.tarn" "$work/$name-ref.wav" 20
  "$build/gst/gst_seek_test" parallel "$work/$name.tarn" "$work/$name-ref.wav" 8
  echo "gst $name: decode (file, pipe), playbin, encode (file, pipe), discoverer, 20 seeks, 8 at once: $frames frames identical"
done

# Audio of unknown length: audiotestsrc has no duration. The same audio written as a WAV first
# gives tarn-encode's reference.
source_line=(audiotestsrc num-buffers=50 samplesperbuffer=1000 wave=sine freq=330 volume=0.5
  ! audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2)
launch "${source_line[@]}" ! wavenc ! filesink location="$work/tone.wav"
"$build/tarn-encode" -q "$work/tone.wav" "$work/tone.tarn" >/dev/null
launch "${source_line[@]}" ! tarnenc ! filesink location="$work/tone-gst.tarn"
cmp -s "$work/tone-gst.tarn" "$work/tone.tarn" || fail "unknown length: tarnenc's stream differs from tarn-encode's"
echo "gst unknown length: audiotestsrc 50000 frames through tarnenc gives tarn-encode's bytes"

# A stream whose encoder never finished (its header's length still 0xFFFFFFFF) plays to its
# last block, without an error: its frames begin with all of the finished stream's.
cp "$work/demo.tarn" "$work/unfinished.tarn"
printf '\377\377\377\377' | dd of="$work/unfinished.tarn" bs=1 count=4 conv=notrunc 2>/dev/null
launch filesrc location="$work/unfinished.tarn" ! tarndec ! wavenc ! filesink location="$work/unfinished.wav" ||
  fail "a stream of unknown length does not play to its end"
pcm_of "$work/unfinished.wav" "$work/unfinished.pcm"
cmp -s -n "$(stat -c %s "$work/demo-ref.pcm")" "$work/unfinished.pcm" "$work/demo-ref.pcm" ||
  fail "a stream of unknown length gives other samples"
echo "gst unknown length: an unfinished stream plays to its last block"

# The type finder: by the header, whatever the name, and not for a WAV.
cp "$work/demo.tarn" "$work/no-extension"
for case in "no-extension:audio/x-tarn" "demo.tarn:audio/x-tarn" "demo.wav:audio/x-wav"; do
  found=$(timeout 60 gst-typefind-1.0 "$work/${case%%:*}" 2>&1 || true)
  [ "$found" = "$work/${case%%:*} - ${case#*:}" ] || fail "type finder: $found, not ${case#*:}"
done

# Gapless playback with gst-play-1.0 to the end.
timeout 60 gst-play-1.0 -q --audiosink="fakesink sync=false" "$work/demo.tarn" >/dev/null ||
  fail "gst-play-1.0 does not play the demo to its end"

# A damaged stream: an error on the bus carrying the library's text, after the good frames; a
# header cut short: the library's text too. Never a crash (gst-launch exits 1, not by a signal).
# The stub goes through gst_seek_test, not gst-launch-1.0: on an error while prerolling,
# gst-launch-1.0 1.22 at times waits for ever (wavparse on a 7-byte WAV does the same).
size=$(stat -c %s "$work/demo.tarn")
head -c $((size / 2)) "$work/demo.tarn" > "$work/cut.tarn"
head -c 7 "$work/demo.tarn" > "$work/stub.tarn"
for source in "filesrc location=$work/cut.tarn" "fdsrc"; do
  status=0
  # shellcheck disable=SC2086
  timeout 60 gst-launch-1.0 $source ! tarndec ! fakesink < "$work/cut.tarn" > "$work/cut.log" 2>&1 || status=$?
  [ "$status" = 1 ] && grep -q "damaged at block" "$work/cut.log" ||
    fail "cut.tarn through ${source%% *}: exit $status: $(cat "$work/cut.log")"
done
"$build/tarn-decode" -q "$work/cut.tarn" "$work/cut-ref.wav" >/dev/null 2>&1 || true
"$build/gst/gst_seek_test" damaged "$work/cut.tarn" "$work/cut-ref.wav" "damaged at block"
"$build/gst/gst_seek_test" damaged "$work/stub.tarn" none "cannot read the stream header"
echo "gst errors: a stream cut in half (from a file and from a pipe) and a 7-byte stub end with the library's text on the bus"
# Installed to a prefix, the plugin is found through GST_PLUGIN_PATH=PREFIX/lib/gstreamer-1.0 and
# finds the installed libtarn.so.0 by itself.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
GST_PLUGIN_PATH=$work/prefix/lib/gstreamer-1.0 GST_REGISTRY=$work/installed-registry.bin \
  launch filesrc location="$work/demo.tarn" ! tarndec ! wavenc ! filesink location="$work/installed.wav"
pcm_of "$work/installed.wav" "$work/installed.pcm"
cmp -s "$work/installed.pcm" "$work/demo-ref.pcm" || fail "the installed plugin's samples differ"
loaded=$(ldd "$work/prefix/lib/gstreamer-1.0/libgsttarn.so" | awk '$1 == "libtarn.so.0" { print $3 }')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$work/prefix/lib/libtarn.so.0")" ] ||
  fail "the installed plugin loads libtarn.so.0 from '$loaded', not from the prefix"
echo "gst install: PREFIX/lib/gstreamer-1.0/libgsttarn.so decodes the demo with PREFIX/lib/libtarn.so.0"
echo "GStreamer plugin test: passed"
