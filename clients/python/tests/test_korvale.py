"""The Python host client: the installed korvale package (pip install ./clients/python) loads
the built library through ctypes, drives the simulated desktop and checks what reaches its
callback, its per-name listeners and its event iterator. Time is the desktop's virtual clock.
Run by test-package.sh inside a fresh virtual environment."""

import os
import unittest

import korvale
from korvale import Event, Korvale, KorvaleError

DESKTOP = {
    "clock": "virtual",
    "echo_stdout": False,
    "apps": [
        {"pid": 101, "bundle_id": "com.example.inkpad", "name": "Inkpad"},
        {"pid": 102, "bundle_id": "com.example.postbox", "name": "Postbox"},
    ],
    "windows": [{"id": "assistant", "frame": [1000, 0, 400, 600]}],
    "pointer": [10, 10],
}

# One library per process, as in a real host: every test shares it and loads its own world.
k = Korvale()


class Host:
    """The host's side: the events its callback received, with the desktop time of each."""

    def __init__(self):
        self.events = []
        k.load_world(DESKTOP)
        k.init(lambda name, data: self.events.append((name, data, k.now())))
        k.start({})

    def names(self):
        return [name for name, _, _ in self.events]


class PermissionAndInput(unittest.TestCase):
    def test_permission_exports_answer_what_the_desktop_says(self):
        k.load_world({"trusted": False, "echo_stdout": False})
        self.assertFalse(k.is_trusted())
        self.assertFalse(k.ask_for_trust())
        self.assertEqual(k.read("state")["prompt_requests"], 1)
        k.load_world({"trusted": True, "echo_stdout": False})
        self.assertTrue(k.is_trusted())
        self.assertEqual(k.read("state")["prompt_requests"], 0)

    def test_bad_blocked_list_prints_one_line_and_nothing_else(self):
        Host()
        k.add_blocked_apps("not json")
        k.add_blocked_apps({"com.example.vault": 1})  # an object, not an array: silently ignored
        lines = [line for line in k.read("stdout") if line.startswith("Error deserializing JSON: ")]
        self.assertEqual(len(lines), 1, k.read("stdout"))

    def test_bad_world_and_action_raise_with_the_library_message(self):
        with self.assertRaises(KorvaleError) as raised:
            k.load_world("{not json")
        self.assertIn("JSON", str(raised.exception))
        k.load_world(DESKTOP)
        with self.assertRaises(KorvaleError):
            k.perform({"action": "no_such_action"})


class Events(unittest.TestCase):
    def test_hover_reaches_the_callback_over_several_runs(self):
        host = Host()
        k.add_mouse_tracker(k.window_handle("assistant"))
        for _ in range(3):
            k.perform({"action": "move_pointer", "to": [1100, 100]})
            k.run(0.1)
            k.run(0.2)
            k.perform({"action": "move_pointer", "to": [10, 10]})
            k.run(0.3)
        self.assertEqual(host.names(), ["mouse_hoverd"] * 3)
        self.assertEqual([data for _, data, _ in host.events], [{}] * 3)
        self.assertEqual(k.callback_errors, [])

    def test_hover_is_delivered_after_two_waits_of_0_09_s(self):
        host = Host()
        k.add_mouse_tracker(k.window_handle("assistant"))
        t0 = k.now()
        k.perform({"action": "move_pointer", "to": [1100, 100]})
        k.run(0.17)
        self.assertEqual(host.events, [], "delivered before 0.18 s")
        k.run(0.02)
        self.assertEqual(host.names(), ["mouse_hoverd"])
        self.assertAlmostEqual(host.events[0][2] - t0, 0.18, places=6)

    def test_switching_applications_gives_app_changed(self):
        host = Host()
        k.perform({"action": "activate", "pid": 101})
        k.run(0.5)
        k.perform({"action": "activate", "pid": 102})
        k.run(0.5)
        self.assertEqual(host.names(), ["app_changed", "app_changed"])
        self.assertEqual(
            [(d["bundle_id"], d["name"]) for _, d, _ in host.events],
            [("com.example.inkpad", "Inkpad"), ("com.example.postbox", "Postbox")],
        )
        self.assertIn("role", host.events[0][1])

    def test_a_handler_that_raises_does_not_stop_later_events(self):
        seen = []

        def handler(name, data):
            seen.append(name)
            raise ValueError("the host's own bug")

        k.load_world(DESKTOP)
        k.init(handler)
        k.start({})
        k.add_mouse_tracker(k.window_handle("assistant"))
        for point in ([1100, 100], [10, 10], [1100, 100]):
            k.perform({"action": "move_pointer", "to": point})
            k.run(0.5)
        self.assertEqual(seen, ["mouse_hoverd", "mouse_hoverd"])
        self.assertEqual(len(k.callback_errors), 2)
        k.callback_errors.clear()


class Package(unittest.TestCase):
    def test_imported_from_the_installed_package_with_its_type_marker(self):
        here = os.path.dirname(os.path.abspath(korvale.__file__))
        self.assertIn("site-packages", here, "korvale must come from the installed package")
        self.assertTrue(os.path.isfile(os.path.join(here, "py.typed")), "py.typed is not installed")
        self.assertTrue(os.path.isfile(os.path.join(here, "glib.py")))
        self.assertEqual(korvale.__version__, "0.1.0")


class Listeners(unittest.TestCase):
    def tearDown(self):
        k.off()

    def test_on_calls_only_listeners_of_that_name_until_removed(self):
        k.load_world(DESKTOP)
        k.init()
        selected, changed = [], []
        k.on("mouse_hoverd", selected.append)
        remove = k.on("app_changed", changed.append)
        k.start({})
        k.add_mouse_tracker(k.window_handle("assistant"))
        k.perform({"action": "activate", "pid": 101})
        k.run(0.5)
        k.perform({"action": "move_pointer", "to": [1100, 100]})
        k.run(0.5)
        remove()
        k.perform({"action": "activate", "pid": 102})
        k.run(0.5)
        self.assertEqual([d["bundle_id"] for d in changed], ["com.example.inkpad"])
        self.assertEqual(selected, [{}])
        self.assertEqual(k.callback_errors, [])

    def test_a_failing_listener_spares_the_handler_and_the_others(self):
        seen = []
        k.load_world(DESKTOP)
        k.init(lambda name, data: seen.append(("handler", name)))
        k.on("app_changed", lambda data: 1 / 0)
        k.on("app_changed", lambda data: seen.append(("listener", data["name"])))
        k.start({})
        k.perform({"action": "activate", "pid": 101})
        k.run(0.5)
        self.assertEqual(seen, [("handler", "app_changed"), ("listener", "Inkpad")])
        self.assertEqual([type(e) for e in k.callback_errors], [ZeroDivisionError])
        k.callback_errors.clear()


class Iterator(unittest.TestCase):
    def test_events_runs_the_desktop_and_yields_each_event_once(self):
        k.load_world(DESKTOP)
        k.init()
        k.start({})
        k.perform({"action": "activate", "pid": 101})
        t0 = k.now()
        got = []
        for event in k.events(timeout=1.0):
            got.append((event, k.now() - t0))
            if event.name == "app_changed":
                k.perform({"action": "activate", "pid": 102})
        self.assertEqual([e.name for e, _ in got], ["app_changed", "app_changed"])
        first, second = got[0][0], got[1][0]
        self.assertIsInstance(first, Event)
        self.assertEqual(first.data["bundle_id"], "com.example.inkpad")
        self.assertEqual(json_of(first.json), first.data)
        self.assertEqual(second.data["bundle_id"], "com.example.postbox")
        # Yielded as soon as delivered (0.18 s), the loop running in slices of 0.05 s.
        self.assertGreaterEqual(got[0][1], 0.18 - 1e-9)
        self.assertLess(got[0][1], 0.18 + 0.05 + 1e-9)
        self.assertAlmostEqual(k.now() - t0, 1.0, places=6)
        self.assertEqual(list(k.events(timeout=0)), [])

    def test_events_that_came_before_the_iteration_come_first(self):
        k.load_world(DESKTOP)
        k.init()
        k.start({})
        k.perform({"action": "activate", "pid": 101})
        k.run(0.5)
        k.perform({"action": "activate", "pid": 102})
        k.run(0.5)
        names = [e.data["name"] for e in k.events(timeout=0)]
        self.assertEqual(names, ["Inkpad", "Postbox"])


class ProductionLibrary(unittest.TestCase):
    def test_hosts_load_it_and_only_the_simulated_desktop_is_missing(self):
        path = os.environ.get("KORVALE_PRODUCTION_LIBRARY")
        self.assertTrue(path, "KORVALE_PRODUCTION_LIBRARY names libKorvale-Project")
        host = Korvale(path)
        self.assertIsInstance(host.is_trusted(), bool)
        with self.assertRaisesRegex(KorvaleError, "has no simulated desktop"):
            host.run(0.1)
        with self.assertRaisesRegex(KorvaleError, "has no simulated desktop"):
            host.load_world({})


def json_of(text):
    import json

    return json.loads(text)


if __name__ == "__main__":
    unittest.main()
