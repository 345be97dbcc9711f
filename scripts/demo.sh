#!/usr/bin/env bash
# The main job: builds the library and plays the bundled desktop session through it, printing
# each host event and diagnostic line as the host receives it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVALE_TESTS=OFF >/dev/null
ninja -C build-demo korvale-play Korvale-Project
exec ./build-demo/korvale-play "${@:-examples/session.json}"
