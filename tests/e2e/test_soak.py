"""Many capture runs in one process, as a user taking screenshots all day: JPG, BMP and abandoned runs in turn. Every
file must be there and right, and the process must not grow: memory, shared-memory segments, X resources and file
descriptors stay where they were after the first ten runs. QUOSH_SOAK_RUNS sets the number of runs (30 by
default; bench/soak.sh runs 300)."""

import mmap
import os
import re
import subprocess
import sys
import time
import unittest

import images
import test_capture
from harness import wait_until

OVERLAY = test_capture.OVERLAY
DONE_BOX = test_capture.DONE_BOX
RUNS = int(os.environ.get("QUOSH_SOAK_RUNS", "30"))
WARM_UP = 10
# Where the format buttons are in the main window's client area, at 15 twips a pixel: "JPG" at (240, 300) and
# "BMP" at (1080, 300) twips inside Frame1, which is at (120, 120); a few pixels in, on the indicator.
FORMAT_BUTTONS = {"jpg": (24 + 7, 28 + 9), "bmp": (80 + 7, 28 + 9)}
# Option1 holds "BMP" and Option2 "JPG": the stored keys cross the buttons.
STORED = {"jpg": {"Option1": "False", "Option2": "True"}, "bmp": {"Option1": "True", "Option2": "False"}}
MAX_RSS_GROWTH_KIB = 2048


def is_sanitized(binary):
    """True for a build with AddressSanitizer, whose shadow memory and quarantine make the resident size say nothing
    about leaks: freed blocks are held back on purpose and the shadow grows with every page touched."""
    with open(binary, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return data.find(b"__asan_init") >= 0


class Usage:
    """What the program holds at one moment: resident memory, descriptors, shared-memory segments, X resources."""

    def __init__(self, pid, env):
        with open(f"/proc/{pid}/status") as f:
            self.rss_kib = int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))
        self.fds = len(os.listdir(f"/proc/{pid}/fd"))
        self.threads = len(os.listdir(f"/proc/{pid}/task"))
        # Segments the program made that still exist (marked for removal or not), and those it has mapped.
        with open("/proc/sysvipc/shm") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        self.segments = sum(1 for row in rows if row[4] == str(pid))
        with open(f"/proc/{pid}/maps") as f:
            self.mapped_segments = sum(1 for line in f if "SYSV" in line)
        self.x_resources = x_resources(pid, env)

    def __str__(self):
        x = ", ".join(f"{k} {v}" for k, v in sorted(self.x_resources.items())) if self.x_resources else "not counted"
        return (f"VmRSS {self.rss_kib} KiB, {self.fds} fds, {self.threads} threads, {self.segments} shm segments "
                f"({self.mapped_segments} mapped), X: {x}")


def x_resources(pid, env):
    """The program's X resources as xrestop counts them (the client that names the program's pid), or None when
    xrestop is not installed."""
    try:
        out = subprocess.run(["xrestop", "-b", "-m", "1"], env=env, capture_output=True, text=True, timeout=30).stdout
    except FileNotFoundError:
        return None
    for block in re.split(r"\n(?=\d+ - )", out):
        if re.search(rf"PID:\s*{pid}\s*\)", block):
            fields = dict(re.findall(r"^\s+([a-zA-Z ]+?)\s*:\s*~?(\d+)\s*$", block, re.M))
            keep = ("windows", "pixmaps", "GCs", "pictures", "cursors", "pixmap bytes")
            return {k: int(v) for k, v in fields.items() if k in keep}
    return {}


class TestSoak(test_capture.CaptureCase):

    def rectangle(self, run):
        """A different rectangle for every run, all inside the 1280 x 800 screen."""
        x, y = 20 + run * 37 % 900, 20 + run * 23 % 500
        return x, y, x + 10 + run * 13 % 150, y + 10 + run * 7 % 120

    def choose(self, fmt):
        x, y, _, _ = self.display.geometry(self.main)
        bx, by = FORMAT_BUTTONS[fmt]
        self.display.click(x + bx, y + by)
        wait_until(lambda: all(self.program.settings().get(k) == v for k, v in STORED[fmt].items()),
                   what=f"the {fmt} button to be chosen")

    def usage(self):
        # Measured with the main window back and idle.
        time.sleep(0.3)
        return Usage(self.program.process.pid, self.display.env)

    def check_file(self, name, fmt, rect):
        x1, y1, x2, y2 = rect
        self.assertRegex(name, rf"^Screen Capture \d\d_\d\d_\d\d_\d\d_\d\d_\d\d( \(\d+\))?\.{fmt}$")
        got = images.read(os.path.join(self.folder, name))
        expected = self.pattern.crop(min(x1, x2), min(y1, y2), abs(x2 - x1), abs(y2 - y1))
        if fmt == "bmp":
            self.assert_same(got, expected)
        else:
            self.assertEqual(got.size, expected.size)
            self.assertGreaterEqual(images.psnr(got, expected), 50.0)

    def test_many_runs_keep_every_file_and_hold_no_more(self):
        self.launch(fmt="bmp")
        fmt = "bmp"
        saved = set()
        warm = None
        started = time.monotonic()
        for run in range(1, RUNS + 1):
            kind = ("jpg", "bmp", "abandon")[(run - 1) % 3]
            if kind != "abandon" and kind != fmt:
                self.choose(kind)
                fmt = kind
            rect = self.rectangle(run)
            self.start_capture()
            if kind == "abandon":
                self.display.click(rect[0], rect[1])
                self.display.wait_no_window(OVERLAY)
                self.program.wait_main()
            else:
                self.drag(*rect)
                self.confirm_done()
                self.program.wait_main()
                new = set(self.files()) - saved
                self.assertEqual(len(new), 1, f"run {run}: {sorted(new)}")
                self.check_file(new.pop(), kind, rect)
            saved = set(self.files())
            self.assertEqual(self.display.windows(DONE_BOX), [], f"run {run}")
            if run == WARM_UP:
                warm = self.usage()
        end = self.usage()
        self.assertEqual(len(saved), RUNS - RUNS // 3)
        elapsed = time.monotonic() - started
        print(f"\nsoak: {RUNS} runs in {elapsed:.0f} s\n  after run {WARM_UP}: {warm}\n  after run {RUNS}: {end}",
              file=sys.stderr)
        if warm is None:
            return

        # The toolkit's shared thread pool starts up to one thread per processor when it first has work (image
        # conversions) and ends them after 30 idle seconds; each holds the one wake-up descriptor of its event loop.
        # Those come and go; any other descriptor must not.
        self.assertLessEqual(end.threads, warm.threads + (os.cpu_count() or 1), "threads")
        self.assertEqual(end.fds - end.threads, warm.fds - warm.threads, "file descriptors")
        self.assertLessEqual(end.segments, warm.segments, "shared-memory segments")
        self.assertLessEqual(end.mapped_segments, warm.mapped_segments, "mapped shared-memory segments")
        if warm.x_resources and end.x_resources:
            for key, value in warm.x_resources.items():
                # The toolkit makes each pointer shape the first time it shows it and keeps it for the life of the
                # process, so a shape first met late in the soak adds one; a leak would add one or more a run.
                slack = 2 if key == "cursors" else 0
                self.assertLessEqual(end.x_resources.get(key, 0), value + slack, f"X resource {key}")
        if not is_sanitized(self.program.binary):
            self.assertLess(end.rss_kib - warm.rss_kib, MAX_RSS_GROWTH_KIB, "resident memory")


if __name__ == "__main__":
    unittest.main()
