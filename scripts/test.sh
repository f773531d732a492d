#!/usr/bin/env bash
# Installs what is missing, builds tarn and its tests, and runs the whole suite twice: once in a
# plain optimised build, once with AddressSanitizer and UndefinedBehaviorSanitizer. Between the
# two: the plain build's tests again as other CPUs under qemu, a leak check of one long run under
# valgrind, and a smoke run of every fuzz target (TARN_FUZZ_SMOKE_SECONDS each, default 60; 0
# skips them).
set -euo pipefail
cd "$(dirname "$0")/.."
TARN_WITH_TESTS=1 TARN_WITH_FUZZ=1 TARN_WITH_CROSS=1 scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
# The same bytes on other CPUs: the whole suite as a CPU without AVX, the golden tests as one
# with AVX2 and FMA, the driver and golden tests with an aarch64 build.
scripts/test-cpus.sh build Nehalem
TARN_CPU_TESTS='*Golden*' scripts/test-cpus.sh build Haswell
scripts/test-cross.sh

# The installed library: a temporary prefix, the example built against it both ways.
scripts/test-install.sh build
# The GStreamer plugin in whole pipelines (skips itself when the plugin was not built).
scripts/test-gst.sh build
# The library's thread test under ThreadSanitizer: two encoders and two decoders at once.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TSAN=ON -DTARN_BUILD_TESTS=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target api_test
TSAN_OPTIONS=halt_on_error=1 build-tsan/api_test build/tarn-encode build/tarn-decode --threads

scripts/leak-check.sh 60
smoke=${TARN_FUZZ_SMOKE_SECONDS:-60}
if [ "$smoke" != 0 ]; then
  fuzz/run.sh "$smoke"
fi

# The sanitizer pass runs last, so that its summary closes the output.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=ON \
  -DTARN_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")
