#!/usr/bin/python3
# A small GTK3 application for the Linux backend's tests: one window with a single-line entry,
# a password entry (visibility off), a selectable label and a multi-line text view. The test drives it through commands on standard input, one per
# line, and reads one answer line per command on standard output:
#   select_view S E | caret_view N | select_entry S E | select_label S E | focus_entry |
#   select_secret S E | entry_json "TEXT" | entry_range S E | focus_view | view_range S E |
#   move X Y | resize W H | busy MS | slow_paste MS | ignore_keys | reset |
#   frame | text | quit | focus_list | big_text BYTES | insert_emoji N | editable_view 0|1 |
#   second_window X Y | move_second X Y | close_second
# Options after X Y make the larger windows of the cost tests: rows=N adds a list (a tree view
# of one column) of N rows; widgets=N fills the window with N buttons; scrolled=1 puts the text
# view in a scrolled window (and a selection is scrolled into view); unfocused=1 asks a window
# manager not to give the window the focus when it maps (so that a test switches to it itself).
# "big_text BYTES" replaces the text view's text with about BYTES bytes of lines, each with an
# accented letter and an emoji (outside the Basic Multilingual Plane), and answers
# "ok big_text T CHARS" with the text's length in characters; "insert_emoji N" inserts a rocket
# (beyond the Basic Multilingual Plane) and an accented letter at character N; "editable_view 0"
# makes the text view read-only, "editable_view 1" editable again.
# "second_window X Y" opens a second window with a text view whose first word is selected, and
# answers once it is mapped; "move_second" moves it and "close_second" destroys it.
# "busy MS" answers, then blocks the application's main loop for MS milliseconds (a busy
# application: a keystroke meanwhile is handled afterwards); "slow_paste MS" makes every Ctrl+V
# from then on wait MS milliseconds before it pastes (busy just when the paste comes); "ignore_keys" makes the window
# swallow every key press from then on (a keystroke that lands nowhere).
# "entry_json" focuses the entry and gives it the text (a JSON string, so any character passes
# intact); "entry_range" and "view_range" select without moving the focus.
# Offsets are in characters. "frame" answers "frame X Y W H" (the window's screen rectangle);
# other commands answer "ok COMMAND T", T being the monotonic time at which the command began.
import json
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import GLib  # noqa: E402

# Before GTK starts: its WM_CLASS ("korvale-test-app", "Korvale-test-app") comes from the name.
GLib.set_prgname("korvale-test-app")
GLib.set_application_name("Korvale Test App")
from gi.repository import Gdk, Gtk  # noqa: E402

x, y = (int(sys.argv[1]), int(sys.argv[2])) if len(sys.argv) > 2 else (100, 100)
options = dict(a.split("=", 1) for a in sys.argv[3:] if "=" in a)

window = Gtk.Window(title="Korvale test app")
window.set_default_size(480, 300)
window.move(x, y)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
entry = Gtk.Entry()
entry.set_text("entry text here")
secret = Gtk.Entry()
secret.set_visibility(False)
secret.set_text("hunter2hunter2")
label = Gtk.Label(label="Selectable label words")
label.set_selectable(True)
view = Gtk.TextView()
TEXT = "Hello brave new world\nsecond line of text"
view.get_buffer().set_text(TEXT)
box.pack_start(entry, False, False, 0)
box.pack_start(secret, False, False, 0)
box.pack_start(label, False, False, 0)
if options.get("scrolled"):
    # A document larger than the screen scrolls, as in any editor.
    view_scroller = Gtk.ScrolledWindow()
    view_scroller.add(view)
    box.pack_start(view_scroller, True, True, 0)
else:
    box.pack_start(view, True, True, 0)
tree = None
if int(options.get("rows", 0)) > 0:
    store = Gtk.ListStore(str)
    for i in range(int(options["rows"])):
        store.append(["row %d" % i])
    tree = Gtk.TreeView(model=store)
    tree.append_column(Gtk.TreeViewColumn("Rows", Gtk.CellRendererText(), text=0))
    scrolled = Gtk.ScrolledWindow()
    scrolled.set_size_request(-1, 120)
    scrolled.add(tree)
    box.pack_start(scrolled, True, True, 0)
if int(options.get("widgets", 0)) > 0:
    grid = Gtk.Grid()
    for i in range(int(options["widgets"])):
        grid.attach(Gtk.Button(label="b%d" % i), i % 40, i // 40, 1, 1)
    scrolled = Gtk.ScrolledWindow()
    scrolled.set_size_request(-1, 120)
    scrolled.add(grid)
    box.pack_start(scrolled, True, True, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)
if options.get("unfocused"):
    window.set_focus_on_map(False)


def answer(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def buffer_iter(n):
    return view.get_buffer().get_iter_at_offset(n)


second = None


def on_command(source, condition):
    global second
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    parts = line.split()
    if not parts:
        return True
    cmd, args = parts[0], [int(a) for a in parts[1:] if a.lstrip("-").isdigit()]
    started = time.monotonic()  # the same clock as GLib's monotonic time
    if cmd == "select_view":
        view.grab_focus()
        view.get_buffer().select_range(buffer_iter(args[0]), buffer_iter(args[1]))
        if options.get("scrolled"):
            view.scroll_to_iter(buffer_iter(args[1]), 0.1, False, 0, 0)
    elif cmd == "caret_view":
        view.grab_focus()
        view.get_buffer().place_cursor(buffer_iter(args[0]))
    elif cmd == "select_entry":
        entry.grab_focus()
        entry.select_region(args[0], args[1])
    elif cmd == "select_label":
        label.grab_focus()
        label.select_region(args[0], args[1])
    elif cmd == "select_secret":
        secret.grab_focus()
        secret.select_region(args[0], args[1])
    elif cmd == "focus_entry":
        entry.grab_focus()
    elif cmd == "entry_json":
        entry.grab_focus()
        entry.set_text(json.loads(line.split(None, 1)[1]))
    elif cmd == "entry_range":
        entry.select_region(args[0], args[1])
    elif cmd == "focus_view":
        view.grab_focus()
    elif cmd == "view_range":
        view.get_buffer().select_range(buffer_iter(args[0]), buffer_iter(args[1]))
    elif cmd == "insert_emoji":
        view.get_buffer().insert(buffer_iter(args[0]), "\U0001F680\u00e9")
    elif cmd == "editable_view":
        view.set_editable(bool(args[0]))
    elif cmd == "focus_list":
        tree.grab_focus()
    elif cmd == "big_text":
        line = "Line with caf\u00e9 and \U0001F600 in it, number %06d.\n"
        n = max(1, args[0] // len((line % 0).encode("utf-8")))
        text = "".join(line % i for i in range(n))
        view.get_buffer().set_text(text)
        answer("ok %s %.6f %d" % (cmd, started, len(text)))
        return True
    elif cmd == "move":
        window.move(args[0], args[1])
    elif cmd == "resize":
        window.resize(args[0], args[1])
    elif cmd == "second_window":
        second = Gtk.Window(title="Korvale second window")
        second.set_default_size(300, 160)
        second.move(args[0], args[1])
        second_view = Gtk.TextView()
        second_buffer = second_view.get_buffer()
        second_buffer.set_text("second window text")
        second_buffer.select_range(second_buffer.get_start_iter(), second_buffer.get_iter_at_offset(6))
        second.add(second_view)
        second.connect("map-event", lambda *_: answer("ok %s %.6f" % (cmd, started)))
        second.show_all()
        return True
    elif cmd == "move_second":
        second.move(args[0], args[1])
    elif cmd == "close_second":
        second.destroy()
        second = None
    elif cmd == "frame":
        gdk = window.get_window()
        ox, oy = gdk.get_origin()[1:]
        answer("frame %d %d %d %d" % (ox, oy, gdk.get_width(), gdk.get_height()))
        return True
    elif cmd == "text":
        b = view.get_buffer()
        answer("text " + b.get_text(b.get_start_iter(), b.get_end_iter(), False).replace("\n", "\\n"))
        return True
    elif cmd == "quit":
        Gtk.main_quit()
        return False
    elif cmd == "busy":
        answer("ok %s %.6f" % (cmd, started))
        time.sleep(args[0] / 1000.0)
        return True
    elif cmd == "slow_paste":
        def on_key(_, event):
            if event.keyval in (Gdk.KEY_v, Gdk.KEY_V) and event.state & Gdk.ModifierType.CONTROL_MASK:
                time.sleep(args[0] / 1000.0)
            return False
        window.connect("key-press-event", on_key)
    elif cmd == "reset":
        view.get_buffer().set_text(TEXT)
    elif cmd == "ignore_keys":
        window.connect("key-press-event", lambda *_: True)
    answer("ok %s %.6f" % (cmd, started))
    return True


def on_mapped(*_):
    answer("ready")
    return False


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
window.connect("map-event", on_mapped)
window.show_all()
Gtk.main()
