# Shared by the Linux end-to-end scripts: what each needs checked (skipping, exit 77, when it is
# missing), a private X server (Xvfb) with a temporary folder for whatever the applications write,
# and a bounded run inside it and a private session bus. Source it, check, then either
# run_in_session NAME SECONDS COMMAND... or start_x_session NAME and run as you need; the server and
# the folder go away when the script exits. With KORVALE_TEST_WM=openbox a window manager runs in
# the session too (frames, reparenting, _NET_ACTIVE_WINDOW).

# CTest's SKIP, with the reason.
skip() { echo "SKIPPED: $*  (scripts/linux-tests.sh installs what is needed)"; exit 77; }

# Each named program is on PATH.
require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
}

# The accessibility bus's launcher (at-spi2-core).
require_atspi() {
  [[ -x /usr/libexec/at-spi-bus-launcher ]] || skip "at-spi2-core is not installed"
}

# require_python CODE WHAT: CODE runs in the system Python, or the test is skipped for WHAT.
require_python() {
  /usr/bin/python3 -c "$1" >/dev/null 2>&1 || skip "$2 is not installed"
}

# PyGObject with GTK 3, which the test applications are written in.
require_gtk3_python() {
  require_python "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk" \
    "python3-gi with GTK 3 (gir1.2-gtk-3.0)"
}

# wait_for FILE PATTERN SECONDS: polls FILE for an extended regular expression, at most SECONDS.
wait_for() {
  local file=$1 pattern=$2 seconds=$3 i
  for ((i = 0; i < seconds * 20; i++)); do
    grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# wait_for_more FILE PATTERN COUNT SECONDS: polls FILE until more than COUNT of its lines match the
# extended regular expression, at most SECONDS.
wait_for_more() {
  local file=$1 pattern=$2 count=$3 seconds=$4 i n
  for ((i = 0; i < seconds * 20; i++)); do
    n=$(grep -Ec -- "$pattern" "$file" 2>/dev/null)
    (( ${n:-0} > count )) && return 0
    sleep 0.05
  done
  return 1
}

# interrupt PID: SIGINT to a child of this shell, then at most 5 s for it to end; its exit status,
# or 124 when it is still running.
interrupt() {
  local pid=$1 i
  kill -INT "$pid"
  for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && return 124
  wait "$pid"
}

# stop_on_sigint WHAT PID_VARIABLE: interrupt the process whose id the named variable holds and
# `fail` (the calling script's) unless it ends within 5 s with status 0. The variable is emptied
# once the process is reaped, so the script's cleanup does not signal a reused id.
stop_on_sigint() {
  local what=$1 rc
  local -n pid_of=$2
  interrupt "$pid_of"
  rc=$?
  [[ $rc == 124 ]] && fail "$what did not stop within 5 s of SIGINT"
  pid_of=
  [[ $rc == 0 ]] || fail "$what exited with $rc after SIGINT"
}

# window_of PID SECONDS: prints the id of PID's first visible window, waiting at most SECONDS for it;
# fails (status 1, nothing printed) when none appears.
window_of() {
  local pid=$1 seconds=$2 window i
  for ((i = 0; i < seconds * 10; i++)); do
    window=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1)
    [[ -n $window ]] && { echo "$window"; return 0; }
    sleep 0.1
  done
  return 1
}

# run_in_session NAME SECONDS COMMAND...: COMMAND inside a private X server and session bus, for at
# most SECONDS (KORVALE_TEST_TIMEOUT overrides it); its exit status.
run_in_session() {
  local name=$1 seconds=$2
  shift 2
  start_x_session "$name"
  timeout "${KORVALE_TEST_TIMEOUT:-$seconds}" dbus-run-session -- "$@"
}
start_x_session() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  xvfb_pid=
  trap stop_x_session EXIT

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

  mkdir -p "$work/runtime" "$work/cache" "$work/config" "$work/data"
  chmod 700 "$work/runtime"
  export XDG_RUNTIME_DIR=$work/runtime XDG_CACHE_HOME=$work/cache XDG_CONFIG_HOME=$work/config \
    XDG_DATA_HOME=$work/data GSETTINGS_BACKEND=memory KORVALE_TEST_DIR=$work
  unset NO_AT_BRIDGE
  wm_pid=
  [[ -n ${KORVALE_TEST_WM:-} ]] && start_window_manager "$KORVALE_TEST_WM"
  return 0
}

start_window_manager() {
  command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"
  "$1" >"$work/wm.log" 2>&1 &
  wm_pid=$!
  # Ready once it has published itself on the root window.
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    kill -0 "$wm_pid" 2>/dev/null || break
    sleep 0.1
  done
  skip "the window manager $1 did not start: $(tail -3 "$work/wm.log")"
}

stop_x_session() {
  [[ -n ${wm_pid:-} ]] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
