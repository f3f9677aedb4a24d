#!/usr/bin/env bash
# match at its default sampling against the floor of any reader of the
# candidate's frames: a 10-minute 1280x720 30 fps h264 candidate (a slowly
# changing scene) against an envelope of 3 hours of signed hashes (21,600 at
# 2 fps, the candidate's own 1,200 among them 4,500 s in), in alternating
# rounds with
#   - the floor: the candidate decoded with prepare-attestation's arguments
#     (the signed rate, 2 fps, 512x512 RGBA bilinear) piped into `cat`, and
#   - the same decode with match's own arguments (max(30, 4 x the signed
#     rate) fps, 128x128 RGBA bilinear) piped into `cat`: the true floor at
#     match's sampling, which shows where the time goes;
# then the same rounds with a 150-second candidate (the first quarter of the
# long one), for match's peak resident memory at both lengths.
#
# usage: bench/match.sh [path/to/vorlant-verify]   (default: build/vorlant-verify)
# RUNS rounds (default 7) for the long candidate, SHORT_RUNS (default 3) for
# the short one. Clips and results go to bench/out/. Needs ffmpeg, ffprobe, python3.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/sampling_common.sh
bin=$(realpath "${1:-build/vorlant-verify}")
key=c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721  # a test key

make_scene_clip 600 1280x720 30 "$out/scene600.mp4"
if [ ! -s "$out/scene150.mp4" ]; then
  ffmpeg -hide_banner -v error -nostdin -y -i "$out/scene600.mp4" -t 150 -c copy "$out/scene150.mp4"
fi

if [ ! -s "$out/scene-envelope.json" ]; then
  echo "==> signing 21600 hashes around the candidate's own" >&2
  "$bin" prepare-attestation "$out/scene600.mp4" --with-pdq \
    --output "$out/scene-signed.json" 2>/dev/null
  python3 - "$out/scene-signed.json" "$out/scene-hashes.txt" <<'PY'
import json, random, sys
own = json.load(open(sys.argv[1]))["phashes_hex"]
rng = random.Random(14)
rest = [f"{rng.getrandbits(256):064x}" for _ in range(21600 - len(own))]
open(sys.argv[2], "w").write("\n".join(rest[:9000] + own + rest[9000:]) + "\n")
PY
  # The signed bytes are those of the short clip; only the hashes matter here.
  "$bin" prepare-attestation "$out/scene150.mp4" --pdq-hashes "$out/scene-hashes.txt" \
    --fps 2 --output - 2>/dev/null |
    "$bin" sign-attestation - --nvr-device-id nvr-bench --nvr-key-id key-bench \
      --nvr-private-key-hex "$key" --output "$out/scene-envelope.json" 2>/dev/null
fi

# The argument vectors the program gives ffmpeg (src/sampling/frame_sampler.cpp):
# recorder_frames(2) for prepare-attestation, candidate_frames(30) for match.
decode() {  # clip, rate, side
  echo "ffmpeg -hide_banner -nostdin -v error -i $1 -vf fps=$2,scale=$3:$3:flags=bilinear" \
    "-an -sn -f rawvideo -pix_fmt rgba -color_range pc pipe:1"
}

echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for clip in scene600 scene150; do
  runs=${RUNS:-7}
  [ "$clip" = scene150 ] && runs=${SHORT_RUNS:-3}
  echo "==> $clip: match against the decodes piped into cat" >&2
  echo "==> $clip"
  python3 bench/rounds.py "$runs" \
    "floor (2 fps, 512x512, into cat)=$(decode "$out/$clip.mp4" 2 512) | cat > /dev/null" \
    "match's decode (30 fps, 128x128, into cat)=$(decode "$out/$clip.mp4" 30 128) | cat > /dev/null" \
    --ours "match=$bin match $out/$clip.mp4 $out/scene-envelope.json"
done
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin" match "$out/scene150.mp4" "$out/scene-envelope.json" 2>&1 >/dev/null | tail -1
