#!/usr/bin/env bash
# Runs one whole encode-and-decode cycle of tarn on a long synthesised input (default 60 s)
# under valgrind's memcheck: any leak (definite, indirect or possible) or invalid access fails.
#   scripts/leak-check.sh [SECONDS]
# Uses the plain optimised build in build/ (built here when missing) and installs what is missing
# when run as root. Memory FFTW keeps for its planner stays reachable until exit; that is not a leak.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
TARN_WITH_TESTS=1 scripts/install-deps.sh
if [ ! -x build/tarn ] || [ ! -x build/tarn-make-signal ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target tarn tarn-make-signal >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/tarn-make-signal --seconds "$seconds" "$work/in.wav" >/dev/null
echo "leak check: tarn on ${seconds}s of input under valgrind"
if ! valgrind --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 \
  --log-file="$work/valgrind.log" \
  build/tarn "$work/in.wav" "$work/out.tarn" "$work/out.wav" >"$work/run.log"; then
  cat "$work/run.log" "$work/valgrind.log"
  echo "leak check: FAILED"
  exit 1
fi
grep -E "^End of (Analysis|Synthesis)" "$work/run.log"
sed -n 's/^==[0-9]*== //p' "$work/valgrind.log" | grep -E "in use at exit|total heap usage|All heap|definitely|indirectly|possibly|ERROR SUMMARY"
echo "leak check: no leak, no invalid access"
