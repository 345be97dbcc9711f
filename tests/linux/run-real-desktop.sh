#!/usr/bin/env bash
# Runs the Linux backend's end-to-end test against real applications: starts a private X server
# (Xvfb) and a private session bus (dbus-run-session, which starts the accessibility bus on
# demand), runs the host test program inside them, and stops the X server by its process id.
# Exits 77 (CTest's SKIP) with a message when something it needs is missing.
#   run-real-desktop.sh HOST_TEST_BINARY TEST_APP_SCRIPT [ARGUMENTS...]
set -u
host_test=$1
test_app=$2

source "$(dirname "$0")/x-session.sh"
require_tools Xvfb dbus-run-session xdotool xclip l3afpad
require_atspi
require_gtk3_python

export KORVALE_BACKEND=linux
run_in_session korvale-linux-test 240 "$host_test" "$test_app" "${@:3}"
