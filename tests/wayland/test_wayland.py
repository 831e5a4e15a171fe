"""Capture runs on real Wayland desktops: the real program on headless sway, GNOME Shell and KWin, its screen read
through each desktop's real portal, the saved files compared with the output's background picture. One set of
scenarios; ROWS says on which desktops each runs."""

import os
import re
import shlex
import shutil
import sys
import time
import unittest

from harness import images  # the e2e suite's decoder, through ImageMagick
from harness import (APP_TITLE, DASHES, DESKTOPS, DOUBLE_CLICK_INTERVAL, KEY_C, KEY_CONTROL, KEY_RETURN, PRODUCT,
                     SECTION, wait_until)

NAME = r"Screen Capture \d\d_\d\d_\d\d_\d\d_\d\d_\d\d"
FORMATS = {"jpg": {"Option1": "False", "Option2": "True"}, "bmp": {"Option1": "True", "Option2": "False"}}
CURSOR = 48  # device pixels on every side of the pointer's hot spot that the compositor may have drawn it on
PICTURES = (".png", ".jpg", ".jpeg", ".bmp")


class WaylandCase:
    """One session of `desktop` per class; a fresh program home and output folder per test."""

    desktop = None
    size, scale, portal, permission, platform = (1024, 640), 1, "real", "yes", "wayland"
    wayland_socket = True  # whether the program is told the compositor's socket

    sizes = {}  # a size of its own for a desktop at a scale, by (name, scale)

    @classmethod
    def setUpClass(cls):
        size = cls.sizes.get((cls.desktop.desktop, cls.scale), cls.size)
        cls.session = cls.desktop(*size, scale=cls.scale, portal=cls.portal, permission=cls.permission)

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def setUp(self):
        s = self.session
        self.home = s.make_dir(f"home-{self.id().rsplit('.', 1)[-1]}")
        self.folder = os.path.join(self.home, "out")
        os.mkdir(self.folder)
        os.chown(self.folder, s.user.pw_uid, s.user.pw_gid)
        self.addCleanup(shutil.rmtree, self.home, True)
        self.program = None
        self.addCleanup(self.stop)

    def stop(self):
        if self.program:
            output = self.session.stop(self.program)
            result = self._outcome.result
            if any(test is self for test, _ in result.failures + result.errors):
                # What the program said tells a hang from a crash or a refusal.
                sys.stderr.write(f"\n{self.id()}: the program said:\n{output or '(nothing)'}\n")
            self.assertNotIn("runtime error", output)
            self.assertNotIn("Sanitizer", output)

    def launch(self, fmt="bmp", hide="1", args=()):
        """Starts the program with `args` on stored options; returns its main window, None where `args` leave it out."""
        values = dict(FORMATS[fmt], Text1=self.folder + "/", Check1=hide)
        config = os.path.join(self.home, ".config")
        os.mkdir(config)
        with open(os.path.join(config, "Korvane.conf"), "w") as f:
            f.write("\n".join([f"[{SECTION}]"] + [f"{k}={v}" for k, v in values.items()]) + "\n")
        for path in (config, os.path.join(config, "Korvane.conf")):
            os.chown(path, self.session.user.pw_uid, self.session.user.pw_gid)
        # On GNOME the program shares the desktop's home, as a user's does: the shell saves the portal's pictures
        # there. Its settings are the test's own.
        home = self.session.home if self.session.desktop == "gnome" else self.home
        env = dict(self.session.env, **self.session.program_env, HOME=home, XDG_CONFIG_HOME=config,
                   QT_QPA_PLATFORM=self.platform)
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS") or k in ("QT_LOGGING_RULES", "WAYLAND_DEBUG")})
        if not self.wayland_socket:
            env.pop("WAYLAND_DISPLAY", None)
        self.program = self.session.start([os.environ["QUOSH_BIN"], *args], env)
        return None if args else self.placed(PRODUCT)

    def placed(self, name):
        """The window once the desktop has placed it and shown it, and it has stayed so for a second: some desktops
        map a window first and move it after, or grow it from a point, and a click misses it until then."""
        seen = []

        def settled():
            window = self.session.wait_window(name)
            seen[:] = (seen if seen and seen[-1] == window else []) + [window]
            return window if len(seen) >= 5 and window.get("shown", True) else None
        return wait_until(settled, timeout=30, interval=0.2, what=f"a window named {name!r} to stay in place")

    def device(self, logical):
        return round(logical * self.scale)

    def start_capture(self, main):
        """Clicks "Start Capturing" (at (268, 194) logical pixels in the main window) on a window that the desktop has
        placed and shown; returns where the pointer was, in device pixels. A second click is made only after a long
        time without any trace of the first: sent while a slow program is still taking the first click, it would land
        on the overlay and end the run."""
        x, y, _, _ = main["rect"]
        at = (self.device(x + 268), self.device(y + 194))
        s = self.session

        def started():
            names = [w["name"] for w in s.windows()]
            return PRODUCT not in names or "Form2" in names or "Application Error" in names
        for _ in range(2):
            # The pointer enters the window before the press: a press in the same moment may find no window.
            s.move(at[0] - 1, at[1])
            wait_until(lambda: s.windows(PRODUCT), what="the main window")
            s.click(*at)
            try:
                wait_until(started, timeout=30, interval=0.2, what="the capture to start")
                time.sleep(DOUBLE_CLICK_INTERVAL + 0.05)
                return at
            except AssertionError:
                pass
        self.fail(f"two clicks on Start Capturing at {at} started nothing: {s.windows()}")

    def wait_overlay(self):
        """The overlay over the whole output. Through XWayland sway now and then takes it as a floating window of the
        output's size rather than a full-screen one; it covers the same pixels."""
        output = (0, 0, round(self.session.width / self.scale), round(self.session.height / self.scale))
        return wait_until(lambda: [w for w in self.session.windows("Form2") if w["fullscreen"] or w["rect"] == output],
                          timeout=30, what="the overlay over the whole output")[0]

    def read_box(self, title):
        """The box's text, copied with Ctrl+C as a user would once the box has the focus (a click on its text gives it
        the focus where the desktop did not), then OK pressed."""
        s = self.session

        def click(box):
            x, y, width, _ = box["rect"]
            s.click(self.device(x + width // 2), self.device(y + 10))

        def awaited(condition, timeout, interval, what):
            try:
                return wait_until(condition, timeout=timeout, interval=interval, what=what)
            except AssertionError as error:
                # Which windows there were instead (another box, the overlay still up, or none), and the keyboard's.
                self.fail(f"{error}; the windows: {s.windows()}; the keyboard: {s.keyboard_focus()}")

        def focused():
            box = s.windows(title)
            if box and not box[0]["focused"]:
                click(box[0])
            return box and box[0]["focused"]
        awaited(focused, 30, 1.0, f"{title!r} focused")

        tries = [0]

        def copied():
            # A desktop under load may hand the keyboard elsewhere after the box showed as focused: now and then the
            # box is clicked again before the keys.
            tries[0] += 1
            box = s.windows(title)
            if box and (not box[0]["focused"] or tries[0] % 5 == 0):
                click(box[0])
            s.key(KEY_CONTROL, KEY_C)
            text = s.clipboard()
            return text if text.startswith(DASHES) else None
        text = awaited(copied, 30, 0.3, "the box's text on the clipboard")

        def closed():
            # Return again only while the box still shows and has the keyboard: a Return that the desktop handed
            # elsewhere is lost, and one sent after the box closed would reach the main window.
            box = s.windows(title)
            if not box:
                return True
            if box[0]["focused"]:
                s.key(KEY_RETURN)
            else:
                click(box[0])
            return False
        awaited(closed, 30, 3.0, f"{title!r} closed")
        # Qt hands text over with the line ends of the desktop it runs on.
        return text.replace("\r\n", "\n").replace("\r", "\n").split(DASHES + "\n")[2].rstrip("\n")

    def pictures(self):
        """Every picture file in the program's home and the desktop's (where portals save theirs) but the output
        folder."""
        found = set()
        for home in (self.home, self.session.home):
            for folder, _, files in os.walk(home):
                if folder != self.folder:
                    found.update(os.path.join(folder, f) for f in files if f.lower().endswith(PICTURES))
        return found

    def only_file(self, extension):
        files = os.listdir(self.folder)
        self.assertEqual(len(files), 1, files)
        self.assertRegex(files[0], "^" + NAME + re.escape(extension) + "$")
        return images.read(os.path.join(self.folder, files[0]))

    def without_pointer(self, got, expected, origin, pointer):
        """`got` with the pointer's square taken from `expected`; `origin` is the picture's place on the screen. Where
        the program and the tests read the screen without the pointer (KWin's own screenshots), nothing is taken."""
        self.assertEqual(got.size, expected.size)
        if self.session.pictures_without_pointer:
            return got
        rgb = bytearray(got.rgb)
        px, py = pointer[0] - origin[0], pointer[1] - origin[1]
        for y in range(max(py - CURSOR, 0), min(py + CURSOR, got.height)):
            left, right = max(px - CURSOR, 0), min(px + CURSOR, got.width)
            if left < right:
                i, j = (y * got.width + left) * 3, (y * got.width + right) * 3
                rgb[i:j] = expected.rgb[i:j]
        return images.Image(got.width, got.height, rgb)

    def assert_same_but_pointer(self, got, expected, origin, pointer):
        self.assertIsNone(self.without_pointer(got, expected, origin, pointer).first_difference(expected))

    def assert_in_place(self, shown, picture, origin, pointer):
        """Each pixel `shown` lies within three pixels of where `picture` has it: every channel within the range of the
        picture's pixels around it (a resampling blends no others), but for the pointer's square. Through XWayland a
        toolkit pixel is a logical one, as many output pixels as the scale, and both the toolkit's copy and the
        compositor's blend each pixel with its neighbours."""
        w, h, rgb = picture.width, picture.height, picture.rgb
        px, py = pointer[0] - origin[0], pointer[1] - origin[1]
        r = 3
        for y in range(r, h - r):
            for x in range(r, w - r):
                if abs(x - px) < CURSOR and abs(y - py) < CURSOR:
                    continue
                for c in range(3):
                    near = [rgb[(v * w + u) * 3 + c] for v in range(y - r, y + r + 1) for u in range(x - r, x + r + 1)]
                    value = shown.rgb[(y * w + x) * 3 + c]
                    if not min(near) - 2 <= value <= max(near) + 2:
                        self.fail(f"the overlay shows {value} at ({x}, {y}) channel {c}, the picture {near} around it")

    def capture(self, box, fmt="bmp", hide="1", reference=None, up_left=False, nudge=0):
        """A whole run; `box` is the band in device pixels, dragged from its top-left corner or, `up_left`, from its
        bottom-right one, each corner aimed at `nudge` pixels right of and below it. Returns the saved picture and the pointer at the grab. The run leaves no picture anywhere
        but in the output folder."""
        parked = (self.session.width - 1, self.session.height - 1)
        before = reference == "before"
        if before:
            self.session.move(*parked)
            reference = self.session.grab()
        pictures = self.pictures()
        main = self.launch(fmt, hide)
        if reference == "now":
            self.session.move(*parked)
            reference = self.session.grab()
        pointer = self.start_capture(main)
        self.wait_overlay()
        x, y, w, h = box
        start, end = ((x + w + nudge, y + h + nudge), (x + nudge, y + nudge)) if up_left else \
            ((x + nudge, y + nudge), (x + w + nudge, y + h + nudge))
        self.session.wait_pointer_taken(*start)
        # What the overlay shows before the drag, but for the pointer: the frozen screen, which is what gets saved; and
        # with the button still down, the band and inside it the pixels that get saved. Through XWayland the
        # compositor resamples the overlay, give or take a pixel; the file is still compared exactly, with the
        # compositor's own picture.
        exact = self.session.screen_readable and fmt == "bmp" and (self.platform == "wayland" or self.scale == int(self.scale))
        whole = self.session.grab() if self.session.screen_readable else None
        shown = whole.crop(*box) if whole else None
        held = []
        self.session.drag(*start, *end, held=(lambda: held.append(self.band_drawn(box, end))) if exact else None)
        self.assertEqual(self.read_box(APP_TITLE), "Done.")
        self.session.wait_window(PRODUCT)
        self.assertEqual(self.pictures() - pictures, set())
        picture = self.only_file("." + fmt)
        if exact:
            if before:
                # The whole output as the overlay shows it, to its last pixels, is the output as it was, but for the
                # pointer (then, at the click and now) and what the desktop changes by itself.
                for at in (parked, pointer, start):
                    whole = self.without_pointer(whole, reference, (0, 0), at)
                whole = self.session.unchanging(whole, reference)
                self.assertIsNone(whole.first_difference(reference), whole.differing_box(reference))
            self.assert_same_but_pointer(picture, shown, box[:2], start)
            inside = (x + 1, y + 1, w - 2, h - 2)
            self.assert_same_but_pointer(held[0].crop(*inside), picture.crop(1, 1, w - 2, h - 2), inside[:2], end)
        elif shown and fmt == "bmp":
            self.assert_in_place(shown, picture, box[:2], start)
        return picture, pointer, main, reference

    def band_drawn(self, box, pointer):
        """The screen once the band stands around `box` (device pixels): its border, but for the pointer's square, is
        of one colour."""
        x, y, w, h = box
        border = [(u, v) for u in range(x, x + w) for v in (y, y + h - 1)] + \
            [(u, v) for v in range(y, y + h) for u in (x, x + w - 1)]
        border = [(u, v) for u, v in border if abs(u - pointer[0]) >= CURSOR or abs(v - pointer[1]) >= CURSOR]

        def drawn():
            screen = self.session.grab()
            return screen if len({screen.pixel(u, v) for u, v in border}) == 1 else None
        return wait_until(drawn, what=f"the band around {box}")


# --- the scenarios ----------------------------------------------------------------------------------------------------

class Scale1(WaylandCase):
    def around(self, main, margin=40):
        x, y, w, h = (self.device(v) for v in main["rect"])
        return (x - margin, y - margin, w + 2 * margin, h + 2 * margin)

    def test_box_ticked_bmp_is_exact_over_where_the_main_window_was(self):
        box = (60, 40, 900, 560)
        picture, pointer, main, _ = self.capture(box, "bmp", "1")
        x, y, w, h = self.around(main)
        self.assertTrue(box[0] <= x and box[1] <= y and x + w <= box[0] + box[2] and y + h <= box[1] + box[3])
        self.assert_same_but_pointer(picture, self.session.background.crop(*box), box[:2], pointer)

    def test_box_ticked_jpeg_at_50_db(self):
        box = (30, 40, 950, 580)
        picture, pointer, _, _ = self.capture(box, "jpg", "1")
        expected = self.session.background.crop(*box)
        self.assertGreaterEqual(images.psnr(self.without_pointer(picture, expected, box[:2], pointer), expected), 50.0)

    def test_box_clear_holds_the_main_window(self):
        box = (10, 40, 1000, 590)
        picture, _, main, reference = self.capture(box, "bmp", "0", reference="now")
        # Down to the main window's button, which the click leaves pressed.
        above_button = (0, 0, 1000, self.device(main["rect"][1] + 175) - box[1])
        self.assertIsNone(picture.crop(*above_button).first_difference(reference.crop(*box[:2], *above_button[2:])))
        self.assertNotEqual(picture.rgb, self.session.background.crop(*box).rgb)


class XWayland(WaylandCase):
    """Qt on XWayland, where an X11 grab would see only the X11 windows: the portal still reads the screen."""

    platform = "xcb"

    def test_box_ticked_bmp_is_exact(self):
        box = (60, 40, 900, 560)
        picture, pointer, _, _ = self.capture(box, "bmp", "1")
        self.assert_same_but_pointer(picture, self.session.background.crop(*box), box[:2], pointer)


class Exact(WaylandCase):
    """The file holds the output's own pixels at every output scale: a drag over known output pixels gives a file
    equal to the compositor's own picture of them, whatever scale the toolkit draws the overlay at."""

    size = (1280, 800)
    sizes = {("gnome", 2): (2560, 1600)}  # GNOME offers scale 2 only where the logical screen stays 800x600 or more
    # Odd device pixels at scale 2: half logical pixels, which only an exact position mapping gets right. GNOME draws
    # the background in the middle of the screen, where the box is. KWin puts a pointer moved by fake input on whole
    # logical pixels: at 1.5 the corners are where those fall on whole output pixels.
    boxes = {("sway", 2): (101, 77, 331, 251), ("gnome", 2): (701, 417, 331, 251), ("kde", 1.5): (42, 249, 519, 210)}
    box, nudge = (40, 250, 520, 210), 0

    def test_drag_up_left_gives_the_output_pixels(self):
        box = self.boxes.get((self.session.desktop, self.scale), self.box)
        picture, pointer, _, reference = self.capture(box, "bmp", "1", reference="before", up_left=True,
                                                      nudge=self.nudge)
        self.assertEqual(picture.size, box[2:])
        self.assert_same_but_pointer(picture, reference.crop(*box), box[:2], pointer)


class ExactXWayland(Exact):
    """X11 gives the pointer in whole logical pixels, the one it is in: at 150% a position reaches the output pixel
    where that logical pixel starts, one of every three exactly. The corners are on those, and the pointer is aimed a
    pixel inside them (sway's own rounding may put an output pixel at the end of the logical one before it)."""

    platform = "xcb"
    box, nudge = (42, 249, 519, 210), 1

class ExactTopBar(Exact):
    """The desktop's own bar is saved as it was: a band over the right end of GNOME's top bar, where an indicator of
    a screen being shared or recorded would show."""

    def test_drag_up_left_gives_the_output_pixels(self):
        self.boxes = {(self.session.desktop, self.scale): (self.session.width - 401, 0, 400, 120)}
        super().test_drag_up_left_gives_the_output_pixels()


class CaptureOption(WaylandCase):
    """`quosh --capture`, as the capture key starts it: the frozen screen at once, never the main window, the region
    exact, and the program ended with status 0 after "Done."."""

    def test_frozen_screen_at_once_then_the_file_and_status_0(self):
        box = (60, 40, 600, 400)
        pointer = (self.session.width - 10, self.session.height - 10)  # outside the box
        self.session.move(*pointer)
        self.launch("bmp", "1", args=["--capture"])
        self.wait_overlay()
        self.assertNotIn(PRODUCT, [w["name"] for w in self.session.windows()])
        self.session.wait_pointer_taken(*box[:2])
        self.session.drag(box[0], box[1], box[0] + box[2], box[1] + box[3])
        self.assertEqual(self.read_box(APP_TITLE), "Done.")
        self.assertEqual(self.program.wait(30), 0)
        self.assert_same_but_pointer(self.only_file(".bmp"), self.session.background.crop(*box), box[:2], pointer)


class Failure(WaylandCase):
    """A portal that fails with `expected`: one report, the plain overlay, and a click brings the main window back.
    Through XWayland alone (no Wayland socket named), where the portal is the screen: on sway the program that reaches
    the compositor copies the output's frame itself."""

    platform, wayland_socket = "xcb", False

    def test_one_report_plain_overlay_and_a_click_brings_the_main_window_back(self):
        main = self.launch("bmp", "1")
        self.start_capture(main)
        text = self.read_box("Application Error")
        lines = text.split("\n")
        self.check_report(lines[0])
        self.assertEqual(lines[1], "in Quellbrook2021/08/31.Form2.Form_Load at line 116")
        self.wait_overlay()
        self.session.wait_pointer_taken(500, 300)

        def plain():
            rgb = self.session.grab().crop(100, 100, 300, 200).rgb
            return len({rgb[i:i + 3] for i in range(0, len(rgb), 3)}) == 1
        wait_until(plain, what="the overlay's plain background over the screen")
        self.session.click(500, 300)
        self.session.wait_window(PRODUCT)
        self.session.wait_no_window("Form2")
        self.assertEqual(os.listdir(self.folder), [])
        self.assertEqual(self.session.windows("Application Error"), [])


    def check_report(self, first_line):
        self.assertEqual(first_line, "Cannot read the screen: " + self.expected)


class NoPortal(Failure):
    portal = "none"
    expected = "the desktop's screenshot service (xdg-desktop-portal) is not running"


class BackendFails(Failure):
    portal = "failing"
    expected = ("the desktop's screenshot service (xdg-desktop-portal) refused the screenshot or could not take it. "
                "If you answered \"Deny\" when the desktop asked whether applications may take screenshots, it keeps "
                "that answer; to be asked again, run: ")

    def check_report(self, first_line):
        self.assertTrue(first_line.startswith("Cannot read the screen: " + self.expected), first_line)


class NoBackend(Failure):
    portal = "nobackend"
    expected = ("the desktop's screenshot service (xdg-desktop-portal) has no screenshot backend for this desktop "
                "(xdg-desktop-portal-gnome, -kde or -wlr)")


class PermissionRefused(BackendFails):
    """The stored answer to GNOME's "Allow Applications to Take Screenshots?" is no: the report gives the command that
    forgets it, and the command does."""

    portal, permission = "real", "no"

    def check_report(self, first_line):
        super().check_report(first_line)
        lookup = ["gdbus", "call", "--session", "--dest", "org.freedesktop.impl.portal.PermissionStore",
                  "--object-path", "/org/freedesktop/impl/portal/PermissionStore", "--method",
                  "org.freedesktop.impl.portal.PermissionStore.Lookup", "screenshot", "screenshot"]
        self.assertIn("'no'", self.session.run(*lookup))
        self.session.run(*shlex.split(first_line.split(" run: ", 1)[1]))
        self.assertNotIn("'no'", self.session.run(*lookup, check=False))


# Which scenario runs on which desktop, at which output scales; how the portal fails is the same on every desktop.
ROWS = [
    (Scale1, {"sway": (1,), "gnome": (1,), "kde": (1,)}),
    (XWayland, {"sway": (1,), "gnome": (1,), "kde": (1,)}),
    (Exact, {"sway": (2, 1.25, 1.5, 1.75), "gnome": (2, 1.25, 1.5), "kde": (2, 1.25, 1.5, 1.75)}),
    (ExactXWayland, {"sway": (1.5,), "gnome": (1.5,)}),
    (ExactTopBar, {"gnome": (1,)}),
    (CaptureOption, {"sway": (1,)}),
    (NoPortal, {"sway": (1,)}),
    (BackendFails, {"sway": (1,)}),
    (NoBackend, {"sway": (1,)}),
    (PermissionRefused, {"gnome": (1,)}),
]
for scenario, desktops in ROWS:
    for name, scales in desktops.items():
        for scale in scales:
            test = f"Test{scenario.__name__}_{name}" + (f"_{scale}".replace(".", "_") if scale != 1 else "")
            globals()[test] = type(test, (scenario, unittest.TestCase), {"desktop": DESKTOPS[name], "scale": scale})


if __name__ == "__main__":
    unittest.main()
