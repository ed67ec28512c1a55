#!/usr/bin/env bash
# Builds everything the Windows build of quillet links against, from Debian's
# archive only, for 32-bit x86 (--arch x86, the default) or x86_64 (--arch x64):
#   - the i686 or x86_64 MinGW-w64 cross compiler (POSIX thread model),
#   - libcurl, nghttp2, jansson and libsodium from Debian's own source
#     packages (apt-get source), cross-built as static libraries; libcurl uses
#     Schannel and speaks HTTP only, HTTP/1.1 and HTTP/2 (nghttp2's library
#     alone, no programs), with no optional compression, IDN, PSL or LDAP
#     libraries; libsodium checks the signatures of manifests,
#   - GoogleTest from Debian's googletest sources, for the cross-built tests.
# With --wine it also installs the Wine that runs those tests (wine32 for x86,
# wine64 for x64); when that fails the build goes on.
#
# The result is a prefix under $QUILLET_WIN32_CACHE (default
# ~/.cache/quillet-win32) whose name holds the architecture and a key derived
# from the package versions and this recipe, so a second run only checks and
# prints the prefix, and the two architectures' prefixes live side by side.
# The prefix is the only thing written to standard output; progress goes to
# stderr.
#
# Needs root (apt-get). Non-interactive and safe to run again.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
JOBS=${QUILLET_JOBS:-2}
WITH_WINE=0
ARCH=x86

while [ $# -gt 0 ]; do
  case $1 in
    --wine) WITH_WINE=1 ;;
    --arch) ARCH=${2:-}; shift ;;
    --arch=*) ARCH=${1#--arch=} ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done

case $ARCH in
  x86) TOOLCHAIN=$ROOT/cmake/mingw-i686.cmake GCC_PACKAGE=gcc-mingw-w64-i686-posix
    TRIPLE=i686-w64-mingw32 TOOL_GROUP=win32 WINE_GROUP=wine ;;
  x64) TOOLCHAIN=$ROOT/cmake/mingw-x86_64.cmake GCC_PACKAGE=gcc-mingw-w64-x86-64-posix
    TRIPLE=x86_64-w64-mingw32 TOOL_GROUP=win64 WINE_GROUP=wine64 ;;
  *) echo "unknown architecture '$ARCH' (x86 or x64)" >&2; exit 2 ;;
esac

log() { echo "[win32-deps $ARCH] $*" >&2; }

export DEBIAN_FRONTEND=noninteractive

APT_UPDATED=0
apt_update() {
  if [ "$APT_UPDATED" = 0 ]; then
    log "apt-get update"
    "$ROOT/scripts/install-deps.sh" --refresh >&2
    APT_UPDATED=1
  fi
}

# The packages themselves come from the project's one list.
install_groups() {
  "$ROOT/scripts/install-deps.sh" "$@" >&2
}

# Adds deb-src to the existing Debian entries (no new hosts).
enable_deb_src() {
  local changed=0 f
  for f in /etc/apt/sources.list.d/debian.sources; do
    [ -f "$f" ] || continue
    if grep -qE '^Types:[[:space:]]*deb[[:space:]]*$' "$f"; then
      sed -i -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb deb-src/' "$f"
      changed=1
    fi
  done
  f=/etc/apt/sources.list
  if [ -f "$f" ] && grep -qE '^deb[[:space:]]' "$f"; then
    local line src
    while IFS= read -r line; do
      src="deb-src${line#deb}"
      if ! grep -qxF "$src" "$f"; then
        echo "$src" >>"$f"
        changed=1
      fi
    done < <(grep -E '^deb[[:space:]]' "$f")
  fi
  if [ "$changed" = 1 ]; then
    log "enabled deb-src entries"
    APT_UPDATED=0
    apt_update
  fi
}

# Newest version of a source package known to apt.
source_version() {
  local best="" v
  for v in $(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ {print $2}'); do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  echo "$best"
}

# --- toolchain -------------------------------------------------------------
install_groups "$TOOL_GROUP"
# Wine only runs the tests: when the package registry cannot supply it (its
# 32-bit lists caught mid-sync, say), the build goes on and the test script
# says that nothing ran.
if [ "$WITH_WINE" = 1 ] && ! install_groups "$WINE_GROUP"; then
  log "Wine could not be installed; the Windows tests can be built but not run"
fi

enable_deb_src
curl_version=$(source_version curl)
jansson_version=$(source_version jansson)
nghttp2_version=$(source_version nghttp2)
sodium_version=$(source_version libsodium)
if [ -z "$curl_version" ] || [ -z "$jansson_version" ] || [ -z "$nghttp2_version" ] || [ -z "$sodium_version" ]; then
  APT_UPDATED=0
  apt_update
  curl_version=$(source_version curl)
  jansson_version=$(source_version jansson)
  nghttp2_version=$(source_version nghttp2)
  sodium_version=$(source_version libsodium)
fi
[ -n "$curl_version" ] || { log "no curl source package known to apt"; exit 1; }
[ -n "$nghttp2_version" ] || { log "no nghttp2 source package known to apt"; exit 1; }
[ -n "$jansson_version" ] || { log "no jansson source package known to apt"; exit 1; }
[ -n "$sodium_version" ] || { log "no libsodium source package known to apt"; exit 1; }
gcc_version=$(dpkg-query -W -f='${Version}' "$GCC_PACKAGE")
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
# The recipe is this script and the compiler choice of the toolchain files;
# other toolchain settings do not change what gets built here.
recipe=$({ cat "$0"; grep -hE '^set\((QUILLET_MINGW_TRIPLE|CMAKE_SYSTEM_|CMAKE_C_COMPILER|CMAKE_CXX_COMPILER)' \
  "$TOOLCHAIN" "$ROOT/cmake/mingw-common.cmake"; } | sha256sum | cut -c1-12)
key=$(printf 'arch=%s curl=%s nghttp2=%s jansson=%s libsodium=%s gcc=%s gtest=%s recipe=%s' \
  "$ARCH" "$curl_version" "$nghttp2_version" "$jansson_version" "$sodium_version" "$gcc_version" "$gtest_version" \
  "$recipe" |
  sha256sum | cut -c1-16)
PREFIX=$CACHE/prefix-$ARCH-$key

mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9

if [ -f "$PREFIX/.complete" ]; then
  log "cached: $PREFIX"
  echo "$PREFIX"
  exit 0
fi

log "building into $PREFIX (curl $curl_version, nghttp2 $nghttp2_version, jansson $jansson_version," \
  "libsodium $sodium_version, googletest $gtest_version)"
started=$(date +%s)
WORK=$CACHE/work-$ARCH-$key
rm -rf "$WORK" "$PREFIX"
mkdir -p "$WORK/src" "$PREFIX"

# --- sources ---------------------------------------------------------------
(
  cd "$WORK/src"
  # apt's sandbox user cannot write to root's cache; downloading as root is fine here.
  apt-get source -qq -o APT::Sandbox::User=root \
    "curl=$curl_version" "nghttp2=$nghttp2_version" "jansson=$jansson_version" "libsodium=$sodium_version" >&2
)
curl_src=$(find "$WORK/src" -maxdepth 1 -type d -name 'curl-*' | head -n1)
nghttp2_src=$(find "$WORK/src" -maxdepth 1 -type d -name 'nghttp2-*' | head -n1)
jansson_src=$(find "$WORK/src" -maxdepth 1 -type d -name 'jansson-*' | head -n1)
sodium_src=$(find "$WORK/src" -maxdepth 1 -type d -name 'libsodium-*' | head -n1)

# The prefix map keeps this cache's folder out of the libraries: libcurl names
# its sources with __FILE__, and they end up in quillet.dll. EXTRA_CFLAGS, set
# for one call, adds to the C flags of that build.
cmake_cross() {
  local src=$1 build=$2 cflags="-ffile-prefix-map=$WORK=. ${EXTRA_CFLAGS:-}"
  shift 2
  cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_CROSSCOMPILING_EMULATOR= \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    "-DCMAKE_C_FLAGS=${cflags% }" "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$WORK=." \
    "$@" >&2
  cmake --build "$build" -j"$JOBS" >&2
  cmake --install "$build" >&2
}

# --- nghttp2: the static library alone, for libcurl's HTTP/2 ---------------
# Without the programs, examples and documents nothing else of the source is
# built; their optional libraries (OpenSSL, libev, ...) are not looked for,
# nor Python, which only the summary would name.
# MinGW has both clock_gettime (winpthreads) and GetTickCount64; with both
# found, this nghttp2 compiles its clock_gettime branch, whose fallback is
# left out for GetTickCount64 builds, and the library refers to a function it
# never defines (time_now_sec). Not probing clock_gettime leaves Windows' own
# monotonic tick count.
log "nghttp2"
cmake_cross "$nghttp2_src" "$WORK/build-nghttp2" \
  -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF -DENABLE_DOC=OFF \
  -DENABLE_HTTP3=OFF -DENABLE_FAILMALLOC=OFF -DENABLE_WERROR=OFF -DENABLE_DEBUG=OFF \
  -DWITH_LIBXML2=OFF -DWITH_JEMALLOC=OFF -DWITH_MRUBY=OFF -DWITH_NEVERBLEED=OFF -DWITH_LIBBPF=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON -DCMAKE_DISABLE_FIND_PACKAGE_CUnit=ON \
  -DHAVE_CLOCK_GETTIME=OFF
if ! grep -qE '^#define HAVE_GETTICKCOUNT64 1' "$WORK/build-nghttp2/config.h"; then
  log "nghttp2 found no GetTickCount64"
  exit 1
fi
# The notices that ship with the DLL quote the source's own licence text.
install -D -m 0644 "$nghttp2_src/COPYING" "$PREFIX/share/doc/nghttp2/COPYING"

# --- libcurl: static, Schannel, HTTP only, HTTP/2 through nghttp2 ----------
# The library and header are named outright: the toolchain's search root is
# MinGW's own folder, not this prefix. NGHTTP2_STATICLIB keeps nghttp2.h from
# declaring its functions as imports from a DLL. HAS_ALPN: this libcurl turns
# on Schannel's ALPN for MSVC alone, though MinGW-w64's headers have had what
# it needs since version 9; without ALPN no TLS server is ever asked for
# HTTP/2. libcurl itself leaves ALPN off under Wine and before Windows 8.1.
log "libcurl"
EXTRA_CFLAGS="-DNGHTTP2_STATICLIB -DHAS_ALPN=1" cmake_cross "$curl_src" "$WORK/build-curl" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
  -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DUSE_WIN32_LDAP=OFF \
  -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
  -DUSE_NGHTTP2=ON -DNGHTTP2_INCLUDE_DIR="$PREFIX/include" -DNGHTTP2_LIBRARY="$PREFIX/lib/libnghttp2.a" \
  -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF \
  -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
  -DENABLE_UNIX_SOCKETS=OFF -DENABLE_THREADED_RESOLVER=ON -DPICKY_COMPILER=OFF \
  -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
# Schannel trusts the Windows certificate store; a CA path of the build host
# baked into the library would break every TLS handshake there.
if grep -q '/etc/ssl' "$PREFIX/bin/curl-config"; then
  log "libcurl picked up the build host's CA bundle"
  exit 1
fi
if ! sh "$PREFIX/bin/curl-config" --features | grep -qx HTTP2; then
  log "libcurl was built without HTTP/2"
  exit 1
fi

# --- jansson: static, its own build so the config header is probed ---------
log "jansson"
cmake_cross "$jansson_src" "$WORK/build-jansson" \
  -DJANSSON_BUILD_SHARED_LIBS=OFF -DJANSSON_EXAMPLES=OFF -DJANSSON_WITHOUT_TESTS=ON \
  -DJANSSON_BUILD_DOCS=OFF -DUSE_URANDOM=OFF -DUSE_WINDOWS_CRYPTOAPI=ON
# Documents are shared across threads; their reference counts must be atomic.
if ! grep -qE '^#define JSON_HAVE_ATOMIC_BUILTINS 1' "$PREFIX/include/jansson_config.h"; then
  log "jansson_config.h lacks atomic reference counting"
  exit 1
fi

# --- libsodium: static, for the signature checks -----------------------------
# Debian's source has no configure script: Debian's own build regenerates it
# with autoreconf, and so does this one (autogen.sh would also fetch files).
# --enable-minimal keeps what the signature checks use (Ed25519, BLAKE2b) and
# drops the deprecated rest. Stack protection would need libssp; libsodium's
# configure leaves it off for MinGW anyway. SODIUM_STATIC, which quillet
# defines, keeps sodium.h from declaring DLL imports.
log "libsodium"
(cd "$sodium_src" && autoreconf -fi >&2)
mkdir -p "$WORK/build-sodium"
(
  cd "$WORK/build-sodium"
  "$sodium_src/configure" --host="$TRIPLE" --prefix="$PREFIX" \
    --disable-shared --enable-static --enable-minimal --disable-ssp \
    CC="$TRIPLE-gcc-posix" AR="$TRIPLE-ar" RANLIB="$TRIPLE-ranlib" \
    CFLAGS="-O2 -ffile-prefix-map=$WORK=." >&2
  make -j"$JOBS" >&2
  make install >&2
)
install -D -m 0644 "$sodium_src/LICENSE" "$PREFIX/share/doc/libsodium/LICENSE"

# --- GoogleTest for the cross-built test programs --------------------------
log "googletest"
cmake_cross /usr/src/googletest "$WORK/build-gtest" \
  -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=ON

for lib in libcurl.a libnghttp2.a libjansson.a libsodium.a libgtest.a libgtest_main.a; do
  [ -f "$PREFIX/lib/$lib" ] || { log "missing $PREFIX/lib/$lib"; exit 1; }
done

printf 'arch %s\ncurl %s\nnghttp2 %s\njansson %s\nlibsodium %s\n%s %s\ngoogletest %s\n' \
  "$ARCH" "$curl_version" "$nghttp2_version" "$jansson_version" "$sodium_version" "$GCC_PACKAGE" "$gcc_version" \
  "$gtest_version" >"$PREFIX/VERSIONS"
touch "$PREFIX/.complete"
rm -rf "$WORK"
# Older recipes or package versions of this architecture are no longer
# wanted, nor what was named before the architecture was part of the name;
# work folders left are from builds that were stopped (the lock is ours).
find "$CACHE" -mindepth 1 -maxdepth 1 \
  \( -name "prefix-$ARCH-*" -o -name "work-$ARCH-*" -o -regex '.*/\(prefix\|work\)-[0-9a-f]+' \) \
  ! -name "prefix-$ARCH-$key" -exec rm -rf {} +
log "built in $(( $(date +%s) - started ))s: $PREFIX"
echo "$PREFIX"
