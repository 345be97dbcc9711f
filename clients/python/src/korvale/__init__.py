"""Python binding of Korvale through ctypes, for hosts written in Python.

Loads the shared library, declares the nine exports and the simulated desktop's ksim_ control
API with their C types, and keeps the host callback alive for as long as it is registered (a
ctypes callback object that is garbage-collected while the library still holds its address
would crash the process at the next event). Everything must be called from one thread, the
host's main thread; events arrive on it while the loop runs: ksim_run on the simulated desktop,
the GLib main loop on a Linux desktop (korvale.glib runs it for hosts without one).

The ksim_ control API lives in libKorvale-Sim, which carries the nine exports as well; it is the
library loaded by default. A production host passes libKorvale-Project (the nine exports only);
the ksim_ methods are then unavailable.

Events come three ways, all from the same callback:

    k = Korvale()                      # KORVALE_LIBRARY, or libKorvale-Sim.so.0 from the loader
    k.init(lambda name, data: print(name, data))       # every event, data parsed from JSON
    k.on("text_select", lambda data: print(data["selected_text"]))   # one event name
    k.start({})
    for event in k.events(timeout=60):                 # an iterator that runs the loop itself
        print(event.name, event.data)
"""

from __future__ import annotations

import collections
import ctypes
import ctypes.util
import json
import os
import time
from typing import Any, Callable, Deque, Dict, Iterator, List, NamedTuple, Optional, Set, Union

from . import glib

__all__ = ["Event", "EventData", "Korvale", "KorvaleError", "glib"]
__version__ = "0.1.0"

HOST_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p)

#: The data of an event: the JSON object the library sent, parsed.
EventData = Dict[str, Any]
#: A JSON argument: a Python value to encode, or JSON text as it is.
JSONArgument = Union[str, bytes, Dict[str, Any], List[Any]]


class KorvaleError(RuntimeError):
    """A ksim_ call failed; the message is the library's ksim_last_error()."""


class Event(NamedTuple):
    """One host event: its name, its data, and the JSON text exactly as delivered."""

    name: str
    data: EventData
    json: str


def _default_path() -> str:
    path = os.environ.get("KORVALE_LIBRARY")
    if path:
        return path
    return ctypes.util.find_library("Korvale-Sim") or "libKorvale-Sim.so.0"


def _text(value: JSONArgument) -> bytes:
    """JSON arguments may be given as Python values or as ready JSON text."""
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8")
    return json.dumps(value).encode("utf-8")


class Korvale:
    """The library loaded into this process. Make one per process."""

    def __init__(self, path: Optional[str] = None, *, queue_size: int = 1024) -> None:
        self.lib = ctypes.CDLL(path or _default_path())
        self._callback: Optional[Any] = None  # the live ctypes callback: must outlive its registration
        self._handler: Optional[Callable[[str, EventData], None]] = None
        self._listeners: Dict[str, List[Callable[[EventData], None]]] = {}
        # Events for events(); the oldest are dropped when nobody iterates.
        self._queue: Deque[Event] = collections.deque(maxlen=queue_size)
        self._simulated = False
        self._path = path or _default_path()
        self._missing: Set[str] = set()
        #: Exceptions raised by the host's handlers: kept here, since they must not unwind into C.
        self.callback_errors: List[BaseException] = []
        signatures = {
            "initMacAccessibility": (None, [HOST_CALLBACK]),
            "isAccessibiltyEnabled": (ctypes.c_bool, []),
            "showAccessibiltyPermisionPopup": (ctypes.c_bool, []),
            "addBlockedApps": (None, [ctypes.c_char_p]),
            "start": (None, [ctypes.c_char_p]),
            "setText": (None, [ctypes.c_char_p]),
            "getDataForVelaAssist": (None, []),
            "addMouseTracker": (None, [ctypes.c_void_p]),
            "ksim_load_world": (ctypes.c_int, [ctypes.c_char_p]),
            "ksim_perform": (ctypes.c_int, [ctypes.c_char_p]),
            "ksim_step": (ctypes.c_int, [ctypes.c_char_p]),
            "ksim_run": (None, [ctypes.c_double]),
            "ksim_run_in_mode": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_double]),
            "ksim_now": (ctypes.c_double, []),
            "ksim_read": (ctypes.c_char_p, [ctypes.c_char_p]),
            "ksim_last_error": (ctypes.c_char_p, []),
            "ksim_window_handle": (ctypes.c_void_p, [ctypes.c_char_p]),
            "ksim_backend": (ctypes.c_char_p, []),
        }
        for name, (restype, argtypes) in signatures.items():
            try:
                fn = getattr(self.lib, name)
            except AttributeError:
                if name.startswith("ksim_"):
                    self._missing.add(name)  # the production library: no simulated desktop
                    continue
                raise
            fn.restype, fn.argtypes = restype, argtypes

    # ----- the nine exports (main aside: a host never needs it) -----

    def init(self, handler: Optional[Callable[[str, EventData], None]] = None) -> None:
        """Registers the host callback and creates the monitor. `handler(name, data)`, when
        given, receives every event; on() and events() work with or without it."""
        self._handler = handler

        def trampoline(name: bytes, data: bytes) -> None:
            # An exception must not unwind into C: keep it for the host to look at.
            try:
                self._dispatch(name.decode("utf-8"), data.decode("utf-8"))
            except Exception as error:  # noqa: BLE001 - reported through callback_errors
                self.callback_errors.append(error)

        self._callback = HOST_CALLBACK(trampoline)
        self.lib.initMacAccessibility(self._callback)

    def _dispatch(self, name: str, text: str) -> None:
        event = Event(name, json.loads(text), text)
        self._queue.append(event)
        calls: List[Callable[[], None]] = []
        if self._handler is not None:
            handler = self._handler
            calls.append(lambda: handler(event.name, event.data))
        for listener in list(self._listeners.get(name, ())):
            calls.append(lambda listener=listener: listener(event.data))  # type: ignore[misc]
        for call in calls:
            try:
                call()
            except Exception as error:  # noqa: BLE001 - one handler's fault spares the others
                self.callback_errors.append(error)

    def on(self, name: str, listener: Callable[[EventData], None]) -> Callable[[], None]:
        """Calls listener(data) for each event of that name; returns a function that removes it."""
        self._listeners.setdefault(name, []).append(listener)

        def remove() -> None:
            if listener in self._listeners.get(name, []):
                self._listeners[name].remove(listener)

        return remove

    def off(self, name: Optional[str] = None) -> None:
        """Removes every listener of that event name, or every listener when name is None."""
        if name is None:
            self._listeners.clear()
        else:
            self._listeners.pop(name, None)

    def events(self, timeout: Optional[float] = None, *, step: float = 0.05) -> Iterator[Event]:
        """Yields events as they arrive, running the loop meanwhile: the simulated desktop's
        (on its clock) once a world was loaded, otherwise GLib's default main context (on the
        wall clock). Ends after `timeout` seconds, or never when it is None. Events that came
        before the iteration started are yielded first."""
        clock: Callable[[], float] = self.now if self._simulated else time.monotonic
        end = None if timeout is None else clock() + timeout
        while True:
            while self._queue:
                yield self._queue.popleft()
            left = None if end is None else end - clock()
            if left is not None and left <= 1e-9:
                return
            slice_ = step if left is None else min(step, left)
            if self._simulated:
                self.run(slice_)
            else:
                glib.iterate(slice_)

    def is_trusted(self) -> bool:
        return bool(self.lib.isAccessibiltyEnabled())

    def ask_for_trust(self) -> bool:
        return bool(self.lib.showAccessibiltyPermisionPopup())

    def add_blocked_apps(self, bundle_ids: JSONArgument) -> None:
        self.lib.addBlockedApps(_text(bundle_ids))

    def start(self, blocked_fields: Optional[JSONArgument] = None) -> None:
        self.lib.start(_text({} if blocked_fields is None else blocked_fields))

    def set_text(self, text: str) -> None:
        self.lib.setText(text.encode("utf-8"))

    def snapshot(self) -> None:
        self.lib.getDataForVelaAssist()

    def add_mouse_tracker(self, window_handle: Optional[int]) -> None:
        """On Linux the handle is the window's X11 id; on the simulated desktop window_handle()."""
        self.lib.addMouseTracker(window_handle)

    # ----- the simulated desktop -----

    def _sim(self, name: str) -> Any:
        """A function of the simulated desktop's control API, which the production library lacks."""
        if name in self._missing:
            raise KorvaleError(f"{self._path} has no simulated desktop ({name})")
        return getattr(self.lib, name)

    def _check(self, status: int, what: str) -> None:
        if status != 0:
            raise KorvaleError(f"{what}: {self.last_error()}")

    def load_world(self, world: JSONArgument) -> None:
        self._check(self._sim("ksim_load_world")(_text(world)), "ksim_load_world")
        self._simulated = True
        self._queue.clear()

    def perform(self, action: JSONArgument) -> None:
        self._check(self._sim("ksim_perform")(_text(action)), "ksim_perform")

    def step(self, step: JSONArgument) -> None:
        """One scenario step (docs/scenarios.md); an unmet expectation raises KorvaleError."""
        self._check(self._sim("ksim_step")(_text(step)), "ksim_step")

    def run(self, seconds: float) -> None:
        self._sim("ksim_run")(float(seconds))

    def now(self) -> float:
        return float(self._sim("ksim_now")())

    def read(self, what: str) -> Any:
        return json.loads(self._sim("ksim_read")(what.encode("utf-8")).decode("utf-8"))

    def last_error(self) -> str:
        return self._sim("ksim_last_error")().decode("utf-8")

    def window_handle(self, window_id: str) -> int:
        handle = self._sim("ksim_window_handle")(window_id.encode("utf-8"))
        if not handle:
            raise KorvaleError(f"no host window {window_id!r}")
        return int(handle)
