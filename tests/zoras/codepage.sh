#!/usr/bin/env bash
# Names without the UTF-8 flag are read in the system's OEM code page. In the build's
# Japanese prefix the ANSI and the OEM code page are both 932, so zoras_test cannot tell
# which one is taken; under the C.UTF-8 locale Wine gives 1252 and 437. Wine rewrites a
# prefix's regional settings for a process of another locale, so the case runs in a
# copy of the prepared base prefix with its own server, removed afterwards.
#   codepage.sh zoras_test.exe
set -euo pipefail
test_exe=$1
export VX_BUILD=$(cd "$(dirname "$test_exe")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
base=$VX_BUILD/prefix-base
[ -f "$base/.velvox-ready" ] || { echo "codepage.sh: no prepared prefix at $base (scripts/prefix.sh)" >&2; exit 1; }
export WINEPREFIX=$VX_BUILD/tests/zoras/prefix-c
"$VX_ROOT/scripts/copy-prefix.sh" "$base" "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true; wineserver -w; rm -rf "$WINEPREFIX"' EXIT
export LANG=C.UTF-8 LC_ALL=C.UTF-8 VX_ZORAS_CODE_PAGES=1252,437
cd "$VX_BUILD/bin"
wine "$test_exe" --gtest_color=no --gtest_filter='ZorasTest.NamesOfACodePageAreReadInTheOemCodePage'
