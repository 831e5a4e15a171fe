"""Under a compositing manager that fades closing windows out (picom with fading), a capture with "Hide this window"
ticked holds only the desktop: the main window is neither there nor half faded, in capture after capture, however
long the fade takes."""

import os
import re
import signal
import subprocess
import unittest

import images
import test_capture
from harness import spawn, stop_process, wait_until

# picom fades a closing window by fade-out-step every fade-delta (10 ms): about 0.33 s by default, 0.5 s at 0.02.
# openbox destroys the frame of a closing window, which cuts most fades short; without a window manager the whole
# fade is drawn, here in steps 80 ms apart, longer than a wait for a few unchanged frames can tell from its end
# (and with the window drawn at once when it opens). openbox keeps a tenth of a window that moves itself off the
# screen on it. With a slow fade-in as well, the first click may come while the main window is still fading in, and a
# later one while the "Done." box just answered is still fading out: one row clicks as soon as the window is there.
SLOW_FADES = ["--fade-delta", "10", "--fade-out-step", "0.02", "--fade-in-step", "0.02"]
DESKTOPS = {
    # window manager, picom's fade, captures, whether each click comes as soon as the main window is mapped
    "openbox, picom's default fade": (True, [], 3, False),
    "openbox, a 0.5 s fade": (True, ["--fade-out-step", "0.02"], 3, False),
    "openbox, 0.5 s fades in and out": (True, SLOW_FADES, 5, False),
    "openbox, a click while the main window fades in": (True, SLOW_FADES, 2, True),
    "no window manager, a 1 s fade in steps": (False, ["--fade-in-step", "1", "--fade-delta", "80",
                                                        "--fade-out-step", "0.08"], 3, True),
}


class TestCompositor(test_capture.CaptureCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A compositor draws the desktop from the root pixmap that the properties name, which hsetroot keeps for the
        # life of the display.
        picture = os.path.join(cls.display.runtime, "pattern.png")
        cls.display.run("convert", os.path.join(cls.display.runtime, "pattern.ppm"), picture)
        cls.display.run("hsetroot", "-center", picture)

    def start_compositor(self, fade):
        picom = spawn(["picom", "--backend", "xrender", "--fading", *fade], death_signal=signal.SIGTERM,
                      env=self.display.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # picom names the window that owns the compositing selection after itself.
        wait_until(lambda: self.display.xdotool("search", "--name", "^picom$", check=False).strip(),
                   what="picom to run")
        wait_until(lambda: images.grab_root(self.display.env).rgb == self.pattern.rgb, what="picom to show the pattern")
        return picom

    def wait_for_the_desktop_around_the_main_window(self):
        """Until the last run's overlay and "Done." box, which the compositor fades out as well, have gone: the hide
        waits for the main window only. The screen differs from the pattern only within the main window's frame, and
        shows the main window as it is drawn, without a box fading out over it."""
        x, y, width, height = self.display.geometry(self.main)

        def desktop_around():
            screen = images.grab_root(self.display.env)
            box = screen.differing_box(self.pattern)
            return (box is None or (box[0] >= x - 10 and box[1] >= y - 40 and box[0] + box[2] <= x + width + 10
                                    and box[1] + box[3] <= y + height + 10)) and \
                screen.crop(x, y, width, height).rgb == images.grab_window(self.main, self.display.env).rgb

        wait_until(desktop_around, what="the desktop around the main window")

    def captures_in_a_row(self, captures, click_at_once):
        width, height = self.display_args["width"], self.display_args["height"]
        self.launch(hide="1")
        placed = self.display.geometry(self.main)
        for run in range(1, captures + 1):
            if not click_at_once:
                self.wait_for_the_desktop_around_the_main_window()
            self.start_capture()
            self.drag(2, 2, width - 2, height - 2)
            self.confirm_done()
            self.program.wait_main()
            wait_until(lambda: len(self.files()) == run, what=f"file {run}")
            # The window passes beyond the screen's edge on its way out, and comes back where it was.
            self.assertEqual(self.display.geometry(self.main), placed)
        expected = self.pattern.crop(2, 2, width - 4, height - 4)
        # Saved within one second, the names run "Screen Capture ....bmp", "... (2).bmp", "... (3).bmp".
        numbered = sorted(self.files(), key=lambda name: int((re.search(r" \((\d+)\)\.", name) or [0, 1])[1]))
        for run, name in enumerate(numbered, 1):
            with self.subTest(capture=run):  # which of the captures in a row, told where it fails
                self.assert_same(images.read(f"{self.folder}/{name}"), expected)

    def test_full_screen_captures_in_a_row_hold_only_the_desktop(self):
        for desktop, (window_manager, fade, captures, click_at_once) in DESKTOPS.items():
            with self.subTest(desktop):
                if not window_manager:
                    self.display.stop_window_manager()
                picom = self.start_compositor(fade)
                try:
                    self.captures_in_a_row(captures, click_at_once)
                finally:
                    self.program.stop()
                    stop_process(picom)
                    for name in self.files():
                        os.remove(os.path.join(self.folder, name))
                    if not self.display.openbox:
                        self.display.start_window_manager()


if __name__ == "__main__":
    unittest.main()
