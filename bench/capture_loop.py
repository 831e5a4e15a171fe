#!/usr/bin/env python3
"""Many captures in one program process, each file checked against the screen: the hunt for a capture that says
"Done." and holds the wrong picture. The box "Hide this window" is ticked and cleared, JPG and BMP alternate, and
every rectangle is compared with the pattern on the root window (exact for BMP, 50 dB for JPEG). With the box ticked
the rectangle lies on the main window, which must be gone from the picture; with it clear the rectangle lies beside
the main window, where the overlay or a message box of an earlier run would show if it were still on the screen.

Usage: bench/capture_loop.py [--runs N] [--compositor] [--keep FOLDER]   (QUOSH_BIN names the program; default:
build/app/quosh). A wrong file is kept, with the root window as xwd saw it right after, in the --keep folder. A busy
machine makes a race show more often.
Prints one line a hundred runs and a summary; exits 1 when any file was wrong."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import images  # noqa: E402
from harness import APP_TITLE, DOUBLE_CLICK_INTERVAL, PRODUCT, Display, Program, wait_until  # noqa: E402

OVERLAY = "^Form2$"
DONE_BOX = f"^{APP_TITLE}$"
FORMATS = {"jpg": {"Option1": "False", "Option2": "True"}, "bmp": {"Option1": "True", "Option2": "False"}}
# Client-area positions at 15 twips a pixel: the format buttons' indicators, the check box and "Start Capturing".
BUTTONS = {"jpg": (31, 37), "bmp": (87, 37), "check": (31, 153), "start": (268, 194)}
WIDTH, HEIGHT = 1280, 800


def start_compositor(display, pattern_path):
    """picom with fading over the xrender backend, drawing the pattern as the desktop; returns the process once it
    runs."""
    picture = os.path.join(display.runtime, "pattern.png")
    display.run("convert", pattern_path, picture)
    # A compositor draws the desktop from the root pixmap that hsetroot keeps and names.
    display.run("hsetroot", "-center", picture)
    picom = subprocess.Popen(["picom", "--backend", "xrender", "--fading"],
                             env=display.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # picom names the window that owns the selection after itself.
    wait_until(lambda: display.xdotool("search", "--name", "^picom$", check=False).strip(), what="picom")
    return picom


class Loop:
    def __init__(self, args):
        self.args = args
        self.display = Display(WIDTH, HEIGHT, extra_args=("+extension", "Composite") if args.compositor else ())
        self.pattern = images.pattern(WIDTH, HEIGHT)
        path = os.path.join(self.display.runtime, "pattern.ppm")
        with open(path, "wb") as f:
            f.write(self.pattern.to_ppm())
        self.display.run("display", "-window", "root", path, check=False)
        wait_until(lambda: images.grab_root(self.display.env).rgb == self.pattern.rgb, what="the pattern")
        self.picom = start_compositor(self.display, path) if args.compositor else None
        binary = os.environ.get("QUOSH_BIN", os.path.join(HERE, "..", "build", "app", "quosh"))
        self.program = Program(self.display, binary=binary)
        self.folder = tempfile.mkdtemp(prefix="quosh-loop-")
        self.program.write_settings(dict(FORMATS["bmp"], Text1=self.folder + "/", Check1="1"))
        self.main = self.program.start()
        # The window manager places the main window once; it comes back to the same place.
        self.geometry = wait_until(lambda: self.display.geometry(self.main)[2] > 0 and self.display.geometry(self.main),
                                   what="the main window's geometry")
        self.fmt, self.hide = "bmp", "1"

    def close(self):
        self.program.cleanup()
        if self.picom:
            self.picom.terminate()
            self.picom.wait(10)
        self.display.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def click(self, button):
        x, y, _, _ = self.geometry
        bx, by = BUTTONS[button]
        self.display.click(x + bx, y + by)

    def choose(self, fmt, hide):
        if fmt != self.fmt:
            self.click(fmt)
            wait_until(lambda: all(self.program.settings().get(k) == v for k, v in FORMATS[fmt].items()),
                       what=f"{fmt} chosen")
            self.fmt = fmt
        if hide != self.hide:
            self.click("check")
            wait_until(lambda: self.program.settings().get("Check1") == hide, what=f"Check1 = {hide}")
            self.hide = hide

    def rectangle(self, run):
        """On the main window when it hides, beside it when it stays."""
        x, y, w, h = self.geometry
        if self.hide == "1":
            left, top = x - 30 + run * 37 % (w + 20), y - 30 + run * 23 % (h + 20)
        else:
            left, top = 20 + run * 37 % 900, y + h + 40 + run * 23 % max(1, HEIGHT - y - h - 200)
        left, top = max(0, left), max(0, top)
        return left, top, min(WIDTH - 1, left + 20 + run * 13 % 140), min(HEIGHT - 1, top + 20 + run * 7 % 110)

    def capture(self, run):
        rect = self.rectangle(run)
        before = set(os.listdir(self.folder))
        self.click("start")
        self.display.wait_window(OVERLAY)
        # A press within the double-click interval of the click on "Start Capturing" would be its second half.
        time.sleep(DOUBLE_CLICK_INTERVAL + 0.05)
        self.display.drag(*rect, steps=3)
        box = self.display.wait_window(DONE_BOX)
        self.display.xdotool("windowactivate", "--sync", box, check=False)
        self.display.xdotool("key", "Return")
        wait_until(lambda: box not in self.display.windows(DONE_BOX), what="the box to close")
        self.display.wait_no_window(OVERLAY)
        self.program.wait_main()
        new = wait_until(lambda: set(os.listdir(self.folder)) - before, what="the file")
        return os.path.join(self.folder, new.pop()), rect

    def check(self, path, rect):
        x1, y1, x2, y2 = rect
        got = images.read(path)
        expected = self.pattern.crop(x1, y1, x2 - x1, y2 - y1)
        if got.size != expected.size:
            return f"size {got.size}, expected {expected.size}"
        if path.endswith(".bmp"):
            difference = got.first_difference(expected)
            return None if difference is None else f"first difference {difference}"
        value = images.psnr(got, expected)
        return None if value >= 50.0 else f"{value:.1f} dB"

    def run(self):
        failures = 0
        started = time.monotonic()
        for run in range(1, self.args.runs + 1):
            fmt = ("jpg", "bmp")[run % 2]
            hide = ("1", "0")[run // 2 % 2]
            self.choose(fmt, hide)
            path, rect = self.capture(run)
            wrong = self.check(path, rect)
            if wrong:
                failures += 1
                print(f"run {run} ({fmt}, box {'ticked' if hide == '1' else 'clear'}, {rect}): {wrong}", flush=True)
                if self.args.keep:
                    os.makedirs(self.args.keep, exist_ok=True)
                    shutil.copy(path, os.path.join(self.args.keep, f"run{run}-" + os.path.basename(path)))
                    xwd = subprocess.run(["xwd", "-root", "-silent"], env=self.display.env,
                                         capture_output=True).stdout
                    with open(os.path.join(self.args.keep, f"run{run}-root.xwd"), "wb") as f:
                        f.write(xwd)
            os.remove(path)
            if run % 100 == 0:
                print(f"{run} captures, {failures} wrong, {time.monotonic() - started:.0f} s", flush=True)
        elapsed = time.monotonic() - started
        print(f"capture loop: {self.args.runs} captures{' under picom' if self.picom else ''}, {failures} wrong, "
              f"{elapsed:.0f} s ({elapsed / self.args.runs:.2f} s a capture)")
        return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--compositor", action="store_true", help="run picom with fading")
    parser.add_argument("--keep", help="folder for wrong files and the screen after them")
    loop = Loop(parser.parse_args())
    try:
        failures = loop.run()
    finally:
        loop.close()
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
