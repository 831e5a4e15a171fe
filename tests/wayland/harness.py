"""Real Wayland desktops for the tests: headless sway, GNOME Shell and KWin, each with its desktop portal, run as an
unprivileged user in pid, mount and network namespaces of their own, so that ending the session's first process ends
every process of the session. One interface for all of them: the windows shown, a picture of the screen, the
clipboard, and pointer and key input in the output's device pixels. DESKTOPS names them."""

import ctypes
import glob
import json
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import images  # noqa: E402
from shared import APP_TITLE, DASHES, DOUBLE_CLICK_INTERVAL, PRODUCT, SECTION, wait_until  # noqa: E402,F401

HERE = os.path.dirname(os.path.abspath(__file__))
USER = "quosh-wayland"
OUTPUT = "HEADLESS-1"
SYSTEM_PYTHON = "/usr/bin/python3"  # with python3-dbus and python3-gi, whatever python3 the tests run on
KEY_CONTROL, KEY_C, KEY_RETURN = 0xFFE3, 0x63, 0xFF0D

_libc = ctypes.CDLL("libc.so.6", use_errno=True)


def _die_with_parent():
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def session_user():
    """The unprivileged user the sessions run as (sway refuses root), made on first use."""
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", USER], capture_output=True, check=False)
        return pwd.getpwnam(USER)


class Vnc:
    """An RFB 3.8 client with security type None that only sends pointer and key events."""

    BUTTONS = {1: 1, 2: 4, 3: 2}  # left, right, middle -> RFB button mask bits

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(path)
        if not self._read(12).startswith(b"RFB 003."):
            raise RuntimeError("not a VNC server")
        self.sock.sendall(b"RFB 003.008\n")
        types = self._read(self._read(1)[0])
        if 1 not in types:
            raise RuntimeError(f"the VNC server wants authentication: {list(types)}")
        self.sock.sendall(b"\x01")
        if struct.unpack(">I", self._read(4))[0] != 0:
            raise RuntimeError("the VNC server refused the connection")
        self.sock.sendall(b"\x01")  # shared
        self.width, self.height = struct.unpack(">HH", self._read(4))
        self._read(16)
        self._read(struct.unpack(">I", self._read(4))[0])
        self.mask = 0
        self.position = (0, 0)

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("the VNC server closed the connection")
            data += chunk
        return data

    def move(self, x, y):
        self.position = (x, y)
        self.sock.sendall(struct.pack(">BBHH", 5, self.mask, x, y))

    def press(self, button=1):
        self.mask |= self.BUTTONS[button]
        self.move(*self.position)

    def release(self, button=1):
        self.mask &= ~self.BUTTONS[button]
        self.move(*self.position)

    def key(self, *keysyms):
        """Presses the keys in order and releases them in reverse (a chord such as Ctrl+C)."""
        for keysym in keysyms:
            self.sock.sendall(struct.pack(">BBHI", 4, 1, 0, keysym))
        for keysym in reversed(keysyms):
            self.sock.sendall(struct.pack(">BBHI", 4, 0, 0, keysym))

    def close(self):
        self.sock.close()


class Session:
    """One headless desktop session with its bus, its portal (portal: "real", "none", "failing": the real portal whose
    backend cannot take the picture, or "nobackend": a portal that knows no screenshot backend) and its input. Sizes
    are device pixels of the one output; window rectangles are the output's logical pixels."""

    desktop = ""
    screen_readable = True  # whether grab() can take a picture of the screen
    pictures_without_pointer = False  # whether the program's pictures and grab() leave the pointer out
    # The portal backends the session's portal may use (the others are hidden from it), and the one "nobackend" keeps.
    backends = ()
    program_env = {}

    def __init__(self, width=1280, height=800, scale=1, portal="real", permission="yes"):
        if os.geteuid() != 0:
            raise unittest.SkipTest("a Wayland session needs root to make its user and namespaces")
        self.width, self.height, self.scale = width, height, scale
        self.portal, self.permission = portal, permission
        self.user = session_user()
        self.dir = tempfile.mkdtemp(prefix=f"quosh-{self.desktop}-", dir="/var/tmp")
        os.chmod(self.dir, 0o755)
        self.runtime = self.make_dir("runtime", 0o700)
        self.home = self.make_dir("home")
        # As in a user's home: the GNOME and KDE portals save their pictures there (KDE's fails without it).
        self.make_dir("home/Pictures")
        self.background = images.pattern(width, height)
        self.background_path = os.path.join(self.dir, "background.png")
        subprocess.run(["convert", "ppm:-", self.background_path], input=self.background.to_ppm(), check=True)
        self.processes = []
        self.started = []  # every process the harness started for the session, to check that none outlives it
        self.unshare = None
        try:
            self._start()
        except AssertionError as error:
            log = self.session_log()
            self.close()
            raise AssertionError(f"{self.desktop}: {error}\n{log}") from None
        except BaseException:
            self.close()
            raise

    @staticmethod
    def built_tool(name):
        """A program built with the tests (kwin_input, output_frame): where CTest says (QUOSH_KWIN_INPUT, ...), or in
        the build of the program under test."""
        path = os.environ.get("QUOSH_" + name.upper()) or os.path.join(
            os.path.dirname(os.environ.get("QUOSH_BIN", "")), "..", "tests", name)
        if not os.access(path, os.X_OK):
            raise AssertionError(f"no {name} at {path}: build the tests (kwin_input needs plasma-wayland-protocols)")
        return os.path.realpath(path)

    def make_dir(self, name, mode=0o755):
        """A folder of the session's, owned by its user."""
        path = os.path.join(self.dir, name)
        os.mkdir(path, mode)
        os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def _write(self, name, text, mode=0o644):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def _bus_config(self, services=None):
        """The session bus's configuration; `services`, when given, are the only activatable ones."""
        with open("/usr/share/dbus-1/session.conf") as f:
            config = f.read()
        if services is not None:
            folder = os.path.join(self.dir, "services")
            os.mkdir(folder)
            for name in services:
                shutil.copy(f"/usr/share/dbus-1/services/{name}.service", folder)
            config = config.replace("<standard_session_servicedirs />", f"<servicedir>{folder}</servicedir>")
        return self._write("bus.conf", config)

    def _system_bus_config(self):
        """An empty system bus that lets everyone do everything: the desktops ask it for services they go on without."""
        return self._write("system.conf", "\n".join([
            '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"',
            ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">',
            "<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen>",
            "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>",
            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/></policy></busconfig>",
        ]) + "\n")

    def _portals(self):
        """A portal folder with only this desktop's backends (or, for "nobackend", one without a screenshot one)."""
        folder = self.make_dir("portals")
        for name in (("gtk",) if self.portal == "nobackend" else self.backends):
            shutil.copy(f"/usr/share/xdg-desktop-portal/portals/{name}.portal", folder)
        return folder

    def _start(self):
        env = {
            "PATH": os.environ.get("PATH", os.defpath), "HOME": self.home, "USER": USER, "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": self.runtime, "XDG_SESSION_TYPE": "wayland", "XDG_DESKTOP_PORTAL_DIR": self._portals(),
            "QUOSH_PORTAL": "none" if self.portal == "none" else "real",
        }
        env.update(self._environment())
        if self.portal == "failing":
            # The backend's picture is refused where it is taken; the portal answers with a failure of its own.
            self._fail_backend(env)
        self.log = open(os.path.join(self.dir, "session.log"), "w")
        self.unshare = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--net", f"{HERE}/session.sh", USER,
             self._bus_config(self._services()), self._system_bus_config(), *self._start_command(), "--",
             *self._outside_folders()],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent, start_new_session=True)
        self.started.append(self.unshare)
        self.init = wait_until(self._first_process, timeout=10, what="the session's first process")
        self.namespace = os.stat(f"/proc/{self.init}/ns/pid").st_ino
        env_file = os.path.join(self.runtime, "session.env")
        wait_until(lambda: self._alive() and os.path.exists(env_file), timeout=60, what="the session to start")
        with open(env_file) as f:
            session = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        keep = ["PATH", "HOME", "USER", "LANG", "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
                "WAYLAND_DISPLAY", "SWAYSOCK", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "XAUTHORITY", "KDE_FULL_SESSION",
                "KDE_SESSION_VERSION"]
        self.env = {key: session[key] for key in keep if key in session}
        self._ready()
        scale = self.output_scale()
        if scale is not None and abs(scale - self.scale) > 0.01:
            raise AssertionError(f"the output is at scale {scale}, not {self.scale}")
        if self.portal != "none":
            wait_until(lambda: self.has_owner("org.freedesktop.portal.Desktop"), timeout=60, what="the portal")
        # Keep the pointer off the pictures that the tests compare.
        self.move(self.width - 1, self.height - 1)

    @staticmethod
    def _outside_folders():
        """What the session runs from outside: the repository and the program under test. The session gets a /tmp of
        its own, which would hide them if they are there (a clone in /tmp)."""
        folders = [os.path.realpath(os.path.join(HERE, "..", ".."))]
        if os.environ.get("QUOSH_BIN"):
            folders.append(os.path.dirname(os.path.realpath(os.environ["QUOSH_BIN"])))
        return folders

    def _first_process(self):
        try:
            with open(f"/proc/{self.unshare.pid}/task/{self.unshare.pid}/children") as f:
                children = f.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    def _alive(self):
        if self.unshare.poll() is not None:
            raise AssertionError("the session ended")
        return True

    def session_log(self):
        logs = []
        path = os.path.join(self.dir, "session.log")
        for path in [path] + sorted(glob.glob(os.path.join(self.runtime, "*.log"))):
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    logs.append(os.path.basename(path) + ": " + f.read()[-2000:])
        return "\n".join(logs)

    # --- what each desktop does its own way ----------------------------------------------------------------------

    def _environment(self):
        return {}

    def _services(self):
        """The session bus's activatable services; None: all that the system has."""
        return None

    def _start_command(self):
        raise NotImplementedError

    def _fail_backend(self, env):
        raise AssertionError(f"no failing backend is set up on {self.desktop}")

    def _ready(self):
        """Waits for what the session starts after session.env: input, background."""

    def output_scale(self):
        """The scale the desktop runs its output at; None where it cannot be asked."""
        return None

    def windows(self, name=None):
        """The visible client windows, each {"name", "rect" (x, y, w, h in logical pixels, the client area),
        "fullscreen", "focused", and, where the desktop animates a window that appears, "shown": the animation is
        over and the window takes input where it lies}."""
        raise NotImplementedError

    def grab(self, pointer=False):
        """The whole output in device pixels."""
        raise NotImplementedError

    def unchanging(self, got, expected):
        """`got`, a picture of the whole output, with what the desktop changes by itself (a clock) taken from
        `expected`."""
        return got

    def clipboard(self):
        raise NotImplementedError

    def keyboard_focus(self):
        """Where the desktop sends keys, where it can be asked: what a failed key press is told by."""
        return None

    def move(self, x, y):
        raise NotImplementedError

    def press(self, button=1):
        raise NotImplementedError

    def release(self, button=1):
        raise NotImplementedError

    def key(self, *keysyms):
        """Presses the keys in order and releases them in reverse (a chord such as Ctrl+C)."""
        raise NotImplementedError

    def wait_pointer_taken(self, x, y):
        """Moves the pointer to (x, y) and waits until the window under it has taken the pointer and will see a press:
        the compositor draws the crosshair that the window asked for (an arm left of the hot spot, which an arrow
        lacks)."""
        self.move(self.width - 1, 0)
        before = self.grab(pointer=True).crop(x - 8, y, 6, 1).rgb
        self.move(x, y)
        wait_until(lambda: self.grab(pointer=True).crop(x - 8, y, 6, 1).rgb != before,
                   what=f"a crosshair at ({x}, {y})")

    # --- running things in the session ---------------------------------------------------------------------------

    def command(self, args):
        """args run inside the session's namespaces as its user."""
        return ["nsenter", "-t", str(self.init), "-p", "-m", "-n", "--", "setpriv", f"--reuid={USER}",
                f"--regid={USER}", "--init-groups", "--", *[str(a) for a in args]]

    def run(self, *args, check=True, env=None, input=None, text=True):
        result = subprocess.run(self.command(args), env=env or self.env, capture_output=True, text=text,
                                input=input, preexec_fn=_die_with_parent)
        if check and result.returncode != 0:
            raise AssertionError(f"{args} failed: {result.stderr}")
        return result.stdout

    def start(self, args, env, stdin=subprocess.DEVNULL):
        """A process of the session in a process group of its own, ended by stop() or by close()."""
        process = subprocess.Popen(self.command(args), env=env, stdin=stdin, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, errors="replace",
                                   preexec_fn=_die_with_parent, start_new_session=True)
        self.processes.append(process)
        self.started.append(process)
        return process

    def stop(self, process):
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        output = process.stdout.read() if process.stdout else ""
        for stream in (process.stdin, process.stdout):
            if stream:
                stream.close()
        if process in self.processes:
            self.processes.remove(process)
        return output

    def has_owner(self, name):
        out = self.run("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}", check=False)
        return "boolean true" in out

    def file_in_session(self, path):
        """A path of the session's private file system as seen from here."""
        return f"/proc/{self.init}/root{path}"

    def wait_window(self, name, timeout=30.0):
        try:
            return wait_until(lambda: (self.windows(name) or [None])[0], timeout, what=f"a window named {name!r}")
        except AssertionError as error:
            raise AssertionError(f"{error}; the windows: {self.windows()}") from None

    def wait_no_window(self, name, timeout=30.0):
        wait_until(lambda: not self.windows(name), timeout, what=f"no window named {name!r}")

    def click(self, x, y, button=1):
        self.move(x, y)
        self.press(button)
        self.release(button)

    def drag(self, x1, y1, x2, y2, button=1, steps=8, held=None):
        """`held` is called once the pointer is at the end, before the button is released."""
        self.move(x1, y1)
        self.press(button)
        for i in range(1, steps + 1):
            self.move(x1 + (x2 - x1) * i // steps, y1 + (y2 - y1) * i // steps)
        if held:
            held()
        self.release(button)

    def close(self):
        """Ends the session and everything it started, and fails naming any process of it that is still there."""
        for process in list(self.processes):
            self.stop(process)
        self._close_input()
        if self.unshare and self.unshare.poll() is None:
            os.killpg(self.unshare.pid, signal.SIGKILL)
            self.unshare.wait()
        if getattr(self, "log", None):
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        try:
            wait_until(lambda: not self.leftovers(), timeout=10, what="the session's processes to end")
        except AssertionError:
            raise AssertionError(f"processes of the {self.desktop} session outlived it: {self.leftovers()}") from None

    def _close_input(self):
        pass

    def leftovers(self):
        """Every process that the session started and that is still there, as "pid name": those of its namespaces,
        and those the harness started in it."""
        found = [f"{p.pid} {p.args[-1] if isinstance(p.args, list) else p.args}" for p in self.started
                 if p.poll() is None]
        for entry in os.listdir("/proc"):
            try:
                if entry.isdigit() and os.stat(f"/proc/{entry}/ns/pid").st_ino == getattr(self, "namespace", None):
                    with open(f"/proc/{entry}/comm") as f:
                        found.append(f"{entry} {f.read().strip()}")
            except OSError:
                pass
        return found


class Sway(Session):
    """sway with the wlroots portal backend; input through wayvnc, driven by the small VNC client above; pictures
    from grim."""

    desktop = "sway"
    backends = ("wlr", "gtk")

    def _environment(self):
        return {"XDG_CURRENT_DESKTOP": "sway", "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1",
                "WLR_RENDERER": "pixman"}

    def _services(self):
        return ["org.freedesktop.impl.portal.PermissionStore", "org.freedesktop.impl.portal.desktop.gtk",
                "org.freedesktop.impl.portal.desktop.wlr"]

    def _fail_backend(self, env):
        # The wlroots backend runs "grim" from its PATH; this one fails.
        tools = self.make_dir("failing-tools")
        with open(os.path.join(tools, "grim"), "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(os.path.join(tools, "grim"), 0o755)
        env["PATH"] = tools + os.pathsep + env["PATH"]

    def _start_command(self):
        # The compositor applies each layout change at once ("noatomic"), so that input sent right after a window
        # appears finds it where the layout says.
        config = self._write("sway.conf", "\n".join([
            f"output {OUTPUT} resolution {self.width}x{self.height} scale {self.scale}",
            f"output {OUTPUT} bg {self.background_path} center",
            "default_border none",
            "default_floating_border none",
            "focus_follows_mouse no",
            "for_window [app_id=\".*\"] floating enable",
            f"exec {HERE}/stack.sh",
        ]) + "\n")
        return ["sway", "-D", "noatomic", "-c", config]

    def _ready(self):
        wait_until(lambda: os.path.exists(os.path.join(self.runtime, "vnc.sock")), timeout=15, what="the VNC server")
        self.vnc = wait_until(self._connect_vnc, timeout=15, what="a VNC connection")

    def _connect_vnc(self):
        try:
            return Vnc(os.path.join(self.runtime, "vnc.sock"))
        except OSError:
            return None

    def _close_input(self):
        if getattr(self, "vnc", None):
            self.vnc.close()

    def output_scale(self):
        return json.loads(self.run("swaymsg", "-t", "get_outputs", "-r"))[0]["scale"]

    def windows(self, name=None):
        found = []

        def walk(node):
            if node.get("pid") and node.get("visible", True):
                rect = node["rect"]
                found.append({"name": node.get("name") or "", "rect": (rect["x"], rect["y"], rect["width"],
                              rect["height"]), "fullscreen": node.get("fullscreen_mode", 0) != 0,
                              "focused": node.get("focused", False)})
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
        walk(json.loads(self.run("swaymsg", "-t", "get_tree", "-r")))
        return [w for w in found if name is None or w["name"] == name]

    def grab(self, pointer=False):
        # The output's frame as the compositor copies it: grim lays outputs out in rounded logical pixels and resamples
        # them at fractional scales. The pixman renderer draws the pointer into the frame whatever it is asked.
        # Under the sanitizers the tool runs as the program does: the toolkit's Wayland objects are not freed at exit.
        env = dict(self.env, QT_QPA_PLATFORM="wayland",
                   **{k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        return images.from_ppm(self.run(self.built_tool("output_frame"), text=False, env=env))

    def clipboard(self):
        return self.run("wl-paste", "--no-newline", check=False)

    def move(self, x, y):
        self.vnc.move(x, y)

    def press(self, button=1):
        self.vnc.press(button)

    def release(self, button=1):
        self.vnc.release(button)

    def key(self, *keysyms):
        self.vnc.key(*keysyms)


class LineInput:
    """Input through a process of the session (self.input) that takes one command a line and answers "ok" once the
    desktop has taken it; buttons are evdev codes."""

    BUTTONS = {1: 272, 2: 273, 3: 274}  # BTN_LEFT, BTN_RIGHT, BTN_MIDDLE

    def _send(self, line):
        self.input.stdin.write(line + "\n")
        self.input.stdin.flush()
        answer = self.input.stdout.readline()
        if answer.strip() != "ok":
            raise AssertionError(f"the desktop's input did not take {line!r}: {answer}")

    def press(self, button=1):
        self._send(f"button {self.BUTTONS[button]} 1")

    def release(self, button=1):
        self._send(f"button {self.BUTTONS[button]} 0")

    def _close_input(self):
        if getattr(self, "input", None) in self.processes:
            self.stop(self.input)


class Gnome(LineInput, Session):
    """GNOME Shell headless with the GNOME portal backend, its screenshot permission stored in advance
    (`permission`); input through mutter's remote desktop API and the shell's JavaScript, pictures from the shell."""

    desktop = "gnome"
    backends = ("gnome", "gtk")
    # Qt draws no title bar of its own on GNOME, so that a window's place is its client area's.
    program_env = {"QT_WAYLAND_DISABLE_WINDOWDECORATION": "1"}

    def unchanging(self, got, expected):
        # The top bar's left two thirds: the name of the program that has the focus, beside Activities, and the clock.
        width, height = self.width * 2 // 3, round(32 * self.scale)
        rgb = bytearray(got.rgb)
        for y in range(height):
            i, j = y * got.width * 3, (y * got.width + width) * 3
            rgb[i:j] = expected.rgb[i:j]
        return images.Image(got.width, got.height, rgb)

    def _environment(self):
        return {"XDG_CURRENT_DESKTOP": "GNOME", "XDG_SESSION_DESKTOP": "gnome"}

    def _start_command(self):
        # The output scale is stored before the shell starts, as a user's would be: changed while the shell runs, it
        # leaves an invisible actor over the screen that takes every click for a while.
        # A fractional scale needs the experimental feature, which lays the monitors out in logical pixels.
        config = self.make_dir("home/.config")
        with open(os.path.join(config, "monitors.xml"), "w") as f:
            f.write(MONITORS.format(width=self.width, height=self.height, scale=self.scale,
                                    layout="logical" if self.fractional else "physical"))
        return [f"{HERE}/gnome.sh", f"{self.width}x{self.height}", self.background_path,
                "fractional" if self.fractional else "whole"]

    @property
    def fractional(self):
        return self.scale != int(self.scale)

    def tool(self, *args, check=True):
        """What gnome_tools.py prints; None when it failed and `check` is off."""
        result = subprocess.run(self.command([SYSTEM_PYTHON, f"{HERE}/gnome_tools.py", *args]), env=self.env,
                                capture_output=True, text=True, preexec_fn=_die_with_parent)
        if result.returncode == 0:
            return result.stdout.strip()
        if check:
            raise AssertionError(f"gnome_tools.py {args} failed: {result.stderr}")
        return None

    def eval(self, script, check=True):
        """What the shell's JavaScript `script` gives, through JSON; None when the shell did not answer and `check`
        is off."""
        result = self.tool("eval", script, check=check)
        return json.loads(result) if result else None

    def _ready(self):
        wait_until(lambda: self.has_owner("org.gnome.Shell.Screenshot"), timeout=60, what="GNOME Shell")
        # The shell may be too busy to answer while it starts: each call is made again until it is answered.
        wait_until(lambda: self.tool("permission", self.permission, check=False) is not None,
                   what="the stored permission")
        # The shell starts in its overview, which covers the desktop, and opens it at the end of its start-up
        # animation: it is closed once that is over.
        wait_until(lambda: self.eval("!Main.layoutManager._startingUp && (Main.overview.hide(), "
                                     "!Main.overview.visible && !Main.overview.animationInProgress)", check=False),
                   what="the overview to close")
        # The shell inhibits its animations where it draws in software; a desktop with a graphics card has them: the
        # windows' and the screenshot flash's, during which the flash takes every click. They are turned on, as there.
        self.eval("(imports.gi.St.Settings.get().uninhibit_animations(), "
                  "imports.gi.St.Settings.get().enable_animations)")
        self.input = self.start([SYSTEM_PYTHON, f"{HERE}/gnome_tools.py", "input"], self.env, stdin=subprocess.PIPE)
        line = self.input.stdout.readline()
        if line.strip() != "ready":
            raise AssertionError(f"no remote desktop session: {line}{self.stop(self.input)}")
        # The shell loads the background after it has started, and fades it in.
        last = [None]

        def background_drawn():
            middle = self.grab().crop(0, self.height // 4, self.width, self.height // 2).rgb
            same, last[0] = middle == last[0], middle
            return same and middle.count(0) < len(middle)
        wait_until(background_drawn, timeout=30, interval=0.3, what="the background")

    def output_scale(self):
        return self.eval("global.display.get_monitor_scale(0)")

    def windows(self, name=None):
        # Stage coordinates: mutter lays monitors out in device pixels.
        found = self.eval(
            "global.display.list_all_windows().filter(w => !w.minimized && w.get_pid() > 0 && "
            "w.showing_on_its_workspace()).map(w => { const r = w.frame_rect_to_client_rect(w.get_frame_rect()); "
            "return {name: w.get_title() || '', rect: [r.x, r.y, r.width, r.height], "
            "fullscreen: w.is_fullscreen(), focused: w.has_focus(), "
            "shown: ((a) => a.opacity === 255 && a.scale_x === 1 && a.scale_y === 1)(w.get_compositor_private())}; })")
        if not self.fractional:  # the physical layout: the stage is in device pixels
            for w in found:
                w["rect"] = tuple(round(v / self.scale) for v in w["rect"])
        # The shell's own hidden X11 window lies off the output.
        return [w for w in found if (name is None or w["name"] == name) and w["rect"][0] + w["rect"][2] > 0]

    def keyboard_focus(self):
        return self.eval("({modals: Main.modalCount, keyFocus: String(global.stage.key_focus), "
                         "window: global.display.focus_window ? global.display.focus_window.get_title() : null})",
                         check=False)

    def grab(self, pointer=False):
        path = f"/tmp/grab-{time.monotonic_ns()}.png"
        self.tool("screenshot", path, *(["pointer"] if pointer else []))
        try:
            return images.read(self.file_in_session(path))
        finally:
            os.remove(self.file_in_session(path))

    def clipboard(self):
        # The shell hands the clipboard over asynchronously: asked once, read at the next call.
        self.eval("(global.quoshClipboard = null, imports.gi.St.Clipboard.get_default().get_text("
                  "imports.gi.St.ClipboardType.CLIPBOARD, (c, t) => { global.quoshClipboard = [t || '']; }), true)")
        return wait_until(lambda: self.eval("global.quoshClipboard"), timeout=5, what="the clipboard")[0]

    def move(self, x, y):
        self._send(f"move {x} {y}")

    def key(self, *keysyms):
        for keysym in keysyms:
            self._send(f"key {keysym} 1")
        for keysym in reversed(keysyms):
            self._send(f"key {keysym} 0")


class Kde(LineInput, Session):
    """KWin with the KDE portal backend, as a Plasma desktop has it: KDE's Qt 5 programs, the portal backend and
    among them, speak Wayland (qtwayland5). Input through KWin's fake-input protocol (kwin_input, built
    with the tests) reaches native and X11 windows alike; the window list and the pictures come from KWin over its bus
    (kwin_tools.py). KWin serves both only to programs that a desktop file in the user's applications folder names, as
    it would for Spectacle or KDE Connect. The background is drawn by swaybg through the layer shell."""

    desktop = "kde"
    backends = ("kde", "gtk")
    pictures_without_pointer = True
    KEYS = {KEY_CONTROL: 29, KEY_C: 46, KEY_RETURN: 28}  # KEY_LEFTCTRL, KEY_C, KEY_ENTER

    def _environment(self):
        return {"XDG_CURRENT_DESKTOP": "KDE", "KDE_FULL_SESSION": "true", "KDE_SESSION_VERSION": "5"}

    def _start_command(self):
        # KWin grants a client what the first desktop file whose Exec= is the client's executable asks for. The one for
        # python shadows the system's own (python3.11.desktop), which would otherwise come first now and then.
        for folder in (".local", ".local/share", ".local/share/applications"):
            applications = self.make_dir("home/" + folder)
        python = os.path.realpath(SYSTEM_PYTHON)
        screenshots = "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2"
        grants = {"quosh-kwin-input": (self.built_tool("kwin_input"),
                                       "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input"),
                  os.path.basename(python): (python, screenshots)}
        for name, (program, grant) in grants.items():
            with open(os.path.join(applications, name + ".desktop"), "w") as f:
                f.write(f"[Desktop Entry]\nType=Application\nName={name}\nNoDisplay=true\nExec={program}\n{grant}\n")
        # The program under test, named as the run command names a build: it reads the screen without the pointer.
        if os.environ.get("QUOSH_BIN"):
            subprocess.run([os.path.join(HERE, "..", "..", "scripts", "register-kwin.sh"), os.environ["QUOSH_BIN"]],
                           env=dict(os.environ, XDG_DATA_HOME=os.path.dirname(applications)), check=True,
                           capture_output=True)
        # Debian's binary carries a file capability that a container may not grant: a plain copy runs, under the
        # name KWin's own platform plugin asks for.
        kwin = os.path.join(self.make_dir("kwin"), "kwin_wayland")
        shutil.copy("/usr/bin/kwin_wayland", kwin)
        return [f"{HERE}/kde.sh", f"{self.width}x{self.height}", str(self.scale), kwin, self.background_path]

    @staticmethod
    def _outside_folders():
        return Session._outside_folders() + [os.path.dirname(Session.built_tool("kwin_input"))]

    def _ready(self):
        wait_until(lambda: "swaybg" in self.run("ps", "-e", "-o", "comm"), what="the background")
        self.input = self.start([self.built_tool("kwin_input")], self.env, stdin=subprocess.PIPE)
        line = self.input.stdout.readline()
        if line.strip() != "ready":
            raise AssertionError(f"no fake input from KWin: {line}{self.stop(self.input)}")
        # The background covers the output's logical size: KWin has its scale.
        logical = (round(self.width / self.scale), round(self.height / self.scale))
        wait_until(lambda: any(w["rect"] == (0, 0, *logical) for w in self.windows()),
                   what=f"KWin's output at scale {self.scale}, {logical[0]}x{logical[1]} logical pixels")
        # swaybg draws once it has its picture; at other scales than 1 KWin scales it, and it is drawn once it stays.
        # Until KWin has its screenshot service up and its output drawn, a screenshot can be missing or cancelled:
        # such a screenshot is one not yet taken.
        last = [None]

        def background_drawn():
            try:
                top = self.grab().crop(0, 0, self.width, self.height // 2).rgb
            except AssertionError as error:
                if "ScreenShot2" not in str(error):
                    raise
                last[0] = None
                return False
            if self.scale == 1:
                return top == self.background.crop(0, 0, self.width, self.height // 2).rgb
            same, last[0] = top == last[0], top
            return same and top.count(0) < len(top)
        wait_until(background_drawn, timeout=30, interval=0.2, what="the background")

    def tool(self, *args, text=True):
        result = subprocess.run(self.command([SYSTEM_PYTHON, f"{HERE}/kwin_tools.py", *args]), env=self.env,
                                capture_output=True, text=text, preexec_fn=_die_with_parent)
        if result.returncode != 0:
            raise AssertionError(f"kwin_tools.py {args} failed: {result.stderr}")
        return result.stdout

    def windows(self, name=None):
        found = [w for w in json.loads(self.tool("windows")) if name is None or w["name"] == name]
        for w in found:
            w["rect"] = tuple(round(v) for v in w["rect"])
            if w["x11"]:
                # KWin gives an X11 window's frame, with its title bar; the client area is the X window's own.
                values = dict(line.split("=", 1) for line in self.run(
                    "xdotool", "getwindowgeometry", "--shell", w["x11"], check=False).splitlines() if "=" in line)
                if "X" in values:
                    w["rect"] = tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        return found

    def grab(self, pointer=False):
        return images.from_ppm(self.tool("screenshot", *(["pointer"] if pointer else []), text=False))

    def clipboard(self):
        return self.run("wl-paste", "--no-newline", check=False)

    def move(self, x, y):
        self._send(f"move {x / self.scale} {y / self.scale}")

    def key(self, *keysyms):
        for keysym in keysyms:
            self._send(f"key {self.KEYS[keysym]} 1")
        for keysym in reversed(keysyms):
            self._send(f"key {self.KEYS[keysym]} 0")


DESKTOPS = {"sway": Sway, "gnome": Gnome, "kde": Kde}
MONITORS = """<monitors version="2"><configuration><layoutmode>{layout}</layoutmode><logicalmonitor><x>0</x><y>0</y><scale>{scale}</scale>
<primary>yes</primary><monitor><monitorspec><connector>Meta-0</connector><vendor>MetaVendor</vendor>
<product>MetaVirtualMonitor</product><serial>0x00</serial></monitorspec><mode><width>{width}</width>
<height>{height}</height><rate>60.000</rate></mode></monitor></logicalmonitor></configuration></monitors>
"""
