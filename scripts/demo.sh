#!/usr/bin/env bash
# The main job: installs what is missing, builds, prepares the Wine prefix and lets a
# scripted user run velvox.exe on a sample folder under Wine, on the virtual display
# when there is no DISPLAY. Screenshots land in build/win64/screenshots/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/bootstrap.sh"
# The build's own chatter goes to a log; it is shown only when the build fails.
mkdir -p "$root/build"
VX_SKIP_WIN32=1 "$root/scripts/build.sh" >"$root/build/demo-build.log" 2>&1 || {
  cat "$root/build/demo-build.log"
  exit 1
}
source "$root/scripts/env.sh"
"$root/scripts/prefix.sh"
run_demo() {
  wineserver -p </dev/null >/dev/null 2>&1
  local rc=0
  # Wine's own warnings go to a log, shown only when the demo fails.
  wine "$VX_BUILD/bin/vx_demo.exe" </dev/null 2>"$VX_BUILD/demo-wine.log" | iconv -f CP932 -t UTF-8 || rc=$?
  if [ $rc -ne 0 ]; then
    echo "demo: the run failed (exit $rc); Wine's messages follow" >&2
    cat "$VX_BUILD/demo-wine.log" >&2
  fi
  # The whole virtual screen too, as a user would have seen it last.
  import -window root "$VX_BUILD/screenshots/demo-screen.png" 2>/dev/null || true
  wineserver -k </dev/null >/dev/null 2>&1 || true
  return $rc
}
export -f run_demo
mkdir -p "$VX_BUILD/screenshots"
"$root/scripts/with-display.sh" bash -c run_demo
echo "demo: screenshots in $VX_BUILD/screenshots/"
ls "$VX_BUILD/screenshots" | grep '^demo' | sed 's/^/  /'
