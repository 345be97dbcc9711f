#!/usr/bin/env bash
# The Node package on a real desktop, outside Electron: inside a private X server (Xvfb) and
# session bus, node_real_host.js follows the GTK 3 test application with pumpGLib(). Exits 77
# (CTest's SKIP) with a message when something it needs is missing.
#   node-real.sh NODE_MODULES TEST_APP LIBRARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [[ ${4:-} == --inside ]]; then
  NODE_PATH=$1 timeout 90 node "$here/node_real_host.js" "$2" "$3"
  exit $?
fi
skip() { echo "SKIPPED: $*  (scripts/linux-tests.sh installs what is needed)"; exit 77; }
for tool in Xvfb dbus-run-session xdotool timeout node; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[[ -d $1/korvale ]] || skip "the korvale package is not installed in $1 (the client.node test does that)"
[[ -x /usr/libexec/at-spi-bus-launcher ]] || skip "at-spi2-core is not installed"
/usr/bin/python3 -c "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk" \
  >/dev/null 2>&1 || skip "python3-gi with GTK 3 (gir1.2-gtk-3.0) is not installed"
source "$here/x-session.sh"
start_x_session korvale-node-real
unset KORVALE_BACKEND
timeout "${KORVALE_TEST_TIMEOUT:-150}" dbus-run-session -- bash "$0" "$1" "$2" "$3" --inside
