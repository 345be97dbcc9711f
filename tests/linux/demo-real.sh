#!/usr/bin/env bash
# Checks `korvale-demo --real` end to end: inside a private X server (Xvfb) and a private session
# bus (dbus-run-session, which starts the accessibility bus), the demo follows the GTK 3 test
# application while it is switched to and a word is selected in it; the demo's output must show
# "app_changed" with the application's bundle id and the "text_select" of that word, and the demo
# must stop cleanly on SIGINT. It must also refuse --real when KORVALE_BACKEND=sim. Every wait is
# bounded. Exits 77 (CTest's SKIP) with a message when something it needs is missing.
#   demo-real.sh DEMO_BINARY TEST_APP_SCRIPT
set -u
demo=$1
test_app=$2
source "$(dirname "$0")/x-session.sh"

# ---- inside the session bus: the check itself ----------------------------------------------------
if [[ ${3:-} == --inside ]]; then
  work=$KORVALE_TEST_DIR
  demo_pid= app_pid=
  cleanup_inside() {
    exec 4>&-  # closing its input makes the test application quit
    for pid in $app_pid $demo_pid; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
  }
  trap cleanup_inside EXIT
  fail() {
    echo "FAIL $*"
    echo "---- demo output ----"; cat "$work/demo.out"
    echo "---- test application ----"; cat "$work/app.out" "$work/app.err" 2>/dev/null
    exit 1
  }

  "$demo" --real --seconds 90 --no-color >"$work/demo.out" 2>&1 &
  demo_pid=$!
  # start() prints this line and then subscribes, before the test application below can launch.
  wait_for "$work/demo.out" '^Accessibility is enabled$' 15 || fail "the demo did not start following the desktop"
  echo "PASS the demo starts on the real desktop"

  # The test application reads its commands from a FIFO kept open on fd 4.
  mkfifo "$work/app.in"
  /usr/bin/python3 "$test_app" 100 120 <"$work/app.in" >"$work/app.out" 2>"$work/app.err" &
  app_pid=$!
  exec 4>"$work/app.in"
  wait_for "$work/app.out" '^ready$' 20 || fail "the test application did not start"
  # Its registration on the accessibility bus is a launch notification: the library prints
  # "appChanged". Switching to it before that could go unseen.
  wait_for "$work/demo.out" '^appChanged$' 10 || fail "the test application's launch was not noticed"

  window=$(window_of "$app_pid" 5) || fail "the test application's window was not found"
  timeout 5 xdotool windowfocus --sync "$window" || fail "could not focus the test application"
  wait_for "$work/demo.out" 'EVENT +app_changed +\{.*"bundle_id":"Korvale-test-app"' 10 ||
    fail "no app_changed with bundle id Korvale-test-app in the demo output"
  echo "PASS switching to the test application prints app_changed with its bundle id"

  echo "select_view 6 11" >&4
  wait_for "$work/app.out" '^ok select_view' 5 || fail "the test application did not select"
  wait_for "$work/demo.out" 'EVENT +text_select +\{.*"selected_text":"brave"' 10 ||
    fail "no text_select of \"brave\" in the demo output"
  echo "PASS selecting a word prints text_select with the word"

  stop_on_sigint "the demo" demo_pid
  grep -Eq '^interrupted after .* host events:.*app_changed [0-9]+' "$work/demo.out" ||
    fail "the demo printed no summary after SIGINT"
  echo "PASS SIGINT stops the demo cleanly, with its summary"
  echo "---- demo output ----"
  cat "$work/demo.out"
  exit 0
fi

# ---- outside: what is needed, the X server and the session bus ------------------------------------
[[ -x $demo ]] || { echo "FAIL no demo binary at $demo"; exit 1; }
require_tools Xvfb dbus-run-session xdotool timeout
require_atspi
require_gtk3_python

# Refused before the library is used: the simulated desktop would follow nothing.
KORVALE_BACKEND=sim "$demo" --real --seconds 1 >/dev/null 2>&1
rc=$?
[[ $rc == 2 ]] || { echo "FAIL --real with KORVALE_BACKEND=sim exited $rc, not 2"; exit 1; }
echo "PASS --real is refused when KORVALE_BACKEND=sim"

unset KORVALE_BACKEND
run_in_session korvale-demo-real 120 bash "$0" "$demo" "$test_app" --inside
