#!/usr/bin/env bash
# audit against what it replaces and against the floor of its work:
#   1,000 small evidence files  vs  verify of each in a shell loop
#   two large evidence files, --jobs 2  vs  two openssl dgst -sha256 side by side
# and the peak resident memory of a worker on a small and on a large file.
# Scratch files live in a temporary directory that is removed at the end.
# Usage: bench/audit.sh [LARGE_MIB] [BUILD_DIR]   (defaults: 1024, build)
set -euo pipefail
cd "$(dirname "$0")/.."

large_mib=${1:-1024}
build=${2:-build}
key=c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721  # a fixed test key

source bench/scratch_common.sh
bench_setup "$build" hyperfine openssl /usr/bin/time

# An evidence file of SIZE_MIB (0: 64 KiB) whose top-level layout is what the
# scanner walks in a recording: an ftyp box, one mdat box of random bytes.
be() { printf "%0${1}x" "$2" | sed 's/../\\x&/g'; }
make_evidence() {
  local out=$1 total=$2
  local payload=$((total - 24 - 16))
  {
    printf '\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2'
    printf "\x00\x00\x00\x01mdat$(be 16 $((payload + 16)))"
    head -c "$payload" /dev/urandom
  } > source.mp4
  "$vv" prepare-attestation source.mp4 --output request.json 2>/dev/null
  "$vv" sign-attestation request.json --nvr-device-id bench-nvr --nvr-key-id bench-key \
    --nvr-private-key-hex "$key" --signed-at-ms 1700000000000 --output envelope.json 2>/dev/null
  "$vv" embed-evidence source.mp4 envelope.json --output "$out" 2>/dev/null
  rm -f source.mp4 request.json envelope.json
}

echo "==> 1,000 evidence files of 64 KiB in $work/small"
mkdir small
make_evidence small/0000.mp4 $((64 * 1024))
for i in $(seq -w 1 999); do cp small/0000.mp4 "small/0$i.mp4"; done
cat small/* > /dev/null  # into the page cache

echo "==> audit of the folder against verify of each file in a shell loop"
hyperfine --warmup 1 --runs ${BENCH_RUNS:-5} \
  -n "verify in a shell loop" \
  "for f in small/*.mp4; do $vv verify \"\$f\" --output /dev/null 2>/dev/null; done" \
  -n "audit --jobs 1" "$vv audit small --recursive --jobs 1 >/dev/null 2>&1 || true" \
  -n "audit (2 workers)" "$vv audit small --recursive >/dev/null 2>&1 || true"

echo "==> two ${large_mib} MiB evidence files"
make_evidence a.mp4 $((large_mib * 1024 * 1024))
cp a.mp4 b.mp4  # the same bytes, a file of its own in the page cache
cat a.mp4 b.mp4 > /dev/null

echo "==> audit --jobs 2 against two SHA-256 passes side by side"
pair="openssl dgst -sha256 a.mp4 >/dev/null & openssl dgst -sha256 b.mp4 >/dev/null; wait"
audit_pair="$vv audit a.mp4 b.mp4 --jobs 2 >/dev/null 2>&1"
hyperfine --warmup 1 --runs ${BENCH_RUNS:-5} \
  -n "audit --jobs 2" "$audit_pair" -n "two openssl dgst -sha256" "$pair"
# In turn, RUNS times (default 9): the neighbours' load then hits both alike.
times=()
for ((i = 0; i < ${RUNS:-9}; i++)); do
  for run in "$audit_pair" "$pair"; do
    start=$EPOCHREALTIME; bash -c "$run"; times+=("$start $EPOCHREALTIME")
  done
done
printf '%s\n' "${times[@]}" | python3 -c '
import statistics, sys
t = [float(b) - float(a) for a, b in (line.split() for line in sys.stdin)]
ours, ref = t[0::2], t[1::2]
print(f"alternating, {len(ours)} rounds (medians): audit {statistics.median(ours):.3f} s,"
      f" two openssl dgst {statistics.median(ref):.3f} s; ratio of medians"
      f" {statistics.median(ours) / statistics.median(ref):.3f}x, median round ratio"
      f" {statistics.median(o / r for o, r in zip(ours, ref)):.3f}x")'

# The largest of the process and its reaped worker, as wait4 reports it: a
# worker's buffer grows with the file up to 16 MiB, then no more.
echo "==> peak resident memory, one worker (KiB)"
make_evidence mid.mp4 $((64 * 1024 * 1024))
for f in small/0000.mp4 mid.mp4 a.mp4; do
  /usr/bin/time -f "audit of $f ($(stat -c %s "$f") bytes) %M KiB" "$vv" audit "$f" --jobs 1 \
    >/dev/null 2>time.txt || true
  grep KiB time.txt
done
