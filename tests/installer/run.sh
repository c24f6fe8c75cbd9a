#!/usr/bin/env bash
# Runs a package's test on a machine that has never seen the suite: a fresh Wine
# prefix copied from the build's prepared base prefix (scripts/prefix.sh), with its own
# Wine server, removed again when the test passes (kept for a look when it fails).
#   [VX_OLD_PACKAGE=OLDER] run.sh TEST.exe PACKAGE [gtest arguments]
# PACKAGE (and OLDER, a lower version to upgrade from) reach the test as Windows paths
# in VX_SETUP (and VX_OLD_PACKAGE).
set -euo pipefail
test_exe=$1 setup=$2
shift 2
export VX_BUILD=$(cd "$(dirname "$test_exe")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
base=$VX_BUILD/prefix-base
[ -f "$base/.velvox-ready" ] || { echo "run.sh: no prepared prefix at $base (scripts/prefix.sh)" >&2; exit 1; }
export WINEPREFIX=$VX_BUILD/tests/installer/prefix-$(basename "$test_exe" .exe)
"$VX_ROOT/scripts/copy-prefix.sh" "$base" "$WINEPREFIX"
# The suite's components must find their own default folders, not a test's.
unset TARVODEV_HOME KVRGRD_HOME TCTRACE_HOME TVSETWR_HOME
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
wine wineboot </dev/null >/dev/null 2>&1
# A crash ends the crashed process at once (backtrace on stderr) instead of waiting in
# Wine's crash dialog until the test's watchdog fires.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  </dev/null >/dev/null 2>&1
export VX_SETUP=$(winepath -w "$setup")
[ -z "${VX_OLD_PACKAGE:-}" ] || export VX_OLD_PACKAGE=$(winepath -w "$VX_OLD_PACKAGE")
rc=0
(cd "$VX_BUILD/bin" && wine "$test_exe" "$@") || rc=$?
if [ $rc = 0 ]; then
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w
  rm -rf "$WINEPREFIX"
fi
exit $rc
