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

work=$(mktemp -d /tmp/korvale-linux-test.XXXXXX)
xvfb_pid=
cleanup() {
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it to fd 3 once it accepts connections.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $work/display ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[[ -s $work/display ]] || skip "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
export DISPLAY=":$(head -1 "$work/display")"

# Files the applications write stay in the temporary folder.
mkdir -p "$work/runtime" "$work/cache" "$work/config" "$work/data"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime XDG_CACHE_HOME=$work/cache XDG_CONFIG_HOME=$work/config \
  XDG_DATA_HOME=$work/data GSETTINGS_BACKEND=memory KORVALE_BACKEND=linux KORVALE_TEST_DIR=$work
unset NO_AT_BRIDGE

timeout "${KORVALE_TEST_TIMEOUT:-240}" dbus-run-session -- "$host_test" "$test_app" "${@:3}"
