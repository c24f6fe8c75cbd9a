#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian machine.
# Idempotent: a package already present is not touched, so a warm machine pays nothing.
set -euo pipefail

pkgs=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 libgnutls30 xvfb xauth x11-utils fonts-ipafont-gothic fonts-wine fonts-nanum
  libz-mingw-w64-dev googletest cmake make imagemagick locales
  clang libclang-rt-14-dev zlib1g-dev zip unzip p7zip-full openssl python3 nsis
  osslsigncode softhsm2 libengine-pkcs11-openssl wixl msitools
)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine mangles non-ASCII arguments and file names unless the Japanese UTF-8 locale exists.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: need root to generate ja_JP.UTF-8" >&2
    exit 1
  fi
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
