#!/usr/bin/python3
# One window with a multi-line text editor in the toolkit named by the first argument (gtk4, qt5
# or qt6), for the Linux backend's toolkit tests. Driven like korvale_test_app.py: one command per
# line on standard input, one answer line per command on standard output:
#   select S E | caret N | text | quit
# Offsets are in characters. "text" answers "text T" (line breaks as \n); the others "ok CMD".
# "ready" is written once the window is shown.
import os
import sys

TEXT = "Hello brave new world\nsecond line of text"
toolkit = sys.argv[1] if len(sys.argv) > 1 else "gtk4"


def answer(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def run_command(line, select, caret, text, quit_app):
    parts = line.split()
    if not parts:
        return
    cmd, args = parts[0], [int(a) for a in parts[1:] if a.isdigit()]
    if cmd == "select":
        select(args[0], args[1])
    elif cmd == "caret":
        caret(args[0])
    elif cmd == "text":
        answer("text " + text().replace("\n", "\\n"))
        return
    elif cmd == "quit":
        quit_app()
        return
    answer("ok " + cmd)


def gtk4():
    import gi

    gi.require_version("Gtk", "4.0")
    from gi.repository import GLib

    GLib.set_prgname("korvale-gtk4-app")  # before GTK starts: its WM_CLASS comes from it
    from gi.repository import Gtk
    loop = GLib.MainLoop()
    window = Gtk.Window(title="Korvale GTK 4 window")
    window.set_default_size(480, 300)
    view = Gtk.TextView()
    buf = view.get_buffer()
    buf.set_text(TEXT)
    window.set_child(view)
    window.connect("close-request", lambda *_: loop.quit())

    def select(s, e):
        view.grab_focus()
        buf.select_range(buf.get_iter_at_offset(s), buf.get_iter_at_offset(e))

    def caret(n):
        view.grab_focus()
        buf.place_cursor(buf.get_iter_at_offset(n))

    def text():
        return buf.get_text(buf.get_start_iter(), buf.get_end_iter(), False)

    def on_input(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        run_command(line, select, caret, text, loop.quit)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    window.connect("map", lambda *_: GLib.timeout_add(100, lambda: answer("ready") or False))
    window.present()
    view.grab_focus()
    loop.run()


def qt(major):
    # Qt exposes accessibility only when asked, or when a screen reader runs.
    os.environ.setdefault("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1")
    if major == 5:
        from PyQt5.QtCore import QSocketNotifier, QTimer
        from PyQt5.QtGui import QTextCursor
        from PyQt5.QtWidgets import QApplication, QTextEdit
    else:
        from PyQt6.QtCore import QSocketNotifier, QTimer
        from PyQt6.QtGui import QTextCursor
        from PyQt6.QtWidgets import QApplication, QTextEdit

    app = QApplication(["korvale-qt%d-app" % major])
    app.setApplicationName("korvale-qt%d-app" % major)
    edit = QTextEdit()
    edit.setWindowTitle("Korvale Qt %d window" % major)
    edit.setPlainText(TEXT)
    edit.resize(480, 300)
    keep = QTextCursor.MoveMode.KeepAnchor if major == 6 else QTextCursor.KeepAnchor

    def select(s, e):
        edit.setFocus()
        c = edit.textCursor()
        c.setPosition(s)
        c.setPosition(e, keep)
        edit.setTextCursor(c)

    def caret(n):
        edit.setFocus()
        c = edit.textCursor()
        c.setPosition(n)
        edit.setTextCursor(c)

    def on_input():
        line = sys.stdin.readline()
        if not line:
            app.quit()
            return
        run_command(line, select, caret, edit.toPlainText, app.quit)

    kind = QSocketNotifier.Type.Read if major == 6 else QSocketNotifier.Read
    notifier = QSocketNotifier(sys.stdin.fileno(), kind)
    notifier.activated.connect(on_input)
    edit.show()
    edit.setFocus()
    QTimer.singleShot(300, lambda: answer("ready"))
    app.exec() if major == 6 else app.exec_()


if toolkit == "gtk4":
    gtk4()
elif toolkit in ("qt5", "qt6"):
    qt(int(toolkit[2]))
else:
    sys.exit("unknown toolkit " + toolkit)
