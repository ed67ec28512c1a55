#!/usr/bin/env bash
# Builds the release packages into dist/ and checks them
# (scripts/check-package.sh):
#   quillet-<version>-win32-x86.zip       quillet.dll, include/quillet/*.h,
#       quillet.def, the MinGW import library, README.txt and the licences
#       of libcurl and jansson, which the DLL links statically;
#   quillet_<version>_amd64.deb           CPack, from a Release Linux build
#   quillet-<version>-linux-x86_64.tar.gz installed under /usr, tests off.
# The Windows build comes from scripts/build-win32.sh (root on first use).
#
# Environment: QUILLET_JOBS (default 2).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIST=$ROOT/dist
LINUX_BUILD=$ROOT/build/package
WIN32_BUILD=${QUILLET_WIN32_BUILD:-$ROOT/build-win32}
JOBS=${QUILLET_JOBS:-2}

# The zip is checked under Wine; the Windows toolchain comes with build-win32.sh.
"$ROOT/scripts/install-deps.sh" linux package wine

# --- Linux: .deb and .tar.gz -------------------------------------------------
cmake -S "$ROOT" -B "$LINUX_BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLET_TESTS=OFF -DQUILLET_BENCH=OFF -DQUILLET_SANITIZE= >/dev/null
cmake --build "$LINUX_BUILD" -j"$JOBS"
version=$(sed -n 's/^#define QUILLET_VERSION "\(.*\)"$/\1/p' "$LINUX_BUILD/include/quillet/version.h")
[ -n "$version" ] || { echo "package: no version in version.h" >&2; exit 1; }

rm -rf "$DIST" "$LINUX_BUILD/cpack"
mkdir -p "$DIST"
(cd "$LINUX_BUILD" && cpack -B "$LINUX_BUILD/cpack" >/dev/null)
mv "$LINUX_BUILD/cpack/quillet_${version}_"*.deb "$LINUX_BUILD/cpack/quillet-${version}-"*.tar.gz "$DIST/"

# --- Windows: the zip ----------------------------------------------------------
QUILLET_WIN32_BUILD=$WIN32_BUILD "$ROOT/scripts/build-win32.sh"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$WIN32_BUILD" --prefix "$stage/install" >/dev/null
name=quillet-$version-win32-x86
dir=$stage/$name
mkdir -p "$dir/include" "$dir/licenses"
cp "$stage/install/bin/quillet.dll" "$stage/install/lib/libquillet.dll.a" "$ROOT/src/api/quillet.def" "$dir/"
cp -r "$stage/install/include/quillet" "$dir/include/"
sed "s/@VERSION@/$version/g" "$ROOT/scripts/package-win32-README.txt" >"$dir/README.txt"
# Debian's copyright files of the packages whose sources the DLL was built from.
licence() {
  local file
  for file in "$@"; do
    if [ -f "$file" ]; then echo "$file"; return 0; fi
  done
  echo "package: none of $* exists" >&2
  return 1
}
cp "$(licence /usr/share/doc/libcurl4/copyright /usr/share/doc/libcurl4-openssl-dev/copyright)" \
  "$dir/licenses/libcurl.txt"
cp "$(licence /usr/share/doc/libjansson4/copyright /usr/share/doc/libjansson-dev/copyright)" \
  "$dir/licenses/jansson.txt"
(cd "$stage" && zip -q -r -X "$DIST/$name.zip" "$name")

ls -l "$DIST"
"$ROOT/scripts/check-package.sh" "$DIST" "$version"
