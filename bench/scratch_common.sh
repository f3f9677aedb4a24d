# Shared by the benchmarks that time the built program on scratch files.
# bench_setup BUILD_DIR TOOL...: checks the tools, builds vorlant-verify in
# BUILD_DIR, sets vv to it, and moves into a temporary directory, work, that
# is removed at exit.
bench_setup() {
  local build=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$0 needs $tool" >&2; exit 1; }
  done
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target vorlant-verify -j 2 >/dev/null
  vv=$PWD/$build/vorlant-verify
  work=$(mktemp -d "${TMPDIR:-/tmp}/vorlant-bench-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  cd "$work"
}
