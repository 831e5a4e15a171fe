"""What the X11 and the Wayland harnesses share: the program's own texts, the double-click interval, and polling."""

import time

PRODUCT = "Ostrafen Mirel Tasko Vendry Quosh"
APP_TITLE = "Ostrafen Mirel Tasko Vendry"
SECTION = "Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh"
DASHES = "---------------------------"
# A press on the overlay within the desktop's double-click interval of the click that opened it is that click's
# second half and is ignored. No settings daemon runs in the tests, so the interval is Qt's default of 400 ms.
DOUBLE_CLICK_INTERVAL = 0.4


def wait_until(predicate, timeout=15.0, interval=0.05, what="condition"):
    """Polls predicate until it returns something truthy; fails with `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)
