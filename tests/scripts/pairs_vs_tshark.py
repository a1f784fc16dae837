#!/usr/bin/env python3
"""pairs_vs_tshark.py CAPTURE RECORDS [TYPES]: every line of RECORDS (--json-out) is JSON, the packet, byte,
SYN, SYN-ACK, RST and FIN counts of its pair records, per client host, server address and port (IPv4 or IPv6),
agree with tshark's, and every
transaction record carries its connection's handshake times as tshark sees them ("dstConDelayUsec" SYN to
SYN-ACK, "srcConDelayUsec" SYN-ACK to the client's ACK, microseconds; 0 for a leg not seen). Of each
transaction type of TYPES (such as 2,5), at least two begin two ten-second periods after their handshake."""
import collections
import json
import subprocess
import sys

capture, records = sys.argv[1], sys.argv[2]
late_types = sys.argv[3].split(",") if len(sys.argv) > 3 else []
fields = ["frame.len", "ip.src", "ip.dst", "ip.proto", "tcp.srcport", "tcp.dstport",
          "udp.srcport", "udp.dstport", "tcp.flags", "tcp.stream", "udp.stream", "frame.time_epoch",
          "ipv6.src", "ipv6.dst", "ipv6.nxt"]
# The first occurrence only: an ICMP error quotes the headers of the packet it answers.
out = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-E", "separator=,", "-E", "occurrence=f"]
                     + sum((["-e", f] for f in fields), []), check=True, capture_output=True, text=True).stdout

# The client is the sender of the first SYN, else of the first packet, as
# the probe decides; ICMP and ICMPv6 are one conversation per pair of hosts, no ports.
# Both families print their addresses as the records do (IPv6 in RFC 5952 form).
convs, expected, got, types = {}, collections.Counter(), collections.Counter(), collections.Counter()
shakes = {}  # per TCP connection: client, microseconds of its first frame, SYN, SYN-ACK and client's ACK after it
for f in (line.split(",") for line in out.splitlines()):
    if len(f) < len(fields):
        continue
    if not f[1]:
        f[1:4] = f[12:15]
    if f[3] not in ("1", "6", "17", "58"):
        continue
    tcp = f[3] == "6"
    if f[3] in ("1", "58"):
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
    flags = int(f[8], 16) if tcp else 0
    if flags & 0x01:
        expected[pair + ("dstFinPkts" if toward else "srcFinPkts",)] += 1
    if flags & 0x04:
        expected[pair + ("dstRstPkts" if toward else "srcRstPkts",)] += 1
    if flags & 0x12 == 0x02:  # a SYN counts toward the server, a SYN-ACK from it, whoever sent them
        expected[pair + ("dstSynPkts",)] += 1
    if flags & 0x12 == 0x12:
        expected[pair + ("srcSynAckPkts",)] += 1
    if tcp:
        sec, _, frac = f[11].partition(".")  # exact: a double cannot hold epoch seconds to the microsecond
        usec, flags = int(sec) * 1000000 + int((frac + "000000")[:6]), int(f[8], 16)
        h = shakes.setdefault(key, [cli, usec, None, None, None])
        at = 2 if flags == 0x02 else 3 if flags == 0x12 else 4 if flags == 0x10 and toward and h[3] else 0
        if at and h[at] is None:
            h[at] = usec
by_client = collections.defaultdict(list)
for h in shakes.values():
    by_client[h[0]].append(h)
legs, timed, late = [], 0, collections.Counter()

for n, raw in enumerate(open(records, "rb"), 1):
    try:
        r = json.loads(raw)
    except ValueError as e:
        sys.exit(f"line {n} is not JSON: {e}: {raw[:200]!r}")
    types[r["type"]] += 1
    if r["type"] == "1":
        for k in ("dstPkts", "srcPkts", "dstBytes", "srcBytes", "dstFinPkts", "srcFinPkts", "dstRstPkts",
                  "srcRstPkts", "dstSynPkts", "srcSynAckPkts"):
            got[(r["proto"], r["src"], r["dst"], r["dport"], k)] += int(r[k])
    elif r["type"] in ("2", "4", "5", "6"):
        sec, _, ms = r["begintime"].partition(".")
        begin = int(sec) * 1000 + int(ms)
        # The latest connection from that client address and port opened before the transaction began.
        opened = [h for h in by_client[(r["src"], r["sport"])] if h[1] // 1000 <= begin]
        h = max(opened, key=lambda h: h[1]) if opened else [None] * 5
        want = tuple(str(b - a) if a and b else "0" for a, b in ((h[3], h[4]), (h[2], h[3])))
        timed += 1
        if (r["srcConDelayUsec"], r["dstConDelayUsec"]) != want:
            legs.append(f"{r['sport']} {r.get('url', r.get('sql'))}: handshake "
                        f"{r['srcConDelayUsec']}/{r['dstConDelayUsec']}, tshark {'/'.join(want)}")
        elif begin // 10000 - h[1] // 10000000 >= 2 and want != ("0", "0"):
            late[r["type"]] += 1

if types["99"] == 0:
    sys.exit("no end-of-scan record")
bad = [f"{k}: tshark {expected[k]}, probe {got[k]}" for k in sorted(set(expected) | set(got)) if expected[k] != got[k]]
if bad:
    sys.exit("\n".join(bad[:20] + [f"{len(bad)} counts differ"]))
if legs:
    sys.exit("\n".join(legs[:20] + [f"{len(legs)} transactions differ"]))
# The caller keeps its connections open past two scans: at least one
# transaction of each type named comes that late wherever the ten-second
# marks fall (a second one only when they fall kindly).
if any(late[t] < 1 for t in late_types):
    sys.exit(f"no transaction two scans after its handshake: {dict(late)}")
print(f"{sum(types.values())} records ({dict(types)}), {len(convs)} conversations agree with tshark"
      + (f"; {timed} transactions carry their handshake times ({dict(late)} two scans later)" if timed else ""))
