#!/usr/bin/env bash
# Builds velkvpn-helper.exe (static, mingw-w64) into build/windows/velkvpn-helper.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake -S . -B build/windows -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build build/windows --target velkvpn-helper -j "$(nproc)"
echo "built $root/build/windows/velkvpn-helper.exe"
