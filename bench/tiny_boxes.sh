#!/usr/bin/env bash
# The box walk's worst case: a file made only of 8-byte boxes, where every
# header is a box of its own. verify walks all of them (and finds no evidence
# box) against one SHA-256 pass over the same file, and the peak resident
# memory of a verify of a tiny evidence file.
# Usage: bench/tiny_boxes.sh [SIZE_MIB] [BUILD_DIR]   (defaults: 1024, build)
set -euo pipefail
cd "$(dirname "$0")/.."

size_mib=${1:-1024}
build=${2:-build}
source bench/scratch_common.sh
bench_setup "$build" hyperfine openssl python3 /usr/bin/time
python3 - "$size_mib" <<'PY'
import sys
chunk = b"\x00\x00\x00\x08free" * (1 << 17)  # 1 MiB of empty free boxes
with open("boxes.mp4", "wb") as f:
    for _ in range(int(sys.argv[1])):
        f.write(chunk)
PY
cat boxes.mp4 > /dev/null  # into the page cache

echo "==> verify of ${size_mib} MiB of 8-byte boxes against one SHA-256 pass"
hyperfine -N -i --warmup 1 --runs ${BENCH_RUNS:-5} \
  -n verify "$vv verify boxes.mp4 --output /dev/null" \
  -n "openssl dgst -sha256" "openssl dgst -sha256 boxes.mp4"

echo "==> peak resident memory of verify on a 40-byte file (KiB)"
printf '\x00\x00\x00\x28uuid\x5a\x51\x32\xaf\x1b\xdc\x4e\x76\x9a\x35\x1d\x8d\x2e\x8a\x3c\x66{"v":2}!!!!!!!!' > small.mp4
/usr/bin/time -f "verify %M KiB" "$vv" verify small.mp4 >/dev/null 2>time.txt || true
grep KiB time.txt
