"""The window in a network namespace of its own: gui_status.py PID, with MODE (first, waiting or denied), CARD and ADDR
(the veth card), PEER and PORT (the HTTP server behind it) and MAKE_CARD (the command that makes the card) set."""
import re

from gui_common import *

MODE, CARD, ADDR, PEER = (os.environ[name] for name in ("MODE", "CARD", "ADDR", "PEER"))
STATUS = re.compile(r"(.*)   (Capturing|Waiting for the card|Card lost|No permission to capture on \S+)   "
                    r"(\d+) captured, (\d+) analysed, (\d+) lost(   last scan \d\d:\d\d:\d\d)?")
NO_CARD = 'No card is selected: choose one with "Select NIC"'
main = main_window()
lst = table_of(main)
dst = headers(lst).index("Destination  ")


def status():
    return next((m for m in map(STATUS.fullmatch, labels(main)) if m), None)


def state_is(state, timeout=10):
    return wait_for(lambda: (s := status()) and s[2] == state and s, timeout)


def shown(text):
    return any(x.getRoleName() == "label" and x.name == text and x.getState().contains(pyatspi.STATE_SHOWING)
               for x in walk(main))


def windows():
    app = next(a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "wirelane")
    return [w.name for w in app if w is not None and w.getState().contains(pyatspi.STATE_VISIBLE)]


def traffic():
    return subprocess.Popen(["bash", "-c", f"while :; do curl -s -o /dev/null http://{PEER}:{PORT}/; sleep 0.2; done"])


live_row = lambda: [r for r in rows(lst) if r[dst] == f"{PEER}:{PORT}"]

if MODE == "first":
    s = state_is("Capturing")
    check("the status line names the card and its address, capturing", s and s[1] == f"{CARD} ({ADDR})", s and s[0])
    check("no dialog opens and no empty-list line shows", windows() == [TITLE] and not shown(NO_CARD), windows())
    # tcpdump counts the card's frames beside the program; the ends of its run are quiet.
    dump = os.path.join(WORK, "card.pcap")
    tcpdump = subprocess.Popen(["tcpdump", "-i", CARD, "--immediate-mode", "-U", "-w", dump],
                               stderr=subprocess.PIPE, text=True)
    tcpdump.stderr.readline()  # listening
    time.sleep(1.5)
    before, at_before = int(status()[3]), time.time()
    start, curl = time.time(), traffic()
    row = wait_for(live_row, 15)
    took, late = time.time() - start, time.time() - (start // 10 + 1) * 10
    check(f"a live row of the traffic {took:.1f} s after the first request, at the next scan",
          row and late < 1.5, rows(lst)[:2])
    time.sleep(2)
    curl.kill(), curl.wait()
    time.sleep(3)
    s, at_after = status(), time.time()
    tcpdump.terminate(), tcpdump.wait()
    out = subprocess.run(["tcpdump", "-r", dump, "-tt", "-n"], capture_output=True, text=True).stdout.splitlines()
    stamps = [float(line.split()[0]) for line in out]
    edges = sum(1 for t in stamps if t <= at_before or t > at_after - 1)  # the status line is a second old
    captured, analysed, lost = int(s[3]) - before, int(s[4]), int(s[5])
    check(f"the status line counts what tcpdump counts ({captured} and {len(stamps)}, {edges} at the ends)",
          len(stamps) > 50 and abs(captured - len(stamps)) <= edges, s[0])
    check("frames analysed, none lost", 0 < analysed <= int(s[3]) and lost == 0, s[0])
elif MODE == "waiting":
    s = state_is("Waiting for the card")
    check("the remembered card absent: waiting for it", s and s[1] == "card 02005E103501", s and s[0])
    check("the empty list says so and names the button", wait_for(lambda: shown(NO_CARD)))
    subprocess.run(["bash", "-c", os.environ["MAKE_CARD"]], check=True)
    curl = traffic()
    s = state_is("Capturing", 60)
    check("capturing once the card is made", s and s[1] == f"{CARD} ({ADDR})", status() and status()[0])
    check("rows come and the line goes", wait_for(live_row, 15) and not shown(NO_CARD), rows(lst)[:2])
    curl.kill(), curl.wait()
else:
    s = wait_for(lambda: (s := status()) and s[2].startswith("No permission") and s, 20)
    check("the status line names the card and the missing permission",
          s and s[1] == f"{CARD} ({ADDR})" and s[2] == f"No permission to capture on {CARD}", labels(main))
    box = wait_for(lambda: frame("Notice"), 10)
    said = labels(box) if box else []
    check("a Notice says how to give the capture rights", any("setcap cap_net_raw,cap_net_admin=eip" in x for x in said)
          and windows().count("Notice") == 1, said)
    box and dismiss(box, "OK", "Notice")
    time.sleep(6)  # the card is tried again every two seconds
    check("only one Notice in the run", frame("Notice") is None and s and status()[2] == s[2], windows())
finish(main)
