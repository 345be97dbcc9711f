#!/usr/bin/env bash
# The Python package on a real desktop, for a host without a main loop: inside a private X server
# (Xvfb) and session bus, python_real_host.py follows the GTK 3 test application through the
# library, running GLib with korvale.glib — once through PyGObject, once through ctypes. Exits 77
# (CTest's SKIP) with a message when something it needs is missing.
#   python-real.sh PACKAGE_SRC TEST_APP LIBRARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/x-session.sh"
if [[ ${4:-} == --inside ]]; then
  status=0
  for way in PyGObject ctypes; do
    echo "== korvale.glib through $way"
    timeout 60 /usr/bin/python3 "$here/python_real_host.py" "$1" "$2" "$3" "$way" || status=1
  done
  exit $status
fi
require_tools Xvfb dbus-run-session xdotool timeout
require_atspi
require_gtk3_python
unset KORVALE_BACKEND
run_in_session korvale-python-real 180 bash "$0" "$1" "$2" "$3" --inside
