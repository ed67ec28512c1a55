#!/usr/bin/env bash
# Signs what the signature tests check, with minisign itself, at build time:
# the Windows tests run under Wine, where minisign cannot run, and check the
# same signatures. Usage: make_signatures.sh MINISIGN OUTDIR. OUTDIR gets
#   a.pub, b.pub                  two fresh public keys, as minisign writes them
#   manifest.txt                  a small manifest
#   manifest.txt.minisig          its signature by a, hashed ("ED", the default)
#   manifest.txt.legacy.minisig   the same, legacy ("Ed", -l)
#   manifest.txt.b.minisig        its signature by b, hashed
#   empty.minisig                 a's signature of no bytes
#   pattern.minisig               a's signature of the 100 MiB pattern, whose
#                                 byte i is (i + i / 2^20) mod 256; the tests
#                                 write the pattern themselves
set -euo pipefail
minisign=$1
out=$2
work=$out.work
rm -rf "$work" "$out"
mkdir -p "$work"
cd "$work"

# -W: no password on the secret keys, which leave with this folder.
"$minisign" -G -W -p a.pub -s a.key </dev/null >/dev/null
"$minisign" -G -W -p b.pub -s b.key </dev/null >/dev/null
sign() {  # KEY FILE SIGNATURE [minisign options]
  "$minisign" -S -s "$1" -m "$2" -x "$3" -t "quillet test: $2" "${@:4}" </dev/null >/dev/null
}

printf 'https://127.0.0.1/game/data.pak 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 data.pak\n' \
  >manifest.txt
sign a.key manifest.txt manifest.txt.minisig
sign a.key manifest.txt manifest.txt.legacy.minisig -l
sign b.key manifest.txt manifest.txt.b.minisig
: >empty
sign a.key empty empty.minisig

# 256 bytes 0..255, doubled up to 1 MiB; block k of the pattern is that MiB
# rotated by k bytes.
printf "$(printf '\\%03o' $(seq 0 255))" >mib
for _ in $(seq 12); do cat mib mib >mib2 && mv mib2 mib; done
for k in $(seq 0 99); do
  tail -c +$((k % 256 + 1)) mib
  head -c $((k % 256)) mib
done >pattern
sign a.key pattern pattern.minisig

mkdir -p "$out"
mv a.pub b.pub manifest.txt ./*.minisig "$out"
cd /
rm -rf "$work"
