#!/usr/bin/env bash
# Installs every Debian 12 package the Linux build, its tests and benchmarks need.
# Non-interactive and idempotent: packages already present are left alone, and
# apt is only asked when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache git python3
  libsodium-dev libopus-dev libopenh264-dev
  libspdlog-dev libfmt-dev nlohmann-json3-dev libasio-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libisal-dev
  zlib1g-dev
  libx11-dev libxext-dev libxfixes-dev libxdamage-dev libxtst-dev libxrandr-dev
  libpulse-dev
  libboost-dev
  xvfb xauth x11-utils
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
