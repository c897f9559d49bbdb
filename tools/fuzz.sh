#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build/fuzz and runs
# each one over its seed corpus:
#   tools/fuzz.sh                 20000 runs per target (the test command's step)
#   tools/fuzz.sh -runs=1000000   any libFuzzer options, for a longer run
#   TARGETS="json dispatch" tools/fuzz.sh ...   only some targets
# New inputs the fuzzer finds go to a temporary folder, never into the
# committed corpus; an input that breaks a target is kept in
# build/fuzz/artifacts/ and the script fails naming it.
set -euo pipefail
cd "$(dirname "$0")/.."

options=("$@")
[ ${#options[@]} -gt 0 ] || options=(-runs=20000)
targets=${TARGETS:-"json base64 file_list accounts_file install_files version_file download_head dispatch service_url build_floor epoch_table block_index"}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON \
  -DTARN_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzzers

artifacts=$PWD/build/fuzz/artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for name in $targets; do
  binary=build/fuzz/tests/fuzz/fuzz-${name//_/-}
  mkdir -p "$scratch/$name"
  start=$SECONDS
  if "$binary" "${options[@]}" -artifact_prefix="$artifacts/$name-" -print_final_stats=1 \
      "$scratch/$name" "tests/fuzz/corpus/$name" >"$scratch/$name.log" 2>&1; then
    stats=$(grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$scratch/$name.log" | tail -2 | tr '\n' ' ')
    echo "fuzz $name: ok in $((SECONDS - start)) s; $stats"
  else
    echo "fuzz $name: FAILED"
    grep -E 'property broken|ERROR|SUMMARY|Test unit written' "$scratch/$name.log" | head -10
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (inputs in $artifacts)"
  exit 1
fi
