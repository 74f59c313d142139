#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds with, when they are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache git
  libboost1.81-dev libboost-json1.81-dev libboost-program-options1.81-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libsndfile1-dev
  clang libclang-rt-14-dev
  # The ffmpeg program: the reference bench_trim measures against.
  ffmpeg
  libsdl2-dev xvfb libx11-dev
  # The codec settings dialog program (Qt 6) and what its tests drive it with.
  qt6-base-dev qt6-qpa-plugins libxcb1-dev fonts-dejavu-core xauth xdotool imagemagick
  # The man page of vireo; the Debian packages' dependencies (cpack runs dpkg-shlibdeps).
  help2man dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
