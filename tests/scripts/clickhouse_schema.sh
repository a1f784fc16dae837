#!/bin/bash
# The ClickHouse tables of data/clickhouse.sql hold every record the probe writes (both families, texts with every
# kind of escape) so that its JSON line comes back byte for byte; the checker notices a changed value; the
# Distributed tables of the file's last block read them over a cluster; the server starts again on its data.
source "$(dirname "$0")/common.bash"
HTTP=18431
TCP=19431
URL=http://127.0.0.1:$HTTP/
ports_free $HTTP $TCP
start_clickhouse ch $HTTP $TCP wirelane $TCP  # a cluster of one shard: this server
chq ch "CREATE DATABASE wirelane"
for _ in 1 2; do  # a second time changes nothing
  clickhouse-client --port $TCP --database wirelane --multiquery <"$SRC/data/clickhouse.sql" || fail "the schema"
done

# Half the conversations over IPv6; the endpoints of both families.
"$BUILD/wirelane-genpcap" "$WORK/mixed.pcap" 20000 200 400 mixed half6
for ends in 1-8:3 9-12:1 13-16:5; do
  IFS=- read -r lo hi <<<"${ends%:*}"
  printf 'endpoint=%s|%s|%s\n' "10.2.0.$lo-10.2.0.$hi" "${ends#*:}" 1$lo "fd00:10:2::$(printf %x $lo)-fd00:10:2::$(printf %x $hi)" \
    "${ends#*:}" 1$lo
done >"$WORK/mixed.conf"
"$PROBE" --read "$WORK/mixed.pcap" --conf "$WORK/mixed.conf" --json-out - >"$WORK/records.json" 2>"$WORK/probe.err"

# What a capture seldom holds, written as the probe writes it: the other database types, texts with quotes,
# backslashes, control bytes, UTF-8 and bytes that are not UTF-8, a counter past 2^31, a TLS alert.
python3 - "$WORK/records.json" <<'PY'
import re, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
first = {t: next(l for l in lines if l.startswith('{"type":"%s"' % t)) for t in "1257"}
odd = r'x\"y\\z\u0001\u007f \u00e9\u00ff\u00c3A é €\t'.replace("\\t", "\\u0009")
more = [first["5"].replace('"type":"5"', '"type":"%s"' % t).replace('"sql":"', '"sql":"' + odd) for t in "4689"]
more.append(re.sub('"src":"[^"]*"', '"src":"2001:db8::a"', first["2"].replace('"url":"', '"url":"' + odd)))
more.append(first["7"].replace('"alert":""', '"alert":"40"').replace('"certSubject":""', '"certSubject":"CN=\\\\"'))
more.append(first["1"].replace('"srcBytes":"', '"srcBytes":"-2').replace('"mem":"0 KB"', '"mem":"1234 KB"'))
open(sys.argv[1], "a", encoding="utf-8").write("\n".join(more) + "\n")
PY
expect "records of every type" "1 2 4 5 6 7 8 9 99" "$(jq -r .type "$WORK/records.json" | sort -nu | xargs)"

# The loading step: the sink's contract.
python3 "$SRC/tests/scripts/clickhouse_load.py" $URL wirelane probe-a "$WORK/records.json" || fail "loading"
rebuild() { python3 "$SRC/tests/scripts/clickhouse_rebuild.py" $URL wirelane "$1" 2>&1; }
result=$(rebuild "$WORK/records.json") && pass "$result" || fail "$result"

# One value changed in the records: the checker names it.
while IFS='|' read -r what from to; do
  grep -m1 -n "$from" "$WORK/records.json" | cut -d: -f1 >"$WORK/line"
  sed "$(cat "$WORK/line")s/$from/$to/" "$WORK/records.json" >"$WORK/changed.json"
  result=$(rebuild "$WORK/changed.json") && fail "$what: not noticed" \
    || { grep -qF "only in the tables" <<<"$result" && pass "$what: noticed" || fail "$what: $result"; }
done <<'CASES'
nothing to divide by, or a quotient of zero|"srcLossRatio":"0.00"|"srcLossRatio":"0.000"
a byte that is not UTF-8, or a character|\\u00e9|é
a time in milliseconds|"begintime":"|"begintime":"1
a counter|"dstPkts":"|"dstPkts":"1
CASES
# The Distributed tables over the cluster, and the same rows after a restart on the same data.
sed -n 's/^-- \(CREATE TABLE .*Distributed.*\)/\1;/p' "$SRC/data/clickhouse.sql" \
  | clickhouse-client --port $TCP --database wirelane --multiquery || fail "the Distributed tables"
counts() { chq ch "SELECT (SELECT count() FROM wirelane.pairs$1) + (SELECT count() FROM wirelane.http$1)
  + (SELECT count() FROM wirelane.db$1) + (SELECT count() FROM wirelane.tls$1)"; }
expect "the Distributed tables read every row" "$(grep -vc '"type":"99"' "$WORK/records.json")" "$(counts _all)"
stop_clickhouse ch
start_clickhouse ch $HTTP $TCP wirelane $TCP
result=$(rebuild "$WORK/records.json") && pass "after a restart: $result" || fail "after a restart: $result"
# A row of another probe's host: a host apart, and a record twice.
head -1 "$WORK/records.json" >"$WORK/one.json"
python3 "$SRC/tests/scripts/clickhouse_load.py" $URL wirelane probe-b "$WORK/one.json"
result=$(rebuild "$WORK/records.json") && fail "a second host: not noticed" \
  || { grep -q "host names.*probe-b" <<<"$result" && pass "a second host: noticed" || fail "a second host: $result"; }

finish
