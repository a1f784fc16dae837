#!/bin/bash
# The probe set up by its configuration file alone: the card by its device
# id, an HTTP endpoint and a JSON store; curl traffic against nginx must land
# in the store. Then a file with refused values: each refusal is logged, the
# probe runs on with the rest, and the rewritten file keeps only that.
source "$(dirname "$0")/common.bash"
[ "$(id -u)" -eq 0 ] || { echo "needs root for live capture"; exit 1; }

PORT=18083
if (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null; then echo "port $PORT is taken"; exit 1; fi
start_nginx $PORT
LOG=$(logfile)

# Records of the JSON store, one JSON object a line; the files are claimed
# beforehand, so the zeros after the last record are dropped.
store_records() {
  python3 - "$1" <<'PY'
import glob, json, sys
for name in sorted(glob.glob(sys.argv[1] + "/Wirelane-*.json")):
    with open(name, "rb") as f:
        if f.read(1) in (b"", b"\0"):
            continue  # a blank file, not written yet
        data = (b"{" + f.read()).rstrip(b"\0")
    for rec in data.split(b"\r\n\r\n"):
        if rec.strip():
            print(json.dumps(json.loads(rec)))
PY
}

# ---- a working configuration -------------------------------------------------
mkdir -p "$WORK/json"
cat >"$WORK/good.conf" <<CONF
cardMac=000000000000
endpoint=127.0.0.1:$PORT|3|40213377
exportPath=$WORK/json
exportSpace=100
CONF
"$PROBE" --conf "$WORK/good.conf" >"$WORK/good.out" 2>&1 &
probe=$!
cleanups+=("kill $probe 2>/dev/null")
sleep 5  # the capture thread looks for a card once a second, opening it takes two

url=http://127.0.0.1:$PORT
for i in 1 2 3; do curl -s -o /dev/null "$url/index.html?i=$i"; done
curl -s -o /dev/null -o /dev/null "$url/big.txt" "$url/missing.html"  # keep-alive

# The scan writes the pair records at the next ten-second boundary, and the
# last transaction of a closed connection once it has been idle a second:
# at most two scans. Idle time is measured on the capture clock, so frames
# of other traffic (refused connections) keep it going.
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/9) 2>/dev/null || true
  records=$(store_records "$WORK/json")
  grep -q '"type": "1"' <<<"$records" && grep -q '"url": "/index.html?i=3"' <<<"$records" && break
  sleep 0.25
done
kill -TERM $probe
set +e; wait $probe; rc=$?; set -e
expect "the probe stops with status 0" 0 $rc

grep -q "find card 127.0.0.1 match mac 000000000000" "$LOG" && pass "the card is chosen by its device id" \
  || fail "no card chosen: $(grep -i card "$LOG" | tail -5)"
store_records "$WORK/json" >"$WORK/records.txt"
if python3 - "$WORK/records.txt" "$PORT" <<'PY'
import json, sys
recs = [json.loads(l) for l in open(sys.argv[1])]
port = sys.argv[2]
tx = {(r["url"], str(r["retcode"])) for r in recs if str(r["type"]) == "2"}
want = {("/index.html?i=1", "200"), ("/index.html?i=2", "200"), ("/index.html?i=3", "200"),
        ("/big.txt", "200"), ("/missing.html", "404")}
pairs = [r for r in recs if str(r["type"]) == "1"]
ok = True
if not want <= tx:
    print("transactions missing:", sorted(want - tx), "got", sorted(tx)); ok = False
served = [p for p in pairs if p["dst"] == "127.0.0.1" and str(p["dport"]) == port and p["busiId"] == "40213377"]
if not served:
    print("no pair record of the endpoint:", pairs); ok = False
elif sum(int(p["dstPkts"]) + int(p["srcPkts"]) for p in served) < 4 * 8:  # four connections
    print("too few packets in the pairs:", served); ok = False
sys.exit(0 if ok else 1)
PY
then pass "transactions and pairs are in the JSON store"; else fail "JSON store records"; fi
[ "$(head -1 "$WORK/good.conf")" == "cardMac=000000000000" ] || fail "the rewrite starts with the card"
grep -qx "exportInd=1" "$WORK/good.conf" && pass "the store's file number is saved" \
  || fail "store index not saved: $(cat "$WORK/good.conf")"

# ---- refused values --------------------------------------------------------------
mkdir -p "$WORK/json2" "$WORK/pkts"
cat >"$WORK/bad.conf" <<CONF
cardMac=000000000000
endpoint=10.0.0.300|1|1
endpoint=127.0.0.1:$PORT|3|40213377
exportPath=$WORK/json2
exportSpace=50
dumpPath=$WORK/pkts
dumpSpace=100
dumpTrun=63
colour=blue
CONF
before=$(wc -l <"$LOG")
"$PROBE" --conf "$WORK/bad.conf" >"$WORK/bad.out" 2>&1 &
probe=$!
cleanups+=("kill $probe 2>/dev/null")
sleep 5
curl -s -o /dev/null "$url/index.html?after=1"
sleep 1
kill -0 $probe 2>/dev/null && pass "the probe runs on after refusals" || fail "the probe ended: $(cat "$WORK/bad.out")"
kill -TERM $probe
set +e; wait $probe; set -e

said=$(tail -n +"$((before + 1))" "$LOG")
for warning in "Invalid IP address or PORT 10.0.0.300|1|1" "Must be a multiple of 100M!" \
               "Truncate length must be large than 64"; do
  grep -qF " WARNING: $warning" <<<"$said" && pass "logged: $warning" || fail "not logged: $warning"
done
grep -q "MESSAGE: add endpoint 127.0.0.1:$PORT|3|40213377" <<<"$said" || fail "the good endpoint is not added"
grep -q "find card 127.0.0.1 match mac" <<<"$said" || fail "the card is not chosen"
expect "no store files of the refused stores" 0 "$(find "$WORK/json2" "$WORK/pkts" -type f | wc -l)"

want="cardMac=000000000000
endpoint=127.0.0.1:$PORT|3|40213377
exportPath=
exportRemote=
exportSpace=
exportInd=0
dumpPath=
dumpRemote=
dumpSpace=
dumpTrun=
dumpInd=0
kestrel=
kestrelDid=0
checkHttp=0"
expect "the rewrite holds the accepted values only" "$want" "$(head -n -1 "$WORK/bad.conf")"
grep -qE '^columnShow=([01]\|){37}[01]$' "$WORK/bad.conf" || fail "columnShow line: $(tail -1 "$WORK/bad.conf")"

# ---- a collector without a local store, through a restart ----------------------
# (Not on 127.0.0.1: frames to and from the probe's own peers are not analysed.)
UDP=18084
start_udp_listener 127.0.0.2 $UDP "$WORK/udp.txt"
printf '%s\n' "endpoint=127.0.0.1:8088|3|40213377" "exportRemote=127.0.0.2:$UDP" >"$WORK/remote.conf"
for run in first second; do
  : >"$WORK/udp.txt"
  "$PROBE" --conf "$WORK/remote.conf" --read "$SRC/data/sample.pcap" >/dev/null 2>&1 || fail "$run run failed"
  sleep 0.5
  grep -qx "exportRemote=127.0.0.2:$UDP" "$WORK/remote.conf" && pass "$run run: the collector stays in the file" \
    || fail "$run run: the collector is gone: $(cat "$WORK/remote.conf")"
  grep -q '"type":"1"' "$WORK/udp.txt" && pass "$run run: pair records reach the collector" \
    || fail "$run run: no pair record at the collector ($(wc -l <"$WORK/udp.txt") datagrams)"
done

finish
