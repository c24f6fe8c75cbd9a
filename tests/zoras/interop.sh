#!/usr/bin/env bash
# Debian's unzip and 7z must accept an archive that Zoras.dll wrote (left in bin/ by
# zoras_test): every entry's CRC checks out and the Japanese names read back as UTF-8.
set -euo pipefail
zip=$1
[ -f "$zip" ] || { echo "missing $zip (written by zoras_test)"; exit 1; }
unzip -tq "$zip"
7z t "$zip" >/dev/null
names=$(LC_ALL=C.UTF-8 unzip -Z1 "$zip")
for want in "big.log" "tree/empty_sub/" "tree/表/深い/mixed.bin" "tree/表.txt" "表表.csv"; do
  grep -qxF "$want" <<<"$names" || { echo "unzip does not list $want:"; echo "$names"; exit 1; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
7z x -o"$out" "$zip" >/dev/null
[ -d "$out/tree/empty_sub" ] && [ -f "$out/tree/表/深い/mixed.bin" ] && [ "$(stat -c %s "$out/big.log")" = 2300000 ] ||
  { echo "7z extracted something else:"; find "$out"; exit 1; }
echo "unzip and 7z accept $zip"
