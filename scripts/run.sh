#!/usr/bin/env bash
# Installs what is missing, builds tarn, and runs one encode-and-decode cycle.
#   scripts/run.sh                      -> synthesises demo/demo.wav and runs
#                                          tarn demo/demo.wav demo/demo.tarn demo/demo-decoded.wav
#   scripts/run.sh in.wav out.tarn out.wav
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then
  mkdir -p demo
  build/tarn-make-signal demo/demo.wav
  set -- demo/demo.wav demo/demo.tarn demo/demo-decoded.wav
fi
exec build/tarn "$@"
