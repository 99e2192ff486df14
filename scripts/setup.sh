#!/usr/bin/env bash
# Installs the Debian packages the project needs (only when something is
# missing), then configures and builds the given CMake preset.
#   scripts/setup.sh [PRESET]      default preset: release
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libpng-dev libdeflate-dev
  libcli11-dev qt6-base-dev
  qt6-l10n-tools qt6-tools-dev qt6-translations-l10n
  libgtest-dev libgmock-dev libbenchmark-dev
  imagemagick pngcheck python3-pil xvfb xauth locales parallel
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# A collation that differs from byte order, for the sort tests.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo localedef -i en_US -f UTF-8 en_US.UTF-8 || echo "setup: en_US.UTF-8 not available; collation tests will skip"
fi

cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
