#!/usr/bin/env bash
# Runs an x86-64 build's whole test suite again as other CPUs under qemu-x86_64: each test
# program and every tarn program it starts (TARN_TEST_RUNNER). The golden digests then check that
# tarn writes the same bytes on a CPU without AVX (Nehalem) and on one with AVX2 and FMA (Haswell)
# as on this one. The build's own ctest run must have gone first (it makes the test inputs).
#
# Usage: scripts/test-cpus.sh [BUILD_DIR [CPU...]]   (default: build Nehalem Haswell)
# TARN_CPU_TESTS, when set, is the gtest filter (default: every test).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
cpus=("$@")
[ ${#cpus[@]} -gt 0 ] || cpus=(Nehalem Haswell)
failed=0
for cpu in "${cpus[@]}"; do
  runner="qemu-x86_64 -cpu $cpu"
  for t in "$build"/*_tests; do
    start=$SECONDS
    if (cd "$build" && TARN_TEST_RUNNER="$runner" $runner "$t" \
        --gtest_filter="${TARN_CPU_TESTS:-*}" --gtest_brief=1 >"$build/cpu-test.log" 2>&1); then
      echo "$cpu: $(basename "$t"): $(grep -o 'PASSED  \] [0-9]* test' "$build/cpu-test.log" |
        grep -o '[0-9]*') passed ($((SECONDS - start)) s)"
    else
      echo "$cpu: $(basename "$t") FAILED"
      cat "$build/cpu-test.log"
      failed=1
    fi
  done
done
exit $failed
