#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, when any is missing
# (apt-get, as root or through sudo). Used by scripts/test.sh and scripts/run.sh.
set -euo pipefail

# netbase gives /etc/services, where Wine's getservbyname looks service names up.
packages=(
  cmake ninja-build python3 openssl util-linux netbase
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest flex bison libfl-dev libutfcpp-dev nlohmann-json3-dev
  wine wine64 xvfb
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root=()
  [ "$(id -u)" = 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
