"""What the tests ask of a GNOME session over its bus, run inside the session by the system's python3 (with
python3-dbus and python3-gi). Usage: gnome_tools.py COMMAND [ARGUMENTS]

input                 injects input through mutter's remote desktop API linked to a screen cast of the monitor:
                      prints "ready", then reads lines "move X Y" (device pixels), "button CODE 1|0", "key KEYSYM 1|0"
                      and answers each with "ok" once mutter has taken it
eval JAVASCRIPT       prints what the shell's JavaScript gives, as JSON (the shell runs with --unsafe-mode)
screenshot PATH [pointer]  the whole screen as PNG, with the pointer when asked
permission yes|no     the stored answer to "Allow Applications to Take Screenshots?"
"""

import sys

import dbus

SHELL = ("org.gnome.Shell", "/org/gnome/Shell")


def call(bus, name, path, interface, method, *args):
    return getattr(dbus.Interface(bus.get_object(name, path), interface), method)(*args)


def run_input():
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    remote = call(bus, "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                  "org.gnome.Mutter.RemoteDesktop", "CreateSession")
    session = dbus.Interface(bus.get_object("org.gnome.Mutter.RemoteDesktop", remote),
                             "org.gnome.Mutter.RemoteDesktop.Session")
    session_id = call(bus, "org.gnome.Mutter.RemoteDesktop", remote, "org.freedesktop.DBus.Properties", "Get",
                      "org.gnome.Mutter.RemoteDesktop.Session", "SessionId")
    cast = call(bus, "org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                "CreateSession", {"remote-desktop-session-id": session_id})
    stream = call(bus, "org.gnome.Mutter.ScreenCast", cast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                  "Meta-0", {})
    loop = GLib.MainLoop()
    # Absolute motion is taken only once the stream has its node.
    bus.add_signal_receiver(lambda node: print("ready", flush=True), "PipeWireStreamAdded",
                            "org.gnome.Mutter.ScreenCast.Stream", path=stream)
    session.Start()

    def command(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        words = line.split()
        if words[0] == "move":
            session.NotifyPointerMotionAbsolute(stream, float(words[1]), float(words[2]))
        elif words[0] == "button":
            session.NotifyPointerButton(int(words[1]), words[2] == "1")
        elif words[0] == "key":
            session.NotifyKeyboardKeysym(int(words[1]), words[2] == "1")
        print("ok", flush=True)
        return True
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    loop.run()


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "input":
        run_input()  # with a bus of its own, made for a main loop
        return
    bus = dbus.SessionBus()
    if command == "eval":
        ok, result = call(bus, *SHELL, "org.gnome.Shell", "Eval", args[0])
        if not ok:
            sys.exit(f"the shell's JavaScript failed: {result}")
        print(result)
    elif command == "screenshot":
        ok, _ = call(bus, SHELL[0], "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot", "Screenshot",
                     args[1:] == ["pointer"], False, args[0])
        if not ok:
            sys.exit("the shell took no screenshot")
    elif command == "permission":
        call(bus, "org.freedesktop.impl.portal.PermissionStore", "/org/freedesktop/impl/portal/PermissionStore",
             "org.freedesktop.impl.portal.PermissionStore", "SetPermission", "screenshot", True, "screenshot", "",
             [args[0]])
    else:
        sys.exit(f"unknown command {command}")


if __name__ == "__main__":
    main()
