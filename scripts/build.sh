#!/usr/bin/env bash
# Configures and builds both Windows targets: build/win64 (tested under Wine) and
# build/win32 (the suite's 32-bit ABI: must compile and link, is not run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VX_JOBS:-$(nproc)}
build() {  # triple dir tests
  local dir=$root/build/$2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$1.cmake" \
      -DVX_TESTS="$3" -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/run" >/dev/null
  fi
  cmake --build "$dir" -j "$jobs"
}
build x86_64-w64-mingw32 win64 ON
[ "${VX_SKIP_WIN32:-0}" = 1 ] || build i686-w64-mingw32 win32 OFF
