"""Drives the query and playback dialogs through the accessibility tree.

Usage: gui_query.py PID WORK UDP. Prints "ok: ..." or "FAIL: ..." lines; exits 1
when a check failed.
"""
import os
import struct
import sys
import time

import gui_common
from gui_common import *

WORK, UDP = sys.argv[2], sys.argv[3]
PLAYOUT = os.path.join(os.environ["TMPDIR"], "Wirelane", "playout.pcap")
# 2026-01-01 00:00:00 to 01:00:00: the entries of year, month, day, hour,
# minute and second.
START, END = [6, 0, 0, 0, 0, 0], [6, 0, 0, 1, 0, 0]
PARTS = ["year", "month", "day", "hour", "minute", "second"]


def box_says(title, text, answer="OK"):
    """The box titled title is up and says text; answers it."""
    box = wait_for(lambda: frame(title), 15)
    said = [x.name for x in walk(box) if x.getRoleName() == "label" and x.name] if box else []
    if box is not None:
        click(box, answer)
        gone(title)
    if not any(text in s for s in said):
        print(f"the box said {said}", flush=True)
    return any(text in s for s in said)


def set_period(window):
    for row, entries in (("start", START), ("end", END)):
        for part, index in zip(PARTS, entries):
            find(window, "combo box", f"{row} {part}").querySelection().selectChild(index)


def type_into(window, name, text):
    find(window, "text", name).queryEditableText().setTextContents(text)


def page_label(main):
    return next((x.name.strip() for x in walk(main) if x.getRoleName() == "label" and "Page:" in x.name), "")


main = wait_for(lambda: frame(TITLE), 30)
if not check("the main window shows", main is not None):
    sys.exit(1)
lst = table_of(main)

# Data query: the store's period, two refusals, then a result in the list.
query = open_window(lambda: click(main, "Data query"), "Data query")
labels = [x.name for x in walk(query) if x.getRoleName() == "label"]
check("the query window shows the store's period", any(" ~ 2026-" in n for n in labels), str(labels))
set_period(query)
type_into(query, "Query Criteria", "host")
click(query, " OK ")
check("a bad criteria says \"Query filter error\"", box_says("Notice", "Query filter error"))
type_into(query, "Query Criteria", "10.9.9.9")
click(query, " OK ")
check("a query without match says \"No data\"", box_says("Notice", "No data") and frame("Data query") is not None)
type_into(query, "Query Criteria", "198.19.0.1")
click(query, " OK ")
check("a query with matches closes the window", gone("Data query"))
titles = headers(lst)
src, dst = titles.index("Source  "), titles.index("Destination  ")
shown = wait_for(lambda: rows(lst))
check("the list shows the first page of the result",
      0 < len(shown) <= 15 and all("198.19.0.1:" in r[src] + " " + r[dst] + ":" for r in shown), str(shown[:2]))
check("the mode button reads RealTime and the page label Page: 1",
      find(main, "push button", "RealTime") is not None and page_label(main) == "Page: 1", page_label(main))

# Paging to both ends.
click(main, "Prev")
check("Prev on the first page says \"This is first page\"", box_says("Notice", "This is first page"))
pages = 1
while pages < 60 and frame("Notice") is None:
    first = rows(lst)[0] if lst.nRows else None
    click(main, "Next")
    if wait_for(lambda: frame("Notice") is not None or (lst.nRows and rows(lst)[0] != first), 10) and frame("Notice") is None:
        pages += 1
check("Next at the end says \"This is last page\"", box_says("Notice", "This is last page") and pages > 1,
      f"{pages} pages")
check("the page label follows", page_label(main) == f"Page: {pages}", page_label(main))

# The export holds every page visited: here the whole result.
saver = open_window(lambda: click(main, "Export"), "Save Export")
find(saver, "text").queryEditableText().setTextContents(os.path.join(WORK, "window"))
time.sleep(0.5)
click(saver, "Save")
gone("Save Export")
check("the export is written", wait_for(lambda: os.path.exists(os.path.join(WORK, "window.csv"))))

# Packet playback: the file first, then a replay over VXLAN.
play = open_window(lambda: click(main, "Packet playback"), "Packet playback")
labels = [x.name for x in walk(play) if x.getRoleName() == "label"]
check("the playback window shows the store's period", any(" ~ 2026-" in n for n in labels), str(labels))
set_period(play)
type_into(play, "Playback filter", "198.19.0.1,10.")
click(play, " OK ")
check("a bad filter says \"Playback filter error\"", box_says("Notice", "Playback filter error"))
type_into(play, "Playback filter", "198.19.0.1")
click(play, " OK ")
check("the playback asks whether to open the folder", box_says("Message", "packet save to " + PLAYOUT, "No"))
check("and the window closes", gone("Packet playback"))

play = open_window(lambda: click(main, "Packet playback"), "Packet playback")
check("the next opening shows the last filter", find(play, "text", "Playback filter").queryText().getText(0, -1)
      == "198.19.0.1")
type_into(play, "Remote vxlan", f"127.0.0.2:{UDP}")
click(play, " OK ")
check("with a target it asks to send", box_says("Message", f"send to 127.0.0.2:{UDP} with vxlan", "Yes"))
gone("Packet playback")
data, size = open(PLAYOUT, "rb").read()[24:], 0
frames = 0
while len(data) >= 16:
    caplen = struct.unpack("<I", data[8:12])[0]
    size += 8 + caplen + 1
    frames += 1
    data = data[16 + caplen:]
vxlan = os.path.join(WORK, "vxlan.txt")
check("every played frame reaches the VXLAN listener", frames > 0 and
      wait_for(lambda: os.path.exists(vxlan) and os.path.getsize(vxlan) == size, 10), f"{frames} frames")

click(main, "  Exit  ")
sys.exit(1 if gui_common.failures else 0)
