#!/usr/bin/env bash
# Creates the build tree's Wine prefix once: Japanese font replacements, no window
# manager delays, and the suite's folders. A finished prefix carries a stamp and is
# left alone; delete build/win64/prefix to make a new one.
#
# The prefix is a copy of build/win64/prefix-base, the same preparation without the
# suite's installer step, which is made once and never run in: tests that need a
# machine without the suite (the setup's test) copy it too.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
base=$VX_BUILD/prefix-base
stamp=.velvox-ready

# Wine draws the caption buttons with the Marlett symbol font; without it the close
# button shows as the letter "r". Wine ships the font (package fonts-wine) but this
# build does not find it in its data folder, so each prefix gets its own copy, also one
# finished before this step.
install_marlett() {
  local fonts=$1/drive_c/windows/Fonts f
  [ -f "$fonts/marlett.ttf" ] && return 0
  for f in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf \
           /opt/wine*/share/wine/fonts/marlett.ttf; do
    if [ -f "$f" ]; then mkdir -p "$fonts" && cp "$f" "$fonts/" && return 0; fi
  done
  echo "prefix.sh: Wine's marlett.ttf not found (package fonts-wine)" >&2
}

# Names that users give files include Korean ones, which IPAPGothic lacks: Windows draws
# them through font linking, so each prefix links the dialog fonts to a Hangul font
# (package fonts-nanum) the same way. Without it such a name shows as boxes.
link_hangul() {
  local prefix=$1 font=/usr/share/fonts/truetype/nanum/NanumGothic.ttf face
  [ -f "$prefix/.velvox-hangul" ] && return 0
  if [ ! -f "$font" ]; then
    echo "prefix.sh: $font not found (package fonts-nanum)" >&2
    return 0
  fi
  mkdir -p "$prefix/drive_c/windows/Fonts" && cp "$font" "$prefix/drive_c/windows/Fonts/"
  for face in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "Microsoft Sans Serif" \
              "Meiryo UI" "IPAPGothic"; do
    WINEPREFIX=$prefix wine reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'NanumGothic.ttf,NanumGothic' /f </dev/null >/dev/null 2>&1
  done
  WINEPREFIX=$prefix wineserver -w
  touch "$prefix/.velvox-hangul"
}

if [ ! -f "$base/$stamp" ]; then
  rm -rf "$base"
  mkdir -p "$base"
  WINEPREFIX=$base wineboot -i </dev/null >/dev/null 2>&1
  WINEPREFIX=$base wineserver -w

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
  WINEPREFIX=$base wine regedit /S "$(WINEPREFIX=$base winepath -w "$reg")" </dev/null >/dev/null 2>&1
  WINEPREFIX=$base wineserver -w
  rm -f "$reg"
  touch "$base/$stamp"
fi
install_marlett "$base"
link_hangul "$base"

if [ ! -f "$WINEPREFIX/$stamp" ]; then
  "$VX_ROOT/scripts/copy-prefix.sh" "$base" "$WINEPREFIX"
fi
install_marlett "$WINEPREFIX"
link_hangul "$WINEPREFIX"
exec "$VX_ROOT/scripts/suite-install.sh"
