#!/usr/bin/env bash
# The whole test suite: builds the library twice (plain, and under AddressSanitizer with
# UndefinedBehaviorSanitizer) and runs every CTest case in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
# What the tests against real applications under Xvfb need (they skip, saying why, without it).
bash scripts/linux-tests.sh --install-only
# What the compile check of the macOS backend needs (clang and Debian's GNUstep headers).
bash scripts/setup.sh clang libgnustep-gui-dev libblocksruntime-dev
jobs=$(nproc)
for variant in build build-asan; do
  flags=(-DCMAKE_BUILD_TYPE=Debug)
  [[ $variant == build-asan ]] && flags+=(-DKORVALE_SANITIZE=ON)
  cmake -S . -B "$variant" -G Ninja "${flags[@]}" >/dev/null
  ninja -C "$variant" -j "$jobs"
done
status=0
# The macOS backend compiles cleanly against GNUstep and our declarations (no Mac here).
bash scripts/macos-check.sh || status=1
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
# Every fuzz target for a bounded time, after replaying the inputs that once failed.
bash scripts/fuzz.sh 20 || status=1
exit $status
