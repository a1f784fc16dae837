"""Drives the settings dialogs through the accessibility tree, as a user would.

Usage: gui_settings.py PID CONF WORK PORT UDP. Prints "ok: ..." or "FAIL: ..."
lines; exits 1 when a check failed.
"""
import os
import sys
import time

import gui_common
from gui_common import *

CONF, WORK, PORT, UDP = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]


def conf_has(line):
    return wait_for(lambda: line in open(CONF).read().splitlines(), 3)


def notice_says(text):
    """The "Notice" box is up with text; closes it with OK."""
    box = wait_for(lambda: frame("Notice"))
    said = [x.name for x in walk(box) if x.getRoleName() == "label" and x.name] if box else []
    if box is not None:
        click(box, "OK")
        gone("Notice")
    if text not in said:
        print(f"the box said {said}", flush=True)
    return text in said


def type_into(window, name, text):
    find(window, "text", name).queryEditableText().setTextContents(text)


main = wait_for(lambda: frame(TITLE), 30)
if not check("the main window shows", main is not None):
    sys.exit(1)

# Select NIC: the card list, OK without a row, Auto Start and HTTP.
nic = open_window(lambda: click(main, "Select NIC"), "Select NIC")
cards = rows(table_of(nic))
check("the card list shows the loopback card", any(r[2] == "127.0.0.1" and r[3] == "000000000000" for r in cards),
      str(cards))
# The first card is selected when the list takes the focus.
find(nic, "table").querySelection().clearSelection()
click(nic, "   OK   ")
check("OK without a row says \"Please choice\"", notice_says("Please choice"))
entry = os.path.join(WORK, "config", "autostart", "Wirelane.desktop")
auto = find(nic, "check box", "Auto Start")
auto.queryAction().doAction(0)
made = wait_for(lambda: os.path.exists(entry))
check("Auto Start creates the autostart entry for the program",
      made and f'Exec="{os.path.realpath(f"/proc/{PID}/exe")}"' in open(entry).read().splitlines())
auto.queryAction().doAction(0)
check("and unticked removes it", wait_for(lambda: not os.path.exists(entry)))
http = find(nic, "check box", "HTTP")
http.queryAction().doAction(0)
check("HTTP saves checkHttp=1", conf_has("checkHttp=1"))
http.queryAction().doAction(0)
check("and unticked checkHttp=0", conf_has("checkHttp=0"))
click(nic, "Cancel")
gone("Select NIC")

# Analysis settings: add, a refused address, delete.
ana = open_window(lambda: click(main, "Analysis settings"), "Analysis settings")
click(ana, "Delete")
check("Delete without a row says \"Please choice a row\"", notice_says("Please choice a row"))
add = open_window(lambda: click(ana, " Add "), "Add")
type_into(add, None, "192.168.1.12:8080")
find(add, "menu item", "HTTP").queryAction().doAction(0)
click(add, "   OK   ")
check("OK closes the Add window", gone("Add"))
table = table_of(ana)
added = wait_for(lambda: [r for r in rows(table) if r[1] == "192.168.1.12:8080"])
check("the new endpoint is listed with port 8080 and HTTP", added and added[0][2:4] == ["8080", "HTTP"], str(added))
busi = added[0][4] if added else ""
check("and saved as an endpoint line", conf_has(f"endpoint=192.168.1.12:8080|3|{busi}"))
add = open_window(lambda: click(ana, " Add "), "Add")
type_into(add, None, "10.0.0.300")
click(add, "   OK   ")
check("10.0.0.300 says \"Invalid IP address or PORT\"", notice_says("Invalid IP address or PORT"))
check("and the Add window stays open", frame("Add") is not None)
click(add, "Cancel")
gone("Add")
row = next(i for i, r in enumerate(rows(table)) if r[1] == "192.168.1.12:8080")
table.addRowSelection(row)
click(ana, "Delete")
check("Delete removes the chosen endpoint from list and file",
      wait_for(lambda: all(r[1] != "192.168.1.12:8080" for r in rows(table)))
      and wait_for(lambda: "192.168.1.12" not in open(CONF).read(), 3))
click(ana, "  OK  ")
gone("Analysis settings")

# Packets dump, then a JSON store in the same folder is refused.
pkts = os.path.join(WORK, "pkts")
dump = open_window(lambda: click(main, "Packets dump"), "Packets dump")
type_into(dump, "Local Path", pkts)
type_into(dump, "Local space", "100")
click(dump, "   OK   ")
check("an accepted packet store closes the dialog and is saved", gone("Packets dump") and conf_has(f"dumpPath={pkts}"))
js = open_window(lambda: click(main, "JSON export"), "JSON export")
type_into(js, "Local Path", pkts)
type_into(js, "Local space", "100")
click(js, "   OK   ")
check("a JSON path equal to the dump path is refused",
      notice_says("JSON path cannot be the same as Dump path!") and frame("JSON export") is not None)

# A collector alone: live records reach it within one scan.
type_into(js, "Local Path", "")
type_into(js, "Local space", "")
type_into(js, "Remote Path", f"127.0.0.2:{UDP}")
click(js, "   OK   ")
check("a collector alone is accepted and saved", gone("JSON export") and conf_has(f"exportRemote=127.0.0.2:{UDP}"))
udp = os.path.join(WORK, "udp.txt")
started = time.time()
got = wait_for(lambda: os.path.exists(udp) and f'"dport":"{PORT}"' in open(udp).read(), 21)
print(f"records after {time.time() - started:.1f} s", flush=True)
check("pair records reach the collector within the next full scan", got)

click(main, "  Exit  ")
sys.exit(1 if gui_common.failures else 0)
