#!/usr/bin/env bash
# The main job: builds the library and the demo host, then plays the bundled desktop session
# (examples/session.json, about 20 s on the wall clock) through it, printing each user action,
# host call, host event and diagnostic line as it happens. Arguments go to the demo:
#   bash scripts/demo.sh --fast                  # the same session on the virtual clock
#   bash scripts/demo.sh --scenario my.json      # a session of your own
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# No optimisation: the demo is not speed-bound, and this way the first build is quickest.
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE= -DKORVALE_TESTS=OFF >/dev/null
ninja -C build-demo korvale-demo
exec ./build-demo/korvale-demo "$@"
