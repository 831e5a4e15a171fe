"""What the tests ask of a KWin session over its bus, run inside the session by the system's python3 (with
python3-dbus and python3-gi). KWin answers only programs that an installed desktop file names: the harness names this
python in one with X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2. Usage: kwin_tools.py COMMAND [ARGUMENTS]

windows               prints the client windows as JSON: [{"name", "rect" (x, y, w, h in logical pixels: a Wayland
                      window's surface, an X11 window's frame), "x11" (its id, 0 for a Wayland window), "fullscreen",
                      "focused"}], through a KWin script that reports them over the bus
screenshot [pointer]  writes the output's picture in its own pixels to standard output as PPM (P6), with the pointer
                      when asked
"""

import json
import os
import sys
import tempfile

import dbus
import dbus.service

KWIN = "org.kde.KWin"
REPORT = "org.quosh.KWinTools"
# The script runs in KWin and calls back the method below on this program's own connection.
SCRIPT = """
const found = workspace.clientList().filter(w => !w.minimized && !w.deleted).map(w => {
    const r = w.bufferGeometry;
    return {name: w.caption, rect: [r.x, r.y, r.width, r.height], x11: w.windowId || 0, fullscreen: w.fullScreen,
            focused: w.active};
});
callDBus(%s, "/", "%s", "Report", JSON.stringify(found));
"""

# QImage formats that KWin hands over: where red, green and blue lie in each 4-byte pixel.
CHANNELS = {4: (2, 1, 0), 5: (2, 1, 0), 6: (2, 1, 0), 16: (0, 1, 2), 17: (0, 1, 2), 18: (0, 1, 2)}


def windows(bus):
    from gi.repository import GLib
    loop = GLib.MainLoop()
    result = []

    class Receiver(dbus.service.Object):
        @dbus.service.method(REPORT, in_signature="s")
        def Report(self, text):
            result.append(text)
            loop.quit()

    Receiver(bus, "/")
    with tempfile.NamedTemporaryFile("w", suffix=".js", delete=False) as f:
        f.write(SCRIPT % (json.dumps(bus.get_unique_name()), REPORT))
    plugin = f"quosh-windows-{os.getpid()}"
    scripting = dbus.Interface(bus.get_object(KWIN, "/Scripting"), "org.kde.kwin.Scripting")
    try:
        if scripting.loadScript(f.name, plugin, signature="ss") < 0:
            sys.exit("KWin did not load the script")
        scripting.start()  # runs the scripts loaded and not yet running
        GLib.timeout_add(5000, loop.quit)
        loop.run()
    finally:
        scripting.unloadScript(plugin)
        os.remove(f.name)
    if not result:
        sys.exit("the KWin script did not report")
    print(result[0])


def screenshot(bus, pointer):
    read_end, write_end = os.pipe()
    try:
        shot = dbus.Interface(bus.get_object(KWIN, "/org/kde/KWin/ScreenShot2"), "org.kde.KWin.ScreenShot2")
        info = shot.CaptureActiveScreen({"include-cursor": pointer, "native-resolution": True},
                                        dbus.types.UnixFd(write_end))
    finally:
        os.close(write_end)
    width, height, stride = int(info["width"]), int(info["height"]), int(info["stride"])
    if int(info["format"]) not in CHANNELS:
        sys.exit(f"KWin's picture has a format this tool does not read: {info}")
    data = bytearray()
    with os.fdopen(read_end, "rb") as f:
        while chunk := f.read(1 << 20):
            data += chunk
    if len(data) < stride * height:
        sys.exit(f"KWin's picture is short: {len(data)} bytes for {info}")
    if stride != width * 4:
        data = b"".join(data[y * stride:y * stride + width * 4] for y in range(height))
    rgb = bytearray(width * height * 3)
    for i, channel in enumerate(CHANNELS[int(info["format"])]):
        rgb[i::3] = data[channel:width * height * 4:4]
    sys.stdout.buffer.write(b"P6\n%d %d\n255\n" % (width, height) + rgb)


def main():
    from dbus.mainloop.glib import DBusGMainLoop
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    command, args = sys.argv[1], sys.argv[2:]
    if command == "windows":
        windows(bus)
    elif command == "screenshot":
        screenshot(bus, args == ["pointer"])
    else:
        sys.exit(f"unknown command {command}")


if __name__ == "__main__":
    main()
