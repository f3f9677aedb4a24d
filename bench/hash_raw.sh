#!/usr/bin/env bash
# hash-raw-rgba on a 500-frame file on standard input, against the sum of
# the core hash time and the time to read one frame from that file.
# Usage: bench/hash_raw.sh [BUILD_DIR]   (default build/; needs hyperfine, ffmpeg)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=bench/out
frames=500
mkdir -p "$out"
file=$out/frames-$frames.rgba

cmake --build "$build" --target vorlant-verify pdq_bench >/dev/null
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne $((frames * 1048576)) ]; then
  ffmpeg -v error -f lavfi -i "testsrc2=size=512x512:rate=25" -frames:v $frames \
    -pix_fmt rgba -f rawvideo -y "$file"
fi
cat "$file" >/dev/null  # into the page cache, as for every run below

# Both through the shell, so its start-up cost (a millisecond, spread over
# 500 frames) appears on both sides.
hyperfine --warmup 2 --runs 10 --export-json "$out/hash_raw.json" \
  "$build/vorlant-verify hash-raw-rgba <$file >/dev/null"
hyperfine --warmup 2 --runs 10 --export-json "$out/read.json" \
  "dd if=$file of=/dev/null bs=1048576 status=none"
"$build/bench/pdq_bench" --benchmark_filter='BM_PdqHashSelected' --benchmark_min_time=2 \
  --benchmark_format=json >"$out/pdq.json"

python3 - "$out" $frames <<'PY'
import json, sys
out, frames = sys.argv[1], int(sys.argv[2])
cmd = json.load(open(f"{out}/hash_raw.json"))["results"][0]["median"] / frames * 1e6
read = json.load(open(f"{out}/read.json"))["results"][0]["median"] / frames * 1e6
b = json.load(open(f"{out}/pdq.json"))["benchmarks"][0]
hash_us = b["real_time"] if b["time_unit"] == "us" else b["real_time"] / 1e3
print(f"per frame: hash-raw-rgba {cmd:.0f} us; core hash {hash_us:.0f} us + read {read:.0f} us "
      f"= {hash_us + read:.0f} us; ratio {cmd / (hash_us + read):.2f} (target <= 1.15)")
PY
