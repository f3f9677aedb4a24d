#!/usr/bin/env bash
# End-to-end figures for verify and embed-evidence on a large recording held
# in the page cache, each against the floor of its own work:
#   verify         vs  one SHA-256 pass over the file (openssl dgst)
#   embed-evidence vs  two SHA-256 passes plus one copy of the file
# and the peak resident memory of both. Scratch files live in a temporary
# directory that is removed at the end.
# Usage: bench/evidence.sh [SIZE_MIB] [BUILD_DIR]   (defaults: 2048, build)
set -euo pipefail
cd "$(dirname "$0")/.."

size_mib=${1:-2048}
build=${2:-build}
key=c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721  # a fixed test key

source bench/scratch_common.sh
bench_setup "$build" hyperfine openssl /usr/bin/time

echo "==> ${size_mib} MiB source in $work"
# A well-formed top-level layout, as the scanner walks it: an ftyp box, then
# one mdat box (largesize header) of random bytes filling the rest.
total=$((size_mib * 1024 * 1024))
payload=$((total - 24 - 16))
be() { printf "%0${1}x" "$2" | sed 's/../\\x&/g'; }
{
  printf '\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2'
  printf "\x00\x00\x00\x01mdat$(be 16 $((payload + 16)))"
  head -c "$payload" /dev/urandom
} > src.mp4
"$vv" prepare-attestation src.mp4 --output request.json 2>/dev/null
"$vv" sign-attestation request.json --nvr-device-id bench-nvr --nvr-key-id bench-key \
  --nvr-private-key-hex "$key" --signed-at-ms 1700000000000 --output envelope.json 2>/dev/null
"$vv" embed-evidence src.mp4 envelope.json --output evidence.mp4 2>/dev/null
cat src.mp4 evidence.mp4 > /dev/null  # into the page cache

echo "==> verify against one SHA-256 pass"
hyperfine -N --warmup 1 --runs ${BENCH_RUNS:-5} \
  -n verify "$vv verify evidence.mp4" \
  -n "openssl dgst -sha256" "openssl dgst -sha256 evidence.mp4"

echo "==> embed-evidence against two SHA-256 passes and one copy (with and without fsync)"
hyperfine --warmup 1 --runs ${BENCH_RUNS:-5} \
  -n embed-evidence "$vv embed-evidence src.mp4 envelope.json --output out.mp4 2>/dev/null" \
  -n "floor: dgst + cp + dgst" \
  "openssl dgst -sha256 src.mp4 >/dev/null && cp src.mp4 floor.mp4 && openssl dgst -sha256 floor.mp4 >/dev/null" \
  -n "floor with fsync: dgst + dd conv=fsync + dgst" \
  "openssl dgst -sha256 src.mp4 >/dev/null && dd if=src.mp4 of=floor.mp4 bs=16M conv=fsync status=none && openssl dgst -sha256 floor.mp4 >/dev/null"

echo "==> peak resident memory (KiB)"
/usr/bin/time -f "verify          %M KiB" "$vv" verify evidence.mp4 >/dev/null 2>/tmp/vorlant-bench-time.$$ || true
grep KiB /tmp/vorlant-bench-time.$$
/usr/bin/time -f "embed-evidence  %M KiB" "$vv" embed-evidence src.mp4 envelope.json --output out.mp4 2>/tmp/vorlant-bench-time.$$
grep KiB /tmp/vorlant-bench-time.$$
/usr/bin/time -f "embed to stdout %M KiB" "$vv" embed-evidence src.mp4 envelope.json >/dev/null 2>/tmp/vorlant-bench-time.$$
grep KiB /tmp/vorlant-bench-time.$$
rm -f /tmp/vorlant-bench-time.$$
