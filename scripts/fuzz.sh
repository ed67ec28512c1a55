#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan + UBSan) and runs
# each for SECONDS (default 60), seeded from a scratch copy of
# fuzz/corpus/<name>/ so that the runs never write into the tree; the JSON
# target also reads the conformance cases in test/data. Fails when a target
# crashes, times out or runs out of memory; the input that did it is kept in
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux fuzz

seconds=${1:-60}
jobs=${QUILLET_JOBS:-2}
dir=build/fuzz
artifacts=$PWD/$dir/artifacts

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_FUZZ=ON -DQUILLET_TESTS=OFF -DQUILLET_CLI=OFF \
  -DQUILLET_WERROR=ON >/dev/null
cmake --build "$dir" -j"$jobs" --target fuzz_json fuzz_text fuzz_format

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

status=0
for name in json text format; do
  mkdir "$work/$name"
  cp fuzz/corpus/"$name"/* "$work/$name/"
  seeds=("$work/$name")
  if [ "$name" = json ]; then seeds+=(test/data/JSONTestSuite/test_parsing); fi
  echo "== fuzz_$name for $seconds s"
  # New inputs go to the first directory only: the scratch copy.
  if "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
      "${seeds[@]}" >"$work/$name.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$work/$name.log"
  else
    tail -n 60 "$work/$name.log"
    echo "fuzz_$name failed; its input is in $artifacts" >&2
    status=1
  fi
done
exit $status
