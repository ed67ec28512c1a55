#!/usr/bin/env bash
# The one list of the Debian packages quillet's scripts need, by group; installs
# the packages of the groups named (default: linux). Idempotent and
# non-interactive; run as root.
#
#   linux    the library, the quillet host and its demo
#   test     the Linux test suite
#   csharp   Mono's C# compiler and runtime, for the C# example's test alone
#   win32    the MinGW cross build of the 32-bit DLL (scripts/build-win32*.sh)
#   win64    the same for the x86_64 DLL (--arch x64)
#   wine     32-bit Wine to run the 32-bit Windows tests (needs i386 packages)
#   wine64   64-bit Wine to run the x64 Windows tests (amd64 packages only)
#   fuzz     clang with libFuzzer (scripts/fuzz.sh)
#   bench    the benchmarks (scripts/bench.sh)
#   package  the release packages (scripts/package.sh)
#   format   clang-format for scripts/format.sh
#
# `install-deps.sh --refresh` only refreshes apt's package lists.
set -euo pipefail

# A mirror caught mid-sync fails an index now and then: try again, and in the
# end go on with the lists apt already has; the install says if they lack a
# package.
refresh_lists() {
  local attempt
  for attempt in 1 2 3; do
    if apt-get update -q; then return 0; fi
    echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" = 3 ] || sleep 15
  done
  echo "install-deps: going on with the package lists apt already has" >&2
}

if [ "${1:-}" = --refresh ]; then
  export DEBIAN_FRONTEND=noninteractive
  refresh_lists
  exit 0
fi

group_packages() {
  case $1 in
    linux) echo build-essential cmake pkg-config libcurl4-openssl-dev libjansson-dev \
      libcpp-httplib-dev libssl-dev openssl libcli11-dev libsodium-dev ;;
    # GoogleTest, python3 for the ctypes example's test, nghttpd as the HTTP/2 server of the job test,
    # minisign to sign what the signature tests verify.
    test) echo googletest libgtest-dev python3 nghttp2-server minisign ;;
    csharp) echo mono-mcs mono-runtime ;;
    # apt-get source needs dpkg-dev; the tests are cross-built with GoogleTest's sources;
    # libsodium's source is configured with the autotools, as Debian builds it;
    # minisign signs the signature tests' data while they are built.
    win32) echo g++-mingw-w64-i686-posix binutils-mingw-w64-i686 dpkg-dev cmake ninja-build \
      pkg-config googletest autoconf automake libtool minisign ;;
    win64) echo g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev cmake ninja-build \
      pkg-config googletest autoconf automake libtool minisign ;;
    # Two groups, installed by separate calls: the i386 lists are often the
    # ones a mirror serves stale, and that must not keep 64-bit Wine away.
    wine) echo wine wine32:i386 ;;
    wine64) echo wine wine64 ;;
    # llvm brings llvm-symbolizer for readable stacks.
    fuzz) echo clang libclang-rt-14-dev llvm ;;
    # A real loopback server, the curl command line and minisign to compare with, Google Benchmark.
    bench) echo nginx-light curl minisign libbenchmark-dev ;;
    # llvm-dlltool (llvm) makes the MSVC import libraries; clang and lld-link
    # (lld) build the MSVC-style consumer; lintian judges the Debian packages;
    # python3 serves the consumers' HTTP requests.
    package) echo zip unzip dpkg-dev llvm lld clang lintian python3 ;;
    format) echo clang-format-14 ;;
    *) echo "install-deps: unknown group '$1'" >&2; return 1 ;;
  esac
}

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(linux)
packages=()
for group in "${groups[@]}"; do
  list=$(group_packages "$group")
  read -r -a listed <<<"$list"
  packages+=("${listed[@]}")
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
refresh_lists
apt-get install -y -q --no-install-recommends "${missing[@]}"
