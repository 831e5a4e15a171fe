"""Takes one real capture with the built program on a private virtual display, as a user would."""

import glob
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402


def main():
    binary = os.path.abspath(sys.argv[1])
    display = harness.Display(width=1280, height=800)
    # A home of our own, which the harness leaves in place so that the capture stays, and the user's own clock: the
    # capture is named after the real time.
    home = tempfile.mkdtemp(prefix="quosh-home-")
    program = harness.Program(display, binary=binary, home=home, clock=None)
    try:
        main_window = program.start()
        x, y, _, _ = display.geometry(main_window)
        # "Start Capturing" sits at (120, 2720) twips in the window, 7800 x 405 twips large: 15 twips a pixel.
        display.click(x + 8 + 260, y + 181 + 13)
        harness.wait_until(lambda: not display.windows(f"^{harness.PRODUCT}$"), 15, what="the main window to hide")
        # A press sooner than the double-click interval after that click would count as its second half.
        time.sleep(harness.DOUBLE_CLICK_INTERVAL + 0.05)
        display.drag(200, 150, 840, 510)
        title, text, _ = display.read_box(f"^{harness.APP_TITLE}$")
        files = sorted(glob.glob(os.path.join(program.desktop, "Screen Capture *")))
        if text != "Done." or not files:
            print(f"The capture did not complete: {title}: {text}", file=sys.stderr)
            return 1
        print(f"The program said \"{text}\" and saved the selected region to:\n  {files[-1]}")
        return 0
    finally:
        program.stop()
        display.close()


if __name__ == "__main__":
    sys.exit(main())
