"""What the window drivers share (with os, subprocess, sys, time and pyatspi): the desktop program's accessibility
tree (its process id is the first argument), the settings of the test script, and checks."""
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import Atspi, Gio, GLib
from Xlib import X, display, protocol

TITLE = "Wirelane Super Traffic Tool V3.0"
PID = int(sys.argv[1])
WORK, CONF, PORT, UDP = (os.environ.get(name) for name in ("WORK", "CONF", "PORT", "UDP"))
failures = 0
Atspi.set_timeout(10000, 15000)  # a refresh may keep the program busy for longer than 0.8 s


def check(what, ok, detail=""):
    global failures
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else " " + str(detail)), flush=True)
    failures += 0 if ok else 1
    return ok


def wait_for(fn, timeout=10.0):
    end = time.time() + timeout
    while not (value := fn()) and time.time() < end:
        time.sleep(0.1)
    return value


def walk(acc):  # the accessible and those below it, but not the cells of a table
    yield acc
    if acc.getRoleName() != "table":
        for child in acc:
            if child is not None:
                yield from walk(child)


def frame(title):
    a = next((a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "wirelane"), None)
    return next((w for w in a if w is not None and w.name == title), None) if a else None


def find(root, role, name=None):
    return next((x for x in walk(root) if x.getRoleName() == role and (name is None or x.name == name)), None)


def act(acc): acc.queryAction().doAction(0)


def click(root, name, role="push button"): act(find(root, role, name))


def dismiss(window, button, title): return click(window, button) or gone(title)


def type_into(window, name, text, ok=None):
    find(window, "text", name).queryEditableText().setTextContents(text)
    if ok:
        click(window, ok)


def labels(window): return [x.name for x in walk(window) if x.getRoleName() == "label" and x.name]


table_of = lambda root: find(root, "table").queryTable()


def headers(t): return [t.getColumnHeader(c).name for c in range(t.nColumns)]


def rows(t):
    for tries in range(5, 0, -1):
        try:
            return [[t.getAccessibleAt(r, c).name for c in range(t.nColumns)] for r in range(t.nRows)]
        except (GLib.GError, AttributeError):  # a cell gone in a refresh of the list
            if tries == 1:
                raise
            time.sleep(0.2)


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
    return wait_for(lambda: frame(title), 30)  # a loaded machine maps a window late


def gone(title): return wait_for(lambda: frame(title) is None)


def box_says(text, title="Notice", answer="OK"):
    """The box is up with text (a notice's whole text, part of a question's); answers it."""
    box = wait_for(lambda: frame(title), 15)
    said = labels(box) if box else []
    if box is not None:
        dismiss(box, answer, title)
    return any(s == text or (title != "Notice" and text in s) for s in said) or print(f"the box said {said}", flush=True)


def save_export(main, path, while_open=lambda: None):
    """The list exported to path + ".csv"; gives what while_open gave with the chooser up."""
    saver = open_window(lambda: click(main, "Export"), "Save Export")
    seen = while_open()
    type_into(saver, None, path)
    time.sleep(0.5)  # the chooser takes the typed name in its own time
    dismiss(saver, "Save", "Save Export")
    return seen


def press_at_once(acc, times):
    """Clicks acc times over the accessibility bus, all sent before the first is handled (as a held key does)."""
    address = Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
        "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None, 0, -1).unpack()[0]
    bus = Gio.DBusConnection.new_for_address_sync(address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                                                  | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    ask = lambda method, *args: bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                              method, GLib.Variant("(s)", args) if args else None, None, 0, -1)
    names = ask("ListNames").unpack()[0]
    name = next(n for n in names if n[0] == ":" and ask("GetConnectionUnixProcessID", n).unpack()[0] == PID)
    for _ in range(times):
        bus.call(name, acc.path, "org.a11y.atspi.Action", "DoAction", GLib.Variant("(i)", (0,)), None, 0, -1)
    bus.flush_sync()


def cpu_seconds():
    """The program's CPU time, read once it has been idle for 0.3 s."""
    now = lambda: sum(map(int, open(f"/proc/{PID}/stat").read().rsplit(")", 1)[1].split()[11:13]))
    before, after = -1, now()
    while after - before > 0.02 * os.sysconf("SC_CLK_TCK"):
        time.sleep(0.3)
        before, after = after, now()
    return after / os.sysconf("SC_CLK_TCK")


def start_tray():
    """A system tray on the display, as on a desktop: the program's tray icon is mapped into it."""
    subprocess.Popen(["trayer"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check("a system tray runs", wait_for(lambda: xdisplay.get_selection_owner(
        xdisplay.intern_atom("_NET_SYSTEM_TRAY_S0")) != X.NONE))


def main_window():
    main = wait_for(lambda: frame(TITLE), 30)
    check("the main window shows with its title", main is not None) or sys.exit(1)
    return main


def finish(main):
    click(main, "  Exit  ")
    sys.exit(1 if failures else 0)
