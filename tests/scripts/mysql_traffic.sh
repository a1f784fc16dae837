#!/bin/bash
# MySQL statements and errors of the MariaDB client and server on loopback (TLS
# off), captured by tcpdump and read back through the whole frame path; and the
# handshake times in the records of a MariaDB session and a keep-alive HTTP
# connection that outlive two scans.
source "$(dirname "$0")/common.bash"
needs_root
PORT=13306
HTTP_PORT=18182
ports_free $PORT $HTTP_PORT

start_mariadb $PORT 127.0.0.1
start_capture "$WORK/mysql.pcap" "tcp port $PORT"

# One connection; --force goes on after the errors. The statement over several lines has tab indents; the
# syntax error keeps its keyword pair so that it opens a transaction of its own. SET NAMES holds no statement
# keyword: its error belongs to no statement. The UPDATE after the missing table succeeds.
sql --force >"$WORK/client.out" 2>&1 <<'SQL' || true
CREATE DATABASE shop;
USE shop;
CREATE TABLE t1 (id INT PRIMARY KEY, name VARCHAR(20));
INSERT INTO t1 VALUES (1, "one"), (2, 'two');
SELECT id, name FROM t1 WHERE id = 1;
UPDATE t1 SET name = 'uno' WHERE id = 1;
SELECT
	id,
	name
FROM t1
WHERE id > 0;
DELETE FROM t1 WHERE id = 2;
SET NAMES no_such_charset;
SELECT * FROM missing_table;
UPDATE t1 SET name = 'one' WHERE id = 1;
SELECT * FROM WHERE t1;
SQL
grep -q "ERROR 1146" "$WORK/client.out" && grep -q "ERROR 1064" "$WORK/client.out" \
  && grep -q "ERROR 1115" "$WORK/client.out" \
  || fail "the client saw no missing table, syntax error and unknown character set: $(cat "$WORK/client.out")"
stop_capture

# One MariaDB session and one keep-alive HTTP connection side by side, each asking every 4.4 s for 22 s, so
# that both outlive two scans: every transaction carries the handshake times that tshark measures for its
# connection, also those after a scan has cleared the interval's counters. The web server and its client
# are on 127.0.0.3: an endpoint of an application type takes every port of its address.
start_nginx $HTTP_PORT "access_log off; server { listen 127.0.0.3:$HTTP_PORT; root $WORK/nginx/html; }"
start_capture "$WORK/legs.pcap" "tcp port $PORT or tcp port $HTTP_PORT"
python3 - $HTTP_PORT <<'PY' &
import http.client, sys, time
web = http.client.HTTPConnection("127.0.0.3", int(sys.argv[1]), source_address=("127.0.0.3", 0))
for i in range(6):
    time.sleep(0 if i == 0 else 4.4)
    web.request("GET", f"/index.html?legs={i}")
    answer = web.getresponse()
    answer.read()
    if answer.status != 200 or answer.will_close:
        sys.exit(f"request {i}: status {answer.status}, the connection closes")
PY
web=$!
for i in $(seq 0 5); do [ "$i" -eq 0 ] || sleep 4.4; echo "SELECT $i AS n FROM DUAL;"; done | sql >/dev/null \
  || fail "the long MariaDB session"
wait $web || fail "the keep-alive HTTP connection"
stop_capture
printf '%s\n' "endpoint=127.0.0.1:$PORT|5|1" "endpoint=127.0.0.3:$HTTP_PORT|3|2" >"$CONF"
"$PROBE" --read "$WORK/legs.pcap" --json-out - >"$WORK/legs.json" 2>/dev/null
result=$(python3 "$SRC/tests/scripts/pairs_vs_tshark.py" "$WORK/legs.pcap" "$WORK/legs.json" 2,5 2>&1) \
  && pass "$result" || fail "$result"

# Users and schemas, in a capture of their own: logins with and without a schema; the client sends USE and \u as
# COM_INIT_DB, mariadb-slap its queries as they stand; each refused once for a database that does not exist.
sql -e "CREATE DATABASE other; CREATE TABLE other.t2 (id INT); CREATE USER shopper@'127.0.0.1' IDENTIFIED BY 'Pw-93kq';
  GRANT ALL ON *.* TO shopper@'127.0.0.1'"
login=(--no-defaults --protocol=TCP -h 127.0.0.1 -P $PORT -u shopper -pPw-93kq --skip-ssl)
start_capture "$WORK/logins.pcap" "tcp port $PORT"
mariadb "${login[@]}" -D shop --force >"$WORK/logins.out" 2>&1 <<'SQL' || true
SELECT id FROM t1 WHERE id = 1;
USE other;
SELECT id FROM t2;
USE no_such_db;
SELECT id FROM t2 WHERE id > 0;
SQL
mariadb "${login[@]}" >>"$WORK/logins.out" 2>&1 <<'SQL'
SELECT id FROM shop.t1 WHERE id = 1;
\u shop
SELECT name FROM t1 WHERE id = 1;
SQL
mariadb-slap "${login[@]}" --create-schema=shop --no-drop --iterations=1 --concurrency=1 --delimiter=';' \
  --query='SELECT id FROM t1 WHERE id < 2;USE other;SELECT id FROM t2 WHERE id = 1;USE no_such_db' \
  >>"$WORK/logins.out" 2>&1 || true
stop_capture
stop_mariadb
unit_test "statements, errors, users and schemas read from the MariaDB conversations" 'MysqlTraffic.*' \
  WIRELANE_MYSQL_PCAP="$WORK/mysql.pcap" WIRELANE_MYSQL_LOGINS_PCAP="$WORK/logins.pcap"
finish
