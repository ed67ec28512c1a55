#!/usr/bin/env bash
# Checks the release packages in DIST (scripts/package.sh) as their users
# would use them, with test/consumer/consumer.c as the program:
#   - the zip: compiled with the MinGW compiler against its header and import
#     library, and run under Wine beside its quillet.dll;
#   - the .deb: unpacked with dpkg-deb -x into a scratch root, built through
#     pkg-config (PKG_CONFIG_SYSROOT_DIR) and through find_package, and run
#     against the root's library; its Depends must name libcurl and jansson;
#   - the .tar.gz: holds the library, the headers and the package files.
# Usage: check-package.sh DIST VERSION
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIST=$(cd "$1" && pwd)
VERSION=$2
CONSUMER=$ROOT/test/consumer
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "check-package: $*" >&2; exit 1; }
expect_output() {  # NAME FILE: the consumer's line, with the header's version
  local out
  out=$(tr -d '\r' <"$2" | head -n 1)
  echo "$1: $out"
  [[ $out == "consumer ok 0"*" $VERSION" ]] || fail "$1: unexpected output"
}

# --- zip -----------------------------------------------------------------------
zip=$DIST/quillet-$VERSION-win32-x86.zip
[ -f "$zip" ] || fail "$zip is missing"
unzip -q "$zip" -d "$scratch/zip"
win=$scratch/zip/quillet-$VERSION-win32-x86
for file in quillet.dll quillet.def libquillet.dll.a README.txt include/quillet/quillet.h \
  include/quillet/version.h licenses/libcurl.txt licenses/jansson.txt; do
  [ -s "$win/$file" ] || fail "zip: $file is missing"
done
grep -qxF '    lib /def:quillet.def /machine:x86' "$win/README.txt" || fail "zip: README.txt lacks the lib line"
i686-w64-mingw32-gcc -std=c99 -Wall -Werror -static-libgcc "$CONSUMER/consumer.c" \
  -I"$win/include" -L"$win" -lquillet -o "$win/consumer.exe"

export WINEPREFIX=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}/wine
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
unset LC_ALL LC_CTYPE LC_MESSAGES DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i </dev/null >/dev/null 2>&1
# Output into files: Wine's server and services outlive the program and
# would hold a pipe open.
wine "$win/consumer.exe" </dev/null >"$scratch/wine.out" 2>"$scratch/wine.err" ||
  fail "zip: consumer.exe failed under Wine: $(cat "$scratch/wine.err")"
expect_output "zip, MinGW, Wine" "$scratch/wine.out"

# --- deb -----------------------------------------------------------------------
deb=$(find "$DIST" -maxdepth 1 -name "quillet_${VERSION}_*.deb" | head -n 1)
[ -n "$deb" ] || fail "no quillet_${VERSION}_*.deb in $DIST"
depends=$(dpkg-deb -f "$deb" Depends)
echo "deb Depends: $depends"
for package in libcurl4 libjansson4; do
  grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "deb: Depends lacks $package"
done
root=$scratch/root
dpkg-deb -x "$deb" "$root"
pcdir=$(find "$root" -name quillet.pc -printf '%h\n' | head -n 1)
libdir=$(find "$root" -name libquillet.so -printf '%h\n' | head -n 1)
[ -n "$pcdir" ] && [ -n "$libdir" ] || fail "deb: no quillet.pc or libquillet.so"
(
  export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH=
  [ "$(pkg-config --modversion quillet)" = "$VERSION" ] || fail "deb: quillet.pc is not version $VERSION"
  flags=$(pkg-config --cflags --libs quillet)
  echo "deb pkg-config: $flags"
  cc -std=c99 -Wall -Werror "$CONSUMER/consumer.c" $flags -o "$scratch/consumer-pc"
)
LD_LIBRARY_PATH=$libdir "$scratch/consumer-pc" >"$scratch/pc.out"
expect_output "deb, pkg-config" "$scratch/pc.out"
cmake -S "$CONSUMER" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$scratch/cmake-build/consumer" >"$scratch/cmake.out"
expect_output "deb, find_package" "$scratch/cmake.out"

# --- tar.gz ----------------------------------------------------------------------
tgz=$(find "$DIST" -maxdepth 1 -name "quillet-${VERSION}-*.tar.gz" | head -n 1)
[ -n "$tgz" ] || fail "no quillet-${VERSION}-*.tar.gz in $DIST"
listing=$(tar -tzf "$tgz")
for pattern in "/libquillet\.so\.$VERSION$" /include/quillet/quillet\.h$ /include/quillet/version\.h$ \
  /pkgconfig/quillet\.pc$ /cmake/quillet/quilletConfigVersion\.cmake$; do
  grep -qE "$pattern" <<<"$listing" || fail "tar.gz: nothing matches $pattern"
done
echo "check-package: all packages pass"
