#!/usr/bin/env bash
# Runs a command with an X display: the caller's, or a private Xvfb when there is none.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi
# Xvfb picks a free display number itself and reports it once it listens, so runs
# started side by side never share a display (and never fight over the focus).
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xpid=$!
trap 'kill $xpid 2>/dev/null || true; rm -f "$fifo"' EXIT
read -r n <"$fifo"
export DISPLAY=:$n
"$@"
