#!/usr/bin/env bash
# The build commands of docs/operator.md ("Building") and README ("Build by
# hand"), run as written in a clean copy of the tree, each followed by
# tools/run.sh's own configure step: the documented folder must not clash
# with run.sh's. The compile itself is only planned (ninja -n): the suite
# has built the same tree already.
#
#   tests/tools/documented_build.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") src=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "documented build FAILED: $*" >&2; exit 1; }

# The indented command lines of a document from the line matching start to
# the next blank-line-then-text paragraph that is not a command.
commands() {  # file, first line (a regular expression)
  awk -v start="$2" '
    $0 ~ start { on = 1; next }
    on && /^## / { exit }
    on && /^    / { sub(/^    /, ""); line = line $0; if (line ~ /\\$/) { sub(/\\$/, "", line); next } print line; line = ""; seen = 1; next }
    on && seen && /^[^ ]/ { exit }
  ' "$1"
}
runsh_configure=$(grep -E '^cmake -S ' "$src/tools/run.sh" | sed 's/ *>.*//')
[ -n "$runsh_configure" ] || fail "no configure line in tools/run.sh"

try() {  # name, file, start
  local name=$1 lines
  lines=$(commands "$2" "$3")
  [ -n "$lines" ] || fail "$name: no commands under \"$3\""
  grep -qx './tools/setup.sh' <<<"$lines" || fail "$name: the packages' step is missing"
  grep -q -- '-G ' <<<"$lines" || fail "$name: no generator named"
  grep -q -- '-DCMAKE_BUILD_TYPE=' <<<"$lines" || fail "$name: no build type"
  grep -q '^cmake --build ' <<<"$lines" || fail "$name: no build command"
  local tree="$work/$name"
  mkdir -p "$tree"
  (cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$tree")
  "$build/tools/tarn-publish" keygen --private "$tree/list-private.pem" --public "$tree/list-public.pem" >/dev/null
  while IFS= read -r line; do
    case $line in
      ./tools/setup.sh) ;;  # installs packages: root, and done for the suite already
      "cmake --build "*) (cd "$tree" && eval "$line -- -n" >/dev/null) || fail "$name: $line" ;;
      cmake\ *) (cd "$tree" && eval "$line" >"$work/$name.log" 2>&1) || fail "$name: $line: $(tail -5 "$work/$name.log")" ;;
      *) fail "$name: an unexpected command: $line" ;;
    esac
  done <<<"$lines"
  (cd "$tree" && $runsh_configure >"$work/$name-run.log" 2>&1) ||
    fail "$name: tools/run.sh cannot configure after it: $(grep -m1 -i 'does not match\|error' "$work/$name-run.log")"
}
try operator "$src/docs/operator.md" '^## Building'
try readme "$src/README.md" '^Build by hand'
echo "documented builds configure and plan"
