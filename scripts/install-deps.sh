#!/usr/bin/env bash
# Installs what Quorin needs to build and test on Debian 12 (apt-get). Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev libsimpleini-dev
  libudev-dev libblkid-dev
  qt6-base-dev qt6-multimedia-dev libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libjpeg62-turbo-dev
  ffmpeg mpeg2dec
  clang libclang-rt-14-dev clang-format clang-tidy
  dbus-daemon python3-dbusmock
  librsvg2-bin desktop-file-utils appstream dpkg-dev file bash-completion zsh
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
