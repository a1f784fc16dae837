#!/bin/bash
# PostgreSQL and Redis statements of real clients and servers, captured by
# tcpdump and read back through the whole frame path, against tshark. They
# run in a network namespace of the test's own whose loopback has a
# 1500-byte MTU and no segmentation offload, so that frames are as a
# network card shows them.
source "$(dirname "$0")/common.bash"
needs_root
PY=/usr/bin/python3  # Debian's, with its psycopg and redis modules
NS=wl-db-$$
ip netns add $NS
cleanups+=("ip netns pids $NS | xargs -r kill -9; ip netns del $NS")
in_ns() { ip netns exec $NS "$@"; }
in_ns ip link set lo up mtu 1500 gso_max_size 1500

# PostgreSQL on 127.0.0.3:5432 (an SSL certificate of its own), Redis on 127.0.0.2:6379, their clients on
# 127.0.0.1: an endpoint of an application type takes every port of its address, either end.
pg=$WORK/pg
mkdir -p "$pg" && chown postgres "$pg"
runuser -u postgres -- /usr/lib/postgresql/15/bin/initdb -D "$pg/data" -A trust -U postgres >"$pg/initdb.log" \
  || { cat "$pg/initdb.log"; exit 1; }
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pg/data/server.key" -out "$pg/data/server.crt" \
  -subj /CN=db.wirelane.test -days 2 2>/dev/null
chown postgres "$pg/data/server.key" "$pg/data/server.crt" && chmod 600 "$pg/data/server.key"
background in_ns runuser -u postgres -- /usr/lib/postgresql/15/bin/postgres -D "$pg/data" -p 5432 -h 127.0.0.3 \
  -k "$pg" -c ssl=on -c fsync=off >"$pg/server.log" 2>&1
background in_ns redis-server --port 6379 --bind 127.0.0.2 --save '' --appendonly no --dir "$WORK" \
  >"$WORK/redis.log" 2>&1
psql=(in_ns psql -X -q "host=127.0.0.3 user=postgres dbname=postgres sslmode=disable")
for _ in $(seq 100); do "${psql[@]}" -c 'SELECT 1' >/dev/null 2>&1 && in_ns redis-cli -h 127.0.0.2 ping >/dev/null 2>&1 \
  && break; sleep 0.2; done
in_ns redis-cli -h 127.0.0.2 ACL SETUSER alice on '>Pw-5rt' '~*' '&*' '+@all' >/dev/null

background ip netns exec $NS tcpdump -i lo -U -w "$WORK/db.pcap" "tcp port 5432 or tcp port 6379" 2>"$WORK/tcpdump.err"
capture=$bg  # tcpdump itself: ip runs it in its place
for _ in $(seq 50); do grep -q "listening on" "$WORK/tcpdump.err" && break; sleep 0.1; done

# psql: the simple query protocol, a missing table, a syntax error, a statement over several lines.
"${psql[@]}" >"$WORK/psql.out" 2>&1 <<'SQL'
CREATE TABLE t1 (id INT PRIMARY KEY, name TEXT);
INSERT INTO t1 VALUES (1, 'one'), (2, "two");
SELECT id, name FROM t1 WHERE id = 1;
UPDATE t1 SET name = 'uno' WHERE id = 1;
SELECT
	id,
	name
FROM t1
WHERE id > 0;
DELETE FROM t1 WHERE id = 2;
SELECT * FROM missing_table;
SELECT * FROM WHERE t1;
SQL
grep -q 42P01 "$WORK/psql.out" || grep -q 'does not exist' "$WORK/psql.out" || fail "psql saw no missing table"
# psycopg: the extended protocol, with parameters; a named prepared statement run twice; an error; several
# Executes before one Sync (executemany).
in_ns $PY - <<'PY' || fail "the psycopg client"
import psycopg
with psycopg.connect("host=127.0.0.3 user=postgres dbname=postgres sslmode=disable") as c:
    c.execute("SELECT id FROM t1 WHERE id = %s", (1,), prepare=True)
    c.execute("SELECT id FROM t1 WHERE id = %s", (3,), prepare=True)
    c.execute("SELECT name FROM t1 WHERE id = %s", (1,))
    try:
        c.execute("SELECT nothing FROM t1 WHERE id = %s", (1,))
    except psycopg.errors.UndefinedColumn:
        c.rollback()
    with c.cursor() as cur:
        cur.executemany("INSERT INTO t1 VALUES (%s, %s)", [(10, "a"), (11, "b"), (12, "c")])
PY
# A session that takes SSL: its handshake is read as TLS.
"${psql[@]/sslmode=disable/sslmode=require}" -c 'SELECT 2' >/dev/null || fail "psql over SSL"

# redis-cli: strings, a wrong type, an unknown command, SELECT, AUTH with a user; python3-redis: a pipeline
# of 100 commands.
in_ns redis-cli -h 127.0.0.2 >"$WORK/redis.out" 2>&1 <<'REDIS'
SET k1 v1
GET k1
LPUSH l1 a
INCR l1
NOSUCHCMD x
SELECT 2
SET k2 "two words"
AUTH alice Pw-5rt
GET k2
REDIS
grep -q WRONGTYPE "$WORK/redis.out" || fail "redis-cli saw no wrong type: $(cat "$WORK/redis.out")"
in_ns $PY - <<'PY' || fail "the python3-redis pipeline"
import redis
pipe = redis.Redis(host="127.0.0.2").pipeline(transaction=False)
for i in range(100):
    pipe.set(f"p{i}", i)
assert pipe.execute() == [True] * 100
PY
sleep 0.5
kill $capture && wait $capture 2>/dev/null || true

printf '%s\n' "endpoint=127.0.0.3|7|pg" "endpoint=127.0.0.2|8|redis" >"$CONF"
"$PROBE" --read "$WORK/db.pcap" --json-out - >"$WORK/db.json" 2>"$WORK/probe.log" || fail "the probe: $(cat "$WORK/probe.log")"
result=$($PY "$SRC/tests/scripts/db_vs_tshark.py" "$WORK/db.pcap" "$WORK/db.json" 5432 6379 2>&1) \
  && pass "$result" || fail "$result"
expect "the SSL session's handshake, read as TLS" 1 "$(grep -c '"type":"7"' "$WORK/db.json")"
# Pair records carry the head of a statement of their conversation.
heads=$(jq -r 'select(.type == "1" and .dport == "6379") | .urlsql' "$WORK/db.json" | sort -u)
sqls=$(jq -r 'select(.type == "9") | .sql[:32]' "$WORK/db.json" | sort -u)
[ -n "$heads" ] && [ -z "$(comm -23 <(echo "$heads") <(echo "$sqls"))" ] && pass "the pair records' urlsql: $heads" \
  || fail "urlsql '$heads'"
finish
