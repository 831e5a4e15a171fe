"""Takes one real capture with the built program on a private virtual display, as a user pressing the capture key
would: `quosh --capture` brings up the frozen screen, a rectangle is dragged over it, "Done." is confirmed, and the
program ends. Needs only Xvfb and the XTEST library (libxtst6); the pointer and the keys go through XTEST."""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from shared import SECTION, wait_until  # noqa: E402

WIDTH, HEIGHT = 1280, 800
RETURN = 0xFF0D  # keysym
IS_VIEWABLE = 2


class WindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class Input:
    """The display's pointer and keyboard through XTEST, and its top-level windows by name."""

    def __init__(self, name):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 4
        self.x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        self.x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(WindowAttributes)]
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        for call in ("XFlush", "XSync"):
            getattr(self.x11, call).argtypes = [ctypes.c_void_p] + ([ctypes.c_int] if call == "XSync" else [])
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_ulong]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.display = self.x11.XOpenDisplay(name.encode())
        if not self.display:
            raise RuntimeError(f"cannot open the virtual display {name}")

    def viewable(self, title):
        """Whether a top-level window named `title` is on the screen."""
        root, parent, children, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.POINTER(ctypes.c_ulong)(), \
            ctypes.c_uint()
        self.x11.XQueryTree(self.display, self.x11.XDefaultRootWindow(self.display), ctypes.byref(root),
                            ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
        found = False
        for i in range(count.value):
            name = ctypes.c_char_p()
            attributes = WindowAttributes()
            if self.x11.XFetchName(self.display, children[i], ctypes.byref(name)) and name.value == title.encode():
                self.x11.XGetWindowAttributes(self.display, children[i], ctypes.byref(attributes))
                found = found or attributes.map_state == IS_VIEWABLE
        return found

    def move(self, x, y):
        self.xtst.XTestFakeMotionEvent(self.display, -1, x, y, 0)
        self.x11.XSync(self.display, 0)

    def button(self, pressed):
        self.xtst.XTestFakeButtonEvent(self.display, 1, pressed, 0)
        self.x11.XSync(self.display, 0)

    def key(self, keysym):
        code = self.x11.XKeysymToKeycode(self.display, keysym)
        for pressed in (1, 0):
            self.xtst.XTestFakeKeyEvent(self.display, code, pressed, 0)
        self.x11.XSync(self.display, 0)


def start_display():
    read_fd, write_fd = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0",
                               f"{WIDTH}x{HEIGHT}x24"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    return server, f":{number}"


def main():
    binary = os.path.abspath(sys.argv[1])
    # A home of our own, removed at the end with all the program kept there; only the folder of the capture that is
    # reported stays.
    home = tempfile.mkdtemp(prefix="quosh-home-")
    runtime = tempfile.mkdtemp(prefix="quosh-runtime-")
    captures = tempfile.mkdtemp(prefix="quosh-capture-")
    kept = False
    config, tools, temporary = (os.path.join(home, name) for name in (".config", "tools", "tmp"))
    for folder in (config, tools, temporary):
        os.makedirs(folder)
    with open(os.path.join(config, "Korvane.conf"), "w") as f:
        f.write(f"[{SECTION}]\nText1={captures}/\n")
    # The home page, opened on one start in a hundred, is not opened here.
    with open(os.path.join(tools, "xdg-open"), "w") as f:
        f.write("#!/bin/sh\n")
    os.chmod(os.path.join(tools, "xdg-open"), 0o755)

    server = program = None
    try:
        server, display = start_display()
        env = {key: value for key, value in os.environ.items() if key not in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE")}
        # No session bus: nothing may be started on one that would outlive the display.
        env.update(DISPLAY=display, HOME=home, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime, TMPDIR=temporary,
                   QT_QPA_PLATFORM="xcb",
                   DBUS_SESSION_BUS_ADDRESS=f"unix:path={runtime}/no-bus", PATH=tools + os.pathsep + env["PATH"])
        screen = Input(display)
        program = subprocess.Popen([binary, "--capture"], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   text=True, start_new_session=True)
        wait_until(lambda: screen.viewable("Form2"), 20, what="the frozen screen")
        # Input sent in the very moment the frozen screen is mapped may never reach it (seen on Xvfb without a window
        # manager); it is then still up, waiting, and the drag is made again.
        for _ in range(5):
            screen.move(200, 150)
            screen.button(1)
            for step in range(1, 9):
                screen.move(200 + 640 * step // 8, 150 + 360 * step // 8)
            screen.button(0)
            try:
                wait_until(lambda: not screen.viewable("Form2"), 2, what="the drag to be taken")
                break
            except AssertionError:
                pass
        # A save under way is a hidden file until it is complete.
        saved = wait_until(lambda: [name for name in os.listdir(captures) if name.startswith("Screen Capture ")], 20,
                           what="the saved capture")
        # "Done." comes up in the middle of the screen; its OK ends the program.
        screen.move(WIDTH // 2, HEIGHT // 2)

        def ended():
            screen.key(RETURN)
            return program.poll() is not None
        wait_until(ended, 20, interval=0.5, what="the program to end after \"Done.\"")
        if program.returncode != 0:
            raise AssertionError(f"the program ended with status {program.returncode}")
        print(f"The program said \"Done.\" and saved the selected region to:\n  {os.path.join(captures, saved[0])}")
        kept = True
        return 0
    except AssertionError as failure:
        os.killpg(program.pid, signal.SIGTERM)
        print(f"The capture did not complete: {failure}. The program said:\n{program.communicate()[0]}",
              file=sys.stderr)
        return 1
    finally:
        for process in (program, server):
            if process and process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait()
        if program:
            program.stdout.close()
        for folder in (runtime, home) if kept else (runtime, home, captures):
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
