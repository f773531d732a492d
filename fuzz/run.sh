#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) into build-fuzz/, makes the seed
# corpora and runs each named target (default: all four) for SECONDS, one after the other.
#   fuzz/run.sh SECONDS [TARGET...]     TARGET: wav_reader arith_decompress channel_frame decoder
# The working corpus of each target grows in build-fuzz/fuzz-corpus/<target>/ and is kept
# between runs; a crash input lands in build-fuzz/fuzz-crashes/<target>/ and fails the script.
# Installs clang and its fuzzer runtime first when run as root (scripts/install-deps.sh).
# TARN_FUZZ_NO_BUILD=1 reuses the existing build and seeds, e.g. to run two targets side by side:
#   fuzz/run.sh 1 && TARN_FUZZ_NO_BUILD=1 nice fuzz/run.sh 1200 decoder & ...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(wav_reader arith_decompress channel_frame decoder)

TARN_WITH_FUZZ=1 scripts/install-deps.sh
build=build-fuzz
if [ "${TARN_FUZZ_NO_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_FUZZ=ON \
    -DTARN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  bash fuzz/make_seeds.sh "$build"
fi

# Longest input per target: a few WAV chunks and frames; a record payload (at most 4 x 526
# bytes); a frame (1 + 25 + 1024 bytes); a stream of one to two seconds of blocks.
max_len() {
  case $1 in
    wav_reader) echo 4096 ;;
    arith_decompress) echo 2200 ;;
    channel_frame) echo 1100 ;;
    decoder) echo 20000 ;;
    *) echo "fuzz/run.sh: unknown target $1" >&2; exit 2 ;;
  esac
}

# libFuzzer reports the sanitizers' findings itself and saves the input.
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  len=$(max_len "$t")
  corpus=$build/fuzz-corpus/$t
  crashes=$build/fuzz-crashes/$t
  log=$build/fuzz-logs/$t.log
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  echo "== $t: ${seconds}s, max_len $len"
  set +e
  "$build/fuzz/${t}_fuzzer" "$corpus" "$build/fuzz-seeds/$t" -max_total_time="$seconds" \
    -max_len="$len" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$crashes/" >"$log" 2>&1
  rc=$?
  set -e
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  echo "$t: exit $rc, $(stat number_of_executed_units) execs, $(stat average_exec_per_sec) execs/s," \
    "$(stat new_units_added) new units, corpus $(find "$corpus" -type f | wc -l) files," \
    "peak RSS $(stat peak_rss_mb) MB"
  if [ "$rc" -ne 0 ]; then
    echo "$t: FAILED, see $log and $crashes/"
    grep -E -A30 'ERROR|runtime error|deadly signal|Timeout|out-of-memory' "$log" | head -60 || true
    status=1
  fi
done
exit $status
