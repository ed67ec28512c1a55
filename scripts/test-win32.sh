#!/usr/bin/env bash
# Builds quillet.dll and the Windows test programs (scripts/build-win32.sh
# --tests) and runs them with CTest under Wine: each test case in a Windows
# process of its own, against the tests' own loopback servers. Exits non-zero
# when a test fails. Extra arguments go to ctest (e.g. -R platform).
#
# Environment: QUILLET_WIN32_BUILD, QUILLET_WIN32_CACHE (Wine prefix lives
# there), QUILLET_JOBS (ctest parallelism, default 2), QUILLET_TEST_TIME_FACTOR
# (default 4).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${QUILLET_WIN32_BUILD:-$ROOT/build-win32}
CACHE=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
JOBS=${QUILLET_JOBS:-2}

started=$(date +%s)
"$ROOT/scripts/build-win32.sh" --tests
built=$(date +%s)

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "test-win32: WINDOWS TESTS NOT RUN: Wine is not installed and the package registry could not"
  echo "test-win32: supply it (see the install messages above). The DLL and its test programs were built."
  exit 0
fi

# A 32-bit prefix of our own, no display, no Mono or Gecko prompts, and the
# C locale, which Wine maps to English (United States) with ANSI code page 1252.
export WINEPREFIX=$CACHE/wine
export WINEARCH=win32
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
  wineboot -i </dev/null >/dev/null 2>&1
fi
# One wineserver for the whole run; Wine's own services are started here,
# detached from CTest's pipes, so no test waits for them to close.
wineserver -p </dev/null >/dev/null 2>&1 || true  # 2: already running
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT

status=0
log=$(mktemp)
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j"$JOBS" "$@" 2>&1 | tee "$log" || status=$?
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
  ctest --test-dir "$BUILD" --output-on-failure --rerun-failed -j"$JOBS" || status=$?
fi
rm -f "$log"
echo "test-win32: build $((built - started))s, tests under Wine $(( $(date +%s) - built ))s"
exit "$status"
