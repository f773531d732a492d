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
# The example the README shows is this one, character for character.
# shellcheck disable=SC2016  # the backquotes are the Markdown fence, not a command
sed -n '/^```c$/,/^```$/p' README.md | sed '1d;$d' | cmp -s - examples/tarn_to_pcm.c ||
  { echo "FAIL: the README's C example is not examples/tarn_to_pcm.c"; exit 1; }
for page in tarn tarn-encode tarn-decode; do [ -s "$prefix/share/man/man1/$page.1" ] || { echo "no man page $page.1"; exit 1; }; done
echo "install test: libtarn.so exports tarn_* only, soname $soname; example built via pkg-config (shared, static) and find_package; PCM identical; the README shows it"
