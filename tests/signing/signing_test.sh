#!/usr/bin/env bash
# The signed build, checked natively with osslsigncode against the test run's own CA
# (scripts/test-ca.sh):
#   signing_test.sh CA_DIR SIGN_COMMAND SETUP.exe vx_sfx_made.exe SIGNED_FILE...
# - every file the build signs, the setup, the MSI and every PE file packed in either
#   verify, signed with SHA-256;
# - a copy with one changed byte does not;
# - a self-decrypting executable and the stub inside tarvodev.dll carry no signature;
# - the setup, run silently in a fresh prefix, writes only files that verify, the
#   uninstaller among them;
# - scripts/sign.sh signs through a PKCS#11 token (SoftHSM) and with an RFC 3161 time
#   stamp from a local server.
# Every check runs; the test fails if any did.
set -uo pipefail
ca_dir=$1 sign=$2 setup=$3 sfx_made=$4
shift 4
signed=("$@")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export VX_BUILD=$(cd "$(dirname "$setup")" && pwd)
source "$here/../../scripts/env.sh"
tool=${VX_OSSLSIGNCODE:-osslsigncode}
case "$tool" in *-NOTFOUND|"") tool=osslsigncode ;; esac
ca=$ca_dir/ca.pem
if [ -z "$sign" ] || [ ! -f "$ca" ]; then
  echo "the build is unsigned or not signed by the test CA: run it with scripts/test.sh" >&2
  exit 1
fi
work=$VX_BUILD/tests/signing/work
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
# The certificate table's file offset and size from the PE optional header's data
# directory 4 ("0 0": no signature).
cert_table() {
  local pe magic dirs
  pe=$(u32 "$1" 60)
  magic=$(u16 "$1" $((pe + 24)))
  dirs=$((pe + 24 + (magic == 523 ? 112 : 96)))  # 0x20b: PE32+
  echo "$(u32 "$1" $((dirs + 32))) $(u32 "$1" $((dirs + 36)))"
}
# Signed with SHA-256 by a certificate of the test CA (extra arguments go to verify).
verifies() {
  local out
  if ! out=$("$tool" verify -CAfile "$ca" "${@:2}" -in "$1" 2>&1); then
    printf '%s\n' "$out" | grep -iE "fail|error|no signature" | head -5 >&2
    return 1
  fi
  grep -q "Message digest algorithm: SHA256" <<<"$out" || { echo "$1: not SHA-256" >&2; return 1; }
}
unsigned_copy() {  # SRC DST
  "$tool" remove-signature -in "$1" -out "$2" >/dev/null 2>&1 && [ "$(cert_table "$2")" = "0 0" ]
}

echo "== what the build signs, and the setup"
[ ${#signed[@]} -gt 0 ] || fail "the build signs nothing"
for f in "${signed[@]}" "$setup"; do
  verifies "$f" || fail "$(basename "$f") does not verify"
done

echo "== what the setup carries"
# 7-Zip reads the setup's packed files: the program's, and the NSIS plug-ins that the
# setup unpacks into a temporary folder and loads.
7z x -y -o"$work/setup" "$setup" >/dev/null || fail "7z cannot read the setup"
mapfile -t packed < <(find "$work/setup" -type f \( -iname '*.exe' -o -iname '*.dll' \) | sort)
for want in velvox.exe '$PLUGINSDIR/nsExec.dll' '$PLUGINSDIR/System.dll'; do
  [ -n "$(find "$work/setup" -path "*/$want")" ] || fail "$want is not in the setup"
done
for f in "${packed[@]}"; do
  verifies "$f" || fail "${f#$work/setup/} in the setup does not verify"
done
echo "${#packed[@]} packed PE files checked"

echo "== the MSI and what it carries"
msi=${VX_TEST_MSI:-}
if [ -z "$msi" ] || [ ! -f "$msi" ]; then
  fail "velvox.msi not found (VX_TEST_MSI)"
else
  verifies "$msi" || fail "$(basename "$msi") does not verify"
  msiextract -C "$work/msi" "$msi" >/dev/null || fail "msiextract cannot read the MSI"
  mapfile -t carried < <(find "$work/msi" -type f \( -iname '*.exe' -o -iname '*.dll' \) | sort)
  [ ${#carried[@]} -gt 0 ] || fail "the MSI carries no program file"
  for f in "${carried[@]}"; do
    verifies "$f" || fail "${f#$work/msi/} in the MSI does not verify"
  done
  echo "${#carried[@]} PE files in the MSI checked"
fi

echo "== one changed byte"
velvox=$(printf '%s\n' "${signed[@]}" | grep -m1 '/velvox\.exe$')
read -r setup_sig _ < <(cert_table "$setup")
# (file, offset): the middle of the program's code; the last bytes of the setup's packed
# files, which lie after its PE sections and before its signature.
changes=("$velvox $(($(stat -c %s "$velvox") / 2))" "$setup $((setup_sig - 8))")
for c in "${changes[@]}"; do
  read -r f off <<<"$c"
  copy=$work/changed-$(basename "$f")
  cp "$f" "$copy"
  old=$(od -An -tu1 -j "$off" -N1 "$copy" | tr -d ' ')
  printf "$(printf '\\%03o' $((old ^ 1)))" | dd of="$copy" bs=1 seek="$off" conv=notrunc status=none
  cmp -s "$f" "$copy" && fail "no byte changed in $(basename "$f")"
  verifies "$copy" 2>/dev/null && fail "$(basename "$f") with byte $off changed still verifies"
done

echo "== what velvox writes at run time"
printf 'signing test\r\n' > "$work/a.txt"
(cd "$work" && zip -q in.zip a.txt)
(cd "$VX_BUILD/bin" && wine "$sfx_made" "$(winepath -w "$work/in.zip")" \
   "$(winepath -w "$work/sfx.exe")" "$(winepath -w "$work/stub.exe")") </dev/null ||
  fail "vx_sfx_made failed"
for f in "$work/sfx.exe" "$work/stub.exe"; do
  [ -s "$f" ] || { fail "$(basename "$f") was not written"; continue; }
  table=$(cert_table "$f")
  [ "$table" = "0 0" ] || fail "$(basename "$f") has a certificate table: $table"
  "$tool" verify -in "$f" >/dev/null 2>&1 && fail "$(basename "$f") carries a signature"
done

echo "== the setup in a fresh prefix"
(
  export WINEPREFIX=$VX_BUILD/tests/signing/prefix
  "$VX_ROOT/scripts/copy-prefix.sh" "$VX_BUILD/prefix-base" "$WINEPREFIX"
  unset TARVODEV_HOME KVRGRD_HOME TCTRACE_HOME TVSETWR_HOME
  wineserver -p </dev/null >/dev/null 2>&1
  trap 'wineserver -k </dev/null >/dev/null 2>&1; wineserver -w' EXIT
  wine wineboot </dev/null >/dev/null 2>&1
  wine "$setup" /S '/D=C:\velvox' </dev/null
) || fail "the setup failed: $?"
installed=$VX_BUILD/tests/signing/prefix/drive_c/velvox
mapfile -t pe < <(find "$installed" -type f \( -iname '*.exe' -o -iname '*.dll' \) 2>/dev/null |
                  sort)
for want in uninstall.exe velvox.exe PlugIns/tvtoken.dll; do
  [ -f "$installed/$want" ] || fail "the setup did not write $want"
done
for f in "${pe[@]}"; do
  verifies "$f" || fail "installed ${f#$installed/} does not verify"
done
echo "${#pe[@]} installed PE files checked"

echo "== a PKCS#11 token (SoftHSM)"
module=/usr/lib/softhsm/libsofthsm2.so
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/tokens" > "$SOFTHSM2_CONF"
printf '%s\n' 246813 > "$work/pin"
if softhsm2-util --init-token --free --label vxtest --pin 246813 --so-pin 135792 >/dev/null &&
   softhsm2-util --import "$ca_dir/sign.p8" --token vxtest --label vxsign --id 01 \
     --pin 246813 >/dev/null; then
  unsigned_copy "$velvox" "$work/token.exe" || fail "cannot remove the signature"
  env -u VX_SIGN_PKCS12 VX_OSSLSIGNCODE="$tool" VX_SIGN_PKCS11_MODULE="$module" \
    VX_SIGN_PKCS11_KEY='pkcs11:token=vxtest;object=vxsign;type=private' \
    VX_SIGN_PKCS11_CERT="$ca_dir/sign.pem" VX_SIGN_PASSWORD_FILE="$work/pin" \
    "$here/../../scripts/sign.sh" "$work/token.exe" || fail "signing through the token failed"
  verifies "$work/token.exe" || fail "the token's signature does not verify"
else
  fail "SoftHSM: no token"
fi

echo "== an RFC 3161 time stamp"
cat > "$work/ts.cnf" <<CNF
[tsa]
default_tsa = test
[test]
serial = $work/tsaserial
crypto_device = builtin
signer_cert = $ca_dir/tsa.pem
signer_key = $ca_dir/tsa.key
certs = $ca_dir/tsa.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CNF
echo 01 > "$work/tsaserial"
python3 "$here/tsa.py" "$work/ts.cnf" > "$work/tsa.port" &
tsa=$!
trap 'kill $tsa 2>/dev/null' EXIT
# The server prints its port once it listens.
for _ in $(seq 100); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done
unsigned_copy "$velvox" "$work/stamped.exe" || fail "cannot remove the signature"
env VX_OSSLSIGNCODE="$tool" VX_SIGN_PKCS12="$ca_dir/sign.p12" \
  VX_SIGN_PASSWORD_FILE="$ca_dir/sign.pass" \
  VX_SIGN_TIMESTAMP="http://127.0.0.1:$(cat "$work/tsa.port")" \
  "$here/../../scripts/sign.sh" "$work/stamped.exe" || fail "signing with a time stamp failed"
verifies "$work/stamped.exe" -TSA-CAfile "$ca" || fail "the time-stamped file does not verify"
"$tool" verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$work/stamped.exe" 2>&1 |
  grep -q "Timestamp Server Signature verification: ok" || fail "no valid time stamp"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
rm -rf "$work" "$VX_BUILD/tests/signing/prefix"
echo "all checks passed"
