#!/usr/bin/env bash
# Installs the Debian 12 packages Vistereo builds and tests with, if any are
# missing. Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-features2d-dev
  libopencv-calib3d-dev
  qt6-base-dev libgl-dev
  libexiv2-dev
  libhwy-dev
  libjpeg-dev
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg
  libgtest-dev libimage-exiftool-perl
  dpkg-dev
  clang-14 libclang-rt-14-dev
  fonts-noto-cjk
  librsvg2-bin desktop-file-utils
  xvfb
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
