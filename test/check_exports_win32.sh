#!/usr/bin/env bash
# quillet.dll must be a PE image of the build's architecture (PE32 i386, or
# PE32+ x86-64) whose export table holds exactly the QL_ functions under
# their plain names: the fourteen of 1.0 at ordinals 1 to 14 in alphabetical
# order, then those added since at 15 on, in the order added; and which
# needs no DLL beyond the system's own (the compiler runtime, libcurl,
# nghttp2, jansson and libsodium are linked in).
#
# Usage: check_exports_win32.sh DLL [OBJDUMP [x86|x64]]; the architecture
# defaults to the one the toolchain's objdump is named for.
set -euo pipefail
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
case ${3:-$(basename "$objdump")} in
  x64|x86_64-*) arch=x64 format=pei-x86-64 magic='020b[[:space:]]+\(PE32\+\)' ;;
  x86|i686-*) arch=x86 format=pei-i386 magic='010b[[:space:]]+\(PE32\)' ;;
  *) echo "check_exports_win32: cannot tell the architecture from '$objdump'"; exit 2 ;;
esac

expected="1 QL_CancelRequest
2 QL_Cleanup
3 QL_DownloadFile
4 QL_GenerateULID
5 QL_GetStringByPath
6 QL_Initialize
7 QL_ParseJSON
8 QL_PullLogRecord
9 QL_RemoveRequest
10 QL_Request
11 QL_RequestData
12 QL_RequestDownloadProgress
13 QL_RequestInfo
14 QL_SendStats
15 QL_DownloadFileEx
16 QL_RequestDownloadProgress64
17 QL_RequestError
18 QL_CreateJob
19 QL_JobProgress
20 QL_PauseJob
21 QL_WaitJob
22 QL_RemoveJob
23 QL_VerifySignature
24 QL_VerifyRequestSignature
25 QL_VerifyFileSignature"

failed=0
fail() { echo "check_exports_win32: $*"; failed=1; }

headers=$("$objdump" -p "$dll")

grep -qE "file format $format\$" <<<"$headers" || fail "not a $format image"
grep -qE "^Magic[[:space:]]+$magic" <<<"$headers" || fail "wrong PE magic for $arch"
sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -qE '^[[:space:]]+DLL$' || fail "image is not marked as a DLL"

base=$(awk '/^Ordinal Base/ {print $3}' <<<"$headers")
count=$(awk '/Export Address Table[[:space:]]+[0-9a-f]+$/ && !seen {print $4; seen=1}' <<<"$headers")
[ -n "$base" ] || fail "no export table"
# Entries in the address table without a name would be ordinal-only exports.
[ "$((16#${count:-0}))" = 25 ] || fail "export address table has $((16#${count:-0})) entries, expected 25"

# Name table rows look like "[   3] QL_GenerateULID": the index into the
# address table, which is the ordinal minus the ordinal base. They come in
# the order of the names; compared in the order of the ordinals.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
  sed -nE 's/^[[:space:]]*\[[[:space:]]*([0-9]+)\][[:space:]]+(.*)$/\1 \2/p' |
  awk -v base="${base:-0}" '{print $1 + base, $2}' | sort -n)
if [ "$actual" != "$expected" ]; then
  fail "unexpected exports (ordinal name):"
  diff <(echo "$expected") <(echo "$actual") || true
fi

# Only the system's own DLLs may be imported.
allowed='^(kernel32|msvcrt|advapi32|bcrypt|crypt32|ws2_32|secur32|normaliz|user32|shell32|ucrtbase|winhttp|api-ms-win-.*)\.dll$'
while read -r name; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$name")
  [[ $lower =~ $allowed ]] || fail "imports $name, which the installer would have to ship"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

[ "$failed" = 0 ] || exit 1
echo "check_exports_win32: $format DLL, 25 exports with ordinals 1-25, system imports only"
