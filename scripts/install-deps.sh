#!/usr/bin/env bash
# Installs the Debian packages tarn needs to build and test, when any is missing.
# As root it runs apt-get itself; otherwise it prints the exact command and fails.
set -euo pipefail

# patch applies tarn's changes to the pinned FFTW's source (scripts/fetch-fftw.sh); qemu-user
# runs the tests as other CPUs; libfftw3-dev is for builds with TARN_SYSTEM_FFTW=ON.
packages=(g++ cmake make pkg-config libfftw3-dev libgtest-dev sox ffmpeg valgrind patch qemu-user)
# The GStreamer plugin is built wherever these are installed.
packages+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev)
if [ "${TARN_WITH_GST:-0}" = 1 ]; then
  # gst-launch-1.0, wavparse/wavenc, gst-discoverer-1.0 and gst-play-1.0 for the plugin's tests.
  packages+=(gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-base-apps)
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

if [ "$(id -u)" -ne 0 ]; then
  echo "tarn needs these packages: ${missing[*]}"
  echo "Install them with:"
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}"
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
