#!/usr/bin/env bash
# Checks korvale-inspect on a real (virtual) screen: inside a private X server (Xvfb) and a private
# session bus, l3afpad shows a known text away from the screen's corner; the inspector follows it;
# a word is selected with the keyboard; the inspector must list the text_select and draw its
# outline, and a screenshot must show that outline around the word where the word really is on
# the screen (found from the pixels the selection changed, not from what the library reported).
# The screenshots are kept as test artifacts in ARTIFACT_DIR. Every wait is bounded. Exits 77
# (CTest's SKIP) with a message when something it needs is missing.
#   overlay-screenshot.sh INSPECT_BINARY ARTIFACT_DIR
set -u
inspect=$1
artifacts=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/x-session.sh"

# ---- inside the session bus: the check itself ----------------------------------------------------
if [[ ${3:-} == --inside ]]; then
  work=$KORVALE_TEST_DIR
  inspect_pid= editor_pid=
  cleanup_inside() {
    for pid in $editor_pid $inspect_pid; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
  }
  trap cleanup_inside EXIT
  fail() {
    echo "FAIL $*"
    echo "---- inspector output ----"; cat "$work/inspect.out"
    [[ -f $work/check.out ]] && { echo "---- screen check ----"; cat "$work/check.out"; }
    exit 1
  }
  shot() { /usr/bin/python3 "$here/screen_check.py" shot "$1" || fail "could not take a screenshot"; }

  # No blinking caret: the screenshots differ only where the selection does.
  mkdir -p "$XDG_CONFIG_HOME/gtk-3.0"
  printf '[Settings]\ngtk-cursor-blink = false\n' >"$XDG_CONFIG_HOME/gtk-3.0/settings.ini"

  "$inspect" --window-at 40 480 >"$work/inspect.out" 2>&1 &
  inspect_pid=$!
  wait_for "$work/inspect.out" '^following display' 30 || fail "the inspector did not start"
  echo "PASS the inspector follows the desktop"

  printf 'alpha beta gamma\nsecond line of the document\n' >"$work/doc.txt"
  l3afpad "$work/doc.txt" >"$work/editor.out" 2>&1 &
  editor_pid=$!
  window=$(window_of "$editor_pid" 10) || fail "l3afpad's window was not found"
  # Away from the screen's corner, at odd offsets: window-relative bounds would miss the word.
  xdotool windowmove --sync "$window" 157 61 || fail "could not move l3afpad's window"
  wait_for "$work/inspect.out" '^appChanged$' 20 || fail "l3afpad's launch was not noticed"
  timeout 5 xdotool windowfocus --sync "$window" || fail "could not focus l3afpad"
  wait_for "$work/inspect.out" '^EVENT .* app_changed .*"bundle_id":"L3afpad"' 20 ||
    fail "the inspector listed no app_changed for l3afpad"
  echo "PASS the inspector lists app_changed for l3afpad"

  # The caret before "beta", then the word selected as a user would.
  carets=$(grep -c '^EVENT .* caret ' "$work/inspect.out")
  xdotool key --clearmodifiers ctrl+Home ctrl+Right Right
  # On a loaded machine the keys may still be on their way: wait for the caret's event, then for
  # two screenshots in a row to agree, so "before" shows the caret where it stays.
  wait_for_more "$work/inspect.out" '^EVENT .* caret ' "$carets" 10
  eval "$(xdotool getwindowgeometry --shell "$window")"
  shot "$work/before.png"
  for ((i = 0; i < 20; i++)); do
    sleep 0.3
    shot "$work/before2.png"
    cmp -s "$work/before.png" "$work/before2.png" && break
    mv "$work/before2.png" "$work/before.png"
  done
  xdotool key --clearmodifiers shift+ctrl+Right
  wait_for "$work/inspect.out" '^OUTLINE text_select ' 20 ||
    fail "no text_select outline (events: $(grep -c '^EVENT' "$work/inspect.out"))"
  grep -Eq '^EVENT .* text_select .*"selected_text":"beta"' "$work/inspect.out" ||
    fail "the text_select listed is not the word \"beta\""
  echo "PASS the inspector lists the text_select of \"beta\": $(grep '^OUTLINE' "$work/inspect.out" | tail -1)"

  # The outline is drawn on the next frame: look until it is on the screen, for at most 10 s.
  mkdir -p "$artifacts"
  for ((i = 0; i < 50; i++)); do
    shot "$work/after.png"
    /usr/bin/python3 "$here/screen_check.py" outline "$work/before.png" "$work/after.png" \
      "$X" "$Y" "$WIDTH" "$HEIGHT" "$artifacts/overlay-docs.png" 20 40 800 800 >"$work/check.out" && break
    sleep 0.2
  done
  cp "$work/before.png" "$artifacts/overlay-before.png"
  cp "$work/after.png" "$artifacts/overlay-screenshot.png"
  cat "$work/check.out"
  grep -q '^ok ' "$work/check.out" || fail "the outline is not around the word (screenshot: $artifacts/overlay-screenshot.png)"
  echo "PASS the outline lies around the word on the screen (screenshot: $artifacts/overlay-screenshot.png)"

  # Clicks go through the overlay to the application under it: a click on the word's outline
  # lands in l3afpad and collapses the selection there, which the inspector then hears.
  read -r _ _ ox oy _ oh < <(grep '^OUTLINE' "$work/inspect.out" | tail -1)
  events_before=$(grep -c '^EVENT' "$work/inspect.out")
  # The middle of the outline's left bar: 2 px gap plus half its 3 px left of the rectangle.
  read -r cx cy < <(awk -v x="$ox" -v y="$oy" -v h="$oh" 'BEGIN { printf "%d %d\n", x - 4, y + h / 2 }')
  xdotool mousemove --sync "$cx" "$cy" click 1
  wait_for_more "$work/inspect.out" '^EVENT' "$events_before" 10 ||
    fail "a click on the outline did not reach l3afpad (no event followed it)"
  echo "PASS a click on the outline goes through to the application"

  stop_on_sigint "the inspector" inspect_pid
  echo "PASS SIGINT stops the inspector cleanly"
  exit 0
fi

# ---- outside: what is needed, the X server and the session bus ------------------------------------
[[ -x $inspect ]] || { echo "FAIL no inspector binary at $inspect"; exit 1; }
require_tools Xvfb dbus-run-session xdotool l3afpad timeout
require_atspi
require_gtk3_python

KORVALE_BACKEND=sim "$inspect" --seconds 1 >/dev/null 2>&1
rc=$?
[[ $rc == 2 ]] || { echo "FAIL the inspector with KORVALE_BACKEND=sim exited $rc, not 2"; exit 1; }
echo "PASS the inspector refuses the simulated desktop"

unset KORVALE_BACKEND
run_in_session korvale-inspect 120 bash "$0" "$inspect" "$artifacts" --inside
