#!/usr/bin/env bash
# Runs tarn on each recorded-music input that bench/make-music.sh made and prints the SHA-256 of
# every stream and decoded WAV, or, with --check, compares them with bench/music-digests.txt (the
# reference bytes) and fails on any difference. The inputs are checked first against
# bench/music-inputs.sha256: different inputs make the comparison meaningless.
#
# Usage: bench/music-digests.sh [--check] [BUILD_DIR [MUSIC_DIR]]   (default: build build/music)
# TARN_RUNNER, when set, prefixes each run (for example "qemu-x86_64 -cpu Nehalem").
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
build=$(cd "${1:-build}" && pwd)
music=$(cd "${2:-build/music}" && pwd)
(cd "$music" && sha256sum --quiet -c "$here/music-inputs.sha256") || {
  echo "the music inputs differ from the ones the reference was made from" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in mix metal-10s orchestral-20s electronic-30s calm-40s rock-15s; do
  ${TARN_RUNNER:-} "$build/tarn" "$music/$f.wav" "$work/$f.tarn" "$work/$f.wav" >/dev/null
done
(cd "$work" && sha256sum ./*.tarn ./*.wav | sed 's| \./| |') > "$work/digests"
if [ $check = 1 ]; then
  diff "$here/music-digests.txt" "$work/digests" && echo "music digests: all identical"
else
  cat "$work/digests"
fi
