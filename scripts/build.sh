#!/usr/bin/env bash
# Configures and builds both Windows targets: build/win64 (tested under Wine) and
# build/win32 (the suite's 32-bit ABI: must compile and link, is not run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${VX_JOBS:-$(nproc)}
# The signing configuration (cmake/VxSign.cmake) comes from the environment: a variable
# that is set, even to nothing, goes to CMake; an unset one keeps what the tree has.
sign_args=()
for v in VX_SIGN_PKCS12 VX_SIGN_PASSWORD_FILE VX_SIGN_PKCS11_MODULE VX_SIGN_PKCS11_KEY \
         VX_SIGN_PKCS11_CERT VX_SIGN_TIMESTAMP; do
  [ -z "${!v+set}" ] || sign_args+=("-D$v=${!v}")
done
build() {  # triple dir tests
  local dir=$root/build/$2 a
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$1.cmake" \
      -DVX_TESTS="$3" -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/run" \
      "${sign_args[@]}" >/dev/null
  else
    for a in "${sign_args[@]}"; do
      a=${a#-D}
      if ! grep -qxF "${a%%=*}:FILEPATH=${a#*=}" "$dir/CMakeCache.txt" &&
         ! grep -qxF "${a%%=*}:STRING=${a#*=}" "$dir/CMakeCache.txt"; then
        cmake "$dir" "${sign_args[@]}" >/dev/null
        break
      fi
    done
  fi
  cmake --build "$dir" -j "$jobs"
}
build x86_64-w64-mingw32 win64 ON
[ "${VX_SKIP_WIN32:-0}" = 1 ] || build i686-w64-mingw32 win32 OFF
