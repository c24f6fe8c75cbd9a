#!/usr/bin/env bash
# Archiver benchmark: packs and unpacks the generated corpora with Zoras.dll under Wine
# and, natively, with Debian's zip -1/unzip and 7z a -tzip -mx=1/7z x; prints
# throughput, sizes, peak memory and the ratios against 7z. Run by hand:
#   bench/zoras/run.sh [mixed|small ...]
# Library times are measured inside the benchmark process (Wine start-up excluded);
# native tools are timed from outside. Peak memory is the maximum resident set size.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=${VX_BENCH_DIR:-$root/build/bench-zoras}
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(mixed small)
mkdir -p "$work"

gen=$work/gen_corpus
if [ ! -x "$gen" ] || [ "$root/bench/zoras/gen_corpus.cpp" -nt "$gen" ]; then
  clang++ -O2 -o "$gen" "$root/bench/zoras/gen_corpus.cpp"
  rm -rf "$work/corpus"
fi
[ -f "$work/corpus/.done" ] || { rm -rf "$work/corpus"; "$gen" "$work/corpus"; touch "$work/corpus/.done"; }

VX_SKIP_WIN32=1 cmake --build "$root/build/win64" --target zoras_bench zoras >/dev/null
source "$root/scripts/env.sh"
bin=$VX_BUILD/bin

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
timed() {  # label command...  -> sets T (s) and M (max RSS KiB)
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/out.log" 2>&1 || { cat "$work/out.log"; exit 1; }
  t1=$(date +%s%N)
  T=$(seconds "$t0" "$t1")
  M=$(tail -n 1 "$work/rss")
}

for c in "${corpora[@]}"; do
  src=$work/corpus/$c
  bytes=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  out=$work/out
  rm -rf "$out"; mkdir -p "$out"
  sync
  printf '\n== %s: %d files, %.1f MB ==\n' "$c" "$(find "$src" -type f | wc -l)" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')"
  printf '%-8s %9s %9s %12s %9s %9s %9s %8s\n' tool pack_s pack_MB/s size_bytes ratio unpack_s unp_MB/s rss_MiB

  declare -A P S U R
  # Zoras.dll under Wine (times from inside the process)
  timed wine "$bin/zoras_bench.exe" pack "$(winepath -w "$out/zoras.zip")" "$(winepath -w "$src")"
  P[zoras]=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/out.log"); R[zoras]=$M
  inner_pack=$(cat "$work/out.log")
  S[zoras]=$(stat -c %s "$out/zoras.zip")
  timed wine "$bin/zoras_bench.exe" unpack "$(winepath -w "$out/zoras.zip")" "$(winepath -w "$out/zoras_x")"
  U[zoras]=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/out.log"); [ "$M" -gt "${R[zoras]}" ] && R[zoras]=$M
  inner_unpack=$(cat "$work/out.log")
  diff -r "$src" "$out/zoras_x" >/dev/null || { echo "zoras: extracted tree differs from the corpus"; exit 1; }
  rm -rf "$out/zoras_x"

  # zip -1 / unzip
  timed bash -c "cd '$src' && zip -1 -r -q '$out/zip.zip' ."
  P[zip]=$T; R[zip]=$M; S[zip]=$(stat -c %s "$out/zip.zip")
  timed unzip -q "$out/zip.zip" -d "$out/zip_x"
  U[zip]=$T; [ "$M" -gt "${R[zip]}" ] && R[zip]=$M
  rm -rf "$out/zip_x"

  # 7z a -tzip -mx=1 / 7z x
  timed bash -c "cd '$src' && 7z a -tzip -mx=1 '$out/7z.zip' . >/dev/null"
  P[7z]=$T; R[7z]=$M; S[7z]=$(stat -c %s "$out/7z.zip")
  timed 7z x -o"$out/7z_x" "$out/7z.zip"
  U[7z]=$T; [ "$M" -gt "${R[7z]}" ] && R[7z]=$M
  rm -rf "$out/7z_x"

  for t in zoras zip 7z; do
    awk -v t="$t" -v b="$bytes" -v p="${P[$t]}" -v s="${S[$t]}" -v u="${U[$t]}" -v r="${R[$t]}" \
      'BEGIN { printf "%-8s %9.2f %9.1f %12d %9.3f %9.2f %9.1f %8.1f\n", t, p, b / p / 1e6, s, s / b, u, b / u / 1e6, r / 1024 }'
  done
  awk -v pz="${P[zoras]}" -v p7="${P[7z]}" -v sz="${S[zoras]}" -v s7="${S[7z]}" -v uz="${U[zoras]}" -v u7="${U[7z]}" \
    'BEGIN { printf "zoras vs 7z: pack speed x%.2f, size x%.3f, unpack speed x%.2f\n", p7 / pz, sz / s7, u7 / uz }'
  echo "zoras pack (inside): $inner_pack"
  echo "zoras unpack (inside): $inner_unpack"
  unset P S U R
  rm -rf "$out"
done
