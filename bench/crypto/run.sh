#!/usr/bin/env bash
# Benchmark of tarvodev.dll: a 512 MiB archive encrypted and decrypted file to file under
# Wine, side by side with native `openssl enc -aes-256-ctr` on the same file. Prints MB/s
# of each and the ratio (goal: at least 0.8 of OpenSSL) and the peak memory (goal: under
# 64 MiB). Run by hand: bench/crypto/run.sh [size in MiB]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
size_mib=${1:-512}
source "$root/scripts/env.sh"
[ -f "$VX_BUILD/CMakeCache.txt" ] || VX_SKIP_WIN32=1 "$root/scripts/build.sh" >/dev/null
cmake --build "$VX_BUILD" --target tarvodev tvkeyadm >/dev/null
bin=$VX_BUILD/bin
LC_ALL=C LANG=C x86_64-w64-mingw32-g++-posix -O2 -std=c++20 -I"$root" "$root/bench/crypto/tvcrypto_bench.cpp" \
  "$VX_BUILD/lib/libtarvodev.dll.a" -lpsapi -static -o "$bin/tvcrypto_bench.exe"

work=${TMPDIR:-/tmp}/tvcrypto-bench
rm -rf "$work"; mkdir -p "$work/home"
trap 'rm -rf "$work"' EXIT
# Incompressible data, like a compressed archive.
head -c $((size_mib * 1048576)) /dev/urandom > "$work/archive.zip"
wwork=$(winepath -w "$work")
export TARVODEV_HOME=$(winepath -w "$work/home")
wine "$bin/tvkeyadm.exe" --store "$TARVODEV_HOME" init >/dev/null
wine "$bin/tvkeyadm.exe" --store "$TARVODEV_HOME" add Bench --alg aes --value BENCH-VALUE >/dev/null
wineserver -p 2>/dev/null || true

# Every timed step starts with no dirty pages, so no step pays for an earlier one's writeback.
secs() { sync; local s=$(date +%s.%N); "$@"; echo "$(date +%s.%N) - $s" | bc -l; }
mb=$(echo "$size_mib * 1048576 / 1000000" | bc -l)
key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n'); iv=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
val() { echo "$out" | awk -v k="$1" '$1 == k { print $2 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# The machine is shared: each side runs $rounds times, alternating, and the median counts.
rounds=${VX_BENCH_ROUNDS:-3}
oe=() od=() te=() td=() rss=() peak=()
tv() { /usr/bin/time -f "linux_max_rss_kib %M" wine "$bin/tvcrypto_bench.exe" "$@" 2>&1 | tr -d '\r'; }
openssl_pair() {
  t=$(secs openssl enc -aes-256-ctr -K "$key" -iv "$iv" -in "$work/archive.zip" -out "$work/o.ctr")
  oe+=("$(echo "$mb / $t" | bc -l)")
  t=$(secs openssl enc -d -aes-256-ctr -K "$key" -iv "$iv" -in "$work/o.ctr" -out "$work/o.back")
  od+=("$(echo "$mb / $t" | bc -l)")
  rm -f "$work/o.ctr" "$work/o.back"
}
tarvodev_pair() {
  sync
  out=$(tv encrypt "$wwork\\archive.zip" "$wwork\\bench.xss")
  te+=("$(val mbps)"); rss+=("$(val linux_max_rss_kib)"); peak+=("$(val peak_working_set_mib)")
  calls=$(val callbacks)
  sync
  out=$(tv decrypt "$wwork\\bench.xss" "$wwork\\bench.back")
  td+=("$(val mbps)"); rss+=("$(val linux_max_rss_kib)"); peak+=("$(val peak_working_set_mib)")
  cmp -s "$work/archive.zip" "$work/bench.back" || { echo "round trip differs"; exit 1; }
  rm -f "$work/bench.xss" "$work/bench.back"
}
# Who goes first alternates: the file system's state after one side's writes and
# deletes must not always fall on the same side.
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then openssl_pair; sync; sleep 2; tarvodev_pair
  else tarvodev_pair; sync; sleep 2; openssl_pair; fi
  sync; sleep 2
  printf 'round %d: openssl %.0f / %.0f MB/s, tarvodev %.0f / %.0f MB/s (encrypt / decrypt)\n' \
    "$r" "${oe[-1]}" "${od[-1]}" "${te[-1]}" "${td[-1]}"
done
echo "progress calls per direction: $calls"
oenc=$(median "${oe[@]}"); odec=$(median "${od[@]}"); enc=$(median "${te[@]}"); dec=$(median "${td[@]}")
printf 'median of %d rounds, %d MiB file to file:\n' "$rounds" "$size_mib"
printf '  openssl enc -aes-256-ctr (native): encrypt %.0f MB/s, decrypt %.0f MB/s\n' "$oenc" "$odec"
printf '  tarvodev.dll (Wine):               encrypt %.0f MB/s, decrypt %.0f MB/s\n' "$enc" "$dec"
printf '  ratio: encrypt %.2f, decrypt %.2f (goal >= 0.80)\n' "$(echo "$enc / $oenc" | bc -l)" "$(echo "$dec / $odec" | bc -l)"
printf '  peak memory: %s MiB working set (Windows view), %s KiB max RSS of the Wine process (goal < 64 MiB)\n' \
  "$(printf '%s\n' "${peak[@]}" | sort -g | tail -1)" "$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)"
