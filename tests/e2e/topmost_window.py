"""Another program's always-on-top window: one colour, named "Topmost", asking the window manager for the
_NET_WM_STATE_ABOVE state before it is mapped, as toolkits do. Runs until it is killed.

Usage: topmost_window.py WIDTH HEIGHT RRGGBB   (DISPLAY from the environment)"""

import ctypes
import ctypes.util
import sys
import time

WIDTH, HEIGHT, COLOUR = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3], 16)

x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
Display, Window, Atom = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong
x11.XOpenDisplay.restype = Display
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = Window
x11.XDefaultRootWindow.argtypes = [Display]
x11.XCreateSimpleWindow.restype = Window
x11.XCreateSimpleWindow.argtypes = [Display, Window, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                    ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
x11.XInternAtom.restype = Atom
x11.XInternAtom.argtypes = [Display, ctypes.c_char_p, ctypes.c_int]
x11.XChangeProperty.argtypes = [Display, Window, Atom, Atom, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                ctypes.c_int]
x11.XStoreName.argtypes = [Display, Window, ctypes.c_char_p]
x11.XMapWindow.argtypes = [Display, Window]
x11.XFlush.argtypes = [Display]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
window = x11.XCreateSimpleWindow(display, x11.XDefaultRootWindow(display), 0, 0, WIDTH, HEIGHT, 0, 0, COLOUR)
x11.XStoreName(display, window, b"Topmost")
above = (Atom * 1)(x11.XInternAtom(display, b"_NET_WM_STATE_ABOVE", 0))
# Format 32 properties are passed as an array of C longs.
state = x11.XInternAtom(display, b"_NET_WM_STATE", 0)
x11.XChangeProperty(display, window, state, x11.XInternAtom(display, b"ATOM", 0), 32, 0, above, 1)
x11.XMapWindow(display, window)
x11.XFlush(display)
# The server paints the background itself on every expose; nothing else is needed to keep the window drawn.
while True:
    time.sleep(3600)
