#!/usr/bin/env bash
# The whole test run: installs what is missing, builds both targets, prepares the
# Wine prefix, runs every test under Wine on a virtual display, then the short
# native fuzz runs. Extra arguments go to ctest (for example -R zoras).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/bootstrap.sh"
# Every test runs on a signed build, signed with a throw-away certificate of its own.
ca=$root/build/test-ca
"$root/scripts/test-ca.sh" "$ca"
export VX_SIGN_PKCS12=$ca/sign.p12 VX_SIGN_PASSWORD_FILE=$ca/sign.pass VX_SIGN_PKCS11_MODULE= \
       VX_SIGN_PKCS11_KEY= VX_SIGN_PKCS11_CERT= VX_SIGN_TIMESTAMP=
"$root/scripts/build.sh"
source "$root/scripts/env.sh"
"$root/scripts/prefix.sh"

run_ctest() {
  # A persistent, warm server: a test process then starts in milliseconds, and
  # Wine's services never hold CTest's output pipe open.
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
  local rc=0
  (cd "$VX_BUILD" && ctest --output-on-failure --timeout "${VX_TEST_TIMEOUT:-600}" "$@") || rc=$?
  wineserver -k </dev/null >/dev/null 2>&1 || true
  return $rc
}
export -f run_ctest
"$root/scripts/with-display.sh" bash -c 'run_ctest "$@"' run_ctest "$@"

if [ $# -eq 0 ] || [ "${VX_FUZZ:-0}" = 1 ]; then
  "$root/scripts/fuzz.sh"
fi
