#!/usr/bin/env bash
# Before and after, from one run: builds the library at an earlier revision (by default the one
# before the Linux round-trip work: the parent of "Linux backend at fewer round trips") in a
# temporary git worktree, builds this checkout, then runs korvale-linux-bench against both inside
# one private X server, alternating the two libraries ROUNDS times (each run on a fresh session
# bus, the order swapped every round), and prints the table of medians (bench/linux-bench-table.py).
# Heavy (about 4 minutes a run on 2 cores): not part of scripts/test.sh.
#   bench/run-linux-bench.sh [ROUNDS] [benchmark options, e.g. --benchmark_filter=Select]
# KORVALE_BENCH_BEFORE: another revision to compare with; results and builds go to
# build-linux-bench/ in the checkout.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
before_rev=$(git -C "$repo" rev-parse "${KORVALE_BENCH_BEFORE:-5559fff^}")
rounds=${1:-2}
[[ $# -gt 0 ]] && shift
builds=$repo/build-linux-bench
results=$builds/results-$(date -u +%Y%m%dT%H%M%S)
mkdir -p "$results"
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}
configure() {  # SOURCE BUILD [OPTIONS]
  [[ -f $2/CMakeCache.txt ]] && ! grep -q "^CMAKE_HOME_DIRECTORY:INTERNAL=$1\$" "$2/CMakeCache.txt" && rm -rf "$2"
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVALE_TESTS=OFF -DKORVALE_TOOLS=OFF "${@:3}" >/dev/null
}

# After: this checkout, with the benchmark program.
configure "$repo" "$builds/after" -DKORVALE_BENCHMARKS=ON
ninja -C "$builds/after" -j2 korvale-linux-bench Korvale-Project
bench=$builds/after/bench/korvale-linux-bench
cp -L "$builds/after/libKorvale-Project.so.0" "$results/libKorvale-after.so"
git -C "$repo" describe --always --dirty >"$results/after-revision"

# Before: the earlier revision, in a worktree removed again once built (always at the same path, so
# the build folder stays valid and ccache finds the objects of a previous run).
tree=$builds/before-source
remove_tree() { git -C "$repo" worktree remove --force "$tree" 2>/dev/null || true; rm -rf "$tree"; }
trap remove_tree EXIT
remove_tree
git -C "$repo" worktree add --detach "$tree" "$before_rev" >/dev/null
configure "$tree" "$builds/before"
ninja -C "$builds/before" -j2 Korvale-Project
cp -L "$builds/before/libKorvale-Project.so.0" "$results/libKorvale-before.so"
echo "$before_rev" >"$results/before-revision"
remove_tree
trap - EXIT

source "$repo/tests/linux/x-session.sh"
require_tools Xvfb dbus-run-session xdotool l3afpad
require_atspi
require_gtk3_python
export KORVALE_BACKEND=linux
start_x_session korvale-linux-bench
{ nproc; grep -m1 'model name' /proc/cpuinfo; } >"$results/machine"
for ((round = 1; round <= rounds; round++)); do
  order=(before after)
  ((round % 2 == 0)) && order=(after before)
  for which in "${order[@]}"; do
    echo "== round $round: $which (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    log=$results/$which-$round.log
    if ! timeout 1500 dbus-run-session -- "$bench" --library="$results/libKorvale-$which.so" \
      "$repo/tests/linux/korvale_test_app.py" --benchmark_out="$results/$which-$round.json" \
      --benchmark_out_format=json "$@" >"$log" 2>&1; then
      echo "run failed ($which, round $round):"; tail -20 "$log"
    fi
    grep -E '^BM_|switches in' "$log" || true
  done
done
python3 "$here/linux-bench-table.py" "$results" | tee "$results/table.md"
