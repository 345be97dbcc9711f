#!/usr/bin/env bash
# Builds Korvale as a subproject of a scratch host project (tests/embed/CMakeLists.txt), from a
# clean build directory, and runs the host against it with no desktop session.
# Usage: embed.sh SOURCE_DIR SCRATCH_BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
rm -rf "$build_dir"
cmake -S "$source_dir/tests/embed" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKORVALE_SOURCE_DIR="$source_dir"
cmake --build "$build_dir" -j 2
env -u DISPLAY -u KORVALE_BACKEND -u WAYLAND_DISPLAY "$build_dir/embedding-host"
