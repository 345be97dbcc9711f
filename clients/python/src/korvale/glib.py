"""Running GLib's default main context, for Python hosts that have no main loop of their own.

On a Linux desktop the library receives everything on GLib's default main context of the thread
that calls it: accessibility events, its own delayed deliveries, clipboard requests. A GTK host
(PyGObject's Gtk.main, GLib.MainLoop) already runs that context; a plain script does not, and
then no event ever arrives. run() and iterate() run it on the calling thread:

    k = korvale.Korvale(); k.init(print); k.start({})
    korvale.glib.run(60)                 # or: while True: korvale.glib.iterate(0.5)

PyGObject is used where it is installed; otherwise GLib itself through ctypes (libglib-2.0 is
present wherever the library's Linux backend is). Both drive the same default context. Waiting is
blocking, not polling: iterate() sleeps in GLib until something is due or its time is up.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import time
from typing import Any, Callable, Optional

__all__ = ["backend", "iterate", "run", "stop", "use"]


class _PyGObject:
    name = "PyGObject"

    def __init__(self) -> None:
        from gi.repository import GLib  # noqa: PLC0415 - optional dependency

        self.GLib = GLib
        self.context = GLib.MainContext.default()

    def timeout_add(self, ms: int, fn: Callable[[], bool]) -> int:
        return int(self.GLib.timeout_add(ms, fn))

    def source_remove(self, source: int) -> None:
        self.GLib.source_remove(source)

    def iteration(self, block: bool) -> bool:
        return bool(self.context.iteration(block))


class _CtypesGLib:
    name = "ctypes"
    SOURCE_FUNC = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)

    def __init__(self) -> None:
        lib = ctypes.CDLL(ctypes.util.find_library("glib-2.0") or "libglib-2.0.so.0")
        lib.g_timeout_add.restype = ctypes.c_uint
        lib.g_timeout_add.argtypes = [ctypes.c_uint, self.SOURCE_FUNC, ctypes.c_void_p]
        lib.g_source_remove.restype = ctypes.c_int
        lib.g_source_remove.argtypes = [ctypes.c_uint]
        lib.g_main_context_iteration.restype = ctypes.c_int
        lib.g_main_context_iteration.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib = lib
        self.live: dict[int, Any] = {}  # ctypes callbacks must outlive their sources

    def timeout_add(self, ms: int, fn: Callable[[], bool]) -> int:
        holder: list[int] = []

        def call(_data: Any) -> int:
            again = bool(fn())
            if not again and holder:
                self.live.pop(holder[0], None)
            return int(again)

        callback = self.SOURCE_FUNC(call)
        source = int(self.lib.g_timeout_add(ms, callback, None))
        holder.append(source)
        self.live[source] = callback
        return source

    def source_remove(self, source: int) -> None:
        self.lib.g_source_remove(source)
        self.live.pop(source, None)

    def iteration(self, block: bool) -> bool:
        return bool(self.lib.g_main_context_iteration(None, int(block)))


_backend: Optional[Any] = None
_running = False  # inside run()
_stopped = False  # stop() was called during this run()


def use(name: Optional[str] = None) -> str:
    """Chooses how GLib is reached: "PyGObject", "ctypes", or None for the first that works.
    Returns the name chosen."""
    global _backend
    if name in (None, "PyGObject"):
        try:
            _backend = _PyGObject()
            return _backend.name
        except (ImportError, ValueError):
            if name is not None:
                raise
    _backend = _CtypesGLib()
    return _backend.name


def backend() -> str:
    """The name of the way GLib is reached ("PyGObject" or "ctypes")."""
    if _backend is None:
        use()
    assert _backend is not None
    return str(_backend.name)


def iterate(seconds: float) -> None:
    """Runs GLib's default main context for about `seconds`, dispatching whatever comes due."""
    if _backend is None:
        use()
    assert _backend is not None
    done = [False]

    def wake() -> bool:
        done[0] = True
        return False

    source = _backend.timeout_add(max(0, int(seconds * 1000)), wake)
    try:
        while not done[0] and not (_running and _stopped):
            _backend.iteration(True)
    finally:
        if not done[0]:
            _backend.source_remove(source)


def run(seconds: Optional[float] = None) -> None:
    """Runs GLib's default main context until `seconds` have passed (forever when None) or
    stop() is called, for instance from an event handler. Ctrl-C raises KeyboardInterrupt as
    usual, within half a second."""
    global _running, _stopped
    _running, _stopped = True, False
    end = None if seconds is None else time.monotonic() + seconds
    try:
        while not _stopped:
            left = None if end is None else end - time.monotonic()
            if left is not None and left <= 0:
                return
            iterate(0.5 if left is None else min(0.5, left))
    finally:
        _running = _stopped = False


def stop() -> None:
    """Makes a running run() return once the handler that called this returns."""
    global _stopped
    _stopped = _running
