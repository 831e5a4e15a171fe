"""A capture run as a user makes it: the real program on Xvfb with openbox, real xdotool input, a real settings file,
the saved files decoded by ImageMagick and compared with what the X server itself shows."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import images
from harness import APP_TITLE, DOUBLE_CLICK_INTERVAL, PRODUCT, ProgramTestCase, wait_until

MISSING_FOLDER = "Folder does not exist. Please select another folder."
OVERLAY = "^Form2$"
DONE_BOX = f"^{APP_TITLE}$"
ERROR_BOX = "^Application Error$"
FORMATS = {"jpg": {"Option1": "False", "Option2": "True"}, "bmp": {"Option1": "True", "Option2": "False"}}


class CaptureCase(ProgramTestCase):
    """A display whose root window shows a known pattern, so that every grabbed pixel can be checked."""

    display_args = {"width": 1280, "height": 800}
    scale = 1.0

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        width, height = cls.display_args["width"], cls.display_args["height"]
        cls.pattern = images.pattern(width, height)
        path = os.path.join(cls.display.runtime, "pattern.ppm")
        with open(path, "wb") as f:
            f.write(cls.pattern.to_ppm())
        cls.display.run("display", "-window", "root", path, check=False)
        wait_until(lambda: images.grab_root(cls.display.env).rgb == cls.pattern.rgb, what="the pattern on the root")

    def setUp(self):
        super().setUp()
        self.folder = tempfile.mkdtemp(prefix="quosh-out-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        if self.scale != 1.0:
            self.program.env["QT_SCALE_FACTOR"] = str(self.scale)

    # --- the user's steps ---------------------------------------------------------------------------------------

    def launch(self, fmt="bmp", hide="1", folder=None):
        values = dict(FORMATS[fmt], Text1=self.folder + "/" if folder is None else folder, Check1=hide)
        self.program.write_settings(values)
        self.main = self.program.start()
        # Give the window manager time to place the main window before its position is read.
        wait_until(lambda: self.display.geometry(self.main)[2] > 0, what="the main window's geometry")

    def start_button(self):
        """The middle of "Start Capturing", at any scale: it spans the client's width, from 2720 to 3125 of its 3240
        twips in height."""
        x, y, width, height = self.display.geometry(self.main)
        return x + width // 2, y + round(height * 2922 / 3240)

    def click_start(self):
        self.display.click(*self.start_button())
        time.sleep(DOUBLE_CLICK_INTERVAL + 0.05)

    def start_capture(self):
        self.click_start()
        return self.display.wait_window(OVERLAY)

    def drag(self, x1, y1, x2, y2, button=1):
        self.display.drag(x1, y1, x2, y2, button=button)

    def read_box(self, title_regex):
        """The box's (title, text, buttons), then OK pressed as a user presses it: a real key press on the active
        box (a key sent to the window directly is not always taken as a press of its default button)."""
        box = self.display.wait_window(title_regex)
        content = self.display.read_box(title_regex, dismiss=False)
        self.display.xdotool("windowactivate", "--sync", box, check=False)
        self.display.xdotool("key", "Return")
        wait_until(lambda: box not in self.display.windows(title_regex), what="the box to close")
        return content

    def confirm_done(self):
        self.assertEqual(self.read_box(DONE_BOX), (APP_TITLE, "Done.", "OK"))
        self.display.wait_no_window(OVERLAY)

    def files(self):
        return sorted(os.listdir(self.folder))

    def only_file(self):
        files = self.files()
        self.assertEqual(len(files), 1, files)
        return os.path.join(self.folder, files[0])

    def capture(self, x1, y1, x2, y2, **launch):
        """One whole run: launch, drag, confirm. Returns the saved picture."""
        self.launch(**launch)
        self.start_capture()
        self.drag(x1, y1, x2, y2)
        self.confirm_done()
        return images.read(self.only_file())

    def assert_abandoned(self):
        self.display.wait_no_window(OVERLAY)
        self.program.wait_main()
        self.assertEqual(self.display.windows(DONE_BOX), [])
        self.assertEqual(self.files(), [])

    def assert_same(self, got, expected):
        self.assertIsNone(got.first_difference(expected))

    def band(self, overlay, expected):
        """Waits until the overlay shows exactly one band, and returns its device-pixel box."""
        def shown():
            box = images.grab_window(overlay, self.display.env).differing_box(self.pattern)
            return box if box == expected else None
        try:
            return wait_until(shown, timeout=5, what=f"the band at {expected}")
        except AssertionError:
            return images.grab_window(overlay, self.display.env).differing_box(self.pattern)

    def drag_watching_the_band(self, overlay, x1, y1, x2, y2):
        """Drags from (x1, y1) to (x2, y2) and checks, before the release, that the band stands on exactly the
        device pixels between them and that the frozen picture around it is the screen, pixel for pixel."""
        xdo = self.display.xdotool
        self.display.move(x1, y1)
        xdo("mousedown", 1)
        for i in range(1, 5):
            self.display.move(x1 + (x2 - x1) * i // 4, y1 + (y2 - y1) * i // 4)
        box = (min(x1, x2), min(y1, y2), abs(x2 - x1), abs(y2 - y1))
        self.assertEqual(self.band(overlay, box), box)
        xdo("mouseup", 1)


class TestCapture(CaptureCase):
    def test_bmp_is_pixel_exact_and_leaves_the_hidden_main_window_out(self):
        self.launch(hide="1")
        x, y, width, height = self.display.geometry(self.main)
        self.start_capture()
        left, top = x - 20, y - 40
        self.drag(left, top, x + width + 21, y + height + 13)
        self.confirm_done()
        path = self.only_file()
        self.assertRegex(os.path.basename(path), r"^Screen Capture \d\d_\d\d_\d\d_\d\d_\d\d_\d\d\.bmp$")
        self.assert_same(images.read(path), self.pattern.crop(left, top, width + 41, height + 53))
        self.program.wait_main()

    def test_main_window_is_in_the_picture_when_the_box_is_clear(self):
        self.launch(hide="0")
        x, y, width, _ = self.display.geometry(self.main)
        before = images.grab_root(self.display.env)
        self.start_capture()
        # The client's upper part, above the button that the click leaves hovered.
        self.drag(x, y, x + width, y + 150)
        self.confirm_done()
        got = images.read(self.only_file())
        self.assert_same(got, before.crop(x, y, width, 150))
        self.assertIsNotNone(got.first_difference(self.pattern.crop(x, y, width, 150)))

    def test_jpeg_has_the_selected_size_and_the_screen_at_50_db(self):
        got = self.capture(201, 151, 502, 354, fmt="jpg")
        self.assertTrue(self.only_file().endswith(".jpg"))
        self.assertEqual(got.size, (301, 203))
        self.assertGreaterEqual(images.psnr(got, self.pattern.crop(201, 151, 301, 203)), 50.0)

    def test_drags_in_all_four_directions_give_the_same_picture(self):
        self.launch()
        corners = [(300, 200, 420, 290), (420, 290, 300, 200), (420, 200, 300, 290), (300, 290, 420, 200)]
        for run, (x1, y1, x2, y2) in enumerate(corners, start=1):
            self.start_capture()
            self.drag(x1, y1, x2, y2)
            self.confirm_done()
            wait_until(lambda: len(self.files()) == run, what=f"file {run}")
        expected = self.pattern.crop(300, 200, 120, 90)
        for name in self.files():
            self.assert_same(images.read(os.path.join(self.folder, name)), expected)

    def test_click_without_drag_abandons(self):
        self.launch()
        self.start_capture()
        self.display.click(400, 300)
        self.assert_abandoned()

    def test_double_click_on_start_opens_one_overlay_that_waits_for_the_drag(self):
        # A bouncing button (1 ms) and a double click within the desktop's interval (400 ms): the second click
        # neither loads a second overlay nor ends the run as a click without a drag.
        self.launch()
        for run, delay in enumerate((1, 300), start=1):
            with self.subTest(delay=delay):
                self.display.move(*self.start_button())
                clicked = time.monotonic()
                self.display.xdotool("click", "--repeat", 2, "--delay", delay, 1)
                self.display.wait_window(OVERLAY)
                # The drag starts once a press can no longer belong to the double click.
                time.sleep(max(0.0, clicked + delay / 1000 + DOUBLE_CLICK_INTERVAL + 0.05 - time.monotonic()))
                self.drag(300, 200, 420, 290)
                self.confirm_done()
                wait_until(lambda: len(self.files()) == run, what=f"file {run}")
        for name in self.files():
            self.assert_same(images.read(os.path.join(self.folder, name)), self.pattern.crop(300, 200, 120, 90))

    def test_one_pixel_band_is_abandoned_and_two_by_two_is_saved(self):
        self.launch()
        self.start_capture()
        self.drag(400, 300, 401, 340)
        self.assert_abandoned()
        self.start_capture()
        self.drag(400, 300, 402, 302)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(400, 300, 2, 2))

    def test_right_release_is_ignored_and_a_later_left_release_completes(self):
        self.launch()
        overlay = self.start_capture()
        xdo = self.display.xdotool
        self.display.move(100, 100)
        xdo("mousedown", 1)
        self.display.move(150, 140)
        # A right press starts a new drag from where it is; its release changes nothing.
        xdo("mousedown", 3)
        xdo("mouseup", 3)
        self.display.move(200, 170)
        time.sleep(0.2)
        self.assertIn(overlay, self.display.windows(OVERLAY))
        self.assertEqual(self.files(), [])
        self.display.move(250, 210)
        xdo("mouseup", 1)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(150, 140, 100, 70))

    def test_middle_release_completes(self):
        self.launch()
        self.start_capture()
        self.drag(50, 60, 90, 110, button=2)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(50, 60, 40, 50))

    def test_folder_typed_without_trailing_separator(self):
        got = self.capture(10, 10, 30, 40, folder=self.folder)
        self.assertEqual(got.size, (20, 30))

    def test_two_captures_in_one_second_give_two_files(self):
        self.launch()
        for run in (1, 2):
            self.start_capture()
            self.drag(10, 10, 60, 60)
            self.confirm_done()
        wait_until(lambda: len(self.files()) == 2, what="two files")

    def test_missing_folder_is_refused(self):
        plain_file = os.path.join(self.folder, "file.txt")
        with open(plain_file, "w") as f:
            f.write("x")
        for folder in (os.path.join(self.folder, "missing/"), "", plain_file):
            with self.subTest(folder=folder):
                self.launch(folder=folder)
                self.click_start()
                self.assertEqual(self.read_box(DONE_BOX), (APP_TITLE, MISSING_FOLDER, "OK"))
                self.assertEqual(self.display.windows(OVERLAY), [])
                self.program.wait_main()
                self.program.stop()

    def test_escape_and_window_close_abandon(self):
        self.launch()
        xdo = self.display.xdotool
        # Esc in the middle of a drag; the window manager's close key before any.
        self.start_capture()
        self.display.move(100, 100)
        xdo("mousedown", 1)
        self.display.move(200, 200)
        self.display.key("Escape")
        xdo("mouseup", 1)
        self.assert_abandoned()
        self.start_capture()
        self.display.key("alt+F4")
        self.assert_abandoned()


class TestCaptureOption(CaptureCase):
    """`quosh --capture`, as the capture key starts it: the frozen screen at once, the main window never made, and
    the program's end and status telling how the run went."""

    def main_window_never_made(self):
        # Not even unmapped: a window that was never made cannot have been shown.
        self.assertEqual(self.display.xdotool("search", "--name", f"^{PRODUCT}$", check=False).split(), [])

    def test_each_end_of_a_run_ends_the_program_with_its_status(self):
        missing = os.path.join(self.folder, "missing") + "/"
        # The folder, what the user does over the frozen screen (nothing: it never comes), the box that follows and
        # its text, the status, and whether the region is saved.
        rows = {
            "a drag saves the region": (None, lambda: self.drag(200, 150, 521, 389), "Done.", 0, True),
            "Esc leaves": (None, lambda: self.display.key("Escape"), None, 0, False),
            "a click leaves": (None, lambda: self.display.click(400, 300), None, 0, False),
            "a missing folder is reported": (missing, None, MISSING_FOLDER, 1, False),
        }
        for row, (folder, action, box, status, saved) in rows.items():
            with self.subTest(row):
                self.program.write_settings(dict(FORMATS["bmp"], Text1=folder or self.folder + "/", Check1="1"))
                self.program.start(wait_main=False, args=["--capture"])
                if action:
                    overlay = self.display.wait_window(OVERLAY)
                    self.assertEqual(self.display.geometry(overlay), (0, 0, 1280, 800))
                    self.main_window_never_made()
                    action()
                if box:
                    self.display.wait_window(DONE_BOX)
                    self.main_window_never_made()
                    self.assertEqual(self.read_box(DONE_BOX), (APP_TITLE, box, "OK"))
                self.assertEqual(self.program.process.wait(20), status)
                if saved:
                    self.assert_same(images.read(self.only_file()), self.pattern.crop(200, 150, 321, 239))
                    os.remove(self.only_file())
                self.assertEqual(self.files(), [])


class TestReadOnlyFolder(CaptureCase):
    def make_read_only(self, folder):
        attempts = [
            (["mount", "--bind", folder, folder], ["umount", folder]),
            (["mount", "-o", "remount,ro,bind", folder], None),
        ]
        if subprocess.run(attempts[0][0], capture_output=True).returncode == 0:
            self.addCleanup(subprocess.run, attempts[0][1], capture_output=True)
            if subprocess.run(attempts[1][0], capture_output=True).returncode == 0:
                return
        if subprocess.run(["chattr", "+i", folder], capture_output=True).returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", folder], capture_output=True)
            return
        self.skipTest("cannot make a folder read-only here")

    def test_failed_save_is_reported_and_no_done_follows(self):
        for fmt, line, head in (("jpg", 136, "Cannot save the image. GDI+ Error:"), ("bmp", 134, "")):
            with self.subTest(fmt=fmt):
                folder = tempfile.mkdtemp(prefix="quosh-ro-", dir=self.folder)
                self.make_read_only(folder)
                self.launch(fmt=fmt, folder=folder + "/")
                self.start_capture()
                self.drag(10, 10, 60, 60)
                title, text, buttons = self.read_box(ERROR_BOX)
                self.assertEqual(title, "Application Error")
                self.assertTrue(text.startswith(head), text)
                lines = text.split("\n")
                self.assertEqual(lines[1], f"in Quellbrook2021/08/31.Form2.Form_MouseUp at line {line}", text)
                self.display.wait_no_window(OVERLAY)
                self.program.wait_main()
                time.sleep(0.5)
                self.assertEqual(self.display.windows(DONE_BOX), [])
                self.assertEqual(os.listdir(folder), [])
                self.program.stop()


class TestOverlay(CaptureCase):
    def is_topmost(self, overlay):
        return "_NET_WM_STATE_ABOVE" in self.display.run("xprop", "-id", str(overlay), "_NET_WM_STATE")

    def test_overlay_covers_the_screen_is_topmost_and_follows_the_drag(self):
        self.launch()
        overlay = self.start_capture()
        self.assertEqual(self.display.geometry(overlay), (0, 0, 1280, 800))
        wait_until(lambda: self.is_topmost(overlay), what="the overlay to be topmost")
        self.assertIn("_NET_WM_STATE_SKIP_TASKBAR", self.display.run("xprop", "-id", str(overlay), "_NET_WM_STATE"))
        self.assertIsNone(images.grab_window(overlay, self.display.env).first_difference(self.pattern))

        xdo = self.display.xdotool
        self.display.move(400, 300)
        xdo("mousedown", 1)
        wait_until(lambda: not self.is_topmost(overlay), what="the overlay to leave the top")
        # Right and down, then back across the anchor to the left and up, then left and down.
        for (x, y), box in (((500, 360), (400, 300, 100, 60)), ((330, 250), (330, 250, 70, 50)),
                            ((301, 399), (301, 300, 99, 99))):
            self.display.move(x, y)
            self.assertEqual(self.band(overlay, box), box)
        xdo("mouseup", 1)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(301, 300, 99, 99))


class TestScales(CaptureCase):
    # Display scales and logical DPIs; at 1.75, 2.25, 100, 108 and 110 dpi the twips in a pixel are not exact in
    # binary. Each row: the environment, then a drag whose band is watched.
    ROWS = (
        ({"QT_SCALE_FACTOR": "1.5"}, (301, 203, 512, 390)),
        ({"QT_SCALE_FACTOR": "2"}, (777, 555, 301, 203)),
        ({"QT_SCALE_FACTOR": "1.75"}, (513, 391, 302, 205)),
        ({"QT_SCALE_FACTOR": "2.25"}, (301, 203, 777, 554)),
        ({"QT_FONT_DPI": "100"}, (301, 203, 512, 390)),
        ({"QT_FONT_DPI": "108"}, (512, 203, 301, 390)),
        ({"QT_FONT_DPI": "110"}, (301, 390, 512, 203)),
    )

    def test_saved_picture_holds_the_device_pixels_under_the_band_and_2x2_is_kept(self):
        plain = dict(self.program.env)
        for environment, (x1, y1, x2, y2) in self.ROWS:
            with self.subTest(**environment):
                # Each row on its own: a row that failed half-way leaves neither its program nor its files behind.
                self.program.stop()
                for name in self.files():
                    os.remove(os.path.join(self.folder, name))
                self.program.env = dict(plain, **environment)
                self.launch()
                overlay = self.start_capture()
                self.assertEqual(self.display.geometry(overlay), (0, 0, 1280, 800))
                self.drag_watching_the_band(overlay, x1, y1, x2, y2)
                self.confirm_done()
                left, top = min(x1, x2), min(y1, y2)
                self.assert_same(images.read(self.only_file()),
                                 self.pattern.crop(left, top, abs(x2 - x1), abs(y2 - y1)))
                os.remove(self.only_file())
                self.start_capture()
                self.drag(600, 500, 602, 502)
                self.confirm_done()
                self.assert_same(images.read(self.only_file()), self.pattern.crop(600, 500, 2, 2))


if __name__ == "__main__":
    unittest.main()
