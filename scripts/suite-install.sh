#!/usr/bin/env bash
# The suite's installer step in the build tree's Wine prefix: registers the elevated
# settings writer's COM class and sets the registry values and folders that the guard
# and the log service's components read (guard version 5.1, so the version-2 log
# interface; the log folder under the common application data). Tests set their own
# values and put these back. Run by prefix.sh; it repeats only when something changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
writer=$VX_BUILD/bin/tvsetwr.exe
[ -f "$writer" ] || exit 0
data='C:\ProgramData\Norvane\TARVO-Pro'
guard='C:\Program Files\Norvane\TVGuard'
reg_text=$(cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5D2C8E41-7A03-4F6B-9E15-2C7B40A9D3E8}]
"DisplayName"="TARVO-Pro Guard"
"Version"=dword:05010000

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TVGRD.EXE]
"Path"="${guard//\\/\\\\}"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvane\\TARVO-Pro\\LogService]
"TempLogFolder"="${data//\\/\\\\}\\\\Log"
REG
)
stamp=$WINEPREFIX/.velvox-suite
want=$(printf '%s\n%s\n' "$reg_text" "$writer" | sha256sum | cut -d' ' -f1)
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && exit 0

drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/ProgramData/Norvane/TARVO-Pro/Log" "$drive_c/Program Files/Norvane/TVGuard/log"
printf '[OPTION]\r\nLOGPATH=%s\\Log\r\n' "$data" > "$drive_c/Program Files/Norvane/TVGuard/policy.ini"
reg=$(mktemp --suffix=.reg)
{ printf '\xef\xbb\xbf'; printf '%s\n' "$reg_text"; } | iconv -f UTF-8 -t UTF-16LE > "$reg"
wine regedit /S "$(winepath -w "$reg")" </dev/null >/dev/null 2>&1
rm -f "$reg"
wine "$writer" /RegServer </dev/null >/dev/null 2>&1
# This step may run without a display. A Wine server left running from it keeps its
# display-less desktop, and every window that a later run creates in this prefix
# fails; wait until it has ended.
wineserver -w
echo "$want" > "$stamp"
