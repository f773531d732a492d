#!/usr/bin/env bash
# Installs what is missing, builds tarn, and runs one encode-and-decode cycle.
#   scripts/run.sh                      -> synthesises demo/demo.wav and runs
#                                          tarn demo/demo.wav demo/demo.tarn demo/demo-decoded.wav
#                                          in the repository
#   scripts/run.sh in.wav out.tarn out.wav
#                                       -> runs tarn on them; relative paths are taken from the
#                                          folder the command is given in
# A line starting "tarn: " tells each step; the compilers' own output shows only on errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

if [ -x "$root/build/tarn" ]; then
  echo "tarn: configuring and bringing build/ up to date"
else
  echo "tarn: configuring build/"
fi
# Only the configure steps that take long (FFTW's, the first time) are shown; errors go to
# standard error and show as they are.
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF |
  sed -un 's/^-- tarn: /tarn: /p'
echo "tarn: building the library and the programs"
cmake --build "$root/build" -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then
  cd "$root"
  mkdir -p demo
  echo "tarn: synthesising the demo input demo/demo.wav"
  build/tarn-make-signal demo/demo.wav
  echo "tarn: running build/tarn demo/demo.wav demo/demo.tarn demo/demo-decoded.wav"
  echo
  set -- demo/demo.wav demo/demo.tarn demo/demo-decoded.wav
fi
exec "$root/build/tarn" "$@"
