#!/usr/bin/env python3
"""Checks the records that wirelane-probe --json-out wrote for a capture:
every line parses as JSON, and the packet and byte counts of the pair records,
summed per pair (client host, server address, server port), agree with
tshark's dissection of the same capture.

usage: pairs_vs_tshark.py CAPTURE RECORDS
"""
import collections
import json
import subprocess
import sys

capture, records = sys.argv[1], sys.argv[2]

fields = ["frame.len", "ip.src", "ip.dst", "ip.proto", "tcp.srcport", "tcp.dstport",
          "udp.srcport", "udp.dstport", "tcp.flags", "tcp.stream", "udp.stream"]
out = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-E", "separator=,"]
                     + sum((["-e", f] for f in fields), []),
                     check=True, capture_output=True, text=True).stdout

# Conversations as tshark sees them; the client is the sender of the first
# SYN, else of the first packet, as the probe decides.
convs = {}
for line in out.splitlines():
    f = line.split(",")
    if len(f) < len(fields) or f[3] not in ("1", "6", "17"):
        continue
    tcp = f[3] == "6"
    if f[3] == "1":  # ICMP: one conversation per pair of hosts, no ports
        key = "i" + ",".join(sorted((f[1], f[2])))
        sport = dport = "0"
    else:
        key = ("t" if tcp else "u") + (f[9] if tcp else f[10])
        sport, dport = (f[4], f[5]) if tcp else (f[6], f[7])
    flags = int(f[8], 16) if tcp and f[8] else 0
    c = convs.get(key)
    if c is None:
        reply = flags & 0x12 == 0x12
        c = convs[key] = {"proto": f[3],
                          "cli": (f[2], dport) if reply else (f[1], sport),
                          "srv": (f[1], sport) if reply else (f[2], dport),
                          "pkts": [0, 0], "bytes": [0, 0]}
    d = 0 if (f[1], sport) == c["cli"] else 1  # 0 client to server
    c["pkts"][d] += 1
    c["bytes"][d] += int(f[0])

expected = collections.Counter()
for c in convs.values():
    k = (c["proto"], c["cli"][0], c["srv"][0], c["srv"][1])
    expected[k + ("dstPkts",)] += c["pkts"][0]
    expected[k + ("srcPkts",)] += c["pkts"][1]
    expected[k + ("dstBytes",)] += c["bytes"][0]
    expected[k + ("srcBytes",)] += c["bytes"][1]

got = collections.Counter()
types = collections.Counter()
with open(records, "rb") as fh:
    for n, raw in enumerate(fh, 1):
        try:
            r = json.loads(raw)
        except ValueError as e:
            sys.exit(f"line {n} is not JSON: {e}: {raw[:200]!r}")
        types[r["type"]] += 1
        if r["type"] != "1":
            continue
        k = (r["proto"], r["src"], r["dst"], r["dport"])
        for key in ("dstPkts", "srcPkts", "dstBytes", "srcBytes"):
            got[k + (key,)] += int(r[key])

if types["99"] == 0:
    sys.exit("no end-of-scan record")
bad = [(k, expected[k], got[k]) for k in sorted(set(expected) | set(got)) if expected[k] != got[k]]
for k, e, g in bad[:20]:
    print(f"{k}: tshark {e}, probe {g}")
if bad:
    sys.exit(f"{len(bad)} counts differ")
print(f"{sum(types.values())} records ({dict(types)}), {len(convs)} conversations agree with tshark")
