#!/usr/bin/env bash
# prepare-attestation --with-pdq against the bare ffmpeg decode it drives
# (identical arguments, raw frames to /dev/null), and the program's own peak
# resident memory on a clip and on one four times longer.
#
# usage: bench/prepare.sh [path/to/vorlant-verify]   (default: build/vorlant-verify)
# Clips and results go to bench/out/. Needs ffmpeg, ffprobe and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=$(realpath "${1:-build/vorlant-verify}")
out=bench/out
mkdir -p "$out"

make_clip() {  # seconds, file
  [ -s "$2" ] && return 0
  echo "==> generating $2 (${1}s, 1280x720, h264)" >&2
  ffmpeg -hide_banner -v error -nostdin -y -f lavfi \
    -i "testsrc2=size=1280x720:rate=30:duration=$1" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$2"
}
make_clip 60 "$out/clip60.mp4"
make_clip 240 "$out/clip240.mp4"

# The same argument vector the program gives ffmpeg at the default 2 fps.
bare_ffmpeg() {
  echo "ffmpeg -hide_banner -nostdin -v error -i $1 -vf fps=2,scale=512:512:flags=bilinear" \
       "-an -sn -f rawvideo -pix_fmt rgba -color_range pc pipe:1 > /dev/null"
}

unset VORLANT_VERIFY_FPS VORLANT_VERIFY_FFPROBE VORLANT_VERIFY_FFMPEG
echo "==> timing, 60 s clip" >&2
hyperfine --warmup 1 --runs "${RUNS:-10}" --export-json "$out/prepare.json" \
  -n "bare ffmpeg decode" "$(bare_ffmpeg "$out/clip60.mp4")" \
  -n "prepare-attestation --with-pdq" \
  "$bin prepare-attestation $out/clip60.mp4 --with-pdq --output - > /dev/null 2>&1"

python3 - "$out/prepare.json" <<'EOF'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
bare, ours = r["bare ffmpeg decode"], r["prepare-attestation --with-pdq"]
print(f"ratio (mean):   {ours['mean'] / bare['mean']:.3f}x  "
      f"({ours['mean']:.3f} s vs {bare['mean']:.3f} s)")
print(f"ratio (median): {ours['median'] / bare['median']:.3f}x  "
      f"({ours['median']:.3f} s vs {bare['median']:.3f} s)")
EOF

# Peak resident memory of the program itself, not of its ffmpeg child: the
# kernel's high-water mark (VmHWM) of our process, read until it exits.
# /usr/bin/time would fold the waited-for ffmpeg into its figure.
peak_rss_kib() {
  "$bin" prepare-attestation "$1" --with-pdq --output - > /dev/null 2>&1 &
  local pid=$! peak=0 hwm
  while hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null) && [ -n "$hwm" ]; do
    peak=$hwm
    sleep 0.02
  done
  wait "$pid"
  echo "$peak"
}
for clip in clip60 clip240; do
  kib=$(peak_rss_kib "$out/$clip.mp4")
  echo "peak RSS, $clip: $kib KiB ($((kib / 1024)) MiB)"
done
