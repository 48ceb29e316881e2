#!/bin/sh
# Makes the tests' certificates in DIR (made if missing): a test root CA and
# an intermediate CA under it, and server certificates (each file holds the
# chain the server sends, then its key):
#   good.pem        localhost, 127.0.0.1, 127.0.0.27 and ::1, from the intermediate
#   wrong-name.pem  wrong.example only, from the intermediate
#   expired.pem     localhost and 127.0.0.1, valid 2020 to 2021 only
#   not-yet.pem     localhost and 127.0.0.1, valid from 2090
#   self-signed.pem localhost and 127.0.0.1, signed by its own key
#   unknown-ca.pem  localhost and 127.0.0.1, from a CA nobody trusts
#   cn-only.pem     CN=localhost and no subjectAltName, from the intermediate
#   no-intermediate.pem  good.pem's certificate without the intermediate
#   old-ca.pem      localhost and 127.0.0.1, from an intermediate (its name not
#                   ASCII) valid 2020 to 2021 only
#   client-only.pem localhost and 127.0.0.1, for TLS clients only (extendedKeyUsage)
#   many-names.pem  five names, none of them localhost
# ca.pem is the root the tests trust. Nothing outside DIR is touched.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
# A directory made before signatures were checked (signed.txt) is made again
# whole.
[ -f good.pem ] && [ -f ca.pem ] && [ -f signed.txt ] && exit 0

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# Whether the ECDSA signature of certificate $1 has an r and an s of 32
# bytes each. Wine's chain engine fails one that is shorter (about one in
# 128 is), so a certificate is signed again until its signature is whole.
full_signature() {
  sig=$(openssl x509 -in "$1" -noout -text | sed '1,/Signature Value:/d' | tr -d ' \n:')
  at=7 # the length of r, after the SEQUENCE's tag and length and r's tag
  for integer in r s; do
    length=$((0x$(echo "$sig" | cut -c$at-$((at + 1)))))
    bytes=$length
    [ "$(echo "$sig" | cut -c$((at + 2))-$((at + 3)))" = 00 ] && bytes=$((bytes - 1))
    [ "$bytes" -eq 32 ] || return 1
    at=$((at + 4 + 2 * length))
  done
}

# A CA database for `openssl ca`, which alone can set dates in the past.
ca_conf() { # name
  mkdir -p "db-$1"
  : >"db-$1/index.txt"
  cat >"$1.cnf" <<CONF
[ca]
default_ca = this
[this]
database = db-$1/index.txt
new_certs_dir = db-$1
serial = db-$1/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[leaf]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
[client_leaf]
basicConstraints = critical,CA:false
extendedKeyUsage = clientAuth
[sub_ca]
basicConstraints = critical,CA:true,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
CONF
  openssl rand -hex 8 >"db-$1/serial"
}

root() { # name cn
  key "$1.key"
  while :; do
    openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 3650 -sha256 \
      -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -out "$1.pem"
    full_signature "$1.pem" && break
  done
  ca_conf "$1"
}

# sign issuer name cn san start end extensions (san empty: none)
sign() {
  key "$2.key"
  openssl req -new -utf8 -key "$2.key" -subj "/CN=$3" ${4:+-addext "subjectAltName=$4"} \
    -out "$2.csr"
  while :; do
    openssl ca -batch -notext -config "$1.cnf" -cert "$1.pem" -keyfile "$1.key" -in "$2.csr" \
      -startdate "$5" -enddate "$6" -extensions "$7" -out "$2.crt" 2>/dev/null
    full_signature "$2.crt" && break
  done
}

local_names="DNS:localhost,IP:127.0.0.1,IP:127.0.0.27,IP:::1"
root ca "vtl test root CA"
sign ca intermediate "vtl test intermediate CA" "DNS:intermediate.invalid" 20200101000000Z 20991231000000Z sub_ca
cp intermediate.crt intermediate.pem
ca_conf intermediate
sign intermediate good localhost "$local_names" 20200101000000Z 20991231000000Z leaf
sign intermediate wrong-name wrong.example "DNS:wrong.example" 20200101000000Z 20991231000000Z leaf
sign intermediate expired localhost "$local_names" 20200101000000Z 20210101000000Z leaf
sign intermediate not-yet localhost "$local_names" 20900101000000Z 20991231000000Z leaf
sign intermediate cn-only localhost "" 20200101000000Z 20991231000000Z leaf
for name in good wrong-name expired not-yet cn-only; do
  cat "$name.crt" intermediate.pem "$name.key" >"$name.pem"
done
cat good.crt good.key >no-intermediate.pem
sign intermediate client-only localhost "$local_names" 20200101000000Z 20991231000000Z client_leaf
sign intermediate many-names many.example \
  "DNS:a.example,DNS:b.example,DNS:c.example,DNS:d.example,DNS:e.example" \
  20200101000000Z 20991231000000Z leaf
for name in client-only many-names; do
  cat "$name.crt" intermediate.pem "$name.key" >"$name.pem"
done
sign ca old-intermediate "vtl test expired CA $(printf '\303\251')" "DNS:old.invalid" \
  20200101000000Z 20210101000000Z sub_ca
cp old-intermediate.crt old-intermediate.pem
ca_conf old-intermediate
sign old-intermediate old-ca localhost "$local_names" 20200101000000Z 20991231000000Z leaf
cat old-ca.crt old-intermediate.pem old-ca.key >old-ca.pem

key self-signed.key
while :; do
  openssl req -x509 -new -key self-signed.key -subj "/CN=localhost" -days 3650 \
    -addext "subjectAltName=$local_names" -out self-signed.crt
  full_signature self-signed.crt && break
done
cat self-signed.crt self-signed.key >self-signed.pem

root stranger "vtl test untrusted CA"
sign stranger unknown-ca localhost "$local_names" 20200101000000Z 20991231000000Z leaf
cat unknown-ca.crt stranger.pem unknown-ca.key >unknown-ca.pem
: >signed.txt
