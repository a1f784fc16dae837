#!/usr/bin/env python3
"""legs_vs_tshark.py CAPTURE RECORDS TYPES: every transaction record of RECORDS (--json-out) carries the
handshake times tshark measures for its connection: "dstConDelayUsec" SYN to SYN-ACK, "srcConDelayUsec"
SYN-ACK to the client's ACK, in microseconds. Of each record type of TYPES (such as 2,5) at least two
begin two or more ten-second periods after their connection's handshake, with times above 0."""
import collections
import json
import subprocess
import sys

capture, records = sys.argv[1], sys.argv[2]
types = sys.argv[3].split(",")
fields = ["frame.time_epoch", "ip.src", "tcp.srcport", "ip.dst", "tcp.dstport", "tcp.flags", "tcp.stream"]
out = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-E", "separator=,", "-Y", "tcp"]
                     + sum((["-e", f] for f in fields), []), check=True, capture_output=True, text=True).stdout


def usec(epoch):  # exact: a double cannot hold epoch seconds to the microsecond
    sec, _, frac = epoch.partition(".")
    return int(sec) * 1000000 + int((frac + "000000")[:6])


# Per connection: client, times of the first SYN, SYN-ACK and the client's ACK after it.
conns = {}
for t, src, sport, dst, dport, flags, stream in (line.split(",") for line in out.splitlines()):
    c = conns.setdefault(stream, {"cli": None, "syn": None, "synack": None, "ack": None})
    flags = int(flags, 16)
    if flags == 0x02 and c["syn"] is None:
        c["cli"], c["syn"] = (src, sport), usec(t)
    elif flags == 0x12 and c["syn"] is not None and c["synack"] is None:
        c["synack"] = usec(t)
    elif flags == 0x10 and c["synack"] is not None and c["ack"] is None and (src, sport) == c["cli"]:
        c["ack"] = usec(t)
by_client = collections.defaultdict(list)
for c in conns.values():
    if c["ack"] is not None:
        by_client[c["cli"]].append(c)

bad, checked, late = [], collections.Counter(), collections.Counter()
for r in map(json.loads, open(records)):
    if r["type"] not in ("2", "4", "5", "6"):
        continue
    sec, _, ms = r["begintime"].partition(".")
    begin = int(sec) * 1000 + int(ms)  # milliseconds
    # The latest connection from that client address and port opened before the transaction.
    opened = [c for c in by_client[(r["src"], r["sport"])] if c["syn"] // 1000 <= begin]
    if not opened:
        bad.append(f"{r['src']}:{r['sport']} {r.get('url', r.get('sql'))}: no handshake before it")
        continue
    c = max(opened, key=lambda c: c["syn"])
    want = (str(c["ack"] - c["synack"]), str(c["synack"] - c["syn"]))
    got = (r["srcConDelayUsec"], r["dstConDelayUsec"])
    checked[r["type"]] += 1
    if got != want:
        bad.append(f"{r['src']}:{r['sport']} {r.get('url', r.get('sql'))}: {'/'.join(got)}, tshark {'/'.join(want)}")
    elif begin // 10000 - c["syn"] // 10000000 >= 2 and want != ("0", "0"):
        late[r["type"]] += 1

if bad:
    sys.exit("\n".join(bad[:20] + [f"{len(bad)} transactions differ"]))
if any(late[t] < 2 for t in types):
    sys.exit(f"too few transactions two scans after their handshake: {dict(late)} of {dict(checked)}")
print(f"the handshake times of {dict(checked)} transactions are tshark's, {dict(late)} two scans after it")
