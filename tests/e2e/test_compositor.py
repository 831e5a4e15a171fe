"""Under a compositing manager that fades closing windows out (picom with fading), a capture with "Hide this window"
ticked holds only the desktop: the main window is neither there nor half faded, in capture after capture."""

import os
import subprocess
import unittest

import images
import test_capture
from harness import wait_until


class TestCompositor(test_capture.CaptureCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            # A compositor draws the desktop from the root pixmap that the properties name, which hsetroot keeps
            # for the life of the display.
            picture = os.path.join(cls.display.runtime, "pattern.png")
            cls.display.run("convert", os.path.join(cls.display.runtime, "pattern.ppm"), picture)
            cls.display.run("hsetroot", "-center", picture)
            cls.picom = subprocess.Popen(["picom", "--backend", "xrender", "--fading"], env=cls.display.env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # picom names the window that owns the compositing selection after itself.
            wait_until(lambda: cls.display.xdotool("search", "--name", "^picom$", check=False).strip(),
                       what="picom to run")
            wait_until(lambda: images.grab_root(cls.display.env).rgb == cls.pattern.rgb,
                       what="picom to show the pattern")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        picom = getattr(cls, "picom", None)
        if picom:
            picom.terminate()
            try:
                picom.wait(10)
            except subprocess.TimeoutExpired:
                picom.kill()
                picom.wait()
        super().tearDownClass()

    def test_full_screen_captures_in_a_row_hold_only_the_desktop(self):
        width, height = self.display_args["width"], self.display_args["height"]
        self.launch(hide="1")
        for run in range(1, 5):
            self.start_capture()
            self.drag(0, 0, width - 1, height - 1)
            self.confirm_done()
            self.program.wait_main()
            wait_until(lambda: len(self.files()) == run, what=f"file {run}")
        expected = self.pattern.crop(0, 0, width - 1, height - 1)
        for name in self.files():
            with self.subTest(name):
                self.assert_same(images.read(f"{self.folder}/{name}"), expected)


if __name__ == "__main__":
    unittest.main()
