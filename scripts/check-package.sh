#!/usr/bin/env bash
# Checks the release artefacts in DIST (scripts/package.sh) as their users
# would use them:
#   - every artefact against dist/SHA256SUMS, printed with its hash;
#   - each Windows zip: its DLL's export table (test/check_exports_win32.sh);
#     test/consumer/win_consumer.c built twice against the zip, with clang for
#     the MSVC target and lld-link against lib/quillet.lib, and with MinGW
#     through find_package; both run under Wine beside the zip's quillet.dll,
#     fetching from a loopback HTTP server, and must fail once that server is
#     stopped. 32-bit Wine cannot run on every machine: then the x86
#     consumers are built, and a NOT RUN line says why;
#   - the Debian packages: their dependencies, copyright files, debug symbols
#     by build-id, test/consumer/consumer.c built through pkg-config and
#     find_package from libquillet1 + libquillet-dev unpacked, and lintian,
#     which must report no error;
#   - the tarball's contents;
#   - reproducibility: the same commit, cloned into another folder and built
#     there (package.sh --no-check), gives byte-identical artefacts.
# Usage: check-package.sh [DIST [VERSION]] [--no-rebuild]
# DIST defaults to dist/, VERSION to the one the project declares.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REBUILD=1
positional=()
for arg in "$@"; do
  case $arg in
    --no-rebuild) REBUILD=0 ;;
    *) positional+=("$arg") ;;
  esac
done
DIST=$(cd "${positional[0]:-$ROOT/dist}" && pwd)
VERSION=${positional[1]:-$(sed -n 's/^project(quillet VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")}
[ -n "$VERSION" ] || { echo "check-package: no version found" >&2; exit 1; }
CONSUMER=$ROOT/test/consumer
CACHE=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
scratch=$(mktemp -d)
SERVER_PID=
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() { echo "check-package: FAILED: $*" >&2; exit 1; }

# --- every artefact, with its hash ------------------------------------------------
[ -s "$DIST/SHA256SUMS" ] || fail "no SHA256SUMS in $DIST"
(cd "$DIST" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the artefacts"
listed=$(awk '{print $2}' "$DIST/SHA256SUMS" | LC_ALL=C sort)
present=$(cd "$DIST" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS does not list exactly the artefacts in $DIST"
echo "check-package: artefacts (sha256):"
sed 's/^/  /' "$DIST/SHA256SUMS"

# --- Windows zips ------------------------------------------------------------------
# The loopback server the consumers fetch from; stop_server ends it.
payload="quillet consumer payload"
mkdir -p "$scratch/www"
echo "$payload" >"$scratch/www/payload.txt"
start_server() {
  : >"$scratch/server.out"
  python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$scratch/www" \
    >"$scratch/server.out" 2>"$scratch/server.err" &
  SERVER_PID=$!
  local port="" i
  for i in $(seq 100); do
    port=$(sed -n 's/^Serving HTTP on 127\.0\.0\.1 port \([0-9]*\) .*/\1/p' "$scratch/server.out")
    [ -z "$port" ] || break
    sleep 0.1
  done
  [ -n "$port" ] || fail "the loopback HTTP server did not start: $(cat "$scratch/server.err")"
  export QUILLET_CONSUMER_URL=http://127.0.0.1:$port/payload.txt QUILLET_CONSUMER_BODY=$payload
}
stop_server() {
  kill "$SERVER_PID"
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
}

# Sets WINE and the prefix for ARCH, or prints why its programs cannot run
# here and returns 1. A prefix of this script's own, so that no other Wine
# user's wineserver -k ends its programs.
source "$ROOT/scripts/wine-loader.sh"
wine_for() {
  WINE=$(wine_loader "$1") || { echo "$WINE"; return 1; }
  case $1 in
    x86) WINEARCH=win32 WINEPREFIX=$CACHE/wine-consumer ;;
    x64) WINEARCH=win64 WINEPREFIX=$CACHE/wine64-consumer ;;
  esac
  export WINEARCH WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
  unset LC_ALL LC_CTYPE LC_MESSAGES DISPLAY WAYLAND_DISPLAY
  mkdir -p "$CACHE"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot -i </dev/null >"$scratch/wineboot.log" 2>&1 ||
      { echo "wineboot failed: $(tail -n 3 "$scratch/wineboot.log")"; return 1; }
  fi
}

# Runs EXE under Wine; output into files, as Wine's services outlive the
# program and would hold a pipe open. Sets RUN_STATUS and RUN_OUT.
run_wine() {
  RUN_STATUS=0
  (cd "$(dirname "$1")" && "$WINE" "$1" </dev/null >"$scratch/run.out" 2>"$scratch/run.err") || RUN_STATUS=$?
  RUN_OUT=$(tr -d '\r' <"$scratch/run.out" | head -n 1)
}

check_zip() {
  local arch=$1 name triple target machine k32 exe label reason
  case $arch in
    x86) name=quillet-$VERSION-win32-x86 triple=i686-w64-mingw32 target=i686-pc-windows-msvc machine=x86 ;;
    x64) name=quillet-$VERSION-win64-x64 triple=x86_64-w64-mingw32 target=x86_64-pc-windows-msvc machine=x64 ;;
  esac
  local zip=$DIST/$name.zip dir=$scratch/$arch/$name
  [ -f "$zip" ] || fail "$zip is missing"
  unzip -q "$zip" -d "$scratch/$arch"
  for file in bin/quillet.dll lib/quillet.lib lib/libquillet.dll.a lib/quillet.def README.txt LICENSE \
    THIRD-PARTY-NOTICES.txt include/quillet/quillet.h include/quillet/version.h \
    lib/cmake/quillet/quilletConfig.cmake lib/pkgconfig/quillet.pc examples/csharp/Quillet.cs \
    examples/csharp/Download.cs; do
    [ -s "$dir/$file" ] || fail "$name: $file is missing"
  done
  # The notices name everything linked into the DLL.
  for part in libcurl nghttp2 jansson libsodium MinGW-w64 winpthreads libgcc libstdc++; do
    grep -qF "$part" "$dir/THIRD-PARTY-NOTICES.txt" || fail "$name: THIRD-PARTY-NOTICES.txt does not name $part"
  done
  # README.txt gives the commands this script runs, not the untried lib /def.
  if grep -qF 'lib /def' "$dir/README.txt"; then fail "$name: README.txt still has the untried lib /def line"; fi
  for line in "clang --target=$target -Iinclude -c app.c" "lld-link /machine:$machine app.obj lib/quillet.lib" \
    "Tried with every release" "find_package(quillet 1 REQUIRED CONFIG)" \
    '<None Include="quillet.dll" CopyToOutputDirectory="PreserveNewest" />'; do
    grep -qF "$line" "$dir/README.txt" || fail "$name: README.txt lacks '$line'"
  done
  # No build machine folder in any member (the MinGW import library once had them).
  if grep -rlaE '/(work|build|home|tmp|root)/' "$dir" | grep -v 'THIRD-PARTY-NOTICES.txt$'; then
    fail "$name: the members above hold a build folder path"
  fi
  "$ROOT/test/check_exports_win32.sh" "$dir/bin/quillet.dll" "$triple-objdump" "$arch" | sed "s/^/$name: /"

  # pkg-config finds the zip's own folders.
  local pc_libs pc_dir
  pc_libs=$(PKG_CONFIG_LIBDIR=$dir/lib/pkgconfig PKG_CONFIG_PATH= pkg-config --libs quillet)
  pc_dir=$(sed -n 's/^-L\([^ ]*\) -lquillet *$/\1/p' <<<"$pc_libs")
  [ -n "$pc_dir" ] && [ "$(realpath "$pc_dir")" = "$(realpath "$dir/lib")" ] ||
    fail "$name: quillet.pc gives '$pc_libs', not the zip's lib folder"

  # MSVC-style: kernel32's import library from its exports the consumer uses.
  local build=$scratch/$arch/consumers
  mkdir -p "$build/msvc" "$build/mingw"
  if [ "$arch" = x86 ]; then
    printf 'LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle@4\nWriteFile@20\nGetEnvironmentVariableA@12\nSleep@4\nExitProcess@4\n' >"$build/kernel32.def"
    llvm-dlltool -m i386 -k -d "$build/kernel32.def" -l "$build/kernel32.lib"
  else
    printf 'LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle\nWriteFile\nGetEnvironmentVariableA\nSleep\nExitProcess\n' >"$build/kernel32.def"
    llvm-dlltool -m i386:x86-64 -d "$build/kernel32.def" -l "$build/kernel32.lib"
  fi
  clang --target="$target" -std=c99 -Wall -Wextra -Werror -O2 -ffreestanding -I"$dir/include" \
    -c "$CONSUMER/win_consumer.c" -o "$build/msvc.obj"
  # /safeseh on x86: the MinGW import library could only be linked with /safeseh:no.
  local safeseh=
  [ "$arch" = x64 ] || safeseh=/safeseh
  lld-link /nologo $safeseh /machine:$machine /subsystem:console /entry:consumer_start /nodefaultlib \
    "$build/msvc.obj" "$dir/lib/quillet.lib" "$build/kernel32.lib" /out:"$build/msvc/consumer.exe" >/dev/null ||
    fail "$name: lld-link could not link against lib/quillet.lib"

  # MinGW through find_package, the zip's folder as the only package root.
  cmake -S "$CONSUMER" -B "$build/mingw-build" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$triple-gcc" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_EXE_LINKER_FLAGS="-static-libgcc" \
    -DCMAKE_PREFIX_PATH="$dir" -DCMAKE_FIND_ROOT_PATH= -DCMAKE_BUILD_TYPE=Release >"$build/mingw-cmake.log" ||
    fail "$name: find_package failed: $(tail -n 20 "$build/mingw-cmake.log")"
  cmake --build "$build/mingw-build" >/dev/null
  mkdir -p "$build/mingw"
  cp "$build/mingw-build/consumer.exe" "$build/mingw/"
  cp "$dir/bin/quillet.dll" "$build/msvc/"
  cp "$dir/bin/quillet.dll" "$build/mingw/"

  # Every name either consumer asks quillet.dll for must be one it exports
  # (an import library made from the decorated .def without -k asks for
  # QL_GenerateULID@4). This holds where Wine cannot run the programs, too.
  local exports imports missing
  exports=$("$triple-objdump" -p "$dir/bin/quillet.dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+(.*)$/\1/p' | LC_ALL=C sort)
  for label in msvc mingw; do
    imports=$("$triple-objdump" -p "$build/$label/consumer.exe" | sed -n '/DLL Name: quillet.dll/,/^$/p' |
      awk 'NR > 2 && NF >= 3 {print $3}' | LC_ALL=C sort)
    [ "$(wc -l <<<"$imports")" = 12 ] || fail "$name: the $label consumer imports $(wc -l <<<"$imports") names from quillet.dll, not 12"
    missing=$(LC_ALL=C comm -23 <(echo "$imports") <(echo "$exports"))
    [ -z "$missing" ] || fail "$name: the $label consumer asks quillet.dll for names it does not export: $missing"
  done
  echo "$name: both consumers import 12 names, all exported by quillet.dll"

  if ! reason=$(wine_for "$arch"); then
    echo "check-package: $name: consumers NOT RUN ($arch): $reason"
    echo "check-package: $name: both consumers were built (clang+lld-link with quillet.lib, MinGW with find_package), not run."
    return 0
  fi
  wine_for "$arch"
  start_server
  for label in msvc mingw; do
    exe=$build/$label/consumer.exe
    run_wine "$exe"
    echo "$name, $label consumer, server up: exit $RUN_STATUS: $RUN_OUT"
    [ "$RUN_STATUS" = 0 ] || fail "$name: $label consumer failed: $(cat "$scratch/run.out" "$scratch/run.err")"
    [[ $RUN_OUT =~ ^consumer\ ok\ [0-9A-Z]{26}\ $VERSION\ $((${#payload} + 1))$ ]] ||
      fail "$name: $label consumer's output is not the expected one"
  done
  stop_server
  for label in msvc mingw; do
    exe=$build/$label/consumer.exe
    run_wine "$exe"
    echo "$name, $label consumer, server stopped: exit $RUN_STATUS: $RUN_OUT"
    [ "$RUN_STATUS" != 0 ] || fail "$name: $label consumer succeeded with the server stopped"
    [[ $RUN_OUT == "consumer FAILED: the request failed, libcurl code 7,"* ]] ||
      fail "$name: $label consumer did not fail for the stopped server"
  done
}
check_zip x86
check_zip x64

# --- Debian packages ---------------------------------------------------------------
deb_of() { echo "$DIST/${1}_${VERSION}_amd64.$2"; }
for package in libquillet1 libquillet-dev quillet; do
  [ -f "$(deb_of $package deb)" ] || fail "$(deb_of $package deb) is missing"
  echo "$package Depends: $(dpkg-deb -f "$(deb_of $package deb)" Depends)"
  dpkg-deb -x "$(deb_of $package deb)" "$scratch/deb-$package"
  [ -s "$scratch/deb-$package/usr/share/doc/$package/copyright" ] ||
    fail "$package has no /usr/share/doc/$package/copyright"
done
for example in python/quillet.py python/download.py python/job.py csharp/Quillet.cs csharp/Download.cs; do
  [ -s "$scratch/deb-libquillet-dev/usr/share/doc/libquillet-dev/examples/$example" ] ||
    fail "libquillet-dev lacks examples/$example"
done
depends=$(dpkg-deb -f "$(deb_of libquillet1 deb)" Depends)
for package in libcurl4 libjansson4 libsodium23; do
  grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "libquillet1: Depends lacks $package"
done
# The library's own dependencies only: the host's HTTP server library stays with the host.
if grep -q httplib <<<"$depends"; then fail "libquillet1 depends on cpp-httplib"; fi
grep -qE "(^|, )libquillet1 \(= $VERSION\)" <<<"$(dpkg-deb -f "$(deb_of libquillet-dev deb)" Depends)" ||
  fail "libquillet-dev does not depend on libquillet1 (= $VERSION)"
grep -qE "(^|, )libquillet1( |,|$)" <<<"$(dpkg-deb -f "$(deb_of quillet deb)" Depends)" ||
  fail "quillet does not depend on libquillet1"
# The host reaches libcurl only through the library's exports.
if grep -q libcurl <<<"$(dpkg-deb -f "$(deb_of quillet deb)" Depends)"; then fail "quillet depends on libcurl"; fi
[ -x "$scratch/deb-quillet/usr/bin/quillet" ] || fail "quillet has no /usr/bin/quillet"
# The symbols file: the twenty-five exports, nothing else, each with the
# version that brought it (the fourteen of 1.0.0, three more in 1.1.0, eight
# in 1.2.0).
symbols=$(dpkg-deb --ctrl-tarfile "$(deb_of libquillet1 deb)" | tar -xOf - ./symbols) ||
  fail "libquillet1 has no symbols file"
[ "$(grep -cE '^ QL_[A-Za-z0-9]+@Base 1\.0\.0$' <<<"$symbols")" = 14 ] &&
  [ "$(grep -cE '^ (QL_DownloadFileEx|QL_RequestDownloadProgress64|QL_RequestError)@Base 1\.1\.0$' <<<"$symbols")" = 3 ] &&
  [ "$(grep -cE '^ (QL_CreateJob|QL_JobProgress|QL_PauseJob|QL_WaitJob|QL_RemoveJob|QL_Verify(Request|File)?Signature)@Base 1\.2\.0$' <<<"$symbols")" = 8 ] &&
  [ "$(grep -c '^ ' <<<"$symbols")" = 25 ] ||
  fail "libquillet1's symbols file does not list exactly the 25 exports with their versions: $symbols"
if find "$scratch/deb-libquillet1" -name '*.h' -o -name 'libquillet.so' | grep -q .; then
  fail "libquillet1 holds development files"
fi

# Debug symbols: the stripped binary's build-id names its file in the -dbgsym package.
for pair in libquillet1:usr/lib/x86_64-linux-gnu/libquillet.so.$VERSION quillet:usr/bin/quillet; do
  package=${pair%%:*} file=$scratch/deb-${pair%%:*}/${pair#*:}
  [ -f "$file" ] || fail "$package: no ${pair#*:}"
  if readelf -S "$file" | grep -q '\.debug_info'; then fail "$package: ${pair#*:} is not stripped"; fi
  id=$(readelf -n "$file" | awk '/Build ID:/ {print $3}')
  [ -n "$id" ] || fail "$package: ${pair#*:} has no build-id"
  dpkg-deb -x "$(deb_of "$package-dbgsym" ddeb)" "$scratch/dbgsym-$package"
  debug=$scratch/dbgsym-$package/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -f "$debug" ] || fail "$package-dbgsym has no .build-id/${id:0:2}/${id:2}.debug"
  readelf -S "$debug" 2>/dev/null | grep -q '\.debug_info' || fail "$package-dbgsym: $debug holds no debug information"
  echo "$package-dbgsym: debug symbols of ${pair#*:} by build-id $id"
done

# A consumer built against libquillet1 + libquillet-dev, unpacked into one root.
root=$scratch/root
dpkg-deb -x "$(deb_of libquillet1 deb)" "$root"
dpkg-deb -x "$(deb_of libquillet-dev deb)" "$root"
pcdir=$root/usr/lib/x86_64-linux-gnu/pkgconfig
libdir=$root/usr/lib/x86_64-linux-gnu
expect_output() {  # NAME FILE: the consumer's line, with the header's version
  local out
  out=$(head -n 1 "$2")
  echo "$1: $out"
  [[ $out == "consumer ok 0"*" $VERSION" ]] || fail "$1: unexpected output"
}
(
  export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH=
  [ "$(pkg-config --modversion quillet)" = "$VERSION" ] || fail "deb: quillet.pc is not version $VERSION"
  cc -std=c99 -Wall -Werror "$CONSUMER/consumer.c" $(pkg-config --cflags --libs quillet) -o "$scratch/consumer-pc"
)
LD_LIBRARY_PATH=$libdir "$scratch/consumer-pc" >"$scratch/pc.out"
expect_output "deb, pkg-config" "$scratch/pc.out"
cmake -S "$CONSUMER" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$scratch/cmake-build/consumer" >"$scratch/cmake.out"
expect_output "deb, find_package" "$scratch/cmake.out"

# lintian: no errors. What else it says is printed.
lintian_out=$(lintian --no-cfg --fail-on error "$DIST"/*.deb "$DIST"/*.ddeb 2>&1 |
  { grep -v 'running with root privileges' || true; }) ||
  { echo "$lintian_out"; fail "lintian reports errors"; }
echo "lintian: $(grep -c '^E:' <<<"$lintian_out" || true) errors, $(grep -c '^W:' <<<"$lintian_out" || true) warnings"
[ -z "$lintian_out" ] || sed 's/^/  /' <<<"$lintian_out"

# --- tar.gz ----------------------------------------------------------------------
tgz=$DIST/quillet-$VERSION-linux-x86_64.tar.gz
[ -f "$tgz" ] || fail "$tgz is missing"
listing=$(tar -tzf "$tgz")
for pattern in "/libquillet\.so\.$VERSION$" /include/quillet/quillet\.h$ /include/quillet/version\.h$ \
  /pkgconfig/quillet\.pc$ /cmake/quillet/quilletConfigVersion\.cmake$ /bin/quillet$; do
  grep -qE "$pattern" <<<"$listing" || fail "tar.gz: nothing matches $pattern"
done

# --- reproducibility -------------------------------------------------------------
if [ "$REBUILD" = 0 ]; then
  echo "check-package: REPRODUCIBILITY NOT CHECKED (--no-rebuild)"
else
  [ -z "$(git -C "$ROOT" status --porcelain)" ] ||
    fail "the work tree has uncommitted changes: the second build is of the commit, so commit first"
  clone=$scratch/second-build/quillet
  git clone -q --no-hardlinks "$ROOT" "$clone"
  git -C "$clone" checkout -q "$(git -C "$ROOT" rev-parse HEAD)"
  echo "check-package: building $(git -C "$clone" rev-parse --short HEAD) a second time, in $clone"
  started=$(date +%s)
  (unset QUILLET_WIN32_BUILD QUILLET_WIN64_BUILD SOURCE_DATE_EPOCH
   bash "$clone/scripts/package.sh" --no-check >"$scratch/second-build.log" 2>&1) ||
    { tail -n 30 "$scratch/second-build.log"; fail "the second build failed"; }
  different=0
  while read -r hash file; do
    if cmp -s "$DIST/$file" "$clone/dist/$file"; then
      echo "  identical: $file"
    else
      echo "  DIFFERENT: $file"; different=1
    fi
  done <"$DIST/SHA256SUMS"
  cmp -s "$DIST/SHA256SUMS" "$clone/dist/SHA256SUMS" || { echo "  DIFFERENT: SHA256SUMS"; different=1; }
  for zip in "$DIST"/*.zip; do
    a=$(unzip -p "$zip" '*/bin/quillet.dll' | sha256sum | cut -d' ' -f1)
    b=$(unzip -p "$clone/dist/$(basename "$zip")" '*/bin/quillet.dll' | sha256sum | cut -d' ' -f1)
    echo "  quillet.dll in $(basename "$zip"): $a / $b"
    [ "$a" = "$b" ] || different=1
  done
  [ "$different" = 0 ] || fail "the second build's artefacts differ"
  echo "check-package: reproducible: a second build in another folder gave identical artefacts ($(( $(date +%s) - started ))s)"
fi
echo "check-package: all packages pass"
