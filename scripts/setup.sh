#!/usr/bin/env bash
# Installs what quillet needs, builds the library and its command-line host,
# and runs the demo: the installer's whole flow against a loopback server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF >/dev/null
cmake --build build/release -j"${QUILLET_JOBS:-2}"
./build/release/cli/quillet demo
