#!/usr/bin/env bash
# Makes the throw-away test PKI under build/certs (idempotent; the stamp carries a version):
#   ca.pem             test root, trusted by the tests only (native: CA file; Wine: prefix)
#   server.pem/.key    for 127.0.0.1 and localhost, signed by the test root
#   expired.pem/.key   the same names, validity ended years ago
#   wrongname.pem/.key signed by the test root for another name only
#   untrusted.pem/.key the right names, signed by a second root nobody trusts
#   name-*.pem         (no key: for the host-name checks only) a common name and no
#                      subjectAltName (cn-name, cn-address), an address as a DNS entry
#                      (dns-address), a wildcard DNS entry (wildcard)
# Prints the folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZPV_CERTS:-$root/build/certs}
stamp="$out/.zpv-certs-2"
if [ -f "$stamp" ]; then echo "$out"; exit 0; fi
rm -rf "$out"
mkdir -p "$out"
cd "$out"

# name, subject, extension config: a self-signed root.
make_root() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
    -subj "/CN=$2" -sha256 \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -addext "subjectKeyIdentifier=hash" 2>/dev/null
}

# name, issuing root, subject alt names (none when empty), start date, end date
# (YYMMDDHHMMSSZ), common name.
make_leaf() {
  local name=$1 issuer=$2 san=$3 start=$4 end=$5 cn=${6:-$1 test}
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$cn" 2>/dev/null
  mkdir -p "ca-$issuer"
  : > "ca-$issuer/index.txt"
  [ -f "ca-$issuer/serial" ] || openssl rand -hex 8 > "ca-$issuer/serial"
  cat > "$name.cnf" <<CNF
[ca]
default_ca = test
[test]
dir = ca-$issuer
database = ca-$issuer/index.txt
serial = ca-$issuer/serial
new_certs_dir = ca-$issuer
certificate = $issuer.pem
private_key = $issuer.key
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
x509_extensions = leaf
[any]
commonName = supplied
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
${san:+subjectAltName = $san}
authorityKeyIdentifier = keyid
CNF
  openssl ca -batch -config "$name.cnf" -in "$name.csr" -out "$name.pem" -notext \
    -startdate "$start" -enddate "$end" 2>/dev/null
  rm -f "$name.csr" "$name.cnf"
}

names="DNS:localhost,IP:127.0.0.1"
make_root ca "ZPV Test Root"
make_root other "ZPV Other Root"
make_leaf server ca "$names" 240101000000Z 340101000000Z
make_leaf expired ca "$names" 200101000000Z 210101000000Z
make_leaf wrongname ca "DNS:wrong-name.invalid" 240101000000Z 340101000000Z
make_leaf untrusted other "$names" 240101000000Z 340101000000Z
make_leaf name-cn-name ca "" 240101000000Z 340101000000Z localhost
make_leaf name-cn-address ca "" 240101000000Z 340101000000Z 127.0.0.1
make_leaf name-dns-address ca "DNS:127.0.0.1" 240101000000Z 340101000000Z
make_leaf name-wildcard ca "DNS:*.zpv.test" 240101000000Z 340101000000Z
rm -f name-*.key
rm -f other.key
openssl x509 -in ca.pem -outform der -out ca.der
touch "$stamp"
echo "$out"
