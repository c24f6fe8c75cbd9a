#!/usr/bin/env bash
# Output pipeline benchmark: ProduceEncryptedOutput (walk, Zoras.dll, tarvodev.dll, the
# progress dialog pumping messages) under Wine on the generated corpora, against native
# 7z a -tzip -mem=AES256 -mx=1; decryption plus extraction against 7z x; the floor of
# opening and reading every file twice under Wine; the cost of the progress dialog.
# Then velvox.exe itself, its dialogs driven by app_bench.exe, timed from the last
# dialog's OK to the program's end, in VX_BENCH_RUNS rounds (default 3) beside the same
# 7z commands, with the minimum and median of each.
# Run by hand:  [VX_BENCH_RUNS=N] [VX_BENCH_APP_ONLY=1] bench/pipeline/run.sh [mixed|small ...]
# VX_BENCH_APP_ONLY=1 runs only the whole-program rounds (with velvox.exe's timeline).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# Every Wine process of the run, the key tool included, must see the display: the first
# one starts Wine's desktop process, and one started without a display leaves the later
# windows without a driver.
if [ -z "${DISPLAY:-}" ]; then exec "$root/scripts/with-display.sh" "$0" "$@"; fi
work=${VX_BENCH_DIR:-$root/build/bench-pipeline}
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(mixed small)
mkdir -p "$work"

gen=$work/gen_corpus
if [ ! -x "$gen" ] || [ "$root/bench/zoras/gen_corpus.cpp" -nt "$gen" ]; then
  clang++ -O2 -o "$gen" "$root/bench/zoras/gen_corpus.cpp"
  rm -rf "$work/corpus"
fi
[ -f "$work/corpus/.done" ] || { rm -rf "$work/corpus"; "$gen" "$work/corpus"; touch "$work/corpus/.done"; }

cmake --build "$root/build/win64" --target pipeline_bench app_bench tvkeyadm >/dev/null
# The prefix as the tests have it: without its settings every dialog that closes costs
# two seconds of waiting for a window manager.
"$root/scripts/prefix.sh"
source "$root/scripts/env.sh"
bin=$VX_BUILD/bin
wineserver -k </dev/null >/dev/null 2>&1 || true
export TARVODEV_HOME; TARVODEV_HOME=$(winepath -w "$work/store")
rm -rf "$work/store"; mkdir -p "$work/store"
wine "$bin/tvkeyadm.exe" --store "$TARVODEV_HOME" init >/dev/null
wine "$bin/tvkeyadm.exe" --store "$TARVODEV_HOME" add BenchKey --alg aes --value bench --enable --iterations 1000 >/dev/null

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
timed() {  # command...  -> T (s, outside), M (max RSS KiB), IN (seconds inside, if printed)
  local t0 t1
  t0=$(date +%s%N)
  # A step that hangs ends the run (VX_BENCH_TIMEOUT seconds, default 900) instead of
  # spinning for ever.
  timeout "${VX_BENCH_TIMEOUT:-900}" /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/out.log" 2>&1 ||
    { cat "$work/out.log"; echo "failed or timed out: $*"; wineserver -k </dev/null >/dev/null 2>&1; exit 1; }
  t1=$(date +%s%N)
  T=$(seconds "$t0" "$t1"); M=$(tail -n 1 "$work/rss")
  IN=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/out.log"); [ -n "$IN" ] || IN=$T
  PW=$(sed -n 's/.*peak_ws_mib=\([0-9.]*\).*/\1/p' "$work/out.log")
}
# min and median of the numbers given (and max, as a third word)
stats() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f %.3f %.3f", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
mbs() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.1f", b / t / 1e6 }'; }

wineserver -p </dev/null >/dev/null 2>&1 || true
for c in "${corpora[@]}"; do
  src=$work/corpus/$c; out=$work/out
  rm -rf "$out"; mkdir -p "$out"; sync
  bytes=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  printf '\n== %s: %d files, %.1f MB ==\n' "$c" "$(find "$src" -type f | wc -l)" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')"

  if [ -z "${VX_BENCH_APP_ONLY:-}" ]; then
    timed wine "$bin/pipeline_bench.exe" encrypt "$(winepath -w "$out/v.xss")" "$(winepath -w "$src")"
    ve=$IN; vrss=$M; vpw=$PW; vsize=$(stat -c %s "$out/v.xss")
    timed wine "$bin/pipeline_bench.exe" bare "$(winepath -w "$out/b.xss")" "$(winepath -w "$src")"
    vb=$IN
    timed wine "$bin/pipeline_bench.exe" decrypt "$(winepath -w "$out/v.xss")" "$(winepath -w "$out/v_x")"
    vd=$IN; [ "$M" -gt "$vrss" ] && vrss=$M
    diff -r "$src" "$out/v_x" >/dev/null || { echo "extracted tree differs from the corpus"; exit 1; }
    rm -rf "$out/v_x"; sync
    timed wine "$bin/pipeline_bench.exe" floor "$(winepath -w "$src")"
    vf=$IN
    # The platform's floor for the walk's check and for writing small files (seconds).
    timed wine "$bin/pipeline_bench.exe" checkfloor "$(winepath -w "$src")"
    cf=$(grep -o 'list=.*four_threads=[0-9.]*' "$work/out.log")
    timed wine "$bin/pipeline_bench.exe" packfloor "$(winepath -w "$src")"
    pf=$(grep -o 'read_and_deflate_two_threads=[0-9.]*' "$work/out.log")
    # Reading alone on 1, 2 and 4 threads, and where each call's time goes.
    rf=$(grep '^read_threads_' "$work/out.log")
    rm -rf "$WINEPREFIX/drive_c/vxfloor"
    timed wine "$bin/pipeline_bench.exe" writefloor 'C:\vxfloor'
    wf=$(grep -o 'create_write_close=.*by_handle=[0-9.]*' "$work/out.log")
    rm -rf "$WINEPREFIX/drive_c/vxfloor"

    timed bash -c "cd '$src' && 7z a -tzip -mem=AES256 -mx=1 -pbench '$out/7z.zip' . >/dev/null"
    se=$T; srss=$M; ssize=$(stat -c %s "$out/7z.zip")
    timed 7z x -pbench -o"$out/7z_x" "$out/7z.zip"
    sd=$T; [ "$M" -gt "$srss" ] && srss=$M
    rm -rf "$out/7z_x"

    printf '%-28s %9s %9s %12s %9s\n' step seconds MB/s size_bytes rss_MiB
    printf '%-28s %9.2f %9s %12d %9.1f   (peak working set inside %s MiB)\n' "velvox encrypt (Wine)" "$ve" "$(mbs "$bytes" "$ve")" "$vsize" "$(awk -v m="$vrss" 'BEGIN{print m/1024}')" "$vpw"
    printf '%-28s %9.2f %9s\n' "  same, no progress dialog" "$vb" "$(mbs "$bytes" "$vb")"
    printf '%-28s %9.2f %9s\n' "velvox decrypt+extract" "$vd" "$(mbs "$bytes" "$vd")"
    printf '%-28s %9.2f %9s\n' "open+read every file twice" "$vf" "$(mbs "$bytes" "$vf")"
    printf '%-28s %s\n' "list, open exclusively" "$cf" "read and deflate each file" "$pf" "20,000 x 8 KiB written" "$wf"
    printf '%s\n' "$rf"
    printf '%-28s %9.2f %9s %12d %9.1f\n' "7z a -tzip AES256 -mx=1" "$se" "$(mbs "$bytes" "$se")" "$ssize" "$(awk -v m="$srss" 'BEGIN{print m/1024}')"
    printf '%-28s %9.2f %9s\n' "7z x" "$sd" "$(mbs "$bytes" "$sd")"
    awk -v ve="$ve" -v vb="$vb" -v vd="$vd" -v vf="$vf" -v se="$se" -v sd="$sd" -v vs="$vsize" -v ss="$ssize" 'BEGIN {
      printf "ratios: encrypt speed vs 7z x%.2f, size vs 7z x%.3f, decrypt+extract speed vs 7z x%.2f,\n", se / ve, vs / ss, sd / vd
      printf "        encrypt time vs open+read twice x%.2f, progress dialog cost %.1f %%\n", ve / vf, (ve - vb) / vb * 100 }'

  fi

  # The whole program, round after round beside 7z (VX_BENCH_RUNS=0: none).
  if [ "${VX_BENCH_RUNS:-3}" = 0 ]; then rm -rf "$out"; continue; fi
  # velvox.exe marks the times of its steps on the debugger output stream; app_bench
  # reads them there and prints them against the OK.
  ae=(); ad=(); ak=(); ze=(); zd=(); tl=(); re=(); rd=(); pe=(); pd=()
  # Decrypted where the folder browser opens, the archive's own folder: a shallow folder
  # on C: (the prefix's drive, on the same disk). Driving the browser to another folder
  # by message left it at the folder it opened with.
  dest=$WINEPREFIX/drive_c/vxbench
  for ((r = 1; r <= ${VX_BENCH_RUNS:-3}; r++)); do
    rm -f "$out/a.xss" "$out/7z.zip"; rm -rf "$dest" "$out/7z_x"; mkdir -p "$dest"; sync
    timed wine "$bin/app_bench.exe" encrypt "$(winepath -w "$src")" "$(winepath -w "$out/a.xss")"
    ae+=("$IN"); asize=$(stat -c %s "$out/a.xss")
    pe+=("$(sed -n 's/.*peak_ws_mib=\([0-9.]*\).*/\1/p' "$work/out.log")")
    tl+=("encrypt round $r: $(sed -n 's/^timeline: //p' "$work/out.log")")
    sync
    timed bash -c "cd '$src' && 7z a -tzip -mem=AES256 -mx=1 -pbench '$out/7z.zip' . >/dev/null"
    ze+=("$T"); re+=("$(ratio "$T" "${ae[-1]}")")
    sync
    mv "$out/a.xss" "$dest/a.xss"; sync
    timed wine "$bin/app_bench.exe" decrypt 'C:\vxbench\a.xss' 'C:\vxbench'
    ad+=("$IN"); ak+=("$(sed -n 's/.*to_browser=\([0-9.]*\).*/\1/p' "$work/out.log")")
    tl+=("decrypt round $r: $(sed -n 's/^timeline: //p' "$work/out.log")")
    diff -r "$src" "$dest/$c" >/dev/null || { echo "velvox.exe's decrypted tree differs from the corpus"; exit 1; }
    sync
    pd+=("$(sed -n 's/.*peak_ws_mib=\([0-9.]*\).*/\1/p' "$work/out.log")")
    timed 7z x -pbench -o"$out/7z_x" "$out/7z.zip"
    zd+=("$T"); rd+=("$(ratio "$T" "${ad[-1]}")")
  done
  read -r aemin aemed aemax <<<"$(stats "${ae[@]}")"; read -r zemin zemed zemax <<<"$(stats "${ze[@]}")"
  read -r admin admed admax <<<"$(stats "${ad[@]}")"; read -r zdmin zdmed zdmax <<<"$(stats "${zd[@]}")"
  read -r akmin akmed akmax <<<"$(stats "${ak[@]}")"
  read -r remin remed remax <<<"$(stats "${re[@]}")"; read -r rdmin rdmed rdmax <<<"$(stats "${rd[@]}")"
  read -r pemin pemed pemax <<<"$(stats "${pe[@]:-0}")"; read -r pdmin pdmed pdmax <<<"$(stats "${pd[@]:-0}")"
  # velvox.exe's seconds run from the last OK to its end as its parent (app_bench, which
  # waits on its process handle) sees it; 7z's are its whole process, timed from here.
  printf '\nwhole program, %d rounds     min s   median s     max s  MB/s(median)\n' "${#ae[@]}"
  printf '%-28s %8.2f %9.2f %9.2f %9s   size %d, peak working set %.1f-%.1f MiB\n' "velvox.exe encrypt" "$aemin" "$aemed" "$aemax" "$(mbs "$bytes" "$aemed")" "$asize" "$pemin" "$pemax"
  printf '%-28s %8.2f %9.2f %9.2f %9s\n' "7z a -tzip AES256 -mx=1" "$zemin" "$zemed" "$zemax" "$(mbs "$bytes" "$zemed")"
  printf '%-28s %8.2f %9.2f %9.2f %9s   (start or key OK to folder browser: median %.2f s), peak working set %.1f-%.1f MiB\n' "velvox.exe decrypt" "$admin" "$admed" "$admax" "$(mbs "$bytes" "$admed")" "$akmed" "$pdmin" "$pdmax"
  printf '%-28s %8.2f %9.2f %9.2f %9s\n' "7z x" "$zdmin" "$zdmed" "$zdmax" "$(mbs "$bytes" "$zdmed")"
  # Each round's 7z beside the velvox.exe run just before it: a pair that a drift of the
  # machine's speed between rounds does not split.
  printf 'pairs (7z / velvox.exe, round by round): encrypt %s  median %.3f (%.3f-%.3f); decrypt %s  median %.3f (%.3f-%.3f)\n' \
    "${re[*]}" "$remed" "$remin" "$remax" "${rd[*]}" "$rdmed" "$rdmin" "$rdmax"
  printf '  %s\n' "velvox.exe encrypt: ${ae[*]}" "7z a: ${ze[*]}" "velvox.exe decrypt: ${ad[*]}" "7z x: ${zd[*]}"
  printf '  %s\n' "${tl[@]}"
  awk -v ae="$aemed" -v ze="$zemed" -v ad="$admed" -v zd="$zdmed" -v aem="$aemin" -v zem="$zemin" -v adm="$admin" -v zdm="$zdmin" 'BEGIN {
    printf "ratios (median; min): encrypt speed vs 7z x%.2f; x%.2f, decrypt+extract speed vs 7z x%.2f; x%.2f\n", ze / ae, zem / aem, zd / ad, zdm / adm }'
  rm -rf "$out" "$dest"
done
wineserver -k </dev/null >/dev/null 2>&1 || true
