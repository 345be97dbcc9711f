# Shared by the Linux end-to-end scripts: a private X server (Xvfb) and a temporary folder for
# whatever the applications write. Source it, define skip(), then call start_x_session NAME; the
# server and the folder go away when the script exits. With KORVALE_TEST_WM=openbox a window
# manager runs in the session too (frames, reparenting, _NET_ACTIVE_WINDOW).
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
