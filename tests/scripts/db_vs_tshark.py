#!/usr/bin/python3
"""Checks the PostgreSQL (type 8) and Redis (type 9) records of a capture
against what tshark shows of it: PostgreSQL through its pgsql dissector,
Redis from the TCP payloads tshark gives, read here as RESP.

usage: db_vs_tshark.py CAPTURE RECORDS PG_PORT REDIS_PORT

Every statement and command comes out once, in order on its connection,
with its text, result, error, user and database, and its request and
answer frame times; "response" within a microsecond of them."""
import collections
import json
import re
import subprocess
import sys

capture, records, pg_port, redis_port = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])


def clean(text):
    """A statement as the records write it."""
    text = re.sub(r"[\r\n\t]", " ", text)
    text = "".join(c for c in text if " " <= c < "\x7f")
    text = re.sub(r" +", " ", text).replace('"', "'").strip()
    return text[:1021].strip()


def tshark(*args):
    return subprocess.run(["tshark", "-r", capture, *args], check=True, capture_output=True, text=True).stdout


def stat(begin, end, sql, err="", resp=1, user="", dbname=""):
    return dict(begin=begin, end=end, sql=sql, err=err, resp=resp, user=user, dbname=dbname)


# ---- PostgreSQL: the dissector's messages, paired as a client's are answered

def pg_expected():
    frames = json.loads(tshark("-d", f"tcp.port=={pg_port},pgsql", "-Y", "pgsql", "-T", "json",
                               "-j", "frame tcp pgsql", "--no-duplicate-keys"))
    conns = collections.defaultdict(lambda: {"queue": [], "prepared": {}, "portals": {}, "bare": 0,
                                             "user": "", "db": "", "out": []})
    for f in frames:
        layers = f["_source"]["layers"]
        t = float(layers["frame"]["frame.time_epoch"])
        tcp = layers["tcp"]
        client = int(tcp["tcp.srcport"]) if int(tcp["tcp.dstport"]) == pg_port else int(tcp["tcp.dstport"])
        c = conns[client]
        msgs = layers["pgsql"] if isinstance(layers["pgsql"], list) else [layers["pgsql"]]
        for m in msgs:
            kind = m.get("pgsql.type")
            if kind == "Startup message":
                params = dict(zip(m["pgsql.parameter_name"], m["pgsql.parameter_value"]))
                c["user"] = params.get("user", "")
                c["db"] = params.get("database", c["user"])
            elif kind == "Simple query":
                c["queue"].append(dict(stat(t, 0, clean(m["pgsql.query"]), resp=0), q=True))
            elif kind == "Parse":
                c["prepared"][m.get("pgsql.statement", "")] = clean(m["pgsql.query"])
            elif kind == "Bind":
                c["portals"][m.get("pgsql.portal", "")] = c["prepared"].get(m.get("pgsql.statement", ""), "")
            elif kind == "Execute":
                c["queue"].append(dict(stat(t, 0, c["portals"].get(m.get("pgsql.portal", ""), ""), resp=0), q=False))
            elif kind == "Sync":
                if c["queue"] and not c["queue"][-1]["q"] and not c["queue"][-1].get("closes"):
                    c["queue"][-1]["closes"] = True
                elif c["queue"]:
                    c["queue"][-1]["bare"] = c["queue"][-1].get("bare", 0) + 1
                else:
                    c["bare"] += 1
            elif kind in ("Command completion", "Error", "Empty query", "Portal suspended"):
                for e in c["queue"]:
                    if e["q"] or not e["resp"]:
                        break
                else:
                    continue
                if kind == "Error" and not e["err"]:
                    e["err"] = (m["pgsql.code"] + " " + m["pgsql.message"]).replace('"', "")[:127]
                if not e["q"]:
                    e["resp"], e["end"] = 1, t
            elif kind == "Ready for query":
                if c["bare"]:
                    c["bare"] -= 1
                    continue
                while c["queue"]:
                    e = c["queue"].pop(0)
                    last = e["q"] or e.get("closes") or not c["queue"]
                    if e["q"]:
                        e["resp"] = 1
                    if last and e["resp"]:
                        e["end"] = t
                    e["user"], e["dbname"] = c["user"], c["db"]
                    c["out"].append(e)
                    if last:
                        c["bare"] = e.get("bare", 0)
                        break
    return {k: v["out"] for k, v in conns.items()}


# ---- Redis: each direction's bytes with the frame each came in, read as RESP

def resp_element(data, at):
    """The end of the element starting at data[at], its error text ('-' or
    '!' at the top), and whether it is a push; None when it is incomplete."""
    line_end = data.find(b"\r\n", at)
    if line_end < 0:
        return None
    kind, line = data[at:at + 1], data[at + 1:line_end]
    after = line_end + 2
    if kind in b"+-:_,#(":
        return after, line.decode("latin-1") if kind == b"-" else "", False
    if kind in b"$!=":
        n = int(line)
        if n < 0:
            return after, "", False
        end = after + n + 2
        return (end, data[after:after + n].decode("latin-1") if kind == b"!" else "", False) if end <= len(data) else None
    if kind in b"*~>%":
        for _ in range(max(int(line), 0) * (2 if kind == b"%" else 1)):
            got = resp_element(data, after)
            if got is None:
                return None
            after = got[0]
        return after, "", kind == b">"
    raise ValueError(f"not RESP at {at}: {data[at:at + 20]!r}")


def command_words(data, at):
    """A command's words and its end, or None when incomplete."""
    if data[at:at + 1] != b"*":
        end = data.find(b"\n", at)
        return None if end < 0 else (data[at:end].strip().split(), end + 1)
    line_end = data.find(b"\r\n", at)
    if line_end < 0:
        return None
    count, after, words = int(data[at + 1:line_end]), line_end + 2, []
    for _ in range(count):
        le = data.find(b"\r\n", after)
        if le < 0:
            return None
        n = int(data[after + 1:le])
        if le + 2 + n + 2 > len(data):
            return None
        words.append(data[le + 2:le + 2 + n])
        after = le + 2 + n + 2
    return words, after


def words_text(words):
    out = []
    for i, w in enumerate(words):
        masked = words[0].upper() == b"AUTH" and i == len(words) - 1 and i > 0
        out.append("****" if masked else "".join(chr(b) if 32 <= b < 127 else f"\\x{b:02X}" for b in w))
    return clean(" ".join(out))


def redis_expected():
    rows = tshark("-Y", f"tcp.port=={redis_port} && tcp.len > 0", "-T", "fields", "-e", "frame.time_epoch",
                  "-e", "tcp.srcport", "-e", "tcp.dstport", "-e", "tcp.seq", "-e", "tcp.payload")
    segments = collections.defaultdict(list)
    for row in rows.splitlines():
        t, sport, dport, seq, payload = row.split("\t")
        client, direction = (int(sport), 1) if int(dport) == redis_port else (int(dport), 2)
        segments[client, direction].append((int(seq) - 1, bytes.fromhex(payload.replace(":", "")), float(t)))
    # Each direction's bytes in the order of the stream, each with the frame
    # that brought it first: a segment resent or come late fills its place once.
    streams = collections.defaultdict(dict)
    for (client, direction), segs in segments.items():
        size = max(at + len(chunk) for at, chunk, _ in segs)
        data, times = bytearray(size), [None] * size
        for at, chunk, t in segs:
            for i, b in enumerate(chunk):
                if times[at + i] is None:
                    data[at + i], times[at + i] = b, t
        streams[client][direction] = (data, times)
    out = {}
    for client, s in streams.items():
        (cdata, ctimes), (sdata, stimes) = s.get(1, (b"", [])), s.get(2, (b"", []))
        commands, at = [], 0
        while at < len(cdata) and (got := command_words(cdata, at)) is not None:
            commands.append((ctimes[at], got[0]))
            at = got[1]
        replies, at = [], 0
        while at < len(sdata) and (got := resp_element(sdata, at)) is not None:
            if not got[2]:
                replies.append((stimes[got[0] - 1], got[1]))
            at = got[0]
        user = db = ""
        out[client] = []
        for (begin, words), (end, err) in zip(commands, replies):
            name = words[0].upper()
            if not err and name == b"SELECT":
                db = words[1].decode()
            if not err and name == b"AUTH" and len(words) == 3:
                user = words[1].decode()
            out[client].append(stat(begin, end, words_text(words), err[:127].replace('"', ""), 1, user, db))
        out[client] += [stat(b, b, words_text(w), resp=0, user=user, dbname=db) for b, w in commands[len(replies):]]
    return out


# ---- the probe's records against them

# Conversations that lost or reordered segments: the probe picks up again
# at the next request, with the answer's times as far as it saw them; for
# them only the statements and their texts are compared.
lossy = {int(p) for line in tshark("-Y", "tcp.analysis.retransmission || tcp.analysis.out_of_order || "
                                   "tcp.analysis.lost_segment", "-T", "fields", "-e", "tcp.srcport",
                                   "-e", "tcp.dstport").split() for p in line.split("\t")}

got = collections.defaultdict(list)
for line in open(records):
    r = json.loads(line)
    if r["type"] in ("8", "9"):
        got[(r["type"], int(r["sport"]))].append(r)

failures, checked = [], collections.Counter()
for rtype, expected in (("8", pg_expected()), ("9", redis_expected())):  # noqa: the lossy set is above
    for client, want in expected.items():
        have = got.pop((rtype, client), [])
        if len(have) != len(want):
            failures.append(f"type {rtype} port {client}: {len(have)} records for {len(want)} statements: "
                            f"{[h['sql'][:40] for h in have]} / {[w['sql'][:40] for w in want]}")
            continue
        for h, w in zip(have, want):
            fields = {k: str(h[k]) for k in ("sql", "err", "resp", "user", "dbname")}
            wanted = {k: str(w[k]) for k in fields}
            begin, end = float(h["begintime"]), float(h["endtime"])
            response_ok = abs(int(h["response"]) - round((w["end"] - w["begin"]) * 1e6)) <= 1 if w["resp"] else \
                int(h["response"]) == 0
            times_ok = abs(begin - w["begin"]) < 0.0015 and abs(end - (w["end"] or w["begin"])) < 0.0015
            if client in lossy:
                fields, wanted = fields["sql"], wanted["sql"]
                response_ok = times_ok = True
            if fields != wanted or not response_ok or not times_ok:
                failures.append(f"type {rtype} port {client}: got {fields} response {h['response']} "
                                f"{h['begintime']}-{h['endtime']}, want {wanted} {w['begin']:.6f}-{w['end']:.6f}")
            checked[rtype] += 1
for (rtype, client), have in got.items():
    failures.append(f"type {rtype} port {client}: {len(have)} records of no conversation seen")
if failures or not checked["8"] or not checked["9"]:
    sys.exit("\n".join(failures[:20]) or f"nothing checked: {dict(checked)}")
print(f"{checked['8']} PostgreSQL statements and {checked['9']} Redis commands as tshark shows them")
