"""The harness leaves nothing running, however a test run ends: a class set-up that fails after its display started,
a test that errs with the program up, a test process terminated or killed outright (as a runner's timeout does).
Every process the run starts counts, down to what those processes start themselves (a session bus the toolkit would
launch, the services such a bus starts): each carries a mark in its environment that it hands on."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid

from harness import wait_until

MARK = "QUOSH_HARNESS_TEST_RUN"

# A test module run in a process of its own; it writes how many marked processes run while the program is up and
# the folders it made to $RECORD, then ends as $ENDING says.
RUN = """
import os, signal, unittest
import harness, test_harness

ENDING = os.environ["ENDING"]

def record(*items):
    with open(os.environ["RECORD"], "a") as f:
        f.writelines(f"{item}\\n" for item in items)

class Case(harness.ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        record(cls.display.runtime)
        if ENDING == "class set-up fails":
            raise RuntimeError(ENDING)

    def test(self):
        self.program.start()
        record(self.program.home, f"running {len(test_harness.marked_processes(os.environ[test_harness.MARK]))}")
        if ENDING == "terminated":
            os.kill(os.getpid(), signal.SIGTERM)
        elif ENDING == "killed":
            os.kill(os.getpid(), signal.SIGKILL)
        raise RuntimeError(ENDING)

unittest.main()
"""


def marked_processes(mark):
    """The command lines of the live processes whose environment holds MARK=mark (zombies, which only wait for a
    parent to reap them, aside)."""
    found = []
    needle = f"{MARK}={mark}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if needle not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                found.append(f.read().replace(b"\0", b" ").decode(errors="replace").strip())
        except OSError:
            pass  # ended meanwhile, or not ours to read
    return found


class TestNothingIsLeftRunning(unittest.TestCase):

    def test_every_ending_stops_everything_the_run_started(self):
        here = os.path.dirname(os.path.abspath(__file__))
        for ending in ("class set-up fails", "test errs", "terminated", "killed"):
            with self.subTest(ending=ending), tempfile.TemporaryDirectory() as scratch:
                mark = uuid.uuid4().hex
                record_path = os.path.join(scratch, "record")
                env = dict(os.environ, ENDING=ending, RECORD=record_path, **{MARK: mark})
                run = subprocess.run([sys.executable, "-c", RUN], cwd=here, env=env, capture_output=True, text=True,
                                     timeout=120)
                self.assertNotEqual(run.returncode, 0, run.stderr)
                with open(record_path) as f:
                    recorded = f.read().splitlines()
                running = [int(item.split()[1]) for item in recorded if item.startswith("running ")]
                folders = [item for item in recorded if not item.startswith("running ")]
                if ending != "class set-up fails":
                    # Xvfb, openbox, the session bus and the program at least: the mark reaches them all.
                    self.assertGreaterEqual(running, [4], run.stderr)
                try:
                    wait_until(lambda: not marked_processes(mark), timeout=20, what=f"nothing left after {ending}")
                except AssertionError:
                    self.fail(f"left running after the run {ending}: {marked_processes(mark)}")
                if ending == "killed":
                    for folder in folders:
                        shutil.rmtree(folder, ignore_errors=True)
                else:
                    self.assertEqual([folder for folder in folders if os.path.exists(folder)], [])


if __name__ == "__main__":
    unittest.main()
