#!/usr/bin/env bash
# A real search at scale: a 5-minute 640x360 recording (testsrc2 blended
# with a game of life) signed at 2 fps, added to an index of its own and to
# copies of the 10 M archives that bench/index.sh builds, and a 60-second
# excerpt of it re-encoded at CRF 30. `vorlant-verify search` of the excerpt
# in each index, three runs, the page cache dropped before each when
# running as root: what an archive adds to the search of the index holding
# only the recording is its lookups and alignment beyond the decode.
#
# usage: bench/search.sh [BUILD_DIR] [RECORDINGS]   (default: build, 463)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
recordings=${2:-463}
vv=$PWD/$build/vorlant-verify
out=$PWD/bench/out
for content in random realistic; do
  if [ ! -d "$out/index-$content-$recordings" ]; then
    echo "bench/search.sh: run bench/index.sh $build $recordings first" >&2
    exit 1
  fi
done
cmake --build "$build" --target vorlant-verify >/dev/null
work=$out/search
rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"

ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=25:duration=300 \
  -f lavfi -i life=size=640x360:rate=25:mold=10:ratio=0.1 \
  -filter_complex '[0][1]blend=all_mode=average' -t 300 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p recording.mp4
ffmpeg -v error -ss 120 -t 60 -i recording.mp4 -c:v libx264 -crf 30 -pix_fmt yuv420p excerpt.mp4
"$vv" prepare-attestation recording.mp4 --with-pdq --output request.json 2>/dev/null
(umask 077; openssl rand -hex 32 > key.hex)
"$vv" sign-attestation request.json --nvr-device-id bench-nvr --nvr-key-id bench-key \
  --nvr-private-key-file key.hex --output envelope.json 2>/dev/null

"$vv" index add alone envelope.json 2>/dev/null
for content in random realistic; do
  cp -a "$out/index-$content-$recordings" "$content"
  "$vv" index add "$content" envelope.json 2>/dev/null
done

for index in alone random realistic; do
  for run in 1 2 3; do
    if [ "$(id -u)" -eq 0 ]; then sync && echo 3 > /proc/sys/vm/drop_caches; fi
    echo "==> search in $index (run $run)"
    /usr/bin/time -f "%e s wall, %U s user, %S s system, peak %M KiB" \
      "$vv" search "$index" excerpt.mp4 --output /dev/null 2>&1 | grep -E '^==> best|s wall'
  done
done
cd "$out"
rm -rf "$work"
