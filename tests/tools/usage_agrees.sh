#!/usr/bin/env bash
# The operator tools' --help, their man pages and docs/operator.md name the
# same options and commands: an operator who reads any one of them can run
# what the others describe.
#
#   tests/tools/usage_agrees.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
status=0
options() { grep -oE -- '--[a-z][a-z-]*' | grep -vx -- '--help' | sort -u; }
commands() { grep -oE 'tarn-publish [a-z]+' | sort -u; }
man_text() { sed 's/\\-/-/g; s/\\f[BIRP]//g; s/^\.[A-Z]* *//' "$1" | tr -d '"'; }
differ() {  # what, one side, other side
  if [ "$2" != "$3" ]; then
    echo "$1 differ:"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") || true
    status=1
  fi
}
for tool in tarn-service tarn-publish; do
  help=$("$build/tools/$tool" --help)
  man=$(man_text "$src/tools/package/man/$tool.1")
  # The synopsis of the man page spreads a command over lines; joined, it
  # reads like the usage.
  differ "$tool --help and its man page: options" "$(options <<<"$help")" "$(options <<<"$man")"
done
publish_help=$("$build/tools/tarn-publish" --help)
differ "tarn-publish --help and its man page: commands" "$(commands <<<"$publish_help")" \
  "$(man_text "$src/tools/package/man/tarn-publish.1" | tr '\n' ' ' | sed 's/  */ /g' | commands)"
# Every option operator.md gives either tool, in a command line or the
# faults table, is one the tool knows.
known=$( ("$build/tools/tarn-service" --help; "$build/tools/tarn-publish" --help) | options)
documented=$(grep -E 'tarn-(service|publish) |^\| `--' "$src/docs/operator.md" | options)
unknown=$(comm -23 <(printf '%s\n' "$documented") <(printf '%s\n' "$known"))
if [ -n "$unknown" ]; then
  echo "docs/operator.md names options no tool knows: $unknown"
  status=1
fi
commands_documented=$(commands <"$src/docs/operator.md")
unknown=$(comm -23 <(printf '%s\n' "$commands_documented") <(commands <<<"$publish_help"))
if [ -n "$unknown" ]; then
  echo "docs/operator.md names commands tarn-publish does not know: $unknown"
  status=1
fi
exit $status
