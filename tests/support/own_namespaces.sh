# Runs the calling script again in network and mount namespaces of its own
# (root or a user namespace needed), unless it already runs there; where
# none can be made, says so and exits 77, the tests' "skipped".
#   . support/own_namespaces.sh "NAME OF THE TEST" "$@"
if [ -z "${TARN_OWN_NAMESPACES:-}" ]; then
  if ! unshare -nm true 2>/dev/null; then
    echo "$1 skipped: no network and mount namespaces here" >&2
    exit 77
  fi
  shift
  TARN_OWN_NAMESPACES=1 exec unshare -nm --propagation private "$0" "$@"
fi
