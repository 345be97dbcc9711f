#!/usr/bin/env bash
# Runs the toolkit end-to-end test (GTK 4, Qt 5, Qt 6 windows and xterm) inside a private X
# server and session bus, like run-real-desktop.sh. Exits 77 (CTest's SKIP) when something it
# needs is missing.
#   run-toolkits.sh HOST_TEST_BINARY TOOLKIT_APP_SCRIPT
set -u
host_test=$1
app_script=$2

source "$(dirname "$0")/x-session.sh"
require_tools Xvfb dbus-run-session xdotool xprop xterm
require_atspi
require_python "import gi; gi.require_version('Gtk', '4.0')" "python3-gi with GTK 4 (gir1.2-gtk-4.0)"
require_python "import PyQt5.QtWidgets, PyQt6.QtWidgets" "python3-pyqt5 and python3-pyqt6"

export KORVALE_BACKEND=linux QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
run_in_session korvale-toolkits-test 240 "$host_test" "${@:2}"
