# Certificate authorities and server certificates made by a shell test, in
# $pki (set it, and define fail(), before sourcing):
#   authority NAME                       NAME.crt and NAME.key, and its database
#   server_cert NAME CA DNS [ca opts...] NAME.crt for DNS, signed by CA
#   known_to_system CA "ADDRESS NAME..." the names and the authority as this
#                                        mount namespace's system knows them
mkdir -p "$pki"
authority() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Tarn test $1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$pki/$1.key" -out "$pki/$1.crt" 2>/dev/null
  mkdir -p "$pki/$1.db"
  : >"$pki/$1.db/index.txt"
  cat >"$pki/$1.cnf" <<CNF
[ca]
default_ca = d
[d]
database = $pki/$1.db/index.txt
new_certs_dir = $pki/$1.db
serial = $pki/$1.db/serial
rand_serial = yes
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CNF
}
server_cert() {  # name, authority, DNS name, openssl ca date options...
  local name=$1 ca=$2 dns=$3
  shift 3
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$dns" \
    -keyout "$pki/$name.key" -out "$pki/$name.csr" 2>/dev/null
  printf 'basicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\nsubjectAltName = DNS:%s\n' "$dns" \
    >"$pki/$name.ext"
  openssl ca -batch -notext -config "$pki/$ca.cnf" -cert "$pki/$ca.crt" -keyfile "$pki/$ca.key" \
    -extfile "$pki/$name.ext" -in "$pki/$name.csr" -out "$pki/$name.crt" "$@" 2>/dev/null ||
    fail "openssl ca: $name"
}

# The hosts line and the bundle every program that trusts the system's
# authorities reads, mounted over for this namespace only.
known_to_system() {  # authority, hosts line
  cp /etc/hosts "$work/hosts"
  echo "$2" >>"$work/hosts"
  mount --bind "$work/hosts" /etc/hosts
  local bundle
  bundle=$(curl-config --ca 2>/dev/null || echo /etc/ssl/certs/ca-certificates.crt)
  cp "$pki/$1.crt" "$work/bundle.crt"
  mount --bind "$work/bundle.crt" "$bundle"
}
