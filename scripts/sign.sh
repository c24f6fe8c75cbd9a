#!/usr/bin/env bash
# Signs PE files (EXE, DLL) and MSI packages in place with Authenticode, SHA-256:
#   scripts/sign.sh FILE...
# The key comes from the environment (cmake/VxSign.cmake writes a wrapper that sets it):
#   VX_SIGN_PKCS12, VX_SIGN_PASSWORD_FILE                  a PKCS#12 file and its password
#   VX_SIGN_PKCS11_MODULE, VX_SIGN_PKCS11_KEY (pkcs11: URI),
#   VX_SIGN_PKCS11_CERT (PEM chain), VX_SIGN_PASSWORD_FILE (the PIN)    a hardware token
#   VX_SIGN_TIMESTAMP                                      RFC 3161 time-stamp server (optional)
#   VX_OSSLSIGNCODE                                        the signing tool (default: osslsigncode)
# Each file is signed into a temporary copy beside it that then replaces it, so a failed
# signing leaves the unsigned file, never half a file. A signature already there is
# replaced.
set -euo pipefail
tool=${VX_OSSLSIGNCODE:-osslsigncode}
case "$tool" in *-NOTFOUND) tool=osslsigncode ;; esac

# The password is handed over as a file name (-readpass): an argument would be visible
# to every user of the machine in the process list.
key=()
if [ -n "${VX_SIGN_PKCS12:-}" ]; then
  key=(-pkcs12 "$VX_SIGN_PKCS12")
elif [ -n "${VX_SIGN_PKCS11_MODULE:-}" ]; then
  key=(-pkcs11module "$VX_SIGN_PKCS11_MODULE" -key "${VX_SIGN_PKCS11_KEY:?a pkcs11: URI}"
       -certs "${VX_SIGN_PKCS11_CERT:?a certificate file}")
else
  echo "sign.sh: no key: set VX_SIGN_PKCS12 or VX_SIGN_PKCS11_MODULE" >&2
  exit 2
fi
if [ -n "${VX_SIGN_PASSWORD_FILE:-}" ]; then
  if [ ! -r "$VX_SIGN_PASSWORD_FILE" ]; then
    echo "sign.sh: cannot read $VX_SIGN_PASSWORD_FILE" >&2
    exit 2
  fi
  key+=(-readpass "$VX_SIGN_PASSWORD_FILE")
fi
[ -n "${VX_SIGN_TIMESTAMP:-}" ] && key+=(-ts "$VX_SIGN_TIMESTAMP")

# osslsigncode refuses to write over a file, so the signed copy goes into a fresh
# folder beside the original (same file system: the rename replaces it at once).
tmp=
trap '[ -z "$tmp" ] || rm -rf "$tmp"' EXIT
for f in "$@"; do
  tmp=$(mktemp -d "$(dirname "$f")/.signing.XXXXXX")
  signed=$tmp/$(basename "$f")
  if ! out=$("$tool" sign "${key[@]}" -h sha256 -in "$f" -out "$signed" 2>&1); then
    echo "sign.sh: signing $f failed:" >&2
    printf '%s\n' "$out" >&2
    exit 1
  fi
  chmod --reference="$f" "$signed"
  mv -f "$signed" "$f"
  rmdir "$tmp"
  tmp=
done
