#!/usr/bin/env bash
# Installs the Debian 12 packages the builds and tests need (as root, or through sudo).
set -euo pipefail
packages=(
  cmake ninja-build g++ clang clang-tidy libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix wine64
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libssl-dev
  iproute2 procps
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
