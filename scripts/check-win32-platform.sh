#!/usr/bin/env bash
# Compiles the Windows platform layer (and the part it shares with POSIX), the
# text module and the portable utilities with the 32-bit MinGW cross compiler,
# so the Windows side keeps building while development happens on Linux. Objects go to a temporary directory.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
compiler="${CXX_WIN32:-i686-w64-mingw32-g++-posix}"

if ! command -v "$compiler" >/dev/null 2>&1; then
  echo "check-win32-platform: $compiler not found (package g++-mingw-w64-i686-posix)" >&2
  exit 1
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# quillet.h includes the version header that CMake generates; make it here
# from the project version.
version=$(sed -n 's/^project(quillet VERSION \([0-9]*\)\.\([0-9]*\)\.\([0-9]*\).*/\1 \2 \3/p' "$root/CMakeLists.txt")
read -r major minor patch <<<"$version"
mkdir -p "$out/include/quillet"
sed -e "s/@PROJECT_VERSION_MAJOR@/$major/g" -e "s/@PROJECT_VERSION_MINOR@/$minor/g" \
    -e "s/@PROJECT_VERSION_PATCH@/$patch/g" "$root/cmake/version.h.in" >"$out/include/quillet/version.h"

shopt -s nullglob
sources=("$root"/src/platform/*.cpp "$root"/src/platform/win32/*.cpp "$root"/src/text/*.cpp "$root"/src/util/*.cpp)
if [ ${#sources[@]} -eq 0 ]; then
  echo "check-win32-platform: no sources found" >&2
  exit 1
fi

failed=0
for source in "${sources[@]}"; do
  relative="${source#"$root"/}"
  object="$out/$(echo "$relative" | tr '/' '_').o"
  if ! (cd "$root" && "$compiler" -std=c++17 -Wall -Wextra -Wpedantic -Wshadow -Werror \
        -Isrc -Iinclude -I"$out/include" -c "$relative" -o "$object"); then
    echo "check-win32-platform: FAILED $relative" >&2
    failed=1
  fi
done

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "check-win32-platform: ${#sources[@]} files compiled"
