#!/usr/bin/env bash
# Builds test/embed, a project that takes quillet in with add_subdirectory,
# and runs its consumer against the library built there.
set -euo pipefail
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source/test/embed" -B "$scratch" -DQUILLET_SOURCE_DIR="$source" >/dev/null
cmake --build "$scratch" -j2 >/dev/null
out=$("$scratch/consumer")
echo "add_subdirectory: $out"
[[ $out == "consumer ok "* ]]
