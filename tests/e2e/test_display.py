"""The display named on the command line: the program started as `quosh -display :N` with no $DISPLAY shows its
windows on :N and grabs :N; with no display, a bad one or one that never answers, it ends at once with one line and
an error status. The run command's capture on a virtual display, where there is no desktop, leaves nothing but the
file it reports."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

import test_capture
from harness import Program, spawn


class CommandLineDisplayProgram(Program):
    """The program with its display given as Qt's -display option, in one of the ways it can be written, and
    $DISPLAY unset."""

    def __init__(self, display, form, **kwargs):
        super().__init__(display, **kwargs)
        self.form = form

    def start(self, wait_main=True):
        env = dict(self.env)
        env.pop("DISPLAY", None)
        self.process = spawn([self.binary, *self.form(self.display.name)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        return self.wait_main() if wait_main else None


class TestDisplayOption(test_capture.CaptureCase):

    def test_windows_and_grab_are_on_the_named_display(self):
        forms = {"-display NAME": lambda name: ["-display", name], "--display=NAME": lambda name: [f"--display={name}"]}
        for row, form in forms.items():
            with self.subTest(row):
                for name in self.files():
                    os.remove(os.path.join(self.folder, name))
                self.program = CommandLineDisplayProgram(self.display, form, home=self.program.home)
                self.addCleanup(self.program.stop)
                got = self.capture(150, 120, 420, 330, hide="1")
                self.assert_same(got, self.pattern.crop(150, 120, 270, 210))
                self.program.wait_main()
                self.program.stop()



def silent_x_server():
    """A TCP socket where X display 127.0.0.1:N listens, which accepts connections and never answers; its N."""
    for number in range(100, 200):
        server = socket.socket()
        try:
            server.bind(("127.0.0.1", 6000 + number))
        except OSError:
            server.close()
            continue
        server.listen(4)
        return server, number
    raise RuntimeError("no free X display number between 100 and 199")


def project_version():
    """The version the build is configured with, from the top CMakeLists.txt."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+ VERSION ([\d.]+)", f.read()).group(1)


class TestBadDisplay(unittest.TestCase):
    """Whatever is wrong with the display or the command line, the program ends at once with one line of its own and
    an error status; --help and --version need no display."""

    def test_each_bad_display_or_option_is_told_in_one_line(self):
        silent, number = silent_x_server()
        self.addCleanup(silent.close)
        # The display, the arguments, the status, and what the output holds.
        rows = {
            "no display at all": (None, [], 1, "quosh: there is no display"),
            "a garbage name": ("garbage", [], 1, 'quosh: "garbage" is not the name of an X display'),
            "no server there": (f"127.0.0.1:{number + 100}", ["--capture"], 1,
                                f'quosh: cannot open the X display "127.0.0.1:{number + 100}"'),
            "a server that never answers": (f"127.0.0.1:{number}", [], 1, f'"127.0.0.1:{number}" did not answer'),
            "an unknown option": (None, ["-display", "garbage", "--frobnicate"], 2,
                                  'quosh: unknown option "--frobnicate" (quosh --help lists the options)'),
            "an unknown option after one dash": (None, ["-bogus=1"], 2, 'quosh: unknown option "-bogus"'),
            "-display=NAME with no server there": (None, [f"-display=127.0.0.1:{number + 100}", "--capture"], 1,
                                                   f'quosh: cannot open the X display "127.0.0.1:{number + 100}"'),
            "-platform offscreen --capture": (None, ["-platform", "offscreen", "--capture"], 1,
                                              'quosh: there is no screen to capture: the toolkit\'s platform '
                                              '"offscreen"'),
            "-platform=minimal --capture": (None, ["-platform=minimal", "--capture"], 1,
                                            'quosh: there is no screen to capture'),
            "an argument that is no option": (None, ["capture"], 2, 'quosh: unexpected argument "capture"'),
            "--version": (None, ["--version"], 0, f"quosh {project_version()}"),
            "--help": (None, ["--help"], 0, "  --capture "),
        }
        for row, (display, args, status, expected) in rows.items():
            with self.subTest(row):
                env = {key: value for key, value in os.environ.items()
                       if key not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "QT_QPA_PLATFORM")}
                if display is not None:
                    env["DISPLAY"] = display
                result = subprocess.run([os.environ["QUOSH_BIN"], *args], env=env, capture_output=True, text=True,
                                        timeout=60)
                output = (result.stdout + result.stderr).strip()
                self.assertEqual(result.returncode, status, output)
                self.assertIn(expected, output)
                if row != "--help":
                    self.assertEqual(len(output.splitlines()), 1, output)
        # Help that cannot be written is a failure, as for coreutils.
        with open("/dev/full", "w") as full:
            result = subprocess.run([os.environ["QUOSH_BIN"], "--help"], stdout=full, stderr=subprocess.PIPE,
                                    text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr),
                         (1, "quosh: cannot write to standard output: No space left on device\n"))


class TestDemoCapture(unittest.TestCase):

    def test_only_the_reported_capture_is_left(self):
        temporary = tempfile.mkdtemp(prefix="quosh-demo-")
        self.addCleanup(shutil.rmtree, temporary, True)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "demo_capture.py")
        result = subprocess.run([sys.executable, script, os.environ["QUOSH_BIN"]], capture_output=True, text=True,
                                env=dict(os.environ, TMPDIR=temporary), timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        reported = result.stdout.splitlines()[-1].strip()
        left = {os.path.join(root, name) for root, folders, files in os.walk(temporary) for name in folders + files}
        self.assertEqual(left, {os.path.dirname(reported), reported})


if __name__ == "__main__":
    unittest.main()
