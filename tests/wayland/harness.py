"""A real Wayland desktop for the tests: headless sway with the desktop portal, run as an unprivileged user in pid
and mount namespaces of its own, so that ending the session's first process ends every process of the session.
Input goes through wayvnc, driven by the small VNC client below; reference pictures come from grim."""

import ctypes
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
# Activatable services of the session bus; the portal itself is started (or not) by the session.
SERVICES = ["org.freedesktop.impl.portal.PermissionStore", "org.freedesktop.impl.portal.desktop.gtk",
            "org.freedesktop.impl.portal.desktop.wlr"]

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
    """One headless sway session with its bus, the portal stack (portal: "real", "none", or "failing": the real
    portal whose backend cannot take the picture) and a VNC server. Sizes are device pixels of the one output."""

    def __init__(self, width=1280, height=800, scale=1, portal="real"):
        if os.geteuid() != 0:
            raise unittest.SkipTest("a Wayland session needs root to make its user and namespaces")
        self.width, self.height, self.scale, self.portal = width, height, scale, portal
        self.user = session_user()
        self.dir = tempfile.mkdtemp(prefix="quosh-wayland-", dir="/var/tmp")
        os.chmod(self.dir, 0o755)
        self.runtime = self.make_dir("runtime", 0o700)
        self.home = self.make_dir("home")
        self.background = images.pattern(width, height)
        self._write_background()
        self.processes = []
        self.unshare = None
        try:
            self._start()
        except AssertionError as error:
            log = self.session_log()
            self.close()
            raise AssertionError(f"{error}\n{log}") from None
        except BaseException:
            self.close()
            raise

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

    def _write_background(self):
        self.background_path = os.path.join(self.dir, "background.png")
        subprocess.run(["convert", "ppm:-", self.background_path], input=self.background.to_ppm(), check=True)

    def _bus_config(self):
        services = os.path.join(self.dir, "services")
        os.mkdir(services)
        for name in SERVICES:
            shutil.copy(f"/usr/share/dbus-1/services/{name}.service", services)
        with open("/usr/share/dbus-1/session.conf") as f:
            config = f.read()
        config = config.replace("<standard_session_servicedirs />", f"<servicedir>{services}</servicedir>")
        return self._write("bus.conf", config)

    def _sway_config(self):
        return self._write("sway.conf", "\n".join([
            f"output {OUTPUT} resolution {self.width}x{self.height} scale {self.scale}",
            f"output {OUTPUT} bg {self.background_path} center",
            "default_border none",
            "default_floating_border none",
            "focus_follows_mouse no",
            "for_window [app_id=\".*\"] floating enable",
            f"exec {HERE}/stack.sh",
        ]) + "\n")

    def _start(self):
        path = os.environ.get("PATH", os.defpath)
        if self.portal == "failing":
            # The wlroots backend runs "grim" from its PATH; this one fails, and the portal answers the request
            # with a failure of its own.
            tools = self.make_dir("failing-tools")
            with open(os.path.join(tools, "grim"), "w") as f:
                f.write("#!/bin/sh\nexit 1\n")
            os.chmod(os.path.join(tools, "grim"), 0o755)
            path = tools + os.pathsep + path
        env = {
            "PATH": path, "HOME": self.home, "USER": USER, "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": self.runtime, "XDG_CURRENT_DESKTOP": "sway", "XDG_SESSION_TYPE": "wayland",
            "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman",
            "QUOSH_PORTAL": "none" if self.portal == "none" else "real",
        }
        if self.portal == "nobackend":
            # The portal as on a desktop without a screenshot backend: it knows only the GTK one.
            portals = self.make_dir("portals")
            shutil.copy("/usr/share/xdg-desktop-portal/portals/gtk.portal", portals)
            env["XDG_DESKTOP_PORTAL_DIR"] = portals
        self.log = open(os.path.join(self.dir, "session.log"), "w")
        self.unshare = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", f"{HERE}/session.sh", USER,
             self._bus_config(), self._sway_config(), *self._outside_folders()],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent, start_new_session=True)
        self.init = wait_until(self._first_process, timeout=10, what="the session's first process")
        env_file = os.path.join(self.runtime, "session.env")
        wait_until(lambda: self._alive() and os.path.exists(env_file), timeout=30, what="the session to start")
        with open(env_file) as f:
            session = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        keep = ["PATH", "HOME", "USER", "LANG", "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
                "WAYLAND_DISPLAY", "SWAYSOCK", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"]
        self.env = {key: session[key] for key in keep if key in session}
        wait_until(lambda: os.path.exists(os.path.join(self.runtime, "vnc.sock")), timeout=15,
                   what="the VNC server")
        self.vnc = wait_until(self._connect_vnc, timeout=15, what="a VNC connection")
        if self.portal != "none":
            wait_until(lambda: self.has_owner("org.freedesktop.portal.Desktop"), timeout=60, what="the portal")
        # Keep the pointer off the pictures that the tests compare.
        self.vnc.move(self.width - 1, self.height - 1)

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
            raise AssertionError(f"the session ended: {self.session_log()}")
        return True

    def _connect_vnc(self):
        try:
            return Vnc(os.path.join(self.runtime, "vnc.sock"))
        except OSError:
            return None

    def session_log(self):
        logs = []
        for name in ("session.log",):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                logs.append(open(path, errors="replace").read()[-3000:])
        for name in ("portal.log", "wayvnc.log"):
            path = os.path.join(self.runtime, name)
            if os.path.exists(path):
                logs.append(name + ": " + open(path, errors="replace").read()[-2000:])
        return "\n".join(logs)

    # --- running things in the session ---------------------------------------------------------------------------

    def command(self, args):
        """args run inside the session's namespaces as its user."""
        return ["nsenter", "-t", str(self.init), "-p", "-m", "--", "setpriv", f"--reuid={USER}", f"--regid={USER}",
                "--init-groups", "--", *[str(a) for a in args]]

    def run(self, *args, check=True, env=None, input=None, text=True):
        result = subprocess.run(self.command(args), env=env or self.env, capture_output=True, text=text,
                                input=input, preexec_fn=_die_with_parent)
        if check and result.returncode != 0:
            raise AssertionError(f"{args} failed: {result.stderr}")
        return result.stdout

    def start(self, args, env):
        """A process of the session in a process group of its own, ended by stop() or by close()."""
        process = subprocess.Popen(self.command(args), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, errors="replace",
                                   preexec_fn=_die_with_parent, start_new_session=True)
        self.processes.append(process)
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
        if process.stdout:
            process.stdout.close()
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

    # --- what the desktop shows ----------------------------------------------------------------------------------

    def tree(self):
        return json.loads(self.run("swaymsg", "-t", "get_tree", "-r"))

    def windows(self, name=None):
        """The visible client windows, each {"name", "rect" (x, y, w, h in logical pixels), "fullscreen"}."""
        found = []

        def walk(node):
            if node.get("pid") and node.get("visible", True):
                rect = node["rect"]
                found.append({"name": node.get("name") or "", "rect": (rect["x"], rect["y"], rect["width"],
                              rect["height"]), "fullscreen": node.get("fullscreen_mode", 0) != 0})
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
        walk(self.tree())
        return [w for w in found if name is None or w["name"] == name]

    def wait_window(self, name, timeout=20.0):
        return wait_until(lambda: (self.windows(name) or [None])[0], timeout, what=f"a window named {name!r}")

    def wait_no_window(self, name, timeout=20.0):
        wait_until(lambda: not self.windows(name), timeout, what=f"no window named {name!r}")

    def grab(self):
        """The whole output in device pixels, through grim (without the pointer)."""
        return images.from_ppm(self.run("/usr/bin/grim", "-t", "ppm", "-", text=False))

    def clipboard(self):
        return self.run("wl-paste", "--no-newline", check=False)

    # --- input, in device pixels ---------------------------------------------------------------------------------

    def move(self, x, y):
        self.vnc.move(x, y)

    def wait_crosshair(self, x, y):
        """Moves the pointer to (x, y) and waits until the compositor draws a crosshair there (an arm left of the hot
        spot, which an arrow lacks): the window under it has taken the pointer and will see a press."""
        self.move(self.width - 1, 0)
        before = self.grab().crop(x - 8, y, 6, 1).rgb
        self.move(x, y)
        wait_until(lambda: self.grab().crop(x - 8, y, 6, 1).rgb != before, what=f"a crosshair at ({x}, {y})")

    def click(self, x, y, button=1):
        self.vnc.move(x, y)
        self.vnc.press(button)
        self.vnc.release(button)

    def drag(self, x1, y1, x2, y2, button=1, steps=8):
        self.vnc.move(x1, y1)
        self.vnc.press(button)
        for i in range(1, steps + 1):
            self.vnc.move(x1 + (x2 - x1) * i // steps, y1 + (y2 - y1) * i // steps)
        self.vnc.release(button)

    def close(self):
        for process in list(self.processes):
            self.stop(process)
        if getattr(self, "vnc", None):
            self.vnc.close()
        if self.unshare and self.unshare.poll() is None:
            os.killpg(self.unshare.pid, signal.SIGKILL)
            self.unshare.wait()
        if getattr(self, "log", None):
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
