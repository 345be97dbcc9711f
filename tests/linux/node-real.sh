#!/usr/bin/env bash
# The Node package on a real desktop, outside Electron: inside a private X server (Xvfb) and
# session bus, node_real_host.js follows the GTK 3 test application with pumpGLib(). Exits 77
# (CTest's SKIP) with a message when something it needs is missing.
#   node-real.sh NODE_MODULES TEST_APP LIBRARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/x-session.sh"
if [[ ${4:-} == --inside ]]; then
  NODE_PATH=$1 timeout 90 node "$here/node_real_host.js" "$2" "$3"
  exit $?
fi
require_tools Xvfb dbus-run-session xdotool timeout node
[[ -d $1/korvale ]] || skip "the korvale package is not installed in $1 (the client.node test does that)"
require_atspi
require_gtk3_python
unset KORVALE_BACKEND
run_in_session korvale-node-real 150 bash "$0" "$1" "$2" "$3" --inside
