#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running need,
# skipping what is already present. Runs as root, or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core
  python3 python3-gammu gammu libgammu-dev
  libcli11-dev nlohmann-json3-dev help2man
  dpkg-dev file lintian pkg-config
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq </dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
