"""Python binding of libKorvale-Project through ctypes, for hosts written in Python.

Loads the shared library, declares the nine exports and the simulated desktop's ksim_ control
API with their C types, and keeps the host callback alive for as long as it is registered (a
ctypes callback object that is garbage-collected while the library still holds its address
would crash the process at the next event). Everything must be called from one thread, the
host's main thread; events arrive on it while ksim_run (or a real run loop) runs.

    k = Korvale()                      # KORVALE_LIBRARY, or libKorvale-Project.so.0 from the loader
    k.load_world({"clock": "virtual", ...})
    k.init(lambda name, data: print(name, data))   # data is the parsed JSON object
    k.start({})
    k.perform({"action": "activate", "app": "com.example.editor"})
    k.run(1.0)
"""

import ctypes
import ctypes.util
import json
import os

HOST_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p)


class KorvaleError(RuntimeError):
    """A ksim_ call failed; the message is the library's ksim_last_error()."""


def _default_path():
    path = os.environ.get("KORVALE_LIBRARY")
    if path:
        return path
    return ctypes.util.find_library("Korvale-Project") or "libKorvale-Project.so.0"


def _text(value):
    """JSON arguments may be given as Python values or as ready JSON text."""
    if isinstance(value, (bytes, str)):
        return value.encode("utf-8") if isinstance(value, str) else value
    return json.dumps(value).encode("utf-8")


class Korvale:
    def __init__(self, path=None):
        self.lib = ctypes.CDLL(path or _default_path())
        self._callback = None  # the live ctypes callback: must outlive its registration
        self.callback_errors = []  # exceptions raised by the Python handler, kept for the host
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
        }
        for name, (restype, argtypes) in signatures.items():
            fn = getattr(self.lib, name)
            fn.restype, fn.argtypes = restype, argtypes

    # ----- the nine exports (main aside: a host never needs it) -----

    def init(self, handler):
        """Registers handler(name: str, data: dict) as the host callback and creates the monitor."""

        def trampoline(name, data):
            # An exception must not unwind into C: keep it for the host to look at.
            try:
                text = data.decode("utf-8")
                handler(name.decode("utf-8"), json.loads(text))
            except Exception as error:  # noqa: BLE001 - reported through callback_errors
                self.callback_errors.append(error)

        self._callback = HOST_CALLBACK(trampoline)
        self.lib.initMacAccessibility(self._callback)

    def is_trusted(self):
        return bool(self.lib.isAccessibiltyEnabled())

    def ask_for_trust(self):
        return bool(self.lib.showAccessibiltyPermisionPopup())

    def add_blocked_apps(self, bundle_ids):
        self.lib.addBlockedApps(_text(bundle_ids))

    def start(self, blocked_fields=None):
        self.lib.start(_text({} if blocked_fields is None else blocked_fields))

    def set_text(self, text):
        self.lib.setText(text.encode("utf-8"))

    def snapshot(self):
        self.lib.getDataForVelaAssist()

    def add_mouse_tracker(self, window_handle):
        self.lib.addMouseTracker(window_handle)

    # ----- the simulated desktop -----

    def _check(self, status, what):
        if status != 0:
            raise KorvaleError(f"{what}: {self.last_error()}")

    def load_world(self, world):
        self._check(self.lib.ksim_load_world(_text(world)), "ksim_load_world")

    def perform(self, action):
        self._check(self.lib.ksim_perform(_text(action)), "ksim_perform")

    def run(self, seconds):
        self.lib.ksim_run(float(seconds))

    def now(self):
        return self.lib.ksim_now()

    def read(self, what):
        return json.loads(self.lib.ksim_read(what.encode("utf-8")).decode("utf-8"))

    def last_error(self):
        return self.lib.ksim_last_error().decode("utf-8")

    def window_handle(self, window_id):
        handle = self.lib.ksim_window_handle(window_id.encode("utf-8"))
        if not handle:
            raise KorvaleError(f"no host window {window_id!r}")
        return handle
