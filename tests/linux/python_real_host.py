#!/usr/bin/python3
"""A Python host without a main loop of its own, on a real desktop: the korvale package runs
GLib's default main context through korvale.glib (PyGObject or ctypes, as asked), follows the GTK 3
test application, and must see it come to the front (through the event iterator) and a word
selected in it (through a listener that stops korvale.glib.run).
  python_real_host.py PACKAGE_SRC TEST_APP LIBRARY PyGObject|ctypes
"""

import os
import select
import subprocess
import sys
import time

sys.path.insert(0, sys.argv[1])
import korvale  # noqa: E402
from korvale import glib  # noqa: E402

test_app, library, way = sys.argv[2], sys.argv[3], sys.argv[4]
failures = 0


def check(ok, what):
    global failures
    print(("PASS " if ok else "FAIL ") + what, flush=True)
    failures += 0 if ok else 1


def read_line(stream, seconds):
    """A line of the test application's answers, waiting at most `seconds` while GLib runs."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if select.select([stream], [], [], 0)[0]:
            return stream.readline().strip()
        glib.iterate(0.05)
    return ""


check(glib.use(way) == way, f"GLib reached through {way}")
k = korvale.Korvale(library)
selected = []
k.on("text_select", lambda data: (selected.append(data), glib.stop()))
k.init()
k.start({})
check(k.is_trusted(), "the library finds the accessibility service")

app = subprocess.Popen(["/usr/bin/python3", test_app, "100", "120"], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE, text=True)
try:
    check(read_line(app.stdout, 20) == "ready", "the test application started")
    window = ""
    for _ in range(50):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(app.pid)],
                               capture_output=True, text=True).stdout.split()
        if found:
            window = found[0]
            break
        glib.iterate(0.1)
    check(bool(window), "its window is on the screen")
    # Its launch must be seen before the switch (the library prints "appChanged" for it).
    glib.iterate(1.0)
    subprocess.run(["timeout", "5", "xdotool", "windowfocus", "--sync", window], check=False)
    fronted = None
    for event in k.events(timeout=10):
        # The bundle identifier is the window's WM_CLASS class: "Korvale-test-app".
        if event.name == "app_changed" and str(event.data.get("bundle_id")).lower() == "korvale-test-app":
            fronted = event
            break
    check(fronted is not None, "the event iterator yields app_changed for the test application")

    app.stdin.write("select_view 6 11\n")
    app.stdin.flush()
    started = time.monotonic()
    glib.run(10)  # the listener stops it at the first text_select
    check(time.monotonic() - started < 9.5, "a listener's glib.stop() ends glib.run")
    check(bool(selected) and selected[0].get("selected_text") == "brave",
          f"the listener receives the text_select of \"brave\" ({selected[:1]})")
    check(k.callback_errors == [], f"no handler failed ({k.callback_errors})")
finally:
    app.stdin.close()
    try:
        app.wait(5)
    except subprocess.TimeoutExpired:
        app.kill()
sys.exit(1 if failures else 0)
