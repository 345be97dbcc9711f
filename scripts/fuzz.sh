#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of fuzz/ with clang (a CMake project of their own, so the
# g++ build never needs clang), replays every kept regression input, then runs each target for
# the given number of seconds (default 20) starting from its seed corpus in fuzz/corpus/.
# New inputs go to build-fuzz/corpus/, crash inputs to build-fuzz/artifacts/. Exits non-zero on
# any crash, leak or sanitizer report.   Usage: scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
bash scripts/setup.sh clang libclang-rt-14-dev
mkdir -p build-fuzz/logs
if ! { cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
       ninja -C build-fuzz -j "$(nproc)"; } >build-fuzz/logs/build.log 2>&1; then
  echo "FAIL fuzz: the targets did not build (build-fuzz/logs/build.log)"
  tail -30 build-fuzz/logs/build.log
  exit 1
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
targets=(fuzz_add_blocked_apps fuzz_start fuzz_set_text fuzz_value_conversion)
status=0
for t in "${targets[@]}"; do
  bin=build-fuzz/$t
  # Regression inputs: each once, exactly as kept.
  shopt -s nullglob
  kept=(fuzz/regressions/$t/*)
  shopt -u nullglob
  if ((${#kept[@]})); then
    if "$bin" "${kept[@]}" >"build-fuzz/logs/$t.regressions.log" 2>&1; then
      echo "fuzz $t: ${#kept[@]} regression inputs replayed"
    else
      echo "FAIL fuzz $t: a regression input fails again (build-fuzz/logs/$t.regressions.log)"
      tail -30 "build-fuzz/logs/$t.regressions.log"
      status=1
    fi
  fi
  ((seconds > 0)) || continue
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/artifacts/$t"
  extra=()
  [[ -f fuzz/dict/$t.dict ]] && extra+=("-dict=fuzz/dict/$t.dict")
  if "$bin" -max_total_time="$seconds" -timeout=10 -max_len=1100000 -print_final_stats=1 \
       -artifact_prefix="build-fuzz/artifacts/$t/" "${extra[@]}" \
       "build-fuzz/corpus/$t" "fuzz/corpus/$t" >"build-fuzz/logs/$t.log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/logs/$t.log" | grep -o '[0-9]*$' || echo "?")
    echo "fuzz $t: ${seconds} s, $runs executions, no crash"
  else
    echo "FAIL fuzz $t: crash (input in build-fuzz/artifacts/$t/, log build-fuzz/logs/$t.log)"
    grep -m1 -A25 -E 'ERROR|check failed|runtime error' "build-fuzz/logs/$t.log" || tail -30 "build-fuzz/logs/$t.log"
    status=1
  fi
done
exit $status
