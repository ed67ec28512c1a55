#!/usr/bin/env bash
# Builds the shipped 32-bit Windows library, build-win32/bin/quillet.dll, with
# the MinGW-w64 cross compiler and the static libcurl and jansson from
# scripts/build-win32-deps.sh; with --arch x64 the x86_64 one instead,
# build-win64/bin/quillet.dll. With --tests the Windows test programs are
# built as well (scripts/test-win32.sh runs them under Wine).
#
# Environment: QUILLET_WIN32_BUILD (x86 build directory, default build-win32),
# QUILLET_WIN64_BUILD (x64, default build-win64), QUILLET_BUILD_TYPE (default
# Release), QUILLET_JOBS (default 2).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_TYPE=${QUILLET_BUILD_TYPE:-Release}
JOBS=${QUILLET_JOBS:-2}
TESTS=OFF
ARCH=x86
DEPS_ARGS=()

while [ $# -gt 0 ]; do
  case $1 in
    --tests) TESTS=ON; DEPS_ARGS+=(--wine) ;;
    --arch) [ $# -ge 2 ] || { echo "--arch needs x86 or x64" >&2; exit 2; }; ARCH=$2; shift ;;
    --arch=*) ARCH=${1#--arch=} ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

case $ARCH in
  x86) BUILD=${QUILLET_WIN32_BUILD:-$ROOT/build-win32} TOOLCHAIN=$ROOT/cmake/mingw-i686.cmake ;;
  x64) BUILD=${QUILLET_WIN64_BUILD:-$ROOT/build-win64} TOOLCHAIN=$ROOT/cmake/mingw-x86_64.cmake ;;
  *) echo "unknown architecture '$ARCH' (x86 or x64)" >&2; exit 2 ;;
esac

PREFIX=$("$ROOT/scripts/build-win32-deps.sh" --arch "$ARCH" "${DEPS_ARGS[@]}" | tail -n 1)
[ -f "$PREFIX/.complete" ] || { echo "build-win32: no dependency prefix" >&2; exit 1; }

# Results found in an older prefix are stale once the dependencies were rebuilt.
stamp=$BUILD/.deps-prefix
if [ "$(cat "$stamp" 2>/dev/null)" != "$PREFIX" ]; then
  rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
  mkdir -p "$BUILD"
  echo "$PREFIX" >"$stamp"
fi

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DQUILLET_WIN32_PREFIX:PATH="$PREFIX" \
  -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$BUILD/bin" \
  -DQUILLET_CLI=OFF \
  -DQUILLET_WERROR=ON \
  -DQUILLET_REPRODUCIBLE=ON \
  -DQUILLET_TESTS="$TESTS" >/dev/null

if [ "$TESTS" = ON ]; then
  cmake --build "$BUILD" -j"$JOBS"
else
  cmake --build "$BUILD" -j"$JOBS" --target quillet
fi

dll=$BUILD/bin/quillet.dll
[ -f "$dll" ] || { echo "build-win32: $dll was not produced" >&2; exit 1; }
echo "build-win32: $dll ($(stat -c %s "$dll") bytes)"
