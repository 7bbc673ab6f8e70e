#!/usr/bin/env bash
# Installs the build dependencies (Debian) and builds Vantora into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=$(grep -v -E '^\s*(#|$)' tools/packages.txt)
missing=()
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Extra CMake options (CI passes -DVANTORA_WERROR=ON) come from the
# environment.
# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VANTORA_CMAKE_OPTIONS:-}
cmake --build build -j"$(nproc)"
