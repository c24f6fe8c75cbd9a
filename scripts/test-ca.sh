#!/usr/bin/env bash
# Makes a throw-away certificate authority for the tests in DIR, once (kept while it is
# valid for another week): a CA, a code-signing certificate issued by it (also as a
# PKCS#12 file whose password is in a file of its own, and its key as PKCS#8 for a
# token), and a time-stamping certificate for a local time-stamp server.
#   scripts/test-ca.sh DIR
# DIR/ca.pem  ca.key  sign.pem  sign.key  sign.p8  sign.p12  sign.pass  tsa.pem  tsa.key
set -euo pipefail
dir=$1
if [ -f "$dir/sign.p12" ] && openssl x509 -checkend 604800 -noout -in "$dir/sign.pem" >/dev/null &&
   openssl x509 -checkend 604800 -noout -in "$dir/ca.pem" >/dev/null; then
  exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
chmod 700 "$dir"
cat > "$dir/ext.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = velvox test CA
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[sign]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 90 \
  -config ext.cnf -extensions ca 2>/dev/null
for c in sign tsa; do
  openssl req -newkey rsa:2048 -nodes -keyout $c.key -out $c.csr -subj "/CN=velvox test $c" \
    2>/dev/null
  openssl x509 -req -in $c.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 60 \
    -extfile ext.cnf -extensions $c -out $c.pem 2>/dev/null
  rm $c.csr
done
openssl pkcs8 -topk8 -nocrypt -in sign.key -out sign.p8
# A password with a space: it must reach the signing tool whole.
printf 'vx %s\n' "$(openssl rand -hex 12)" > sign.pass
openssl pkcs12 -export -inkey sign.key -in sign.pem -certfile ca.pem -name "velvox test" \
  -passout file:sign.pass -out sign.p12
