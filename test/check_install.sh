#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a small C consumer
# against it twice, through find_package and through pkg-config, and runs both.
set -euo pipefail
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -x "$scratch/prefix/bin/quillet"

cmake -S "$source/test/consumer" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
out=$("$scratch/cmake-build/consumer")
echo "find_package: $out"
[[ $out == "consumer ok 0"* ]]

libdir=$(find "$scratch/prefix" -name quillet.pc -printf '%h\n' | head -1)
export PKG_CONFIG_PATH=$libdir
cc -std=c99 -Wall -Werror "$source/test/consumer/consumer.c" $(pkg-config --cflags --libs quillet) -o "$scratch/consumer-pc"
out=$(LD_LIBRARY_PATH="$(pkg-config --variable=libdir quillet)" "$scratch/consumer-pc")
echo "pkg-config: $out"
[[ $out == "consumer ok 0"* ]]
