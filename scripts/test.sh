#!/usr/bin/env bash
# Installs what is missing, builds both configurations and runs every test:
# the Windows build under Wine, the portable libraries natively with sanitizers,
# and a bounded fuzz run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${VAROMET_BUILD_DIR:-$here/build}"

packages=(
  cmake ninja-build python3 util-linux
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

jobs=$(nproc)

echo "== Windows build, tests under Wine"
cmake -G Ninja -S "$here" -B "$build/win" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build/win" -j "$jobs"
(cd "$build/win" && ctest -j8 --output-on-failure)

echo "== Native build with sanitizers, and the bounded fuzz run"
CC=clang CXX=clang++ cmake -G Ninja -S "$here" -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build/native" -j "$jobs"
(cd "$build/native" && ctest -j8 --output-on-failure)
