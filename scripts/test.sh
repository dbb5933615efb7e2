#!/usr/bin/env bash
# Installs what is missing, builds both configurations and runs every test:
# the Windows build under Wine, the portable libraries natively with sanitizers,
# and a bounded fuzz run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${VAROMET_BUILD_DIR:-$here/build}"

bash "$here/scripts/install-deps.sh"

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
