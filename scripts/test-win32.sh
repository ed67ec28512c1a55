#!/usr/bin/env bash
# Builds quillet.dll and the Windows test programs (scripts/build-win32.sh
# --tests) and runs them with CTest under Wine: each test case in a Windows
# process of its own, against the tests' own loopback servers. Exits non-zero
# when a test fails. --arch x64 does the same for the x86_64 DLL under 64-bit
# Wine (default: x86, 32-bit Wine). Other arguments go to ctest (e.g.
# -R platform).
#
# When Wine is missing, or its loader cannot run on this machine (a kernel
# without 32-bit support cannot run the 32-bit one), the script builds, says
# loudly that the tests did not run, and exits 0.
#
# Environment: QUILLET_WIN32_BUILD / QUILLET_WIN64_BUILD, QUILLET_WIN32_CACHE
# (the Wine prefixes live there), QUILLET_JOBS (ctest parallelism, default 2),
# QUILLET_TEST_TIME_FACTOR (default 4).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
JOBS=${QUILLET_JOBS:-2}
ARCH=x86
CTEST_ARGS=()

while [ $# -gt 0 ]; do
  case $1 in
    --arch) [ $# -ge 2 ] || { echo "--arch needs x86 or x64" >&2; exit 2; }; ARCH=$2; shift ;;
    --arch=*) ARCH=${1#--arch=} ;;
    *) CTEST_ARGS+=("$1") ;;
  esac
  shift
done

case $ARCH in
  x86) BUILD=${QUILLET_WIN32_BUILD:-$ROOT/build-win32} LABEL=32-bit PREFIX_DIR=$CACHE/wine WINE_ARCH=win32 ;;
  x64) BUILD=${QUILLET_WIN64_BUILD:-$ROOT/build-win64} LABEL=x64 PREFIX_DIR=$CACHE/wine64 WINE_ARCH=win64 ;;
  *) echo "unknown architecture '$ARCH' (x86 or x64)" >&2; exit 2 ;;
esac

started=$(date +%s)
"$ROOT/scripts/build-win32.sh" --arch "$ARCH" --tests
built=$(date +%s)

not_run() {
  echo "test-win32: WINDOWS TESTS NOT RUN ($LABEL): $1"
  echo "test-win32: the $LABEL DLL and its test programs were built, not run."
  exit 0
}
# The loader itself must start here before any prefix is made.
source "$ROOT/scripts/wine-loader.sh"
WINE=$(wine_loader "$ARCH") || not_run "$WINE"
command -v wineserver >/dev/null 2>&1 || not_run "Wine's wineserver is not installed"

# A prefix of our own for each architecture, no display, no Mono or Gecko
# prompts, and the C locale, which Wine maps to English (United States) with
# ANSI code page 1252.
export WINEPREFIX=$PREFIX_DIR
export WINEARCH=$WINE_ARCH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
# Everything under Wine runs several times slower: the tests stretch their
# time limits by this factor.
export QUILLET_TEST_TIME_FACTOR=${QUILLET_TEST_TIME_FACTOR:-4}
unset LC_ALL LC_CTYPE LC_MESSAGES
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$CACHE"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-win32: creating the Wine prefix $WINEPREFIX"
  # A file, not a pipe: Wine's services keep their output open long after.
  bootlog=$CACHE/wineboot-$ARCH.log
  if ! "$WINE" wineboot -i </dev/null >"$bootlog" 2>&1; then
    echo "test-win32: wineboot could not create $WINEPREFIX:"
    tail -n 20 "$bootlog"
    exit 1
  fi
fi
# One wineserver for the whole run; Wine's own services are started here,
# detached from CTest's pipes, so no test waits for them to close.
wineserver -p </dev/null >/dev/null 2>&1 || true  # 2: already running
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
TLS_SERVERS_PID=
SILENT_DNS_PID=
SILENT_DIR=$(mktemp -d)
stop() {
  if [ -n "$TLS_SERVERS_PID" ]; then kill "$TLS_SERVERS_PID" 2>/dev/null || true; fi
  if [ -n "$SILENT_DNS_PID" ]; then kill "$SILENT_DNS_PID" 2>/dev/null || true; fi
  rm -rf "$SILENT_DIR"
  wineserver -k >/dev/null 2>&1 || true
}
trap stop EXIT

# The TLS tests' HTTPS servers need OpenSSL, which the cross build lacks: they
# run here, on this machine's loopback, and the tests find their ports in
# QUILLET_TLS_SERVERS (Wine hands the environment on). scripts/test.sh names
# the ones its Linux build made; alone, this script builds them.
tls_servers=${QUILLET_TLS_SERVERS_BIN:-}
silent_dns=${QUILLET_SILENT_DNS_BIN:-}
if [ -z "$tls_servers" ] || [ -z "$silent_dns" ]; then
  native=$ROOT/build/tls-servers
  "$ROOT/scripts/install-deps.sh" linux test
  cmake -S "$ROOT" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_CLI=OFF >/dev/null
  cmake --build "$native" -j"$JOBS" --target quillet_tls_servers quillet_silent_dns >/dev/null
  tls_servers=$native/test/quillet_tls_servers
  silent_dns=$native/test/quillet_silent_dns
fi
coproc TLS_SERVERS { exec "$tls_servers"; }
listening=
read -r -t 60 listening <&"${TLS_SERVERS[0]}" || true
[ -n "$listening" ] || { echo "test-win32: the TLS test servers did not start"; exit 1; }
export QUILLET_TLS_SERVERS=$listening

# The resolver tests need name look-ups that never end: a name server here
# that answers nothing, named by a resolv.conf that only the Wine run sees (a
# mount namespace of its own). Wine resolves names through this machine's
# resolver inside each Windows process. Where that cannot be had, the tests
# skip with the reason given in QUILLET_SILENT_DNS.
CTEST_WRAP=()
"$silent_dns" "$SILENT_DIR/resolv.conf" >"$SILENT_DIR/out" </dev/null 2>&1 &
SILENT_DNS_PID=$!
silent=
for _ in $(seq 100); do
  silent=$(head -n 1 "$SILENT_DIR/out" 2>/dev/null || true)
  [ -n "$silent" ] && break
  sleep 0.1
done
if [ -z "$silent" ]; then
  silent="unavailable: the silent name server did not start"
elif [[ $silent != unavailable* ]]; then
  if reason=$(unshare --mount --propagation private true 2>&1); then
    CTEST_WRAP=(unshare --mount --propagation private --
      sh -c 'mount --bind "$0" /etc/resolv.conf && exec "$@"' "$SILENT_DIR/resolv.conf")
  else
    silent="unavailable: no mount namespace for the Wine run: $reason"
  fi
fi
export QUILLET_SILENT_DNS=$silent

echo "test-win32: the $LABEL suite under $WINE ($WINEARCH prefix $WINEPREFIX)"
status=0
log=$(mktemp)
${CTEST_WRAP[@]+"${CTEST_WRAP[@]}"} ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j"$JOBS" \
  ${CTEST_ARGS[@]+"${CTEST_ARGS[@]}"} 2>&1 | tee "$log" || status=$?
# A Windows program that crashes ends with its exception code (a page fault
# gives exit status 5), which CTest reports as failed. A test reported as
# killed by a signal is Wine's own process dying: about once in twenty suite
# runs, after the program has already printed its result. When every failure
# is of that kind, those tests run once more, and the run says so.
failures=$(sed -n '/^The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true)
if [ "$status" -ne 0 ] && [ -n "$failures" ] &&
   ! grep -qvE '\((SEGFAULT|ILLEGAL|BUS_ERROR|Child aborted)\)$' <<<"$failures"; then
  echo "test-win32: Wine itself died under these tests; running them once more:"
  echo "$failures"
  status=0
  ${CTEST_WRAP[@]+"${CTEST_WRAP[@]}"} ctest --test-dir "$BUILD" --output-on-failure --rerun-failed -j"$JOBS" ||
    status=$?
fi
rm -f "$log"
echo "test-win32 ($LABEL): build $((built - started))s, tests under Wine $(( $(date +%s) - built ))s"
exit "$status"
