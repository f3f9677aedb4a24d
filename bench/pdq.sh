#!/usr/bin/env bash
# One frame's PDQ hash on every vector path this processor runs, paired in
# one run with the plain scalar transcription kept with the tests; prints
# the fastest repetition of each and its speed-up over the transcription.
# Usage: bench/pdq.sh [BUILD_DIR]   (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mkdir -p bench/out
cmake --build "$build" --target pdq_bench >/dev/null
"$build/bench/pdq_bench" --benchmark_filter='BM_PdqHash/|BM_ScalarTranscription|BM_MemcpyFrame' \
  --benchmark_min_time=0.3 --benchmark_format=json >bench/out/pdq.json
python3 - bench/out/pdq.json <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
mins = {}
for r in runs:
    if r.get("aggregate_name") == "min":
        name = r["run_name"].split("/repeats")[0].replace("BM_", "")
        label = r.get("label") or name
        mins[label] = (r["real_time"], r["cpu_time"])
ref = mins.get("ScalarTranscription")
names = {"baseline": "baseline (SSE2)", "avx2": "AVX2", "avx512": "AVX-512",
         "ScalarTranscription": "scalar transcription", "MemcpyFrame": "memcpy of the frame"}
print(f"{'one 512x512 frame':<24} {'wall us':>9} {'cpu us':>9} {'speed-up (cpu)':>15}")
for label, (wall, cpu) in mins.items():
    up = f"{ref[1] / cpu:.1f}x" if ref else "-"
    print(f"{names.get(label, label):<24} {wall:9.1f} {cpu:9.1f} {up:>15}")
PY
