#!/usr/bin/env bash
# Makes the recorded-music inputs that the benchmarks and the digest checks use, from packages in
# Debian's main archive: they are downloaded with apt-get download and unpacked with dpkg-deb -x
# into the output folder (nothing is installed), decoded with ffmpeg to 44100 Hz, 16-bit stereo
# WAV, and cut into
#   mix.wav              a 10-minute mix: orchestral, metal, electronic, a calm tonal ending
#   metal-10s.wav, orchestral-20s.wav, electronic-30s.wav, calm-40s.wav, rock-15s.wav
# and writes SHA256SUMS beside them. The decoders are deterministic, so the same ffmpeg gives the
# same files; compare SHA256SUMS with a colleague's before comparing tarn's output on them.
#
# Usage: bench/make-music.sh [OUTDIR]      (default: build/music)
set -euo pipefail
out=${1:-build/music}
mkdir -p "$out/pkgs"
out=$(cd "$out" && pwd)

packages=(singularity-music hyperrogue-music fretsonfire-songs-sectoid)
cd "$out/pkgs"
for p in "${packages[@]}"; do
  if ! ls "${p}"_*.deb >/dev/null 2>&1; then
    apt-get download "$p" >/dev/null 2>&1 || {
      echo "cannot download $p (run 'apt-get update' first?)" >&2; exit 1; }
  fi
  dpkg-deb -x "$(ls "${p}"_*.deb | head -n 1)" root
done
cd "$out"

sectoid=pkgs/root/usr/share/games/fretsonfire/data/songs/sectoid
# name            source                                              start  seconds
pieces=(
  "orchestral     pkgs/root/usr/share/games/singularity/music/Nebula.ogg    30     165"
  "metal          $sectoid/Metal madness/song.ogg                         0      140"
  "electronic     pkgs/root/usr/share/hyperrogue/music/hr3-hell.ogg       0      135"
  "rock           $sectoid/War of freedom/song.ogg                        40     80"
  "calm           pkgs/root/usr/share/hyperrogue/music/hr3-icyland.ogg    0      80"
)
decode() {  # decode SRC START SECONDS OUT
  ffmpeg -nostdin -v error -y -ss "$2" -t "$3" -i "$1" -map_metadata -1 -fflags +bitexact \
    -ar 44100 -ac 2 -c:a pcm_s16le "$4"
}
parts=()
for row in "${pieces[@]}"; do
  name=$(awk '{print $1}' <<<"$row")
  start=$(awk '{print $(NF-1)}' <<<"$row")
  secs=$(awk '{print $NF}' <<<"$row")
  src=$(sed -E 's/^[a-z]+ +//; s/ +[0-9]+ +[0-9]+$//' <<<"$row")
  decode "$src" "$start" "$secs" "part-$name.wav"
  parts+=("part-$name.wav")
done
sox "${parts[@]}" mix.wav
# Short pieces cut from the parts (not from the mix) so that each stands alone.
sox part-metal.wav metal-10s.wav trim 30 10
sox part-orchestral.wav orchestral-20s.wav trim 60 20
sox part-electronic.wav electronic-30s.wav trim 40 30
sox part-calm.wav calm-40s.wav trim 10 40
sox part-rock.wav rock-15s.wav trim 20 15
rm -f "${parts[@]}"
sha256sum mix.wav metal-10s.wav orchestral-20s.wav electronic-30s.wav calm-40s.wav rock-15s.wav \
  > SHA256SUMS
cat SHA256SUMS
