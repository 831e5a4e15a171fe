"""Ordinary but unfriendly surroundings: the session ending in the middle of a save, what an earlier save cut short
left behind, and named pipes where the program expects its settings file or its hand pointer."""

import datetime
import os
import shutil
import signal
import tempfile
import unittest

import images
from harness import APP_TITLE, ProgramTestCase, wait_until
from test_capture import CaptureCase

ERROR_BOX = "^Application Error$"


class TestEndDuringSave(CaptureCase):
    """A large screen, so that the BMP takes a while to write (36 MB)."""

    display_args = {"width": 4000, "height": 3000}

    def test_signal_after_mouse_up_finishes_the_save(self):
        for how in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=how.name):
                for name in os.listdir(self.folder):
                    os.remove(os.path.join(self.folder, name))
                self.launch(fmt="bmp", hide="1")
                self.start_capture()
                self.display.drag(10, 20, 3990, 2990)
                # As soon as the save has begun (its hidden temporary file is there) or has already ended: either
                # way the user logging out must not cost the capture.
                wait_until(lambda: os.listdir(self.folder), timeout=30, interval=0.005, what="the save to begin")
                self.program.process.send_signal(how)
                self.program.process.wait(60)
                self.assertEqual(self.program.process.returncode, -how)
                self.program.stop()
                self.assert_same(images.read(self.only_file()), self.pattern.crop(10, 20, 3980, 2970))
                self.assertNotRegex(os.path.basename(self.only_file()), r"^\.")


class TestStartUp(ProgramTestCase):
    # The box's text, then OK pressed as a user presses it.
    read_box = CaptureCase.read_box

    def test_pipe_as_settings_file_is_reported_and_the_window_appears(self):
        os.mkfifo(self.program.settings_path)
        self.program.start(wait_main=False)
        _, text, _ = self.read_box(f"^{APP_TITLE}$")
        self.assertIn(f"Cannot write {self.program.settings_path}: it is not a regular file", text)
        self.program.wait_main()
        self.assertTrue(os.path.exists(self.program.settings_path))
        self.assertFalse(os.path.isfile(self.program.settings_path))

    def test_pipe_as_hand_pointer_is_reported_and_the_window_appears(self):
        folder = tempfile.mkdtemp(prefix="quosh-bin-")
        self.addCleanup(shutil.rmtree, folder, True)
        binary = os.path.join(folder, "quosh")
        shutil.copy2(self.program.binary, binary)
        pointer = os.path.join(folder, "HAND-M.CUR")
        os.mkfifo(pointer)
        self.program.binary = binary
        self.program.start(wait_main=False)
        _, text, _ = self.read_box(ERROR_BOX)
        self.assertIn(f"Cannot read {pointer}: it is not a regular file", text)
        self.program.wait_main()

    def test_only_stale_temporary_files_of_captures_are_removed(self):
        folder = tempfile.mkdtemp(prefix="quosh-out-")
        self.addCleanup(shutil.rmtree, folder, True)
        stale = ".Screen Capture 01_02_26_03_04_05.bmp.abc123"
        kept = [".Screen Capture 01_02_26_03_04_06.jpg.abc123",  # young: another copy may still be writing it
                ".notes.txt.abc123", "Screen Capture 01_02_26_03_04_05.bmp"]
        # Ages as the program's clock, frozen by the harness, sees them.
        now = datetime.datetime.strptime(self.program.clock, "%Y-%m-%d %H:%M:%S").timestamp()
        for name in [stale] + kept:
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(b"partial")
            age = 0 if name == kept[0] else 120
            os.utime(path, (now - age, now - age))
        self.program.write_settings({"Text1": folder + "/"})
        self.program.start()
        # The sweep runs once the window is on the screen.
        wait_until(lambda: stale not in os.listdir(folder), what="the stale file removed")
        self.assertEqual(sorted(os.listdir(folder)), sorted(kept))


if __name__ == "__main__":
    unittest.main()
