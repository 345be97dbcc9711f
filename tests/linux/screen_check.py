#!/usr/bin/python3
"""Screenshots of the X display and the inspector's outline check, for overlay-screenshot.sh.

  screen_check.py shot FILE.png
      saves the whole screen (the root window, as XGetImage reads it)
  screen_check.py outline BEFORE.png AFTER.png X Y W H [CROP.png CX CY CW CH]
      finds the selected word on the screen on its own — the pixels inside the editor's window
      (X Y W H) that the selection changed between BEFORE and AFTER — and the magenta outline in
      AFTER, and checks that the outline lies around the word: on all four sides, outside it,
      and close to it. Prints what it found; exits 1 when the check fails. CROP saves a part of
      AFTER (for the documentation).
"""

import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Gdk, GdkPixbuf  # noqa: E402

MAGENTA = (255, 0, 255)
# The inspector's frame: 2 px gap and 3 px of outline around the reported rectangle; allow
# 3 px more for rounding and for the selection highlight's own margins.
GAP, THICKNESS, SLACK = 2, 3, 3


def shot(path):
    root = Gdk.get_default_root_window()
    pixbuf = Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height())
    if pixbuf is None:
        sys.exit("could not read the screen")
    pixbuf.savev(path, "png", [], [])


class Image:
    def __init__(self, path):
        pb = GdkPixbuf.Pixbuf.new_from_file(path)
        self.width, self.height = pb.get_width(), pb.get_height()
        self.stride, self.channels = pb.get_rowstride(), pb.get_n_channels()
        self.data = pb.get_pixels()
        self.pixbuf = pb

    def at(self, x, y):
        i = y * self.stride + x * self.channels
        return tuple(self.data[i:i + 3])


def bbox(points):
    if not points:
        return None
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)  # inclusive


def outline(before_path, after_path, x, y, w, h, crop=None):
    before, after = Image(before_path), Image(after_path)
    magenta, changed = [], []
    for py in range(max(0, y), min(after.height, y + h)):
        for px in range(max(0, x), min(after.width, x + w)):
            a = after.at(px, py)
            if a == MAGENTA:
                magenta.append((px, py))
            elif a != before.at(px, py):
                changed.append((px, py))
    word, ring = bbox(changed), bbox(magenta)
    print(f"selected word on the screen (pixels changed by the selection): {word}")
    print(f"magenta outline: {ring}, {len(magenta)} pixels")
    failures = []
    if word is None:
        failures.append("the selection changed no pixel: no word to compare with")
    if ring is None:
        failures.append("no magenta outline on the screen")
    if word and ring:
        wx0, wy0, wx1, wy1 = word
        rx0, ry0, rx1, ry1 = ring
        far = GAP + THICKNESS + SLACK
        sides = {
            "left": (wx0 - rx0, "outline's left edge"),
            "top": (wy0 - ry0, "outline's top edge"),
            "right": (rx1 - wx1, "outline's right edge"),
            "bottom": (ry1 - wy1, "outline's bottom edge"),
        }
        for side, (distance, what) in sides.items():
            # Outside the word (at least the outline's thickness away) and not farther than the
            # frame plus slack: a rectangle off by a few pixels, or window-relative, fails.
            if not THICKNESS <= distance <= far:
                failures.append(f"{what} is {distance} px from the word's {side} side, not {THICKNESS}..{far}")
        # The ring is a frame: its inside holds no magenta, so the word itself stays visible.
        inside = [p for p in magenta if wx0 <= p[0] <= wx1 and wy0 <= p[1] <= wy1]
        if inside:
            failures.append(f"{len(inside)} outline pixels cover the word itself")
    if crop:
        path, cx, cy, cw, ch = crop
        cw, ch = min(cw, after.width - cx), min(ch, after.height - cy)
        after.pixbuf.new_subpixbuf(cx, cy, cw, ch).savev(path, "png", [], [])
    for f in failures:
        print("FAIL " + f)
    if not failures:
        print("ok   the outline lies around the selected word on all four sides")
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "shot":
        shot(argv[2])
        return 0
    if len(argv) in (8, 13) and argv[1] == "outline":
        numbers = [int(v) for v in argv[4:8]]
        crop = None
        if len(argv) == 13:
            crop = (argv[8], *[int(v) for v in argv[9:13]])
        return outline(argv[2], argv[3], *numbers, crop=crop)
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
