#!/usr/bin/env bash
# Installs the build in BUILD (default build) to a temporary prefix and builds examples/ against
# it twice, through pkg-config and through find_package(tarn); each example then decodes a
# stream to the PCM that tarn-decode writes after its 44-byte WAV header.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

exported=$(nm -D --defined-only "$prefix/lib/libtarn.so" | awk '{print $3}' | grep -v '^tarn_' || true)
if [ -n "$exported" ]; then echo "libtarn.so exports more than tarn_*: $exported"; exit 1; fi
soname=$(objdump -p "$prefix/lib/libtarn.so" | awk '/SONAME/ {print $2}')
[ "$soname" = libtarn.so.0 ] || { echo "soname $soname"; exit 1; }

# A stream to decode: a generated input through the installed tarn-encode.
"$build/tarn-make-signal" --seconds 3 "$work/in.wav" >/dev/null
"$prefix/bin/tarn-encode" -q "$work/in.wav" "$work/in.tarn" >/dev/null
"$prefix/bin/tarn-decode" -q "$work/in.tarn" "$work/ref.wav" >/dev/null
tail -c +45 "$work/ref.wav" > "$work/ref.pcm"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/via-pkg-config" examples/tarn_to_pcm.c $(pkg-config --cflags --libs tarn) \
  -Wl,-rpath,"$prefix/lib"
cc -std=c99 -Wall -Werror -o "$work/via-pkg-config-static" examples/tarn_to_pcm.c \
  $(pkg-config --cflags tarn) "$prefix/lib/libtarn.a" $(pkg-config --static --libs-only-l tarn | sed 's/-ltarn//')
cmake -S examples -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
for example in "$work/via-pkg-config" "$work/via-pkg-config-static" "$work/cmake/tarn_to_pcm"; do
  "$example" "$work/in.tarn" 2>/dev/null > "$work/out.pcm"
  cmp -s "$work/out.pcm" "$work/ref.pcm" || { echo "FAIL: $example gives other PCM"; exit 1; }
  "$example" < "$work/in.tarn" 2>/dev/null | cmp -s - "$work/ref.pcm" || { echo "FAIL: $example from a pipe"; exit 1; }
done
# No path of the build machine in what is installed: neither the source tree's nor the pinned
# FFTW's folder.
source_dir=$(pwd)
fftw_cache=$(sed -n 's/^TARN_FFTW_CACHE:PATH=//p' "$build/CMakeCache.txt")
for f in "$prefix"/bin/* "$prefix"/lib/libtarn.so.* "$prefix/lib/libtarn.a"; do
  for dir in "$source_dir" ${fftw_cache:+"$fftw_cache"}; do
    if strings -a "$f" | grep -qF "$dir"; then echo "FAIL: $f names $dir"; exit 1; fi
  done
done

# With the pinned FFTW (the default), libtarn.a is one object whose only global symbols are
# tarn_*: a program that uses FFTW itself (here the system's, -lfftw3) and calls fftw_cleanup()
# keeps its FFTW and tarn keeps its own, with its bytes. (With TARN_SYSTEM_FFTW the system's
# FFTW is a dependency of libtarn.a, shared with the program.)
static_note="libtarn.a links the system's FFTW"
if ! grep -q '^TARN_SYSTEM_FFTW:BOOL=ON' "$build/CMakeCache.txt"; then
  foreign=$(nm -g --defined-only "$prefix/lib/libtarn.a" | awk 'NF == 3 {print $3}' | grep -v '^tarn_' || true)
  if [ -n "$foreign" ]; then echo "FAIL: libtarn.a defines more than tarn_*:"; echo "$foreign" | head; exit 1; fi
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -o "$work/fftw-user" tests/api/fftw_user.c $(pkg-config --cflags tarn) \
    "$prefix/lib/libtarn.a" -lfftw3 $(pkg-config --static --libs-only-l tarn | sed 's/-ltarn//')
  tail -c +45 "$work/in.wav" > "$work/in.pcm"
  runner=()
  if command -v valgrind >/dev/null; then
    runner=(valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all)
  fi
  "${runner[@]}" "$work/fftw-user" "$work/in.pcm" "$work/user.tarn" > "$work/user.log" 2>&1 ||
    { echo "FAIL: a program using FFTW and libtarn.a (${runner[*]:-no valgrind}):"; cat "$work/user.log"; exit 1; }
  if [ -s "$work/user.log" ]; then echo "FAIL: a program using FFTW and libtarn.a said:"; cat "$work/user.log"; exit 1; fi
  cmp -s "$work/user.tarn" "$work/in.tarn" || { echo "FAIL: libtarn.a beside -lfftw3 writes another stream"; exit 1; }
  static_note="libtarn.a defines tarn_* only, and beside -lfftw3 and fftw_cleanup() writes tarn-encode's bytes${runner:+ (valgrind silent)}"
fi

# The first C example the README shows is this one, character for character.
# shellcheck disable=SC2016  # the backquotes are the Markdown fence, not a command
awk '/^```c$/ {on = 1; next} on && /^```$/ {exit} on' README.md | cmp -s - examples/tarn_to_pcm.c ||
  { echo "FAIL: the README's first C example is not examples/tarn_to_pcm.c"; exit 1; }
for page in man1/tarn.1 man1/tarn-encode.1 man1/tarn-decode.1 man3/tarn.3; do
  [ -s "$prefix/share/man/$page" ] || { echo "no man page $page"; exit 1; }
done
echo "install test: libtarn.so exports tarn_* only, soname $soname; example built via pkg-config (shared, static) and find_package; PCM identical; the README shows it; no build path in the binaries; $static_note"
