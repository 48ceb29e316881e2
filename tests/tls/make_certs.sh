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
# ca.pem is the root the tests trust. Nothing outside DIR is touched.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
# A directory made before cn-only.pem was added is made again whole.
[ -f good.pem ] && [ -f ca.pem ] && [ -f cn-only.pem ] && exit 0

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

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
[sub_ca]
basicConstraints = critical,CA:true,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
CONF
  openssl rand -hex 8 >"db-$1/serial"
}

root() { # name cn
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 3650 -sha256 \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$1.pem"
  ca_conf "$1"
}

# sign issuer name cn san start end extensions (san empty: none)
sign() {
  key "$2.key"
  openssl req -new -key "$2.key" -subj "/CN=$3" ${4:+-addext "subjectAltName=$4"} -out "$2.csr"
  openssl ca -batch -notext -config "$1.cnf" -cert "$1.pem" -keyfile "$1.key" -in "$2.csr" \
    -startdate "$5" -enddate "$6" -extensions "$7" -out "$2.crt" 2>/dev/null
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

key self-signed.key
openssl req -x509 -new -key self-signed.key -subj "/CN=localhost" -days 3650 \
  -addext "subjectAltName=$local_names" -out self-signed.crt
cat self-signed.crt self-signed.key >self-signed.pem

root stranger "vtl test untrusted CA"
sign stranger unknown-ca localhost "$local_names" 20200101000000Z 20991231000000Z leaf
cat unknown-ca.crt stranger.pem unknown-ca.key >unknown-ca.pem
