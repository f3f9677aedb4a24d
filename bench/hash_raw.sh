#!/usr/bin/env bash
# hash-raw-rgba on a 500-frame file on standard input, against the sum of
# the core hash time and the time to read one frame from that file, and
# against the plain scalar transcription of the hash in the same run.
# Usage: bench/hash_raw.sh [BUILD_DIR]   (default build/; needs hyperfine, ffmpeg,
# and 500 MiB of space in bench/out/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=bench/out
frames=500
mkdir -p "$out"
file=$out/frames-$frames.rgba

cmake --build "$build" --target vorlant-verify pdq_bench hash_raw_bench >/dev/null
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
"$build/bench/pdq_bench" --benchmark_filter='BM_PdqHashSelected|BM_ScalarTranscription' \
  --benchmark_min_time=0.5 --benchmark_format=json >"$out/pdq.json"

# The same comparison inside one process, where start-up and the shell do
# not blur it: the command's loop against hashing and reading alone.
VORLANT_BENCH_FRAMES=$file "$build/bench/hash_raw_bench" --benchmark_repetitions=3 \
  --benchmark_min_time=1 --benchmark_report_aggregates_only=true | grep -E 'median|Load'

# The machine may be shared: CPU time (user + system) is reported beside the
# wall-clock figures, since it is what a busy neighbour disturbs least, and
# the fastest run beside the median.
python3 - "$out" $frames <<'PY'
import json, sys
out, frames = sys.argv[1], int(sys.argv[2])
def per_frame(name):
    r = json.load(open(f"{out}/{name}.json"))["results"][0]
    return (r["min"] / frames * 1e6, r["median"] / frames * 1e6,
            (r["user"] + r["system"]) / frames * 1e6)
cmd_min, cmd_wall, cmd_cpu = per_frame("hash_raw")
read_min, read_wall, read_cpu = per_frame("read")
mins = {}
for b in json.load(open(f"{out}/pdq.json"))["benchmarks"]:
    if b.get("aggregate_name") == "min":
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        mins[b["run_name"].split("/")[0]] = (b["real_time"] * scale, b["cpu_time"] * scale)
hash_wall, hash_cpu = mins["BM_PdqHashSelected"]
ref_wall, ref_cpu = mins["BM_ScalarTranscription"]
print(f"per frame, whole process: hash-raw-rgba {cmd_min:.0f} us fastest, {cmd_wall:.0f} us median, "
      f"{cmd_cpu:.0f} us CPU")
print(f"scalar transcription, one frame in process: {ref_cpu:.0f} us CPU; whole-process speed-up "
      f"{ref_cpu / cmd_cpu:.1f}x (CPU), {ref_wall / cmd_min:.1f}x (wall, fastest)")
for label, cmd, h, r in (("wall", cmd_wall, hash_wall, read_wall), ("cpu", cmd_cpu, hash_cpu, read_cpu)):
    print(f"{label:4} per frame: hash-raw-rgba {cmd:.0f} us; core hash {h:.0f} us + read {r:.0f} us "
          f"= {h + r:.0f} us; ratio {cmd / (h + r):.2f} (target <= 1.15)")
PY
