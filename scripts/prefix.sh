#!/usr/bin/env bash
# Creates the build tree's Wine prefix once: Japanese font replacements, no window
# manager delays, and the suite's folders. A finished prefix carries a stamp and is
# left alone; delete build/win64/prefix to make a new one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
stamp=$WINEPREFIX/.velvox-ready
[ -f "$stamp" ] && exec "$VX_ROOT/scripts/suite-install.sh"
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

reg=$(mktemp --suffix=.reg)
# regedit /S reads a .reg file reliably only as UTF-16LE with a BOM.
{
  printf '\xef\xbb\xbf'
  cat <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"ＭＳ Ｐゴシック"="IPAPGothic"
"ＭＳ ゴシック"="IPAGothic"
"MS UI Gothic"="IPAPGothic"
"Meiryo UI"="IPAPGothic"
"MS Shell Dlg"="IPAPGothic"
"MS Shell Dlg 2"="IPAPGothic"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="Y"
REG
} | iconv -f UTF-8 -t UTF-16LE > "$reg"
wine regedit /S "$(winepath -w "$reg")" </dev/null >/dev/null 2>&1
wineserver -w
rm -f "$reg"
touch "$stamp"
exec "$VX_ROOT/scripts/suite-install.sh"
