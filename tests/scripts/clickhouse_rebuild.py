#!/usr/bin/env python3
"""clickhouse_rebuild.py HTTP_URL DATABASE RECORDS.json: rebuilds every row of the record tables as the JSON line
the probe writes and compares them, as a multiset, with the lines of RECORDS.json (end-of-scan records aside).
Every row's host must be the same name. Exit 0 when all agree, 1 with the first differences otherwise."""
import collections
import sys
import urllib.error
import urllib.parse
import urllib.request

TABLES = {"pairs": {"1"}, "http": {"2"}, "db": {"4", "5", "6", "8", "9"}, "tls": {"7"}}
TWO_PLACES = {"avgPktLen", "srcDelayUsec", "dstDelayUsec"}  # every other Float64 key has three


def query(url, database, sql):
    req = urllib.request.Request(url + "?" + urllib.parse.urlencode({"database": database}), data=sql.encode())
    try:
        with urllib.request.urlopen(req) as reply:
            return reply.read().decode("ascii")  # texts come as hex
    except urllib.error.HTTPError as e:
        sys.exit(f"{sql[:60]}...: {e.read().decode(errors='replace').strip()}")


def utf8_length(b, i):
    """The length of the well-formed UTF-8 sequence at b[i], or 0 (json.cpp's utf8Length)."""
    c = b[i]
    n = 4 if 0xF0 <= c <= 0xF4 else 3 if c >= 0xE0 and c < 0xF0 else 2 if 0xC2 <= c <= 0xDF else 0
    if n == 0 or i + n > len(b) or any(b[k] & 0xC0 != 0x80 for k in range(i + 1, i + n)):
        return 0
    if n == 3 and ((c == 0xE0 and b[i + 1] < 0xA0) or (c == 0xED and b[i + 1] >= 0xA0)):
        return 0
    if n == 4 and ((c == 0xF0 and b[i + 1] < 0x90) or (c == 0xF4 and b[i + 1] >= 0x90)):
        return 0
    return n


def escape(b):
    """A text's bytes as the probe writes them between quotes."""
    out, i = bytearray(), 0
    while i < len(b):
        c = b[i]
        n = utf8_length(b, i) if c >= 0x80 else 0
        if n:
            out += b[i:i + n]
            i += n
            continue
        if c in b'"\\':
            out += b"\\" + bytes([c])
        elif 0x20 <= c < 0x7F:
            out.append(c)
        else:
            out += b"\\u00%02x" % c
        i += 1
    return bytes(out)


def text(name, kind, value):
    """One value of a row (as the query below prints it) as the record holds it."""
    if kind == "String":
        return escape(bytes.fromhex(value))
    if kind == "Float64":
        f = float(value)
        if f == 0 and value.startswith("-"):
            return b"0.00"  # nothing to divide by
        return b"%.*f" % (2 if name in TWO_PLACES else 3, f)
    n = int(value)
    if name in ("begintime", "endtime"):
        return b"%d.%03d" % divmod(n, 1000)
    if kind == "UInt32" and n >= 1 << 31:
        return b"%d" % (n - (1 << 32))  # the probe prints its 32-bit counters signed
    return b"%d" % n


def rebuild(url, database):
    lines, hosts, bad = [], collections.Counter(), []
    for table, types in TABLES.items():
        cols = [c.split("\t")[:2] for c in query(url, database, f"DESCRIBE TABLE {table} FORMAT TabSeparated").split("\n")[:-1]]
        if not cols:
            sys.exit(f"no table {table}")
        shown = ", ".join(f"hex(`{n}`)" if k == "String" else f"toUInt32(`{n}`)" if k == "DateTime" else f"`{n}`"
                          for n, k in cols)
        for row in query(url, database, f"SELECT {shown} FROM {table} FORMAT TabSeparated").split("\n")[:-1]:
            values = row.split("\t")
            record = {n: text(n, k, v) for (n, k), v in zip(cols, values)}
            hosts[record.pop("host")] += 1
            if record["type"].decode() not in types:
                bad.append(f"a record of type {record['type'].decode()} in {table}")
            lines.append(b"{" + b",".join(b'"%s":"%s"' % (n.encode(), v) for n, v in record.items()) + b"}")
    return lines, hosts, bad


def main():
    url, database, records = sys.argv[1:4]
    want = [line.rstrip(b"\n") for line in open(records, "rb") if not line.startswith(b'{"type":"99"')]
    got, hosts, bad = rebuild(url, database)
    if len(hosts) != 1 or b"" in hosts:
        bad.append(f"host names {dict(hosts)}: one non-empty name wanted")
    missing = collections.Counter(want) - collections.Counter(got)
    extra = collections.Counter(got) - collections.Counter(want)
    bad += [f"only in {records}: {line.decode(errors='replace')}" for line in list(missing)[:3]]
    bad += [f"only in the tables: {line.decode(errors='replace')}" for line in list(extra)[:3]]
    if bad:
        print(f"{sum(missing.values())} records not rebuilt, {sum(extra.values())} rows not in {records}")
        print("\n".join(bad))
        sys.exit(1)
    types = sorted({line.split(b'"')[3].decode() for line in want}, key=int)
    print(f"{len(want)} records of types {' '.join(types)} rebuilt exactly")


if __name__ == "__main__":
    main()
