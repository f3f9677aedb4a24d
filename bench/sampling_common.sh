# Shared by the benchmarks of the commands that sample frames through ffmpeg
# (prepare.sh, match.sh); sourced from the repository's root, not run.
# Clips and results go to bench/out/.

out=bench/out
mkdir -p "$out"
unset VORLANT_VERIFY_FPS VORLANT_VERIFY_FFPROBE VORLANT_VERIFY_FFMPEG

# A testsrc2 h264 clip, made once and kept in $out.
make_clip() {  # seconds, WIDTHxHEIGHT, frame rate, file
  [ -s "$4" ] && return 0
  echo "==> generating $4 (${1}s, $2, h264)" >&2
  ffmpeg -hide_banner -v error -nostdin -y -f lavfi \
    -i "testsrc2=size=$2:rate=$3:duration=$1" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$4"
}

# A slowly changing scene: a Mandelbrot zoom rendered small and cheaply,
# scaled up to the clip's size, h264; made once and kept in $out. Every frame
# differs from the last a little, as a camera's picture does, and no frame
# repeats another.
make_scene_clip() {  # seconds, WIDTHxHEIGHT, frame rate, file
  [ -s "$4" ] && return 0
  echo "==> generating $4 (${1}s, $2, h264, Mandelbrot zoom)" >&2
  ffmpeg -hide_banner -v error -nostdin -y -f lavfi \
    -i "mandelbrot=size=160x90:rate=$3:maxiter=128:end_pts=$(($1 * $3)):end_scale=0.1" \
    -vf "scale=${2/x/:}:flags=bicubic" -t "$1" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$4"
}

# The command against the bare ffmpeg decode it drives: the argument vector
# the program gives ffmpeg at 2 fps, raw frames to /dev/null. Prints the
# ratios of the mean and median wall times and of the CPU times.
time_against_bare_decode() {  # results name, clip, label, command
  hyperfine --warmup 1 --runs "${RUNS:-10}" --export-json "$out/$1.json" \
    -n "bare ffmpeg decode" \
    "ffmpeg -hide_banner -nostdin -v error -i $2 -vf fps=2,scale=512:512:flags=bilinear -an -sn -f rawvideo -pix_fmt rgba -color_range pc pipe:1 > /dev/null" \
    -n "$3" "$4 > /dev/null 2>&1"
  python3 - "$out/$1.json" "$3" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
bare, ours = r["bare ffmpeg decode"], r[sys.argv[2]]
cpu = lambda x: x["user"] + x["system"]  # means, ffmpeg included
for name, a, b in (("mean", ours["mean"], bare["mean"]),
                   ("median", ours["median"], bare["median"]),
                   ("CPU", cpu(ours), cpu(bare))):
    print(f"ratio ({name}): {a / b:.3f}x  ({a:.3f} s vs {b:.3f} s)")
PY
}

# Peak resident memory in KiB of the command itself, not of its ffmpeg child:
# the kernel's high-water mark (VmHWM) of the process, read until it exits.
# /usr/bin/time would fold the waited-for ffmpeg into its figure.
peak_rss_kib() {  # command and arguments
  "$@" > /dev/null 2>&1 &
  local pid=$! peak=0 hwm
  while hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null) && [ -n "$hwm" ]; do
    peak=$hwm
    sleep 0.02
  done
  wait "$pid"
  echo "$peak"
}

# The bare decode, the same decode read through a pipe by `cat` (the least
# any reader of the frames pays), and the command, run in turn RUNS times
# (default 9) after one warm-up of each: neighbours' load then hits all
# three alike. Prints the median wall times and the command's ratios to the
# other two: of the medians, and the median of the per-round ratios.
alternate_against_bare_decode() {  # clip, label, command
  local decode="ffmpeg -hide_banner -nostdin -v error -i $1 -vf fps=2,scale=512:512:flags=bilinear -an -sn -f rawvideo -pix_fmt rgba -color_range pc pipe:1"
  local i run start times=()
  local -a runs=("$decode > /dev/null" "$decode | cat > /dev/null" "$3 > /dev/null 2>&1")
  for run in "${runs[@]}"; do bash -c "$run"; done
  for ((i = 0; i < ${RUNS:-9}; i++)); do
    for run in "${runs[@]}"; do
      start=$EPOCHREALTIME; bash -c "$run"; times+=("$start $EPOCHREALTIME")
    done
  done
  printf '%s\n' "${times[@]}" | python3 -c '
import statistics, sys
t = [float(b) - float(a) for a, b in (line.split() for line in sys.stdin)]
bare, piped, ours = t[0::3], t[1::3], t[2::3]
mo = statistics.median(ours)
print(f"alternating, {len(bare)} rounds (medians): bare decode {statistics.median(bare):.3f} s,"
      f" piped through cat {statistics.median(piped):.3f} s, {sys.argv[1]} {mo:.3f} s")
for name, anchor in (("the bare decode", bare), ("the decode piped through cat", piped)):
    rounds = statistics.median(o / a for o, a in zip(ours, anchor))
    print(f"  against {name}: ratio of medians {mo / statistics.median(anchor):.3f}x,"
          f" median round ratio {rounds:.3f}x")' "$2"
}
