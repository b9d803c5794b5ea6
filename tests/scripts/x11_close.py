#!/usr/bin/env python3
"""Asks X windows to close as a window manager's close box does: sends each
window ID given a WM_DELETE_WINDOW message of the WM_PROTOCOLS kind. With
--destroy, destroys them instead, as another X client may, without asking.

    x11_close.py [--destroy] WINDOW_ID...
"""
import ctypes
import sys


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class Event(ctypes.Union):
    # XEvent is a union padded to 24 longs.
    _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]


CLIENT_MESSAGE = 33


def main(ids):
    destroy = bool(ids) and ids[0] == "--destroy"
    if destroy:
        ids = ids[1:]
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                             ctypes.c_long, ctypes.POINTER(Event)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x.XDestroyWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    display = x.XOpenDisplay(None)
    if not display:
        sys.stderr.write("x11_close.py: cannot open the display\n")
        return 1
    protocols = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
    delete = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    for window in ids:
        if destroy:
            x.XDestroyWindow(display, int(window, 0))
            continue
        event = Event()
        event.client.type = CLIENT_MESSAGE
        event.client.window = int(window, 0)
        event.client.message_type = protocols
        event.client.format = 32
        event.client.data[0] = delete
        event.client.data[1] = 0  # CurrentTime
        x.XSendEvent(display, event.client.window, 0, 0, ctypes.byref(event))
    x.XFlush(display)
    x.XCloseDisplay(display)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
