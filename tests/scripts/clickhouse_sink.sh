#!/bin/bash
# The probe's records in ClickHouse, tables made by --create-tables (and by the client from the same file): every
# record of a capture read, and of a live capture across an outage of the server, comes back from its row byte for
# byte, once; the checker notices a changed value; the Distributed tables read them over a cluster; a wrong URL,
# database or table is said clearly and the records still go to the probe's other sinks.
source "$(dirname "$0")/common.bash"
needs_root
HTTP=18431
TCP=19431
WEB=18432
URL="http://127.0.0.1:$HTTP/?database=wirelane"
ports_free $HTTP $TCP $WEB $((HTTP + 9))
start_clickhouse ch $HTTP $TCP wirelane $TCP  # a cluster of one shard: this server
for _ in 1 2; do  # a second time changes nothing
  "$PROBE" --clickhouse "$URL" --create-tables >/dev/null || fail "--create-tables"
done
chq ch "CREATE DATABASE other"
clickhouse-client --port $TCP --database other --multiquery <"$SRC/data/clickhouse.sql" || fail "the schema by the client"
expect "the tables, either way" "db http pairs tls|db http pairs tls" \
  "$(chq ch "SHOW TABLES FROM wirelane" | xargs)|$(chq ch "SHOW TABLES FROM other" | xargs)"
rebuild() { python3 "$SRC/tests/scripts/clickhouse_rebuild.py" "http://127.0.0.1:$HTTP/" wirelane "$1" 2>&1; }

# A capture read: half the conversations over IPv6, the endpoints of both families.
"$BUILD/wirelane-genpcap" "$WORK/mixed.pcap" 20000 200 400 mixed half6
for ends in 1-8:3 9-12:1 13-16:5; do
  IFS=- read -r lo hi <<<"${ends%:*}"
  printf 'endpoint=%s|%s|%s\n' "10.2.0.$lo-10.2.0.$hi" "${ends#*:}" 1$lo "fd00:10:2::$(printf %x $lo)-fd00:10:2::$(printf %x $hi)" \
    "${ends#*:}" 1$lo
done >"$WORK/mixed.conf"
"$PROBE" --read "$WORK/mixed.pcap" --conf "$WORK/mixed.conf" --json-out "$WORK/records.json" --clickhouse "$URL" \
  2>"$WORK/read.log" || fail "the probe: $(tail -3 "$WORK/read.log")"
expect "records of the types a capture gives" "1 2 5 7 99" "$(jq -r .type "$WORK/records.json" | sort -nu | xargs)"
result=$(rebuild "$WORK/records.json") && pass "$result" || fail "$result"
grep -q "ClickHouse: [1-9][0-9]* batches ([1-9][0-9]* records) sent, 0 attempts retried, 0 batches (0 records) dropped" \
  "$(logfile)" && pass "the end line counts them" || fail "end line: $(grep "ClickHouse:" "$(logfile)" | tail -1)"

# One value changed in the records: the checker names it.
while IFS='|' read -r what from to; do
  grep -m1 -n "$from" "$WORK/records.json" | cut -d: -f1 >"$WORK/line"
  sed "$(cat "$WORK/line")s/$from/$to/" "$WORK/records.json" >"$WORK/changed.json"
  result=$(rebuild "$WORK/changed.json") && fail "$what: not noticed" \
    || { grep -qF "only in the tables" <<<"$result" && pass "$what: noticed" || fail "$what: $result"; }
done <<'CASES'
nothing to divide by, or a quotient of zero|"srcLossRatio":"0.00"|"srcLossRatio":"0.000"
a time in milliseconds|"begintime":"|"begintime":"1
a counter|"dstPkts":"|"dstPkts":"1
CASES
# The Distributed tables over the cluster.
sed -n 's/^-- \(CREATE TABLE .*Distributed.*\)/\1;/p' "$SRC/data/clickhouse.sql" \
  | clickhouse-client --port $TCP --database wirelane --multiquery || fail "the Distributed tables"
counts() { chq ch "SELECT (SELECT count() FROM wirelane.pairs$1) + (SELECT count() FROM wirelane.http$1)
  + (SELECT count() FROM wirelane.db$1) + (SELECT count() FROM wirelane.tls$1)"; }
expect "the Distributed tables read every row" "$(grep -vc '"type":"99"' "$WORK/records.json")" "$(counts _all)"

# A live capture of curl against nginx, the server away for longer than a scan: afterwards every record is in the
# tables once, and the log says when sending failed and when it went again.
for t in pairs http db tls; do chq ch "TRUNCATE TABLE wirelane.$t"; done
start_nginx $WEB
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$WEB|3|7" >"$WORK/live.conf"
background "$PROBE" --conf "$WORK/live.conf" --json-out "$WORK/live.json" --clickhouse "$URL" >"$WORK/live.out" 2>&1
probe=$bg
sleep 5  # the card is looked for once a second, opening it takes two
traffic() { for i in $(seq "$1"); do curl -s -o /dev/null "http://127.0.0.1:$WEB/index.html?i=$2$i"; sleep 0.2; done; }
traffic 10 a
stop_clickhouse ch
traffic 60 b  # twelve seconds: a scan's records wait
start_clickhouse ch $HTTP $TCP wirelane $TCP
traffic 10 c
sleep 11  # the last scan's pairs
kill -TERM $probe
wait $probe || fail "the live probe's status"
result=$(rebuild "$WORK/live.json") && pass "across the outage: $result" || fail "across the outage: $result"
grep -q "ClickHouse: sending to http://127.0.0.1:$HTTP fails: Couldn't connect to server" "$(logfile)" \
  && grep -q "ClickHouse: sending to http://127.0.0.1:$HTTP works again after" "$(logfile)" \
  && pass "the log says when sending failed and when it resumed" || fail "$(grep ClickHouse "$(logfile)")"
grep -q "stopped by signal 15: .*; ClickHouse: [1-9][0-9]* batches .* sent, [1-9][0-9]* attempts retried, 0 batches (0" \
  "$(logfile)" && pass "the stop line counts them" || fail "stop line: $(grep "stopped by" "$(logfile)" | tail -1)"

# Wrong settings: said clearly, the records still written to --json-out, the probe ends as usual.
refused 2 "'ftp://127.0.0.1' is not a ClickHouse URL" --read "$WORK/mixed.pcap" --clickhouse ftp://127.0.0.1
refused 2 "--create-tables needs --clickhouse URL" --create-tables
chq ch "CREATE DATABASE broken"
chq ch "CREATE TABLE broken.pairs (type UInt8, time DateTime) ENGINE = MergeTree() PARTITION BY toYYYYMMDD(time) ORDER BY time"
for bad in "http://127.0.0.1:$((HTTP + 9))/?database=wirelane|no server there" "http://127.0.0.1:$HTTP/?database=nowhere|no database" \
           "http://127.0.0.1:$HTTP/?database=broken|a table without the columns"; do
  "$PROBE" --read "$WORK/mixed.pcap" --conf "$WORK/mixed.conf" --json-out "$WORK/bad.json" --clickhouse "${bad%|*}" \
    >"$WORK/bad.out" 2>&1 || fail "${bad#*|}: status $?"
  expect "${bad#*|}: the records still written" "$(wc -l <"$WORK/records.json")" "$(wc -l <"$WORK/bad.json")"
  case ${bad#*|} in
  "no server there") want="$((HTTP + 9)) fails: Couldn't connect to server; the records wait" ;;
  "no database") want="fails: HTTP 404: Code: 81.*nowhere" ;;
  *) want="refused a batch of [0-9]+ records for table pairs: HTTP 500: Code: 117" ;;
  esac
  said=$(grep -E "ClickHouse: .*$want" "$(logfile)" | tail -1)
  [ -n "$said" ] && pass "${bad#*|}: $(cut -c21-140 <<<"$said")" || fail "${bad#*|}: $(grep ClickHouse "$(logfile)" | tail -3)"
done
# A queue of 1 MB that fills while nothing is taken: the oldest batches go, counted and logged.
cp "$WORK/mixed.conf" "$WORK/small.conf" && echo clickhouseQueue=1 >>"$WORK/small.conf"
"$PROBE" --read "$WORK/mixed.pcap" --conf "$WORK/small.conf" --json-out /dev/null \
  --clickhouse "http://127.0.0.1:$((HTTP + 9))/?database=wirelane" >/dev/null 2>&1 || fail "a small queue: status $?"
grep -q "the queue of batches waiting for http://127.0.0.1:$((HTTP + 9)) is full (1 MB)" "$(logfile)" \
  && tail -1 "$(logfile)" | grep -qE "ClickHouse: 0 batches \(0 records\) sent, .* [1-9][0-9]* batches \([0-9]+ records\) dropped" \
  && pass "a full queue drops the oldest batches, logged and counted" || fail "a small queue: $(grep ClickHouse "$(logfile)" | tail -2)"
finish
