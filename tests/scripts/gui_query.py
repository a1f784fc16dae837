"""The query and playback dialogs, driven as a user would: gui_query.py PID, with UDP set."""
from gui_common import *

PLAYOUT = os.path.join(os.environ["TMPDIR"], "Wirelane", "playout.pcap")


def open_dialog(title):
    """The dialog, checked to show the store's period, set to 2026-01-01
    00:00:00 to 01:00:00 by the entries of year, month, day, hour, minute and second."""
    window = open_window(lambda: click(main, title), title)
    check(f"the {title} window shows the store's period", any(" ~ 2026-" in n for n in labels(window)), labels(window))
    for row, entries in (("start", [6, 0, 0, 0, 0, 0]), ("end", [6, 0, 0, 1, 0, 0])):
        for part, index in zip(["year", "month", "day", "hour", "minute", "second"], entries):
            find(window, "combo box", f"{row} {part}").querySelection().selectChild(index)
    return window


def page_label():
    return next((x.strip() for x in labels(main) if "Page:" in x), "")


main = main_window()
lst = table_of(main)
query = open_dialog("Data query")
for text, says in (("host", "Query filter error"), ("10.9.9.9", "No data")):
    type_into(query, "Query Criteria", text, " OK ")
    check(f"'{text}' says \"{says}\" and the window stays", box_says(says) and frame("Data query") is not None)
type_into(query, "Query Criteria", "198.19.0.1", " OK ")
check("a query with matches closes the window", gone("Data query"))
src, dst = headers(lst).index("Source  "), headers(lst).index("Destination  ")
shown = wait_for(lambda: rows(lst))
check("the list shows the first page of the result",
      0 < len(shown) <= 15 and all("198.19.0.1:" in r[src] + " " + r[dst] + ":" for r in shown), shown[:2])
check("the mode button reads RealTime and the page label Page: 1",
      find(main, "push button", "RealTime") is not None and page_label() == "Page: 1", page_label())

# Paging to both ends.
click(main, "Prev")
check("Prev on the first page says \"This is first page\"", box_says("This is first page"))
pages = 1
while pages < 60 and frame("Notice") is None:
    first = rows(lst)[0] if lst.nRows else None
    click(main, "Next")
    if wait_for(lambda: frame("Notice") or (lst.nRows and rows(lst)[0] != first), 10) and frame("Notice") is None:
        pages += 1
check("Next at the end says \"This is last page\"", box_says("This is last page") and pages > 1, f"{pages} pages")
check("the page label follows", page_label() == f"Page: {pages}", page_label())
save_export(main, os.path.join(WORK, "window"))  # every page visited: here the whole result, read by gui_query.sh

# Packet playback: the file first, then a replay over VXLAN.
play = open_dialog("Packet playback")
type_into(play, "Playback filter", os.environ["PLAY_FILTER"], " OK ")
check("the playback asks whether to open the folder", box_says("packet save to " + PLAYOUT, "Message", "No"))
check("and the window closes", gone("Packet playback"))
play = open_window(lambda: click(main, "Packet playback"), "Packet playback")
check("the next opening shows the last filter",
      find(play, "text", "Playback filter").queryText().getText(0, -1) == os.environ["PLAY_FILTER"])
type_into(play, "Remote vxlan", f"127.0.0.2:{UDP}", " OK ")
check("with a target it asks to send", box_says(f"send to 127.0.0.2:{UDP} with vxlan", "Message", "Yes"))
gone("Packet playback")
vxlan, sizes = os.path.join(WORK, "vxlan.txt"), [-1] * 5  # its frames: gui_query.sh
check("the replay reaches the VXLAN listener and ends", wait_for(
    lambda: sizes.append(os.path.getsize(vxlan)) or 0 < sizes[-5] == sizes[-1], 15), sizes[-1])
finish(main)
