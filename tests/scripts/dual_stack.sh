#!/bin/bash
# The same HTTP and MySQL exchanges over IPv4 and IPv6 on loopback (curl -4 and -6 against nginx listening on
# 127.0.0.1 and ::1, the MariaDB client over 127.0.0.1 and ::1), captured by tcpdump and read back through the
# whole frame path: each family's conversations agree with tshark, every request nginx logged is a record of its
# family, and each IPv6 transaction carries the fields of its IPv4 twin.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18187
DB_PORT=13317
ports_free $PORT $DB_PORT

start_nginx $PORT "log_format fam escape=none '\$remote_addr|\$request_uri|\$status';
  access_log $WORK/nginx/access.log fam;" "listen [::1]:$PORT;"
start_mariadb $DB_PORT 127.0.0.1,::1  # a socket for each family
sql -h ::1 -e "CREATE DATABASE shop; CREATE TABLE shop.t1 (id INT PRIMARY KEY, name VARCHAR(20));
  INSERT INTO shop.t1 VALUES (1, 'one'), (2, 'two')" || fail "the tables were not made"

start_capture "$WORK/dual.pcap" "tcp port $PORT or tcp port $DB_PORT"
for fam in 4 6; do
  addr=$([ $fam -eq 4 ] && echo 127.0.0.1 || echo ::1)
  # One host name for both, so that the Host headers are alike; client ports from one window of 1000 fall into
  # distinct session buckets.
  web() { curl -s -o /dev/null -$fam --resolve "dual.test:$PORT:$addr" --local-port 41000-41999 "$@"; }
  url=http://dual.test:$PORT
  web "$url/index.html?plain=1"
  web -o /dev/null -o /dev/null "$url/index.html?ka=1" "$url/big.txt?ka=2" "$url/missing?ka=3"  # keep-alive
  # The last hop written long and in capitals: the record holds it in its short form.
  web -H 'X-Forwarded-For: 10.0.0.1, 2001:DB8:0:0::17' "$url/index.html?xff=1"
  web -A 'Wirelane-Test/1.0' -H 'Content-Type: text/plain' -d 'a=1' "$url/index.html?post=1"
  python3 -c 'import socket, struct, sys, time  # a client that drops its connection with a reset
c = socket.create_connection((sys.argv[1], int(sys.argv[2])))
c.sendall(b"GET /index.html?reset=1 HTTP/1.1\r\nHost: dual.test:%s\r\n\r\n" % sys.argv[2].encode())
c.recv(4096)
time.sleep(0.05)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.close()' $addr $PORT
  # --force goes on after the error; the missing table fails the same way in both families.
  sql -h $addr -D shop --force >"$WORK/client$fam.out" 2>&1 <<'SQL' || true
SELECT id, name FROM t1 WHERE id = 1;
UPDATE t1 SET name = 'uno' WHERE id = 1;
SELECT * FROM missing_table;
UPDATE t1 SET name = 'one' WHERE id = 1;
DELETE FROM t1 WHERE id = 3;
SQL
  grep -q "ERROR 1146" "$WORK/client$fam.out" || fail "IPv$fam: the client saw no missing table: $(cat "$WORK/client$fam.out")"
done
stop_capture
stop_mariadb

# An endpoint of an application type takes every port of its address: each server's part of the capture is read
# with its own two endpoints, one a family.
for part in web:$PORT:3 db:$DB_PORT:5; do
  IFS=: read -r name port proto <<<"$part"
  tcpdump -r "$WORK/dual.pcap" -w "$WORK/$name.pcap" "tcp port $port" 2>/dev/null
  printf '%s\n' "endpoint=127.0.0.1:$port|$proto|$proto" "endpoint=[::1]:$port|$proto|$proto" >"$WORK/$name.conf"
  "$PROBE" --read "$WORK/$name.pcap" --conf "$WORK/$name.conf" --json-out - >"$WORK/$name.json" 2>"$WORK/$name.err" \
    || fail "the probe on $name.pcap: $(cat "$WORK/$name.err")"
  result=$(python3 "$SRC/tests/scripts/pairs_vs_tshark.py" "$WORK/$name.pcap" "$WORK/$name.json" 2>&1) \
    && pass "$name, both families: $result" || fail "$name: $result"
done

# Per family: pair records of both servers, each request nginx logged as a record (address, URL, status), and
# the transactions alike but for what differs by connection (times, ports, addresses) and the frame bytes (an
# IPv6 header is 20 bytes longer).
cat "$WORK/web.json" "$WORK/db.json" >"$WORK/dual.json"
result=$(python3 - "$WORK/dual.json" "$WORK/nginx/access.log" $PORT $DB_PORT 2>&1 <<'PY'
import json, sys
recs = [json.loads(line) for line in open(sys.argv[1])]
logged = [line.rstrip("\n").split("|") for line in open(sys.argv[2])]
varying = {"bytes", "time", "strBegintime", "begintime", "endtime", "response", "pageload", "srcConDelayUsec",
           "dstConDelayUsec", "srcDelayUsec", "dstDelayUsec", "sport", "src", "dst"}
twins, bad = [], []
for addr in ("127.0.0.1", "::1"):
    mine = [r for r in recs if r.get("src") == addr]
    for port in sys.argv[3:5]:
        if not [r for r in mine if r["type"] == "1" and r["dst"] == addr and r["dport"] == port]:
            bad.append(f"{addr}: no pair record of port {port}")
    tx = [r for r in mine if r["type"] in ("2", "5")]
    bad += [f"{addr}: {r}" for r in tx if r["dst"] != addr]
    web = sorted((r["url"], r["retcode"]) for r in tx if r["type"] == "2")
    want = sorted((uri, status) for a, uri, status in logged if a == addr)
    if len(want) < 7 or web != want:
        bad.append(f"{addr}: nginx logged {want}, the records hold {web}")
    if not any(r["type"] == "5" and r["err"] for r in tx) or not any(r["forward"] == "2001:db8::17"
                                                                       for r in tx if r["type"] == "2"):
        bad.append(f"{addr}: no MySQL error or no IPv6 forward in {tx}")
    twins.append(sorted(json.dumps({k: v for k, v in r.items() if k not in varying}, sort_keys=True) for r in tx))
bad += [f"IPv4 only: {r}" for r in sorted(set(twins[0]) - set(twins[1]))]
bad += [f"IPv6 only: {r}" for r in sorted(set(twins[1]) - set(twins[0]))]
if twins[0] != twins[1] and not bad:
    bad.append("the same transactions, in other numbers")
print(f"{len(twins[1])} transactions a family" if not bad else "\n".join(bad))
sys.exit(1 if bad else 0)
PY
) && pass "IPv6 transactions are their IPv4 twins: $result" || fail "the transactions of the two families: $result"
finish
