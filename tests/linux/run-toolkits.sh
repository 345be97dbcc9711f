#!/usr/bin/env bash
# Runs the toolkit end-to-end test (GTK 4, Qt 5, Qt 6 windows and xterm) inside a private X
# server and session bus, like run-real-desktop.sh. Exits 77 (CTest's SKIP) when something it
# needs is missing.
#   run-toolkits.sh HOST_TEST_BINARY TOOLKIT_APP_SCRIPT
set -u
host_test=$1
app_script=$2

skip() { echo "SKIPPED: $*  (scripts/linux-tests.sh installs what is needed)"; exit 77; }
for tool in Xvfb dbus-run-session xdotool xprop xterm; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[[ -x /usr/libexec/at-spi-bus-launcher ]] || skip "at-spi2-core is not installed"
/usr/bin/python3 -c "import gi; gi.require_version('Gtk', '4.0')" >/dev/null 2>&1 ||
  skip "python3-gi with GTK 4 (gir1.2-gtk-4.0) is not installed"
/usr/bin/python3 -c "import PyQt5.QtWidgets, PyQt6.QtWidgets" >/dev/null 2>&1 ||
  skip "python3-pyqt5 and python3-pyqt6 are not installed"

source "$(dirname "$0")/x-session.sh"
start_x_session korvale-toolkits-test
export KORVALE_BACKEND=linux QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

timeout "${KORVALE_TEST_TIMEOUT:-240}" dbus-run-session -- "$host_test" "${@:2}"
