"""Drives the real program on a private Xvfb with openbox, as a user would, with xdotool and xclip.

Everything started here ends with the test process, however it ends: each server, window manager and program runs
in a process group of its own that is signalled when the test process dies (even by SIGKILL, as a test runner's
timeout does), and what a test class or a test starts is stopped by cleanups that run after failures in set-up too."""

import atexit
import contextlib
import ctypes
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from shared import APP_TITLE, DASHES, DOUBLE_CLICK_INTERVAL, PRODUCT, SECTION, wait_until  # noqa: E402,F401

# The program draws its one-in-a-hundred home-page chance from the time of day, to the millisecond; its wall clock is
# frozen (by libfaketime) at a time whose draw is known. At 10:00:00 the draw is 11; at 10:04:17 it is 7, which opens
# the home page. The monotonic clock, which Qt's timers use, runs on.
CLOCK_WITHOUT_HOME_PAGE = "2026-12-07 10:00:00"
CLOCK_WITH_HOME_PAGE = "2026-12-07 10:04:17"

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)
# Processes and folders still to be stopped and removed when the test process ends without its cleanups.
_leftovers = []


def _own_group_ending_with_parent(death_signal):
    parent = os.getpid()

    def prepare():
        os.setpgid(0, 0)
        _libc.prctl(_PR_SET_PDEATHSIG, int(death_signal), 0, 0, 0)
        # The parent may have died before the line above took effect.
        if os.getppid() != parent:
            os._exit(1)

    return prepare


def spawn(args, death_signal=signal.SIGKILL, **kwargs):
    """Starts args like subprocess.Popen, in a process group of its own that gets death_signal when this process
    dies; stop_process ends the group."""
    process = subprocess.Popen(args, preexec_fn=_own_group_ending_with_parent(death_signal), **kwargs)
    _leftovers.append(process)
    return process


def stop_process(process, first_signal=signal.SIGTERM, timeout=10):
    """Ends the process and everything in its group: first_signal, then SIGKILL after timeout seconds."""
    if process is None:
        return
    if process.poll() is None:
        process.send_signal(first_signal)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    # Whatever the process started and left in its group.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    if process in _leftovers:
        _leftovers.remove(process)


def _remove_leftovers():
    for item in reversed(_leftovers[:]):
        if isinstance(item, str):
            shutil.rmtree(item, ignore_errors=True)
        else:
            stop_process(item, timeout=5)
    _leftovers.clear()


def _stop_on_sigterm(signum, frame):
    # Like Ctrl+C: the run stops, and the processes and folders left are removed on the way out.
    raise KeyboardInterrupt(f"signal {signum}")


atexit.register(_remove_leftovers)
if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
    signal.signal(signal.SIGTERM, _stop_on_sigterm)


def faketime_library():
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
    if not found:
        raise RuntimeError("libfaketime is not installed (Debian package faketime): the program's clock cannot be set")
    return found[0]


# The session bus of a display: nothing can be started on it by name (there is no service folder), so that every
# process a test starts is one the harness started and stops.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class Display:
    """An Xvfb server (never resetting) with openbox and a session bus of its own. Without a bus address, the toolkit
    of a program started with DISPLAY set would launch a session bus of its own that outlives the program and the
    server."""

    def __init__(self, width=1280, height=800, depth=24, window_manager=True, extra_args=()):
        self.runtime = tempfile.mkdtemp(prefix="quosh-runtime-")
        _leftovers.append(self.runtime)
        os.chmod(self.runtime, 0o700)
        self.xvfb = None
        self.openbox = None
        self.bus = None
        try:
            read_fd, write_fd = os.pipe()
            # SIGTERM lets the server remove its lock file and socket.
            self.xvfb = spawn(
                ["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp", "+extension", "RANDR",
                 "-screen", "0", f"{width}x{height}x{depth}", *extra_args],
                death_signal=signal.SIGTERM, pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as pipe:
                number = pipe.readline().strip()
            if not number:
                raise RuntimeError("Xvfb did not start")
            self.name = f":{number}"
            # What the program under test is doing, told when a wait for one of its windows times out.
            self.describe_program = None
            self.env = dict(os.environ, DISPLAY=self.name, XDG_RUNTIME_DIR=self.runtime)
            self.env.pop("WAYLAND_DISPLAY", None)
            # A Wayland session would make the program read the screen through the desktop portal.
            self.env.pop("XDG_SESSION_TYPE", None)
            self.env.pop("QT_QPA_PLATFORM", None)
            self.start_bus()
            if window_manager:
                self.start_window_manager()
        except BaseException:
            self.close()
            raise

    def start_bus(self):
        socket = os.path.join(self.runtime, "bus")
        config = os.path.join(self.runtime, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(socket=socket))
        self.bus = spawn(["dbus-daemon", f"--config-file={config}", "--nofork"], env=self.env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={socket}"
        wait_until(lambda: os.path.exists(socket), what="the session bus")

    def start_window_manager(self):
        self.openbox = spawn(["openbox", "--sm-disable"], env=self.env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        # openbox manages windows only once it has published its theme on the root window.
        wait_until(lambda: "_OB_THEME(" in self.run("xprop", "-root", "_OB_THEME", check=False),
                   what="openbox to be ready")

    def stop_window_manager(self):
        stop_process(self.openbox)
        self.openbox = None

    def run(self, *args, check=True, input=None):
        result = subprocess.run(list(args), env=self.env, capture_output=True, text=True, input=input)
        if check and result.returncode != 0:
            raise AssertionError(f"{args} failed: {result.stderr.strip()}")
        return result.stdout

    def xdotool(self, *args, check=True):
        return self.run("xdotool", *[str(a) for a in args], check=check)

    def windows(self, title_regex):
        out = self.xdotool("search", "--onlyvisible", "--name", title_regex, check=False)
        return [int(w) for w in out.split()]

    def wait(self, predicate, timeout, what, interval=0.05):
        """wait_until, whose failure also says whether the program is running and what it printed."""
        try:
            return wait_until(predicate, timeout, interval, what)
        except AssertionError as timed_out:
            if self.describe_program is None:
                raise
            # The windows that were there instead: the overlay still up tells a lost drag from a lost box.
            shown = [self.xdotool("getwindowname", str(w), check=False).strip() for w in self.windows(".")]
            raise AssertionError(f"{timed_out}; {self.describe_program()}; visible windows: {shown}") from None

    def wait_window(self, title_regex, timeout=15.0):
        return self.wait(lambda: (self.windows(title_regex) or [None])[-1], timeout,
                         f"a visible window named {title_regex}")

    def wait_no_window(self, title_regex, timeout=15.0):
        self.wait(lambda: not self.windows(title_regex), timeout, f"no visible window named {title_regex}")

    def geometry(self, window):
        """(x, y, width, height) of the window's client area in root coordinates."""
        out = self.run("xwininfo", "-id", str(window))
        value = lambda key: int(re.search(rf"{key}:\s+(-?\d+)", out).group(1))
        return value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height")

    def pointer(self):
        """Where the pointer is, in root coordinates."""
        out = self.xdotool("getmouselocation", "--shell")
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"])

    def move(self, x, y):
        """Moves the pointer and waits until it is there. xdotool's --sync waits for a motion that never comes when
        the pointer is already in place, so that case is left alone."""
        if self.pointer() != (x, y):
            self.xdotool("mousemove", "--sync", x, y)

    def click(self, x, y, button=1):
        self.move(x, y)
        self.xdotool("click", button)

    def drag(self, x1, y1, x2, y2, button=1, steps=8):
        self.move(x1, y1)
        self.xdotool("mousedown", button)
        for i in range(1, steps + 1):
            self.move(x1 + (x2 - x1) * i // steps, y1 + (y2 - y1) * i // steps)
        self.xdotool("mouseup", button)

    def key(self, *keys, window=None):
        args = ["key"] + (["--window", window] if window else []) + list(keys)
        self.xdotool(*args)

    def copy_text_at(self, x, y, expected=None, timeout=5.0):
        """The text of the box at (x, y), copied with Ctrl+A Ctrl+C as a user would; waits a while for `expected`."""
        self.click(x, y)
        self.key("ctrl+a")
        self.key("ctrl+c")
        try:
            wait_until(lambda: self.clipboard() == expected, timeout=timeout)
        except AssertionError:
            pass
        return self.clipboard()

    def clipboard(self):
        return self.run("xclip", "-o", "-selection", "clipboard", check=False)

    def clear_clipboard(self):
        """Empties the clipboard. xclip stays behind to serve the empty selection until another program takes it, so
        its output is not captured: waiting for the end of that output would wait for ever."""
        subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"], env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def read_box(self, title_regex, timeout=15.0, dismiss=True):
        """Copies the text of a message box with Ctrl+C, as a user pasting it into an e-mail, and closes it.
        Returns (title, text, buttons)."""
        window = self.wait_window(title_regex, timeout)
        self.xdotool("windowactivate", "--sync", window, check=False)
        self.clear_clipboard()

        def copied():
            self.xdotool("key", "--window", window, "ctrl+c", check=False)
            text = self.clipboard()
            return text if text.startswith(DASHES) else None

        text = self.wait(copied, timeout, "the box's text on the clipboard", interval=0.2)
        parts = text.split(DASHES + "\n")
        # "", title, text, buttons, ""
        title = parts[1][:-1]
        body = parts[2][:-1]
        buttons = parts[3].strip()
        if dismiss:
            # Pressed at the box, released where the focus then is. With "key --window", xdotool asks for each event
            # afresh whether the window has the focus: a box that closes on the press has lost it by the release,
            # which is then sent to the closed window only, and the X server keeps the key held down; the next box
            # rightly takes the press of a key held from before it for a repeat.
            self.xdotool("keydown", "--window", window, "Return", "keyup", "Return", check=False)
            self.wait(lambda: window not in self.windows(title_regex), timeout, "the box to close")
        return title, body, buttons

    def close(self):
        """Stops the window manager and the server; may be called again."""
        self.stop_window_manager()
        stop_process(self.bus)
        self.bus = None
        stop_process(self.xvfb)
        self.xvfb = None
        shutil.rmtree(self.runtime, ignore_errors=True)
        if self.runtime in _leftovers:
            _leftovers.remove(self.runtime)


class Program:
    """The program under test, with its own home, desktop folder and settings file, and its wall clock frozen at
    `clock` (None: the real clock)."""

    def __init__(self, display, binary=None, home=None, extra_env=None, clock=CLOCK_WITHOUT_HOME_PAGE):
        self.display = display
        self.binary = binary or os.environ["QUOSH_BIN"]
        self.home = home or tempfile.mkdtemp(prefix="quosh-home-")
        self.clock = clock
        if not home:
            _leftovers.append(self.home)
        self.config = os.path.join(self.home, ".config")
        self.desktop = os.path.join(self.home, "Desktop")
        os.makedirs(self.config, exist_ok=True)
        os.makedirs(self.desktop, exist_ok=True)
        # A stand-in for the desktop's URL opener, so that no test ever starts a web browser; it records the
        # addresses it was given in `opened_urls`.
        self.tools = os.path.join(self.home, "tools")
        os.makedirs(self.tools, exist_ok=True)
        self.opened_urls_path = os.path.join(self.home, "opened-urls")
        opener = os.path.join(self.tools, "xdg-open")
        with open(opener, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.opened_urls_path}"\n')
        os.chmod(opener, 0o755)
        # Its temporary files stay in its home, which goes at the end of the test, however the program ended.
        # What it prints, kept in a file so that it can be read while the program runs.
        self.output_path = os.path.join(self.home, "output")
        self.temporary = os.path.join(self.home, "tmp")
        os.makedirs(self.temporary, exist_ok=True)
        self.env = dict(display.env, HOME=self.home, XDG_CONFIG_HOME=self.config, TMPDIR=self.temporary,
                        XDG_DESKTOP_DIR=self.desktop, QT_QPA_PLATFORM="xcb",
                        PATH=self.tools + os.pathsep + display.env.get("PATH", os.defpath))
        self.env.update(extra_env or {})
        self.process = None
        # libfaketime shares its clock through a shared memory segment and a semaphore named after the first process
        # it runs in, and removes them only when that process exits normally.
        self.frozen_pids = []

    @property
    def settings_path(self):
        return os.path.join(self.config, "Korvane.conf")

    def write_settings(self, values):
        """Writes the settings file as the program stores it: one section, keys as given."""
        lines = [f"[{SECTION}]"] + [f"{key}={value}" for key, value in values.items()]
        with open(self.settings_path, "w") as f:
            f.write("\n".join(lines) + "\n")

    def settings(self):
        """The stored values of the program's section, as texts."""
        values = {}
        if not os.path.exists(self.settings_path):
            return values
        section = None
        with open(self.settings_path) as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("["):
                    section = line[1:-1]
                elif "=" in line and section == SECTION:
                    key, value = line.split("=", 1)
                    if len(value) >= 2 and value[0] == '"' and value[-1] == '"':
                        value = value[1:-1]
                    values[key] = value
        return values

    def clock_env(self):
        """What freezes the program's wall clock at self.clock; the monotonic clock keeps running."""
        if self.clock is None:
            return {}
        preload = " ".join(filter(None, [self.env.get("LD_PRELOAD"), faketime_library()]))
        # A sanitizer runtime wants to come first among the preloaded libraries; here it comes second.
        asan = ":".join(filter(None, [self.env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        # NO_FAKE_STAT: files keep the times they really have.
        return {"LD_PRELOAD": preload, "FAKETIME": self.clock, "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                "NO_FAKE_STAT": "1", "ASAN_OPTIONS": asan}

    def start(self, wait_main=True, args=(), env=None):
        """Starts the program with `args`, its environment changed by `env`."""
        with open(self.output_path, "w") as output:
            self.process = spawn([self.binary, *args], env={**self.env, **(env or {}), **self.clock_env()},
                                 stdout=output, stderr=subprocess.STDOUT)
        self.frozen_pids += [self.process.pid] if self.clock is not None else []
        self.display.describe_program = self.describe
        if wait_main:
            return self.wait_main()
        return None

    def wait_main(self, timeout=20.0):
        return self.display.wait_window(f"^{PRODUCT}$", timeout)

    def output(self):
        """What the program printed so far, on either stream."""
        try:
            with open(self.output_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def describe(self):
        if self.process is None:
            state = "the program was not started"
        elif self.process.poll() is None:
            state = f"the program (pid {self.process.pid}) is still running"
        else:
            state = f"the program ended with status {self.process.returncode}"
        output = self.output().strip()
        return f"{state}; it printed " + (f"this:\n{output}" if output else "nothing")

    def stop(self):
        stop_process(self.process)
        self.process = None
        if self.display.describe_program == self.describe:
            self.display.describe_program = None
        return self.output()

    def cleanup(self):
        self.stop()
        for pid in self.frozen_pids:
            for name in (f"faketime_shm_{pid}", f"sem.faketime_sem_{pid}"):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join("/dev/shm", name))
        shutil.rmtree(self.home, ignore_errors=True)
        if self.home in _leftovers:
            _leftovers.remove(self.home)


class ProgramTestCase(unittest.TestCase):
    """One display per test class; a fresh program home per test."""

    display_args = {}

    @classmethod
    def setUpClass(cls):
        cls.display = Display(**cls.display_args)
        # A class cleanup also runs when a subclass's setUpClass fails after this.
        cls.addClassCleanup(cls.display.close)

    def setUp(self):
        self.program = Program(self.display)
        self.addCleanup(self.program.cleanup)
