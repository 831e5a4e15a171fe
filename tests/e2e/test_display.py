"""The display named on the command line: the program started as `quosh -display :N` with no $DISPLAY shows its
windows on :N and grabs :N; with no display at all it ends with one line and an error status, not a crash."""

import signal
import subprocess
import unittest

import test_capture
from harness import Program


class CommandLineDisplayProgram(Program):
    """The program with its display given as Qt's -display option and $DISPLAY unset."""

    def start(self, wait_main=True):
        env = dict(self.env)
        env.pop("DISPLAY", None)
        self.process = subprocess.Popen([self.binary, "-display", self.display.name], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return self.wait_main() if wait_main else None


class TestDisplayOption(test_capture.CaptureCase):

    def setUp(self):
        super().setUp()
        self.program = CommandLineDisplayProgram(self.display, home=self.program.home)
        self.addCleanup(self.program.stop)

    def test_windows_and_grab_are_on_the_named_display(self):
        got = self.capture(150, 120, 420, 330, hide="1")
        self.assert_same(got, self.pattern.crop(150, 120, 270, 210))
        self.program.wait_main()

    def test_without_any_display_the_program_ends_with_one_line(self):
        env = dict(self.program.env)
        env.pop("DISPLAY", None)
        result = subprocess.run([self.program.binary], env=env, capture_output=True, text=True, timeout=60)
        output = (result.stdout + result.stderr).strip()
        self.assertGreater(result.returncode, 0, output)
        self.assertNotIn(-result.returncode, (signal.SIGABRT, signal.SIGSEGV))
        self.assertNotIn("terminate called", output)
        self.assertEqual(len(output.splitlines()), 1, output)


if __name__ == "__main__":
    unittest.main()
