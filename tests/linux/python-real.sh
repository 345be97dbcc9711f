#!/usr/bin/env bash
# The Python package on a real desktop, for a host without a main loop: inside a private X server
# (Xvfb) and session bus, python_real_host.py follows the GTK 3 test application through the
# library, running GLib with korvale.glib — once through PyGObject, once through ctypes. Exits 77
# (CTest's SKIP) with a message when something it needs is missing.
#   python-real.sh PACKAGE_SRC TEST_APP LIBRARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [[ ${4:-} == --inside ]]; then
  status=0
  for way in PyGObject ctypes; do
    echo "== korvale.glib through $way"
    timeout 60 /usr/bin/python3 "$here/python_real_host.py" "$1" "$2" "$3" "$way" || status=1
  done
  exit $status
fi
skip() { echo "SKIPPED: $*  (scripts/linux-tests.sh installs what is needed)"; exit 77; }
for tool in Xvfb dbus-run-session xdotool timeout; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[[ -x /usr/libexec/at-spi-bus-launcher ]] || skip "at-spi2-core is not installed"
/usr/bin/python3 -c "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk" \
  >/dev/null 2>&1 || skip "python3-gi with GTK 3 (gir1.2-gtk-3.0) is not installed"
source "$here/x-session.sh"
start_x_session korvale-python-real
unset KORVALE_BACKEND
timeout "${KORVALE_TEST_TIMEOUT:-180}" dbus-run-session -- bash "$0" "$1" "$2" "$3" --inside
