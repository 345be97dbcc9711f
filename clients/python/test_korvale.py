"""The Python host client: loads the built library through ctypes (korvale.py), drives the
simulated desktop and checks what reaches its callback. Time is the desktop's virtual clock."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from korvale import Korvale, KorvaleError  # noqa: E402

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


if __name__ == "__main__":
    unittest.main()
