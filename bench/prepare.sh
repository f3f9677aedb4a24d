#!/usr/bin/env bash
# prepare-attestation --with-pdq against the bare ffmpeg decode it drives
# (identical arguments, raw frames to /dev/null), and the program's own peak
# resident memory on a clip and on one four times longer.
#
# usage: bench/prepare.sh [path/to/vorlant-verify]   (default: build/vorlant-verify)
# Clips and results go to bench/out/. Needs ffmpeg, ffprobe and hyperfine.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/sampling_common.sh
bin=$(realpath "${1:-build/vorlant-verify}")

make_clip 60 1280x720 30 "$out/clip60.mp4"
make_clip 240 1280x720 30 "$out/clip240.mp4"

echo "==> timing, 60 s clip" >&2
time_against_bare_decode prepare "$out/clip60.mp4" "prepare-attestation --with-pdq" \
  "$bin prepare-attestation $out/clip60.mp4 --with-pdq --output -"

echo "==> alternating runs, 60 s clip" >&2
alternate_against_bare_decode "$out/clip60.mp4" "prepare-attestation --with-pdq" \
  "$bin prepare-attestation $out/clip60.mp4 --with-pdq --output -"

for clip in clip60 clip240; do
  kib=$(peak_rss_kib "$bin" prepare-attestation "$out/$clip.mp4" --with-pdq --output -)
  echo "peak RSS, $clip: $kib KiB ($((kib / 1024)) MiB)"
done
