#!/usr/bin/env bash
# Installs the Debian packages tarn needs, when any is missing. With no options set: only what
# building the codec and the programs needs (scripts/run.sh). TARN_WITH_TESTS=1 adds what the
# tests, the leak check and the peers' comparison use; TARN_WITH_FUZZ=1 clang and its fuzzer
# runtime; TARN_WITH_CROSS=1 the aarch64 cross compiler; TARN_WITH_BENCH=1 Google Benchmark.
# As root it runs apt-get itself, saying what it does; otherwise it prints the command to run as
# root and fails.
set -euo pipefail

# patch applies tarn's changes to the pinned FFTW's source (scripts/fetch-fftw.sh).
packages=(g++ cmake make pkg-config patch)
if [ "${TARN_WITH_TESTS:-0}" = 1 ]; then
  # GoogleTest; sox and ffmpeg make and read test signals; valgrind for the leak check;
  # qemu-user runs the tests as other CPUs; libfftw3-dev is for builds with TARN_SYSTEM_FFTW=ON;
  # GStreamer's development files and tools for the plugin and its test (gst-discoverer-1.0
  # and gst-play-1.0 are in plugins-base-apps).
  packages+=(libgtest-dev sox ffmpeg valgrind qemu-user libfftw3-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
    gstreamer1.0-plugins-good
    gstreamer1.0-plugins-base-apps)
fi
if [ "${TARN_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [ "${TARN_WITH_CROSS:-0}" = 1 ]; then
  packages+=(g++-aarch64-linux-gnu)
fi
if [ "${TARN_WITH_BENCH:-0}" = 1 ]; then
  packages+=(libbenchmark-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# For the build alone, what the packages merely recommend is left out (libc-devtools with the
# image libraries of libgd, manual pages...): on a fresh Debian 12, 38 packages and 17 MB fewer
# to fetch and unpack (83 MB).
install_options=(-y)
if [ "${TARN_WITH_TESTS:-0}${TARN_WITH_FUZZ:-0}${TARN_WITH_CROSS:-0}${TARN_WITH_BENCH:-0}" = 0000 ]; then
  install_options+=(--no-install-recommends)
fi
command="apt-get update && apt-get install ${install_options[*]} ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "tarn needs these Debian packages: ${missing[*]}"
  echo "Install them as root, then run this again:"
  # A minimal Debian has no sudo; su asks for root's password.
  echo "  su -c '$command'"
  if command -v sudo >/dev/null; then
    echo "or, where you may use sudo:"
    echo "  sudo sh -c '$command'"
  fi
  exit 1
fi
echo "tarn: updating the package lists"
apt-get update -qq
echo "tarn: installing ${#missing[@]} packages and what they depend on: ${missing[*]}"
DEBIAN_FRONTEND=noninteractive apt-get install "${install_options[@]}" -qq "${missing[@]}" >/dev/null
echo "tarn: packages installed"
