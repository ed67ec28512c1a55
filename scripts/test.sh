#!/usr/bin/env bash
# Builds and runs the whole test suite: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build and a ThreadSanitizer build, each with
# warnings as errors; then the 32-bit and the x86_64 Windows DLLs with their
# tests under 32-bit and 64-bit Wine (a machine that cannot run 32-bit
# programs builds the 32-bit ones and says loudly that they did not run).
set -euo pipefail
cd "$(dirname "$0")/.."

# The Windows toolchain and Wine come with the Windows scripts below.
bash scripts/install-deps.sh linux test
# Only the C# example's test needs Mono: where it cannot be installed, that
# test fails and says so, and the rest of the suite still runs.
bash scripts/install-deps.sh csharp || echo "test: Mono could not be installed; csharp_example will fail" >&2

jobs=${QUILLET_JOBS:-2}

run_variant() {
  local name=$1 build_type=$2 sanitize=$3 time_factor=$4
  local dir=build/$name
  echo "== $name build"
  export QUILLET_TEST_TIME_FACTOR=$time_factor
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DQUILLET_SANITIZE="$sanitize" -DQUILLET_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/test/tsan.supp}

# The tests' time limits are stretched by the last argument: instrumented
# builds run several times slower than the plain build (Wine sets its own).
run_variant normal RelWithDebInfo "" 1
run_variant asan Debug address 3
run_variant tsan Debug thread 5

# The Windows tests reach HTTPS servers and a name server that run here; the
# normal build made them.
export QUILLET_TLS_SERVERS_BIN=$PWD/build/normal/test/quillet_tls_servers
export QUILLET_SILENT_DNS_BIN=$PWD/build/normal/test/quillet_silent_dns
echo "== 32-bit Windows DLL under Wine"
bash scripts/test-win32.sh --arch x86
echo "== x64 Windows DLL under 64-bit Wine"
bash scripts/test-win32.sh --arch x64
