#!/usr/bin/env bash
# The archive index at 10 million signed hashes (463 recordings of 21,600),
# random and realistic: build time, bytes on disk per hash, a 60-second
# clip's search in a fresh process (page cache as it is, then after
# dropping it when running as root), the add path from signed envelopes
# (one add, and the whole archive added run after run by the program),
# the in-memory search of one recording, and FAISS's binary multi-hash
# index on the same hashes when libfaiss-dev is installed.
#
# usage: bench/index.sh [BUILD_DIR] [RECORDINGS]   (default: build, 463)
# Indexes and envelopes go to bench/out/ (about 2.7 GiB at the default size,
# ten times that for 4630).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
recordings=${2:-463}
bench=$build/bench/index_bench
out=bench/out
mkdir -p "$out"
cmake --build "$build" --target index_bench >/dev/null
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"

for content in random realistic; do
  index=$out/index-$content-$recordings
  if [ ! -d "$index" ]; then
    echo "==> building $index"
    "$bench" build "$index" "$content" "$recordings"
  fi
  bytes=$(du -sb "$index" | cut -f1)
  echo "==> $content: $bytes bytes on disk, $(awk -v b="$bytes" -v n="$recordings" \
    'BEGIN { printf "%.1f", b / (n * 21600) }') bytes per signed hash, $(ls "$index"/*.vvseg | wc -l) segments"
  for views in 8 16; do
    for seed in 1 2 3; do
      echo "==> $content, $((480 * views)) lookups (seed $seed), fresh process"
      "$bench" search "$index" "$content" "$recordings" "$views" 31 "$seed"
    done
  done
  if [ "$(id -u)" -eq 0 ] && sync && echo 3 2>/dev/null > /proc/sys/vm/drop_caches; then
    echo "==> $content, 3840 lookups after dropping the page cache"
    "$bench" search "$index" "$content" "$recordings" 8 31 1
  fi
done

echo "==> in-memory search of one recording's 21,600 hashes, 3,840 lookups"
"$bench" recording random 8
"$bench" recording realistic 8

envelopes=$out/index-envelopes
if [ ! -d "$envelopes" ]; then
  mkdir -p "$envelopes"
  "$bench" envelopes "$envelopes" 50
fi
rm -rf "$out/index-added"
echo "==> add: 50 signed envelopes of 21,600 hashes"
"$bench" add "$out/index-added" "$envelopes"/*.json

# The archive as it grows: every recording signed as an envelope, then added
# by the program itself, 50 files to a run, so each run pays its share of
# the merges. CPU is user + system of all the runs.
cmake --build "$build" --target vorlant-verify >/dev/null
for content in realistic random; do
  signed=$out/index-envelopes-$content-$recordings
  if [ ! -d "$signed" ]; then
    mkdir -p "$signed"
    "$bench" envelopes "$signed" "$recordings" "$content"
  fi
  rm -rf "$out/index-grown"
  echo "==> $content: $recordings signed envelopes added by \`vorlant-verify index add\`, 50 to a run"
  TIMEFORMAT="%R s wall, %U s user, %S s system"
  time (find "$signed" -name '*.json' | sort -V |
    xargs -n 50 "$build/vorlant-verify" index add "$out/index-grown" 2>/dev/null)
  echo "$(du -sb "$out/index-grown" | cut -f1) bytes on disk"
done
rm -rf "$out/index-grown"

if [ -f /usr/lib/x86_64-linux-gnu/libfaiss.a ] || [ -f /usr/lib/x86_64-linux-gnu/libfaiss.so ]; then
  g++ -std=c++23 -O2 -Isrc -Ibench bench/faiss_compare.cpp -o "$build/bench/faiss_compare" \
    -lfaiss -llapack -lblas -fopenmp
  for content in random realistic; do
    for n in 47; do  # 1M hashes: FAISS keeps every table in memory
      file=$out/faiss-$content-$n.index
      echo "==> FAISS IndexBinaryMultiHash, 11 tables of 23 bits, $content, $((n * 21600)) hashes"
      "$build/bench/faiss_compare" build "$file" "$content" "$n" 11 23
      echo "$(stat -c %s "$file") bytes on disk"
      "$build/bench/faiss_compare" search "$file" "$content" "$n" 8 2
      rm -f "$file"
    done
  done
fi
