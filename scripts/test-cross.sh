#!/usr/bin/env bash
# Cross-builds tarn for aarch64 with Debian's cross compiler (the pinned FFTW too) into
# build-aarch64/ and checks under qemu-aarch64 that it writes the same bytes as x86-64: the
# driver tests of the native build (golden digests included) run the aarch64 programs, and with
# a music folder the recorded-music digests are checked as well.
#
# Usage: scripts/test-cross.sh [MUSIC_DIR]   (the native build/ must exist; scripts/test.sh makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
TARN_WITH_TESTS=1 TARN_WITH_CROSS=1 scripts/install-deps.sh
jobs=$(nproc)
cmake -S . -B build-aarch64 -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ >/dev/null
cmake --build build-aarch64 -j"$jobs" --target tarn tarn-encode tarn-decode tarn-make-signal
runner="qemu-aarch64 -L /usr/aarch64-linux-gnu"
(cd build && TARN_TEST_BIN_DIR="$PWD/../build-aarch64" TARN_TEST_RUNNER="$runner" ./driver_tests \
  --gtest_brief=1)
if [ $# -gt 0 ]; then
  TARN_RUNNER="$runner" bench/music-digests.sh --check build-aarch64 "$1"
fi
