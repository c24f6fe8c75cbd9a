#!/usr/bin/env bash
# Builds the parsers natively with clang and libFuzzer and runs each fuzz target for a
# short, bounded time on its seed corpus (tests/fuzz/<name>/corpus). A crash, a leak
# or a sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$root/build/native
seconds=${VX_FUZZ_SECONDS:-20}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
shopt -s nullglob
ran=0
for bin in "$dir"/fuzz_*; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  work=$dir/corpus-$name
  mkdir -p "$work"
  seeds=$root/tests/fuzz/$name/corpus
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=0 "$work" "$seeds" 2> "$dir/fuzz-$name.log" || {
    tail -n 40 "$dir/fuzz-$name.log"; echo "fuzz: $name FAILED"; exit 1; }
  ran=$((ran + 1))
done
echo "fuzz: $ran target(s) clean"
