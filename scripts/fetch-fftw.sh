#!/usr/bin/env bash
# Puts FFTW 3.3.10's source, as Debian 12 ships it, into DEST/fftw-3.3.10 with tarn's changes
# (cmake/pinned-fftw/fftw-3.3.10.patch) applied. The upstream tarball is fetched once with
# `apt-get source` into DEST/download and checked against its SHA-256 below, so that every
# machine builds the same code.
#
# The deb-src entries come from this machine's own apt sources (each "deb" entry turned into
# "deb-src"), kept in a private folder under DEST with its own package lists: the machine's apt
# configuration is left as it is, and no root is needed.
#
# Usage: scripts/fetch-fftw.sh DEST
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest=$1
version=3.3.10
debian_version=3.3.10-1
tarball=fftw3_${version}.orig.tar.gz
tarball_sha256=56c932549852cddcfafdab3820b0200c7742675be92179e59e6215b340e26467

mkdir -p "$dest/download"
dest=$(cd "$dest" && pwd)
have_tarball() {
  echo "$tarball_sha256  $dest/download/$tarball" | sha256sum --quiet -c - >/dev/null 2>&1
}
# The quick way: the tarball straight from the pool of a Debian mirror this machine uses, through
# apt's own downloader, which checks the SHA-256. It saves fetching the archive's source index.
if ! have_tarball; then
  for uri in $({ sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources
      sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list; } 2>/dev/null | tr ' ' '\n' |
      awk 'NF && !seen[$0]++'); do
    /usr/lib/apt/apt-helper -o "APT::Sandbox::User=$(id -un)" download-file \
      "${uri%/}/pool/main/f/fftw3/$tarball" "$dest/download/$tarball" "SHA256:$tarball_sha256" \
      >/dev/null 2>&1 && break
    rm -f "$dest/download/$tarball"
  done
fi
# Otherwise through the archive's source index, as `apt-get source` finds it.
if ! have_tarball; then
  apt_dir=$dest/download/apt
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$f"
    echo
  done > "$apt_dir/parts/deb-src.sources"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
  done > "$apt_dir/parts/deb-src.list"
  apt_options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=$(id -un)")
  apt-get "${apt_options[@]}" -qq update
  (cd "$dest/download" &&
    apt-get "${apt_options[@]}" -qq source --download-only "fftw3=$debian_version" >/dev/null)
  rm -rf "$apt_dir"
  echo "$tarball_sha256  $dest/download/$tarball" | sha256sum --quiet -c - || {
    echo "fetch-fftw: $tarball is not the expected one" >&2; exit 1; }
fi

# Only the parts of the tree that the library is built from; a fresh copy every time, so that
# the patch always applies to the original source.
rm -rf "$dest/fftw-$version"
tar -xzf "$dest/download/$tarball" -C "$dest" \
  "fftw-$version/api" "fftw-$version/kernel" "fftw-$version/dft" "fftw-$version/rdft" \
  "fftw-$version/reodft" "fftw-$version/simd-support"
patch -d "$dest/fftw-$version" -p1 --quiet < "$here/cmake/pinned-fftw/fftw-$version.patch"
