#!/bin/bash
# query --clickhouse across probes: two servers make a cluster of two shards; one probe writes through Distributed
# tables, one into its own server's tables, a third (live, the only one with a card, hence a deviceId) too. The
# answer over the Distributed table, for a table of filters, keywords and pages, is the union of the three probes'
# own store queries, line for line and in CSV, oldest first; --device keeps one probe; bad input is said clearly.
source "$(dirname "$0")/common.bash"
needs_root
H1=18451 T1=19451 H2=18452 T2=19452 WEB=18453 DEAD=18459
ports_free $H1 $T1 $H2 $T2 $WEB $DEAD
start_clickhouse a $H1 $T1 wirelane $T1 $T2
start_clickhouse b $H2 $T2 wirelane $T1 $T2
for s in a b; do
  port=$(cut -d' ' -f1 "$WORK/$s/ports")
  "$PROBE" --clickhouse "http://127.0.0.1:$port/?database=wirelane" --create-tables >/dev/null || fail "tables on $s"
  sed -n 's/^-- \(CREATE TABLE .*Distributed.*\)/\1;/p' "$SRC/data/clickhouse.sql" \
    | clickhouse-client --port "$(cut -d' ' -f2 "$WORK/$s/ports")" --database wirelane --multiquery || fail "Distributed on $s"
done
# A database whose record tables are Distributed ones: a probe writes into it as into any other.
chq a "CREATE DATABASE spread"
for t in pairs http db tls; do chq a "CREATE TABLE spread.$t AS wirelane.$t ENGINE = Distributed(wirelane, wirelane, $t, rand())"; done
URL="http://127.0.0.1:$H1/?database=wirelane"

probe_conf() {  # NAME: a probe's configuration, with a store of its own
  mkdir -p "$WORK/store-$1"
  printf '%s\n' cardMac=000000000000 "exportPath=$WORK/store-$1" exportSpace=100 "endpoint=10.2.0.1-10.2.0.16|3|1" \
    "endpoint=fd00:10:2::1-fd00:10:2::10|3|1" "endpoint=127.0.0.1:$WEB|3|7" >"$WORK/$1.conf"
}
"$BUILD/wirelane-genpcap" "$WORK/v4.pcap" 6000 100 200 mixed ipv4
"$BUILD/wirelane-genpcap" "$WORK/v6.pcap" 6000 100 200 mixed half6
for p in "v4|http://127.0.0.1:$H1/?database=spread&insert_distributed_sync=1" "v6|http://127.0.0.1:$H2/?database=wirelane"; do
  probe_conf "${p%%|*}"
  "$PROBE" --conf "$WORK/${p%%|*}.conf" --clickhouse "${p#*|}" --read "$WORK/${p%%|*}.pcap" >"$WORK/${p%%|*}.out" 2>&1 \
    || fail "probe ${p%%|*}: $(tail -2 "$WORK/${p%%|*}.out")"
done
start_nginx $WEB
probe_conf live
background "$PROBE" --conf "$WORK/live.conf" --clickhouse "http://127.0.0.1:$H2/?database=wirelane" >"$WORK/live.out" 2>&1
live=$bg
background bash -c "while :; do curl -s -o /dev/null http://127.0.0.1:$WEB/index.html; sleep 0.3; done"
sleep 18  # the card opens within seconds, and a scan's pairs come every ten
kill $bg
kill -TERM $live
wait $live || fail "the live probe's status"

stored() {  # ARGS...: the three stores' answers, their CSV in $WORK/s.csv
  for s in v4 v6 live; do "$PROBE" query --store "$WORK/store-$s" "$@" --csv "$WORK/$s.csv" || fail "query of store $s"; done
  { cat "$WORK/v4.csv"; tail -qn +2 "$WORK/v6.csv" "$WORK/live.csv"; } >"$WORK/s.csv"
}
asked() { "$PROBE" query --clickhouse "$URL" "$@" || fail "query --clickhouse $*"; }
expect "the shards hold the rows written through Distributed tables (v4), and the other probe's (v6)" "v4|v4 v6" "$(for s in a b; do
  chq $s "SELECT if(position(src, ':') > 0, 'v6', 'v4') AS f FROM wirelane.pairs WHERE deviceId = '' GROUP BY f ORDER BY f" | xargs
  done | paste -sd'|')"
expect "records without a card's id, and with the live probe's" 'deviceId: deviceId:000000000000' \
  "$(stored --from 0 --to 9999999999 | grep -o '"deviceId":"[^"]*"' | sort -u | xargs)"

# Each case: the store queries' union, and the ClickHouse answer, as sorted lines and CSV rows; the answer oldest first.
while IFS='|' read -r what args; do
  eval "set -- $args"
  stored "$@" >"$WORK/s.json"
  asked "$@" --csv "$WORK/c.csv" >"$WORK/c.json"
  n=$(wc -l <"$WORK/c.json")
  [ "$n" -gt 0 ] || fail "$what: no record"
  same "$what: $n records, as the stores give them" <(sort "$WORK/s.json") <(sort "$WORK/c.json")
  same "$what: the same CSV" <(sort "$WORK/s.csv") <(sort "$WORK/c.csv")
  jq -r .time "$WORK/c.json" | sort -nc || fail "$what: not oldest first"
done <<'CASES'
everything|--from 0 --to 9999999999
a period, end excluded|--from 1767225610 --to 1767225620
an address|--from 0 --to 9999999999 --filter 10.2.0.3
address:port|--from 0 --to 9999999999 --filter 10.2.0.3:80
a port|--from 0 --to 9999999999 --filter 3306
an IPv4 range|--from 0 --to 9999999999 --filter 10.2.0.2-10.2.0.6
an IPv6 address, spelled out|--from 0 --to 9999999999 --filter fd00:10:2:0:0:0:0:3
[IPv6]:port|--from 0 --to 9999999999 --filter [FD00:10:2::3]:80
an IPv6 range|--from 0 --to 9999999999 --filter fd00:10:2::2-fd00:10:2::6
a list of both families|--from 0 --to 9999999999 --filter 10.2.0.5,fd00:10:2::5,127.0.0.1
a keyword in a text|--from 0 --to 9999999999 --keyword shop.b
a keyword in a key name|--from 0 --to 9999999999 --keyword Zero
a keyword with quotes|--from 0 --to 9999999999 --keyword '"dport":"443"'
a keyword of digits|--from 0 --to 9999999999 --keyword 10.2.0.1
CASES

# One probe's records, and pages: page N is the N-th 15 records of the whole answer.
asked --from 0 --to 9999999999 --device 000000000000 >"$WORK/dev.json"
"$PROBE" query --store "$WORK/store-live" --from 0 --to 9999999999 >"$WORK/live.json"
same "--device: the live probe's $(wc -l <"$WORK/dev.json") records" <(sort "$WORK/live.json") <(sort "$WORK/dev.json")
asked --from 0 --to 9999999999 --keyword bench >"$WORK/all.json"
for page in 0 3 999; do
  same "page $page" <(sed -n "$((page * 15 + 1)),$((page * 15 + 15))p" "$WORK/all.json") \
    <(asked --from 0 --to 9999999999 --keyword bench --page $page)
done
same "the Distributed database's pairs, found without pairs_all" "$WORK/all.json" \
  <("$PROBE" query --clickhouse "http://127.0.0.1:$H1/?database=spread" --from 0 --to 9999999999 --keyword bench)

# Bad input: one line, status 1 for the server's answers, 2 for the arguments.
P="--from 0 --to 9999999999"
refused 1 "ClickHouse at http://127.0.0.1:$DEAD does not answer: Couldn't connect to server" query --clickhouse \
  "http://127.0.0.1:$DEAD/?database=wirelane" $P
refused 1 "ClickHouse at http://127.0.0.1:$H1: HTTP 404: Code: 81" query --clickhouse "http://127.0.0.1:$H1/?database=nowhere" $P
refused 1 "the database has no table pairs" query --clickhouse "http://127.0.0.1:$H1/?database=default" $P
refused 1 "HTTP 404: Code: 60" query --clickhouse "$URL" --table nothing $P
refused 2 "bad device id '0015a5010203'" query --clickhouse "$URL" --device 0015a5010203 $P
refused 2 "bad device id '' OR 1 = 1 --'" query --clickhouse "$URL" --device "' OR 1 = 1 --" $P
refused 2 "--store, --conf and --home name a local store" query --clickhouse "$URL" --store "$WORK/store-v4" $P
refused 2 "--device needs --clickhouse URL" query --store "$WORK/store-v4" --device 000000000000 $P
refused 2 "is not a ClickHouse URL" query --clickhouse ftp://127.0.0.1 $P
refused 2 "Query filter error" query --clickhouse "$URL" $P --filter "1.2.3.4'"
finish
