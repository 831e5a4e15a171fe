"""Faults from outside injected into real capture runs: a full disk, an output folder that goes away or turns
read-only while the overlay is up, a display that dies, a clipboard owner that does not answer, a key pressed and
never released, another program's always-on-top window and a window manager that restarts. The program must report what failed, leave no partial
file behind, bring the main window back and never crash."""

import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import images
import test_capture
from harness import APP_TITLE, Display, Program, wait_until

OVERLAY = test_capture.OVERLAY
DONE_BOX = test_capture.DONE_BOX
ERROR_BOX = test_capture.ERROR_BOX
NAME = r"Screen Capture \d\d_\d\d_\d\d_\d\d_\d\d_\d\d"
# What a sanitizer, the C library or the toolkit print when the process dies of a fault of its own.
CRASH_MARKS = ("AddressSanitizer", "UndefinedBehaviorSanitizer", "runtime error:", "LeakSanitizer", "Segmentation",
               "Aborted", "terminate called", "QFATAL", "ASSERT")


def mount(*args):
    return subprocess.run(["mount", *args], capture_output=True, text=True).returncode == 0


class FaultCase(test_capture.CaptureCase):

    def assert_reported(self, fmt, first_line):
        """The failed save's report, exactly, then no "Done.": the overlay gone and the main window back."""
        line = 136 if fmt == "jpg" else 134
        title, text, buttons = self.read_box(ERROR_BOX)
        lines = text.split("\n")
        self.assertEqual((title, buttons), ("Application Error", "OK"))
        self.assertRegex(lines[0], first_line)
        self.assertEqual(lines[1], f"in Quellbrook2021/08/31.Form2.Form_MouseUp at line {line}", text)
        self.display.wait_no_window(OVERLAY)
        self.program.wait_main()
        time.sleep(0.5)
        self.assertEqual(self.display.windows(DONE_BOX), [])

    def bmp_failure(self, folder, reason):
        return "^" + re.escape(f"Cannot write {folder}/") + NAME + re.escape(f".bmp: {reason}") + "$"


class TestDiskFull(FaultCase):
    def setUp(self):
        super().setUp()
        self.small = os.path.join(self.folder, "small")
        os.mkdir(self.small)
        if not mount("-t", "tmpfs", "-o", "size=256k", "tmpfs", self.small):
            self.skipTest("mounting a small tmpfs is not permitted here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", self.small], capture_output=True)

    def fill(self):
        """Writes a filler file until the filesystem refuses another byte."""
        path = os.path.join(self.small, "filler")
        with open(path, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\xff" * 4096)
            except OSError as error:
                self.assertEqual(error.errno, errno.ENOSPC)
        return path

    def test_full_disk_is_reported_leaves_nothing_and_the_next_capture_works(self):
        cases = (("jpg", "^" + re.escape("Cannot save the image. GDI+ Error:7") + "$"),
                 ("bmp", self.bmp_failure(self.small, "No space left on device")))
        for fmt, first_line in cases:
            with self.subTest(fmt=fmt):
                filler = self.fill()
                self.launch(fmt=fmt, folder=self.small + "/")
                self.start_capture()
                self.drag(100, 100, 300, 260)
                self.assert_reported(fmt, first_line)
                # Neither the capture nor its hidden temporary file.
                self.assertEqual(os.listdir(self.small), ["filler"])

                os.remove(filler)
                self.start_capture()
                self.drag(100, 100, 300, 260)
                self.confirm_done()
                name = os.listdir(self.small)
                self.assertEqual(len(name), 1, name)
                self.assertRegex(name[0], f"^{NAME}\\.{fmt}$")
                got = images.read(os.path.join(self.small, name[0]))
                self.assertEqual(got.size, (200, 160))
                if fmt == "bmp":
                    self.assert_same(got, self.pattern.crop(100, 100, 200, 160))
                os.remove(os.path.join(self.small, name[0]))
                self.program.stop()


class TestFolderChangesDuringTheCapture(FaultCase):
    def make_read_only(self, folder):
        if not (mount("--bind", folder, folder)):
            self.skipTest("bind mounts are not permitted here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", folder], capture_output=True)
        if not mount("-o", "remount,ro,bind", folder):
            self.skipTest("a bind mount cannot be made read-only here")

    def test_folder_removed_or_made_read_only_after_start(self):
        removed = "No such file or directory"
        read_only = "Read-only file system"
        jpeg = "^" + re.escape("Cannot save the image. GDI+ Error:10") + "$"
        for change, fmt in (("remove", "jpg"), ("remove", "bmp"), ("read-only", "jpg"), ("read-only", "bmp")):
            with self.subTest(change=change, fmt=fmt):
                folder = tempfile.mkdtemp(prefix="quosh-gone-", dir=self.folder)
                self.launch(fmt=fmt, folder=folder + "/")
                self.start_capture()
                if change == "remove":
                    os.rmdir(folder)
                else:
                    self.make_read_only(folder)
                self.drag(40, 50, 140, 120)
                reason = removed if change == "remove" else read_only
                self.assert_reported(fmt, jpeg if fmt == "jpg" else self.bmp_failure(folder, reason))
                if change == "remove":
                    # Nothing made the folder again, and the next run is refused before the overlay.
                    self.assertFalse(os.path.exists(folder))
                    self.click_start()
                    self.assertEqual(self.read_box(DONE_BOX), (APP_TITLE, test_capture.MISSING_FOLDER, "OK"))
                    self.assertEqual(self.display.windows(OVERLAY), [])
                else:
                    self.assertEqual(os.listdir(folder), [])
                self.program.stop()


class TestOtherPrograms(FaultCase):
    def test_clipboard_owner_that_does_not_answer(self):
        # xclip owns the clipboard and is then stopped: it can answer no request until the end of the test.
        owner = subprocess.Popen(["xclip", "-selection", "clipboard", "-i"], env=self.display.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        owner.stdin.write(b"held by another program")
        owner.stdin.close()
        self.addCleanup(owner.wait, 10)
        self.addCleanup(owner.kill)
        self.addCleanup(owner.send_signal, signal.SIGCONT)
        wait_until(lambda: self.display.clipboard() == "held by another program", what="xclip to own the clipboard")
        owner.send_signal(signal.SIGSTOP)

        self.launch()
        self.start_capture()
        self.drag(500, 400, 560, 470)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(500, 400, 60, 70))

    def test_a_key_pressed_and_never_released_closes_one_done_box_only(self):
        # Some accessibility and scripting tools send a press alone; the X server then repeats the key it holds down.
        self.launch()
        self.start_capture()
        self.drag(500, 400, 560, 470)
        box = self.display.wait_window(DONE_BOX)
        self.display.xdotool("windowactivate", "--sync", box, check=False)
        self.display.xdotool("keydown", "--window", box, "Return")
        self.addCleanup(self.display.xdotool, "keyup", "Return", check=False)
        wait_until(lambda: box not in self.display.windows(DONE_BOX), what="the first box to close")
        self.program.wait_main()
        self.start_capture()
        self.drag(500, 400, 560, 470)
        wait_until(lambda: len(self.files()) == 2, what="the second file")
        # The repeats of the key held since before the box do not close it; a new press does.
        self.assertEqual(self.display.read_box(DONE_BOX, dismiss=False)[1], "Done.")
        self.display.xdotool("keyup", "Return")
        self.confirm_done()

    def test_overlay_covers_an_always_on_top_window_and_saves_the_frozen_screen(self):
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "topmost_window.py")
        other = subprocess.Popen([sys.executable, helper, "120", "90", "ff00ff"], env=self.display.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(other.wait, 10)
        self.addCleanup(other.kill)
        window = self.display.wait_window("^Topmost$")
        # Where the window manager puts it (its frame included) does not matter, as long as it is in the band.
        self.display.xdotool("windowmove", window, 600, 300, check=False)
        wait_until(lambda: 590 < self.display.geometry(window)[0] < 620, what="the topmost window in place")
        left, top, _, _ = self.display.geometry(window)
        wait_until(lambda: "_NET_WM_STATE_ABOVE" in self.display.run("xprop", "-id", str(window), "_NET_WM_STATE"),
                   what="the window manager to keep it above")

        self.launch()
        overlay = self.start_capture()

        def frozen_screen():
            # The pattern with the other window (and its frame) on it; the hidden main window is not there.
            shown = images.grab_root(self.display.env)
            box = shown.differing_box(self.pattern)
            inside = box and left - 5 <= box[0] and top - 25 <= box[1] and box[0] + box[2] <= left + 125 \
                and box[1] + box[3] <= top + 95
            return shown if inside and shown.pixel(left + 10, top + 10) == (255, 0, 255) else None

        before = wait_until(frozen_screen, what="the frozen screen with the other window on it")
        xdo = self.display.xdotool
        self.display.move(550, 250)
        xdo("mousedown", 1)
        # A failure below must not leave the button down for the tests after it.
        down = [True]
        self.addCleanup(lambda: down[0] and xdo("mouseup", 1, check=False))
        self.display.move(650, 330)
        self.display.move(800, 450)
        band = lambda: images.grab_root(self.display.env).differing_box(before) == (550, 250, 250, 200)
        wait_until(band, what="the band over the frozen screen")
        # The other window is raised and moved while the band is up; the window manager takes the requests in turn,
        # so once the move shows, the raise has been dealt with too. The screen must still show only the frozen
        # picture and the band.
        xdo("windowraise", window, check=False)
        xdo("windowmove", window, 100, 100, check=False)
        wait_until(lambda: self.display.geometry(window)[0] < 200, what="the other window to move")
        self.assertTrue(band(), "the other window shows through the overlay")
        self.assertIn(overlay, self.display.windows(OVERLAY))
        xdo("mouseup", 1)
        down[0] = False
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), before.crop(550, 250, 250, 200))

    def test_window_manager_restarts_while_the_overlay_is_up(self):
        self.launch()
        for restart in ("replace", "kill and start"):
            with self.subTest(restart=restart):
                self.start_capture()
                check = lambda: self.display.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False).strip()
                before = check()
                old = self.display.openbox
                if restart == "replace":
                    self.display.openbox = subprocess.Popen(["openbox", "--sm-disable", "--replace"],
                                                            env=self.display.env, stdout=subprocess.DEVNULL,
                                                            stderr=subprocess.DEVNULL)
                    old.wait(10)
                else:
                    old.kill()
                    old.wait(10)
                    # The next client may be handed the killed one's window ids: clear what the old manager left on
                    # the root, so that the new one is seen by its own marks.
                    for mark in ("_NET_SUPPORTING_WM_CHECK", "_OB_THEME"):
                        self.display.run("xprop", "-root", "-remove", mark, check=False)
                    before = check()
                    self.display.start_window_manager()
                # The new manager has taken over when it names its own check window on the root.
                wait_until(lambda: "window id" in check() and check() != before, what="the new window manager")
                self.display.wait_window(OVERLAY)
                time.sleep(0.3)
                self.drag(210, 220, 330, 300)
                self.confirm_done()
                self.program.wait_main()
                self.assert_same(images.read(self.only_file()), self.pattern.crop(210, 220, 120, 80))
                os.remove(self.only_file())


class TestDisplayLost(unittest.TestCase):
    """The X server goes away while the overlay is up: the program ends by itself, without a crash and without
    leaving a file."""

    def test_x_server_killed_during_a_drag(self):
        for how in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(signal=how.name):
                display = Display()
                program = Program(display)
                folder = tempfile.mkdtemp(prefix="quosh-out-")
                try:
                    program.write_settings({"Option1": "False", "Option2": "True", "Text1": folder + "/",
                                            "Check1": "1"})
                    main = program.start()
                    wait_until(lambda: display.geometry(main)[2] > 0, what="the main window's geometry")
                    x, y, _, _ = display.geometry(main)
                    display.click(x + 268, y + 194)
                    display.wait_window(OVERLAY)
                    display.move(100, 100)
                    display.xdotool("mousedown", 1)
                    display.move(200, 150)
                    display.xvfb.send_signal(how)
                    display.xvfb.wait(10)
                    status = program.process.wait(20)
                    output = program.output()
                    self.assertGreaterEqual(status, 0, f"ended by signal {-status}:\n{output}")
                    for mark in CRASH_MARKS:
                        self.assertNotIn(mark, output)
                    self.assertEqual(os.listdir(folder), [])
                finally:
                    program.cleanup()
                    display.close()
                    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
