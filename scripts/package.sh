#!/usr/bin/env bash
# Builds the release artefacts into dist/ and checks them
# (scripts/check-package.sh):
#   quillet-<version>-win32-x86.zip, quillet-<version>-win64-x64.zip
#       bin/quillet.dll, include/quillet/*.h, lib/quillet.lib (MSVC, made by
#       llvm-dlltool), lib/libquillet.dll.a (MinGW), lib/quillet.def, the CMake
#       and pkg-config package files, README.txt, LICENSE and
#       THIRD-PARTY-NOTICES.txt;
#   libquillet1_<version>_amd64.deb      the shared library
#   libquillet-dev_<version>_amd64.deb   headers, .so link, CMake and
#                                        pkg-config files, examples/python
#                                        and examples/csharp
#   quillet_<version>_amd64.deb          the command-line host
#   libquillet1-dbgsym_..., quillet-dbgsym_<version>_amd64.ddeb
#                                        their debug symbols, by build-id
#   quillet-<version>-linux-x86_64.tar.gz  everything, laid out as under /usr
#   SHA256SUMS
# The artefacts are reproducible: their time stamps are the commit's
# (SOURCE_DATE_EPOCH), no build folder reaches them, archive members are
# sorted. check-package.sh builds a second time, elsewhere, to prove it.
#
# Usage: package.sh [--no-check]   (--no-check: build only)
# Environment: QUILLET_JOBS (default 2), QUILLET_WIN32_CACHE (the Windows
# dependency prefixes, see build-win32-deps.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIST=$ROOT/dist
LINUX_BUILD=$ROOT/build/package
JOBS=${QUILLET_JOBS:-2}
CHECK=1
case ${1:-} in
  --no-check) CHECK=0 ;;
  "") ;;
  *) echo "usage: package.sh [--no-check]" >&2; exit 2 ;;
esac

"$ROOT/scripts/install-deps.sh" linux package wine64
# 32-bit Wine runs the x86 zip's consumers where this machine can; without it
# they are built and check-package.sh says that they did not run.
"$ROOT/scripts/install-deps.sh" wine || echo "package: 32-bit Wine could not be installed"

# Flags from the caller's environment would reach every build here.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
# One time for every artefact: the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct) ||
    { echo "package: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -rf "$DIST"
mkdir -p "$DIST"

# --- Linux: Debian packages and the tarball --------------------------------------
# RelWithDebInfo: the debug information goes into the -dbgsym packages.
# Debian's hardening flags, as dpkg-buildflags gives them to a Debian package
# build; its prefix maps name the current folder, CMakeLists.txt sets ours.
# The install RPATH (none) from the start: a build RPATH names the build
# folder, and though the install removes it, the build-id was taken with it.
# Not exported: CMake would take CFLAGS and LDFLAGS from the environment into
# the MinGW builds too.
buildflag() {
  DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath" dpkg-buildflags --get "$1"
}
cppflags=$(buildflag CPPFLAGS)
cmake -S "$ROOT" -B "$LINUX_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  "-DCMAKE_C_FLAGS=$cppflags $(buildflag CFLAGS)" "-DCMAKE_CXX_FLAGS=$cppflags $(buildflag CXXFLAGS)" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$(buildflag LDFLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(buildflag LDFLAGS)" \
  -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON -DQUILLET_REPRODUCIBLE=ON -DQUILLET_TESTS=OFF -DQUILLET_BENCH=OFF -DQUILLET_SANITIZE= >/dev/null
cmake --build "$LINUX_BUILD" -j"$JOBS"
version=$(sed -n 's/^#define QUILLET_VERSION "\(.*\)"$/\1/p' "$LINUX_BUILD/include/quillet/version.h")
[ -n "$version" ] || { echo "package: no version in version.h" >&2; exit 1; }

# The tarball: every component, laid out as under /usr, members sorted.
name=quillet-$version-linux-$(uname -m)
cmake --install "$LINUX_BUILD" --prefix "$stage/$name" >/dev/null
tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --format=gnu \
  -C "$stage" -cf - "$name" | gzip -9n >"$DIST/$name.tar.gz"

rm -rf "$LINUX_BUILD/cpack"
(cd "$LINUX_BUILD" && cpack -B "$LINUX_BUILD/cpack" >/dev/null)

# CPack's Debian packages, brought to Debian's conventions and rebuilt by
# dpkg-deb: ldconfig through a trigger instead of maintainer scripts, a
# symbols file, md5sums
# of the files the package holds (CPack lists a -dbgsym package's by their
# staging path), the doc folder of a -dbgsym package a link to its package's.
# dpkg-deb sorts the members, clamps their times to SOURCE_DATE_EPOCH and
# makes root the owner.
debianize() {
  local in=$1 out=$2 tree=$stage/deb package script
  rm -rf "$tree"
  dpkg-deb -R "$in" "$tree"
  package=$(dpkg-deb -f "$in" Package)
  for script in postinst postrm; do
    if [ -f "$tree/DEBIAN/$script" ]; then
      if grep -vqE '^(#!/bin/sh|set -e|[[:space:]]*|if .*then|fi|[[:space:]]*ldconfig)$' "$tree/DEBIAN/$script"; then
        echo "package: $package's $script does more than ldconfig" >&2
        return 1
      fi
      rm "$tree/DEBIAN/$script"
    fi
  done
  # A shared library: the ldconfig trigger, and a symbols file with the
  # version that introduced each export, as dpkg-gensymbols writes it from
  # cmake/debian/libquillet1.symbols; -c4 fails the build when the library's
  # exports and that file differ, so a new export must be listed there.
  if find "$tree/usr/lib" -maxdepth 2 -type f -name '*.so.*' 2>/dev/null | grep -q .; then
    echo "activate-noawait ldconfig" >"$tree/DEBIAN/triggers"
    (cd "$stage" && dpkg-gensymbols -q -p"$package" -v"$version" -P"$tree" -O"$tree/DEBIAN/symbols" -c4 \
      -I"$ROOT/cmake/debian/$package.symbols")
    sed -i '1a * Build-Depends-Package: libquillet-dev' "$tree/DEBIAN/symbols"
  fi
  if [[ $package == *-dbgsym ]]; then
    mkdir -p "$tree/usr/share/doc"
    ln -s "${package%-dbgsym}" "$tree/usr/share/doc/$package"
  fi
  (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | LC_ALL=C sort |
    xargs -r -d '\n' md5sum >DEBIAN/md5sums)
  chmod 0644 "$tree/DEBIAN/"*
  dpkg-deb --root-owner-group -Zxz --build "$tree" "$out" >/dev/null
}
for deb in "$LINUX_BUILD/cpack/"*_"${version}"_*.deb "$LINUX_BUILD/cpack/"*_"${version}"_*.ddeb; do
  debianize "$deb" "$DIST/$(basename "$deb")"
done

# --- Windows: the two zips -------------------------------------------------------
# THIRD-PARTY-NOTICES.txt for ARCH's DLL, from the Debian packages it was built
# from: the dependency prefix's VERSIONS, the toolchain's copyright files and
# the licence texts that the prefix keeps from the nghttp2 and libsodium
# sources.
notices() {
  local arch=$1 prefix=$2 mingw_dev gcc_runtime curl nghttp2 jansson sodium gcc mingw
  case $arch in
    x86) mingw_dev=mingw-w64-i686-dev gcc_runtime=gcc-mingw-w64-i686-posix-runtime ;;
    x64) mingw_dev=mingw-w64-x86-64-dev gcc_runtime=gcc-mingw-w64-x86-64-posix-runtime ;;
  esac
  curl=$(awk '$1 == "curl" {print $2}' "$prefix/VERSIONS")
  nghttp2=$(awk '$1 == "nghttp2" {print $2}' "$prefix/VERSIONS")
  jansson=$(awk '$1 == "jansson" {print $2}' "$prefix/VERSIONS")
  sodium=$(awk '$1 == "libsodium" {print $2}' "$prefix/VERSIONS")
  gcc=$(awk '$1 ~ /^gcc-mingw-w64/ {print $2}' "$prefix/VERSIONS")
  mingw=$(dpkg-query -W -f='${Version}' "$mingw_dev")
  [ -n "$curl" ] && [ -n "$nghttp2" ] && [ -n "$jansson" ] && [ -n "$sodium" ] && [ -n "$gcc" ] ||
    { echo "package: $prefix/VERSIONS is incomplete" >&2; return 1; }
  cat <<EOF
Third-party software in quillet.dll ($arch)
==========================================

quillet.dll is quillet (LICENSE) with these linked in statically:

  libcurl      Debian source package curl $curl; the curl licence
               (MIT/X style). Section 1 below.
  jansson      Debian source package jansson $jansson; MIT (Expat).
               Section 2 below.
  MinGW-w64    Debian package $mingw_dev $mingw: the C runtime start-up
  runtime      and helper code (ZPL-2.1, public domain and the other
               licences its sections name) and winpthreads, the POSIX
               threads library (MIT style; the sections under
               "mingw-w64-libraries/winpthreads"). Section 3 below.
  libgcc,      Debian package $gcc_runtime $gcc: GPL-3 with the GCC
  libstdc++    Runtime Library Exception, which lets the compiled program
               use any licence. Section 4 below.
  nghttp2      Debian source package nghttp2 $nghttp2, its library alone
               (libcurl's HTTP/2); MIT (Expat). Section 5 below.
  libsodium    Debian source package libsodium $sodium, its library alone
               (the signature checks); ISC. Section 6 below.

Sections 1 to 4 are the Debian copyright file of that package, in full;
section 5 is the COPYING file of the nghttp2 source and section 6 the
LICENSE file of the libsodium source, in full.

EOF
  local n=1 file
  for file in /usr/share/doc/libcurl4/copyright /usr/share/doc/libjansson4/copyright \
    "/usr/share/doc/$mingw_dev/copyright" "/usr/share/doc/$gcc_runtime/copyright"; do
    [ -s "$file" ] || { echo "package: $file is missing" >&2; return 1; }
    printf '\n==== Section %d: the Debian copyright file of %s ====\n\n' "$n" "$(basename "$(dirname "$file")")"
    cat "$file"
    n=$((n + 1))
  done
  for file in "$prefix/share/doc/nghttp2/COPYING" "$prefix/share/doc/libsodium/LICENSE"; do
    [ -s "$file" ] || { echo "package: $file is missing" >&2; return 1; }
    printf '\n==== Section %d: the %s file of the %s source ====\n\n' "$n" "$(basename "$file")" \
      "$(basename "$(dirname "$file")")"
    cat "$file"
    n=$((n + 1))
  done
}

# Members sorted, one time stamp, no extra fields (-X), no directory entries.
reproducible_zip() {  # FOLDER ZIP: FOLDER's contents, under FOLDER's name
  local parent name
  parent=$(dirname "$1") name=$(basename "$1")
  find "$1" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  (cd "$parent" && find "$name" -type f | LC_ALL=C sort | zip -q -X -D -@ "$2")
}

windows_zip() {
  local arch=$1 build name dir prefix def machine kill_at
  case $arch in
    x86) build=${QUILLET_WIN32_BUILD:-$ROOT/build-win32} name=quillet-$version-win32-x86 machine=i386 kill_at=-k ;;
    x64) build=${QUILLET_WIN64_BUILD:-$ROOT/build-win64} name=quillet-$version-win64-x64 machine=i386:x86-64 kill_at= ;;
  esac
  "$ROOT/scripts/build-win32.sh" --arch "$arch"
  prefix=$(cat "$build/.deps-prefix")
  dir=$stage/$name
  for component in libquillet1 libquillet-dev; do
    cmake --install "$build" --prefix "$dir" --component "$component" >/dev/null
  done
  # The export table the DLL was linked with: on x64 the undecorated copy.
  def=$ROOT/src/api/quillet.def
  [ "$arch" = x86 ] || def=$build/quillet-x64.def
  cp "$def" "$dir/lib/quillet.def"
  # -k: on x86 a __stdcall caller refers to _QL_Request@12; the import
  # library maps that to the DLL's plain export QL_Request.
  llvm-dlltool -m "$machine" $kill_at -d "$dir/lib/quillet.def" -l "$dir/lib/quillet.lib"
  cp "$ROOT/LICENSE" "$dir/LICENSE"
  notices "$arch" "$prefix" >"$dir/THIRD-PARTY-NOTICES.txt"
  readme "$arch" >"$dir/README.txt"
  reproducible_zip "$dir" "$DIST/$name.zip"
}

readme() {
  local arch=$1
  if [ "$arch" = x86 ]; then
    sed -e "s/@TITLE@/32-bit Windows (x86)/" -e "s/@CALLING@/ (__stdcall)/" \
      -e "s/@DLLTOOL_MACHINE@/i386/" -e "s/@DLLTOOL_KILL_AT@/ -k/" \
      -e "s/@CLANG_TARGET@/i686-pc-windows-msvc/" -e "s/@MACHINE@/x86/" -e "s/@MINGW@/i686-w64-mingw32/" \
      -e "/@DECORATION@/c\\
  A __stdcall caller refers to _QL_Request@12; -k makes the library give\\
  the DLL the export's plain name, QL_Request. (Made without -k, it would\\
  ask the DLL for QL_Request@12, which the DLL does not export.)" \
      -e "s/@VERSION@/$version/g" "$ROOT/scripts/package-win32-README.txt"
  else
    sed -e "s/@TITLE@/64-bit Windows (x64)/" -e "s/@CALLING@//" \
      -e "s/@DLLTOOL_MACHINE@/i386:x86-64/" -e "s/@DLLTOOL_KILL_AT@//" \
      -e "s/@CLANG_TARGET@/x86_64-pc-windows-msvc/" -e "s/@MACHINE@/x64/" -e "s/@MINGW@/x86_64-w64-mingw32/" \
      -e "/@DECORATION@/d" -e "s/@VERSION@/$version/g" "$ROOT/scripts/package-win32-README.txt"
  fi
}

windows_zip x86
windows_zip x64

(cd "$DIST" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
  xargs -d '\n' sha256sum >SHA256SUMS)
echo "package: the artefacts in $DIST"
cat "$DIST/SHA256SUMS"
if [ "$CHECK" = 1 ]; then
  "$ROOT/scripts/check-package.sh" "$DIST" "$version"
fi
