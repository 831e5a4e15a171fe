"""The harness leaves nothing running, however a test run ends: a class set-up that fails after its display started,
a test that errs with the program up, a test process terminated or killed outright (as a runner's timeout does)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import wait_until

# A test module run in a process of its own; it writes the pid of everything it starts to $PIDS, then ends as
# $ENDING says.
RUN = """
import os, signal, unittest
import harness

ENDING = os.environ["ENDING"]

def record(*items):
    with open(os.environ["PIDS"], "a") as f:
        f.writelines(f"{item}\\n" for item in items)

class Case(harness.ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        record(cls.display.xvfb.pid, cls.display.openbox.pid, cls.display.runtime)
        if ENDING == "class set-up fails":
            raise RuntimeError(ENDING)

    def test(self):
        self.program.start()
        record(self.program.process.pid, self.program.home)
        if ENDING == "terminated":
            os.kill(os.getpid(), signal.SIGTERM)
        elif ENDING == "killed":
            os.kill(os.getpid(), signal.SIGKILL)
        raise RuntimeError(ENDING)

unittest.main()
"""


def running(pid):
    """True while the process exists and is not a zombie waiting for a parent to reap it."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class TestNothingIsLeftRunning(unittest.TestCase):

    def test_every_ending_stops_display_window_manager_and_program(self):
        here = os.path.dirname(os.path.abspath(__file__))
        for ending, started in (("class set-up fails", 2), ("test errs", 3), ("terminated", 3), ("killed", 3)):
            with self.subTest(ending=ending), tempfile.TemporaryDirectory() as scratch:
                pids_path = os.path.join(scratch, "pids")
                env = dict(os.environ, ENDING=ending, PIDS=pids_path)
                run = subprocess.run([sys.executable, "-c", RUN], cwd=here, env=env, capture_output=True, text=True,
                                     timeout=120)
                self.assertNotEqual(run.returncode, 0, run.stderr)
                with open(pids_path) as f:
                    recorded = f.read().split()
                pids = [int(item) for item in recorded if item.isdigit()]
                folders = [item for item in recorded if not item.isdigit()]
                self.assertEqual(len(pids), started, run.stderr)
                wait_until(lambda: not any(running(pid) for pid in pids), timeout=20,
                           what=f"{pids} to end after the run was {ending}")
                if ending == "killed":
                    for folder in folders:
                        shutil.rmtree(folder, ignore_errors=True)
                else:
                    self.assertEqual([folder for folder in folders if os.path.exists(folder)], [])


if __name__ == "__main__":
    unittest.main()
