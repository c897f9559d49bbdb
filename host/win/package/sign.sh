#!/bin/sh
# Signs one Windows program in place with the operator's code-signing
# certificate: Authenticode with SHA-256, time-stamped when
# TARN_SIGN_TIMESTAMP names a server.
#
#   TARN_SIGN_CERT=cert.pem TARN_SIGN_KEY=key.pem [TARN_SIGN_TIMESTAMP=URL] sign.sh FILE
set -eu
file=$1
osslsigncode sign -certs "$TARN_SIGN_CERT" -key "$TARN_SIGN_KEY" -h sha256 \
  -n "ТАРН" -i "https://tarn.example/" ${TARN_SIGN_TIMESTAMP:+-ts "$TARN_SIGN_TIMESTAMP"} \
  -in "$file" -out "$file.signed" >/dev/null
mv -f "$file.signed" "$file"
