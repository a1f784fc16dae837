"""What the window tests share: finding widgets in the accessibility tree of
the desktop program, acting on them, and the window manager's close."""
import sys
import time

import pyatspi
from gi.repository import Atspi
from Xlib import X, display, protocol

TITLE = "Wirelane Super Traffic Tool V3.0"
PID = int(sys.argv[1])
failures = 0
# A refresh may keep the program busy for longer than the default 0.8 s.
Atspi.set_timeout(10000, 15000)


def check(what, ok, detail=""):
    global failures
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else " " + detail), flush=True)
    failures += 0 if ok else 1
    return ok


def wait_for(fn, timeout=10.0):
    end = time.time() + timeout
    while True:
        value = fn()
        if value or time.time() > end:
            return value
        time.sleep(0.1)


def walk(acc):
    """The accessible and those below it, but not the cells of a table."""
    yield acc
    if acc.getRoleName() == "table":
        return
    for child in acc:
        if child is not None:
            yield from walk(child)


def app():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "wirelane"), None)


def frame(title):
    a = app()
    return next((w for w in a if w is not None and w.name == title), None) if a else None


def find(root, role, name=None):
    return next((x for x in walk(root) if x.getRoleName() == role and (name is None or x.name == name)), None)


def click(root, name, role="push button"):
    button = find(root, role, name)
    button.queryAction().doAction(0)


def table_of(root):
    return find(root, "table").queryTable()


def headers(t):
    return [t.getColumnHeader(c).name for c in range(t.nColumns)]


def rows(t):
    return [[t.getAccessibleAt(r, c).name for c in range(t.nColumns)] for r in range(t.nRows)]


def rss_kib():
    with open(f"/proc/{PID}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


xdisplay = display.Display()


def close_request(title):
    """What the window manager's close does: WM_DELETE_WINDOW to the window."""
    protocols = xdisplay.intern_atom("WM_PROTOCOLS")
    delete = xdisplay.intern_atom("WM_DELETE_WINDOW")
    for w in xdisplay.screen().root.query_tree().children:
        if w.get_wm_name() == title and w.get_attributes().map_state == X.IsViewable:
            w.send_event(protocol.event.ClientMessage(window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])))
    xdisplay.flush()


def open_window(opener, title):
    opener()
    return wait_for(lambda: frame(title))


def gone(title):
    return wait_for(lambda: frame(title) is None)


