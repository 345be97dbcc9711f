"""korvale.glib: running GLib's default main context for hosts without a loop, through PyGObject
where it is installed and through ctypes otherwise. Each check schedules work on that context
and sees it run; nothing is timed by sleeping."""

import importlib.util
import unittest

import korvale
from korvale import glib

BACKENDS = ["ctypes"] + (["PyGObject"] if importlib.util.find_spec("gi") else [])


class GLibLoop(unittest.TestCase):
    def tearDown(self):
        glib.use()

    def for_each_backend(self, check):
        for name in BACKENDS:
            with self.subTest(backend=name):
                self.assertEqual(glib.use(name), name)
                self.assertEqual(glib.backend(), name)
                check(glib._backend)

    def test_iterate_dispatches_what_comes_due_and_returns(self):
        def check(backend):
            fired = []
            backend.timeout_add(10, lambda: fired.append("timeout") or False)
            glib.iterate(0.3)
            self.assertEqual(fired, ["timeout"])
            glib.iterate(0)  # nothing due: returns at once

        self.for_each_backend(check)

    def test_stop_from_a_handler_ends_run(self):
        def check(backend):
            ticks = []

            def tick():
                ticks.append(len(ticks))
                if len(ticks) == 3:
                    glib.stop()
                return True

            source = backend.timeout_add(5, tick)
            glib.run()  # forever, unless stop() works
            backend.source_remove(source)
            self.assertEqual(ticks, [0, 1, 2])
            # A stop() outside run() does not disturb a later iterate().
            glib.stop()
            fired = []
            backend.timeout_add(5, lambda: fired.append(1) or False)
            glib.iterate(0.3)
            self.assertEqual(fired, [1])

        self.for_each_backend(check)

    def test_the_event_iterator_runs_glib_on_a_real_desktop(self):
        # A Korvale that loaded no world iterates GLib: an event the library delivers from the
        # context (here, a GLib timeout calling the registered host callback) is yielded.
        def check(backend):
            host = korvale.Korvale()
            host.init()
            backend.timeout_add(20, lambda: host._callback(b"app_changed", b'{"name":"Editor"}') or False)
            event = next(host.events(timeout=5.0), None)
            self.assertIsNotNone(event, "no event within 5 s")
            self.assertEqual((event.name, event.data), ("app_changed", {"name": "Editor"}))

        self.for_each_backend(check)


if __name__ == "__main__":
    unittest.main()
