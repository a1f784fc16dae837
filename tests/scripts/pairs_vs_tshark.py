#!/usr/bin/env python3
"""pairs_vs_tshark.py CAPTURE RECORDS: every line of RECORDS (--json-out) is JSON, and the packet, byte
and FIN counts of its pair records, per client host, server address and port, agree with tshark's."""
import collections
import json
import subprocess
import sys

capture, records = sys.argv[1], sys.argv[2]
fields = ["frame.len", "ip.src", "ip.dst", "ip.proto", "tcp.srcport", "tcp.dstport",
          "udp.srcport", "udp.dstport", "tcp.flags", "tcp.stream", "udp.stream"]
out = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-E", "separator=,"]
                     + sum((["-e", f] for f in fields), []), check=True, capture_output=True, text=True).stdout

# The client is the sender of the first SYN, else of the first packet, as
# the probe decides; ICMP is one conversation per pair of hosts, no ports.
convs, expected, got, types = {}, collections.Counter(), collections.Counter(), collections.Counter()
for f in (line.split(",") for line in out.splitlines()):
    if len(f) < len(fields) or f[3] not in ("1", "6", "17"):
        continue
    tcp = f[3] == "6"
    if f[3] == "1":
        key, sport, dport = "i" + ",".join(sorted(f[1:3])), "0", "0"
    else:
        key = ("t" + f[9]) if tcp else ("u" + f[10])
        sport, dport = (f[4], f[5]) if tcp else (f[6], f[7])
    if key not in convs:
        reply = tcp and f[8] and int(f[8], 16) & 0x12 == 0x12
        cli, srv = ((f[2], dport), (f[1], sport)) if reply else ((f[1], sport), (f[2], dport))
        convs[key] = cli, (f[3], cli[0]) + srv
    cli, pair = convs[key]
    toward = (f[1], sport) == cli
    expected[pair + ("dstPkts" if toward else "srcPkts",)] += 1
    expected[pair + ("dstBytes" if toward else "srcBytes",)] += int(f[0])
    if tcp and int(f[8], 16) & 0x01:
        expected[pair + ("dstFinPkts" if toward else "srcFinPkts",)] += 1

for n, raw in enumerate(open(records, "rb"), 1):
    try:
        r = json.loads(raw)
    except ValueError as e:
        sys.exit(f"line {n} is not JSON: {e}: {raw[:200]!r}")
    types[r["type"]] += 1
    if r["type"] == "1":
        for k in ("dstPkts", "srcPkts", "dstBytes", "srcBytes", "dstFinPkts", "srcFinPkts"):
            got[(r["proto"], r["src"], r["dst"], r["dport"], k)] += int(r[k])

if types["99"] == 0:
    sys.exit("no end-of-scan record")
bad = [f"{k}: tshark {expected[k]}, probe {got[k]}" for k in sorted(set(expected) | set(got)) if expected[k] != got[k]]
if bad:
    sys.exit("\n".join(bad[:20] + [f"{len(bad)} counts differ"]))
print(f"{sum(types.values())} records ({dict(types)}), {len(convs)} conversations agree with tshark")
