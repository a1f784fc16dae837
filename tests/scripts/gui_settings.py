"""The settings dialogs, driven as a user would: gui_settings.py PID, with PORT and UDP set."""
from gui_common import *


def conf_has(line):
    return wait_for(lambda: line in open(CONF).read().splitlines(), 3)


main = main_window()

# Select NIC: the card list, OK without a row, Auto Start and HTTP.
nic = open_window(lambda: click(main, "Select NIC"), "Select NIC")
cards = rows(table_of(nic))
check("the card list shows the loopback card", any(r[2:4] == ["127.0.0.1", "000000000000"] for r in cards), cards)
conf = open(CONF).read()
check("it opens with no card selected", find(nic, "table").querySelection().nSelectedChildren == 0)
click(nic, "   OK   ")
check("OK without a row says \"Please choice\" and keeps the dialog and the card",
      box_says("Please choice") and frame("Select NIC") is not None and open(CONF).read() == conf)
entry = os.path.join(WORK, "config", "autostart", "Wirelane.desktop")
click(nic, "Auto Start", "check box")
check("Auto Start creates the autostart entry for the program", wait_for(lambda: os.path.exists(entry))
      and f'Exec="{os.path.realpath(f"/proc/{PID}/exe")}"' in open(entry).read().splitlines())
click(nic, "Auto Start", "check box")
check("and unticked removes it", wait_for(lambda: not os.path.exists(entry)))
for flag in "10":
    click(nic, "HTTP", "check box")
    check(f"HTTP saves checkHttp={flag}", conf_has(f"checkHttp={flag}"))
conf = open(CONF).read()
table_of(nic).addRowSelection(next(i for i, r in enumerate(cards) if r[3] == "000000000000"))
find(nic, "table").querySelection().clearSelection()
check("a cleared selection keeps the card chosen: OK on the card in use closes and saves nothing",
      dismiss(nic, "   OK   ", "Select NIC") and open(CONF).read() == conf)

# Analysis settings: add, a refused address, delete.
ana = open_window(lambda: click(main, "Analysis settings"), "Analysis settings")
add = open_window(lambda: click(ana, " Add "), "Add")
type_into(add, None, "192.168.1.12:8080")
click(add, "HTTP", "menu item")
check("OK closes the Add window", dismiss(add, "   OK   ", "Add"))
table = table_of(ana)
added = wait_for(lambda: [r for r in rows(table) if r[1] == "192.168.1.12:8080"])
check("the new endpoint is listed with port 8080 and HTTP", added and added[0][2:4] == ["8080", "HTTP"], added)
check("and saved as an endpoint line", added and conf_has(f"endpoint=192.168.1.12:8080|3|{added[0][4]}"))
# IPv6 as written: a range with a port, as long as such a text gets, a bare prefix and a bare address. Each is kept
# whole in list and file.
for v6, port, name, index in (
        ("[2001:db8:aaaa:bbbb:cccc:dddd:eeee:1-2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:8443", "8443", "MYSQL", 5),
        ("2001:DB8:0::/64", "0", "TCP", 1), ("::1", "0", "TCP & UDP", 0)):
    add = open_window(lambda: click(ana, " Add "), "Add")
    type_into(add, None, v6)
    click(add, name, "menu item")
    check(f"OK on {v6} closes the Add window", dismiss(add, "   OK   ", "Add"))
    added = wait_for(lambda: [r for r in rows(table) if r[1] == v6])
    check(f"it is listed whole with port {port} and {name}", added and added[0][2:4] == [port, name], added)
    check("and saved as written in an endpoint line", added and conf_has(f"endpoint={v6}|{index}|{added[0][4]}"))
add = open_window(lambda: click(ana, " Add "), "Add")
type_into(add, None, "10.0.0.300", "   OK   ")
check("10.0.0.300 says \"Invalid IP address or PORT\" and the Add window stays",
      box_says("Invalid IP address or PORT") and frame("Add") is not None)
dismiss(add, "Cancel", "Add")
table.addRowSelection(next(i for i, r in enumerate(rows(table)) if r[1] == "192.168.1.12:8080"))
click(ana, "Delete")
check("Delete removes the chosen endpoint from list and file",
      wait_for(lambda: all(r[1] != "192.168.1.12:8080" for r in rows(table)))
      and wait_for(lambda: "192.168.1.12" not in open(CONF).read(), 3))
dismiss(ana, "  OK  ", "Analysis settings")

# A packet store, and a collector alone that gets live records within one scan.
pkts = os.path.join(WORK, "pkts")
dump = open_window(lambda: click(main, "Packets dump"), "Packets dump")
type_into(dump, "Local Path", pkts)
type_into(dump, "Local space", "100", "   OK   ")
check("an accepted packet store closes the dialog and is saved", gone("Packets dump") and conf_has(f"dumpPath={pkts}"))
js = open_window(lambda: click(main, "JSON export"), "JSON export")
type_into(js, "Remote Path", f"127.0.0.2:{UDP}", "   OK   ")
check("a collector alone is accepted and saved", gone("JSON export") and conf_has(f"exportRemote=127.0.0.2:{UDP}"))
udp = os.path.join(WORK, "udp.txt")
check("pair records reach the collector within the next full scan",
      wait_for(lambda: f'"dport":"{PORT}"' in open(udp).read(), 21))
finish(main)
