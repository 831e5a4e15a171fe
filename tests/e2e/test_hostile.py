"""Ordinary but unfriendly surroundings: the session ending in the middle of a save, what an earlier save cut short
left behind, named pipes where the program expects its settings file or its hand pointer, a settings file that is a
link to someone else's file, and displays named in every way the toolkit takes."""

import datetime
import os
import resource
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


    def test_a_save_cut_short_is_tidied_at_the_next_start_and_the_users_files_are_kept(self):
        self.launch(fmt="bmp", hide="1")
        # The program dies in the middle of writing its capture (SIGXFSZ), as in a crash.
        resource.prlimit(self.program.process.pid, resource.RLIMIT_CORE, (0, 0))
        resource.prlimit(self.program.process.pid, resource.RLIMIT_FSIZE, (65536, 65536))
        self.start_capture()
        self.display.drag(10, 20, 410, 420)
        self.program.process.wait(60)
        self.assertEqual(self.program.process.returncode, -signal.SIGXFSZ)
        self.program.stop()
        left = os.listdir(self.folder)
        self.assertEqual(len(left), 1, left)
        self.assertRegex(left[0], r"^\.Screen Capture .*\.bmp\.")
        # What users keep beside their captures, named the way a hidden temporary file once was.
        kept = [".Screen Capture 01_02_26_03_04_05.jpg.backup", ".Screen Capture 01_02_26_03_04_05.jpg.edited",
                ".Screen Capture 01_02_26_03_04_05.bmp.abc123", "Screen Capture 01_02_26_03_04_05.bmp"]
        for name in kept:
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(b"mine")
        # Older than a minute as the program's clock, frozen by the harness, sees them.
        now = datetime.datetime.strptime(self.program.clock, "%Y-%m-%d %H:%M:%S").timestamp()
        for name in os.listdir(self.folder):
            os.utime(os.path.join(self.folder, name), (now - 120, now - 120))
        self.program.start()
        # The sweep runs once the window is on the screen.
        wait_until(lambda: left[0] not in os.listdir(self.folder), what="the cut-short save removed")
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(kept))


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

    def test_settings_link_to_another_file_is_left_as_it_is(self):
        target = os.path.join(self.program.home, "passwd")
        text = "root:x:0:0:root:/root:/bin/bash\nann:x:1000:1000:Ann,,,:/home/ann:/bin/bash\n"
        with open(target, "w") as f:
            f.write(text)
        os.symlink(target, self.program.settings_path)
        self.program.start(wait_main=False)
        _, box, _ = self.read_box(f"^{APP_TITLE}$")
        self.assertIn("Your settings cannot be saved.", box)
        self.assertIn(f"Cannot write {self.program.settings_path}: it is a link to {target}, which is not a settings "
                      "file of this program", box)
        self.program.wait_main()
        with open(target) as f:
            self.assertEqual(f.read(), text)
        self.assertEqual(os.readlink(self.program.settings_path), target)

    def test_each_start_with_a_bad_setting_shows_a_box_that_closes_on_return(self):
        for run in range(3):
            with self.subTest(run=run):
                self.program.write_settings({"Check1": "abc"})
                self.program.start(wait_main=False)
                # Dismissed by the harness itself, with Return sent to the box.
                _, text, _ = self.display.read_box(ERROR_BOX)
                self.assertIn('The stored setting "Check1" is "abc"', text)
                self.program.wait_main()
                self.program.stop()

    def test_displays_named_in_other_ways(self):
        """What only the real program shows; every way to an X display is a row of the unit tst_DisplayCheck."""
        rows = {
            # arguments, environment, the one line expected (None: the window comes up)
            "a stale WAYLAND_DISPLAY, a garbage DISPLAY": (
                [], {"DISPLAY": "garbage", "WAYLAND_DISPLAY": "wayland-9"}, '"garbage" is not the name of an X display'),
            "-display '' with a good DISPLAY": (["-display", ""], {}, None),
        }
        for row, (args, env, expected) in rows.items():
            with self.subTest(row):
                self.program.env.pop("QT_QPA_PLATFORM", None)
                self.program.start(wait_main=expected is None, args=args, env=env)
                if expected is not None:
                    self.program.process.wait(60)
                    output = self.program.output().strip()
                    self.assertEqual(self.program.process.returncode, 1, output)
                    self.assertEqual(len(output.splitlines()), 1, output)
                    self.assertTrue(output.startswith("quosh: " + expected), output)
                self.program.stop()

    def test_a_window_that_never_comes_is_told_with_what_the_program_did(self):
        self.program.start(wait_main=False, env={"DISPLAY": "garbage"})
        self.program.process.wait(60)
        with self.assertRaises(AssertionError) as failure:
            self.program.wait_main(timeout=0.5)
        self.assertIn("the program ended with status 1; it printed this:\nquosh: \"garbage\" is not the name",
                      str(failure.exception))


class TestUnreadableScreen(ProgramTestCase):
    """A display of a depth that the grab does not read."""

    display_args = {"depth": 15}

    def test_capture_option_ends_after_the_report(self):
        folder = tempfile.mkdtemp(prefix="quosh-out-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.program.write_settings({"Option1": "True", "Option2": "False", "Text1": folder + "/", "Check1": "1"})
        self.program.start(wait_main=False, args=["--capture"])
        _, text, _ = CaptureCase.read_box(self, ERROR_BOX)
        self.assertIn("Cannot read the screen: a display of depth 15", text)
        # No plain background is left up waiting for a click that nothing can come of.
        self.assertEqual(self.program.process.wait(20), 1)
        self.assertEqual(os.listdir(folder), [])


if __name__ == "__main__":
    unittest.main()
