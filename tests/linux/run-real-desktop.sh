#!/usr/bin/env bash
# Runs the Linux backend's end-to-end test against real applications: starts a private X server
# (Xvfb) and a private session bus (dbus-run-session, which starts the accessibility bus on
# demand), runs the host test program inside them, and stops the X server by its process id.
# Exits 77 (CTest's SKIP) with a message when something it needs is missing.
#   run-real-desktop.sh HOST_TEST_BINARY TEST_APP_SCRIPT
set -u
host_test=$1
test_app=$2

skip() { echo "SKIPPED: $*  (scripts/linux-tests.sh installs what is needed)"; exit 77; }
for tool in Xvfb dbus-run-session xdotool xclip l3afpad; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[[ -x /usr/libexec/at-spi-bus-launcher ]] || skip "at-spi2-core is not installed"
/usr/bin/python3 -c "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk" \
  >/dev/null 2>&1 || skip "python3-gi with GTK 3 (gir1.2-gtk-3.0) is not installed"

source "$(dirname "$0")/x-session.sh"
start_x_session korvale-linux-test
export KORVALE_BACKEND=linux

timeout "${KORVALE_TEST_TIMEOUT:-240}" dbus-run-session -- "$host_test" "$test_app" "${@:3}"
