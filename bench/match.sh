#!/usr/bin/env bash
# match against the bare ffmpeg decode it drives (identical arguments, raw
# frames to /dev/null): a 10-minute candidate at 2 fps (1,200 frames) against
# an envelope of 3 hours of signed hashes (21,600, the candidate's own among
# them 4,500 s in), and the program's own peak resident memory for that
# candidate and for one a quarter as long.
#
# usage: bench/match.sh [path/to/vorlant-verify]   (default: build/vorlant-verify)
# Clips and results go to bench/out/. Needs ffmpeg, ffprobe, hyperfine, python3.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/sampling_common.sh
bin=$(realpath "${1:-build/vorlant-verify}")
key=c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721  # a test key

make_clip 600 640x360 25 "$out/candidate600.mp4"
make_clip 150 640x360 25 "$out/candidate150.mp4"

if [ ! -s "$out/match-envelope.json" ]; then
  echo "==> signing 21600 hashes around the candidate's own" >&2
  "$bin" prepare-attestation "$out/candidate600.mp4" --with-pdq \
    --output "$out/candidate.json" 2>/dev/null
  python3 - "$out/candidate.json" "$out/match-hashes.txt" <<'PY'
import json, random, sys
own = json.load(open(sys.argv[1]))["phashes_hex"]
rng = random.Random(14)
rest = [f"{rng.getrandbits(256):064x}" for _ in range(21600 - len(own))]
open(sys.argv[2], "w").write("\n".join(rest[:9000] + own + rest[9000:]) + "\n")
PY
  # The signed bytes are those of the short clip; only the hashes matter here.
  "$bin" prepare-attestation "$out/candidate150.mp4" --pdq-hashes "$out/match-hashes.txt" \
    --fps 2 --output - 2>/dev/null |
    "$bin" sign-attestation - --nvr-device-id nvr-bench --nvr-key-id key-bench \
      --nvr-private-key-hex "$key" --output "$out/match-envelope.json" 2>/dev/null
fi

echo "==> timing, 10-minute candidate" >&2
RUNS=${RUNS:-5} time_against_bare_decode match "$out/candidate600.mp4" "match" \
  "$bin match $out/candidate600.mp4 $out/match-envelope.json"

echo "==> alternating runs, 10-minute candidate" >&2
RUNS=${RUNS:-5} alternate_against_bare_decode "$out/candidate600.mp4" "match" \
  "$bin match $out/candidate600.mp4 $out/match-envelope.json"

for clip in candidate150 candidate600; do
  kib=$(peak_rss_kib "$bin" match "$out/$clip.mp4" "$out/match-envelope.json")
  echo "peak RSS, $clip: $kib KiB ($((kib / 1024)) MiB)"
done
"$bin" match "$out/candidate600.mp4" "$out/match-envelope.json" 2>&1 >/dev/null | tail -1
