#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing the tool need.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-multimedia-dev fonts-wqy-microhei
  libhidapi-dev libusb-1.0-0-dev zlib1g-dev libsodium-dev libqt6sql6-sqlite
  libqt6sql6-psql libpq-dev libsqlite3-dev postgresql
  desktop-file-utils appstream fonts-dejavu-core devscripts systemd
  clang libclang-rt-14-dev clang-format git
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "== all build packages are installed"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root or install sudo: missing ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "== installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
