#!/bin/sh
# Runs a command while vtl_tls_sink serves smtps on 127.0.0.1, with the
# tests' certificates made afresh in a temporary directory and their CA
# trusted through SSL_CERT_FILE:
#   bench/with_tls_sink.sh path/to/vtl_tls_sink COMMAND [ARG...]
# Exits 77 (skipped) without the openssl command to make the certificates.
set -u
sink=$1
shift
if ! command -v openssl >/dev/null; then
  echo "making the test certificates needs the openssl command" >&2
  exit 77
fi
certs=$(mktemp -d)
trap 'rm -rf "$certs"' EXIT INT TERM
sh "$(dirname "$0")/../tests/tls/make_certs.sh" "$certs" || exit 1
SSL_CERT_FILE=$certs/ca.pem "$sink" "$certs/good.pem" -- "$@"
