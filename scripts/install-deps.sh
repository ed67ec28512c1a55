#!/usr/bin/env bash
# Installs every Debian package that building and testing quillet needs.
# Idempotent and non-interactive; run as root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libjansson-dev
  googletest libgtest-dev
  libcpp-httplib-dev libssl-dev openssl
  libcli11-dev
  # The ctypes example (examples/python) and its test driver.
  python3
  # The fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the
  # sanitizer runtimes, and llvm-symbolizer for readable stacks.
  clang libclang-rt-14-dev llvm
  g++-mingw-w64-i686-posix
  # The Windows build (scripts/build-win32*.sh): sources via apt-get source,
  # Ninja, and 32-bit Wine for its tests.
  dpkg-dev ninja-build wine wine32:i386
  tmux
  # The benchmarks (scripts/bench.sh): a real loopback server for the large
  # files, the curl command line to compare with, and Google Benchmark.
  nginx-light curl libbenchmark-dev
  # Release packages (scripts/package.sh).
  zip unzip
)

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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
