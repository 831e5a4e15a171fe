"""On headless sway with the desktop portal: "Start Capturing" to the overlay shown with its picture, beside the
bare portal round trip measured in the same session (bench_portal). Needs root, like the Wayland tests.
Usage: python3 bench/wayland.py BUILD_DIR [RUNS]"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wayland"))
from harness import PRODUCT, SECTION, Session, wait_until  # noqa: E402


def launch_times(session, binary, runs):
    home = session._mkdir(f"bench-home-{time.monotonic_ns()}")
    config = os.path.join(home, ".config")
    os.mkdir(config)
    with open(os.path.join(config, "Korvane.conf"), "w") as f:
        f.write(f"[{SECTION}]\nOption1=False\nOption2=True\nText1={home}/\nCheck1=1\n")
    env = dict(session.env, HOME=home, XDG_CONFIG_HOME=config, QT_QPA_PLATFORM="wayland")
    program = session.start([binary], env)
    times = []
    try:
        for _ in range(runs + 1):
            x, y, _, _ = session.wait_window(PRODUCT)["rect"]
            started = time.monotonic()
            session.click(round((x + 268) * session.scale), round((y + 194) * session.scale))
            # Form2 is mapped only after its load handler has its picture.
            wait_until(lambda: [w for w in session.windows("Form2") if w["fullscreen"]], interval=0.005,
                       what="the overlay")
            times.append((time.monotonic() - started) * 1000)
            session.click(10, 10)  # a click without a drag ends the run
            session.wait_no_window("Form2")
    finally:
        session.stop(program)
    return times[1:]


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    for width, height in ((1920, 1080), (3840, 2160)):
        session = Session(width, height)
        try:
            portal = session.run(f"{build}/bench/bench_portal", runs,
                                 env=dict(session.env, QT_QPA_PLATFORM="wayland"))
            launch = statistics.median(launch_times(session, f"{build}/app/quosh", runs))
        finally:
            session.close()
        trip = float(portal.split("round trip (call to answer, file written): ")[1].split(" ms")[0])
        print(f"== {width}x{height}, median of {runs}")
        print(portal.rstrip())
        print(f"Start Capturing to the overlay shown (tree polled every 5 ms): {launch:.1f} ms, "
              f"{launch / trip:.2f}x the bare round trip")


if __name__ == "__main__":
    main()
