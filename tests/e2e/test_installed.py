"""The installed program as a user starts it: from its desktop menu entry, then one capture run. Runs only against an
installed package: QUOSH_DESKTOP_ENTRY names the installed menu entry. QUOSH_TEST_HOME, when set, is the home the
program runs in, kept afterwards with its settings and captures (so that an uninstall can be seen to leave them)."""

import os
import shlex
import shutil
import signal
import subprocess
import unittest

import images
from harness import Program, wait_until
from test_capture import FORMATS, CaptureCase

ENTRY = os.environ.get("QUOSH_DESKTOP_ENTRY", "")


def exec_line(entry):
    """The Exec command of a desktop entry, without its field codes."""
    with open(entry) as f:
        in_entry = False
        for line in f:
            line = line.strip()
            if line.startswith("["):
                in_entry = line == "[Desktop Entry]"
            elif in_entry and line.startswith("Exec="):
                return [arg for arg in shlex.split(line[len("Exec="):]) if not arg.startswith("%")]
    raise AssertionError(f"{entry} has no Exec line")


@unittest.skipUnless(ENTRY, "needs an installed program (QUOSH_DESKTOP_ENTRY)")
class TestInstalled(CaptureCase):

    def setUp(self):
        super().setUp()
        home = os.environ.get("QUOSH_TEST_HOME")
        if home:
            self.program = Program(self.display, binary=os.environ.get("QUOSH_BIN", "quosh"), home=home)
            self.folder = os.path.join(home, "Captures")
            os.makedirs(self.folder, exist_ok=True)
        self.pid = None
        self.addCleanup(self.end_program)

    def start_from_menu(self):
        """Starts the program as the desktop's menu does: by the entry's id through gtk-launch where it is
        installed, otherwise by running the entry's Exec command."""
        entry_id = os.path.basename(ENTRY)[:-len(".desktop")]
        env = self.program.env
        if shutil.which("gtk-launch"):
            # gtk-launch finds the entry among the desktop's applications, starts it and returns.
            subprocess.run(["gtk-launch", entry_id], env=env, check=True, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            subprocess.Popen(exec_line(ENTRY), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        self.main = self.program.wait_main()
        self.pid = int(self.display.xdotool("getwindowpid", self.main).strip())

    def end_program(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    def launch(self, fmt="bmp", hide="1", folder=None):
        values = dict(FORMATS[fmt], Text1=self.folder + "/" if folder is None else folder, Check1=hide)
        self.program.write_settings(values)
        self.start_from_menu()
        wait_until(lambda: self.display.geometry(self.main)[2] > 0, what="the main window's geometry")

    def test_started_from_the_menu_it_captures_a_region(self):
        self.launch(fmt="bmp", hide="1")
        # The menu started the installed program, not some other one on the path.
        expected = os.path.realpath(os.environ.get("QUOSH_BIN") or shutil.which(exec_line(ENTRY)[0]))
        self.assertEqual(os.path.realpath(f"/proc/{self.pid}/exe"), expected)
        x, y, width, height = self.display.geometry(self.main)
        self.start_capture()
        left, top = x - 20, y - 40
        self.drag(left, top, x + width + 21, y + height + 13)
        self.confirm_done()
        self.assert_same(images.read(self.only_file()), self.pattern.crop(left, top, width + 41, height + 53))
        self.program.wait_main()


if __name__ == "__main__":
    unittest.main()
