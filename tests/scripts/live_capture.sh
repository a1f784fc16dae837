#!/bin/bash
# Live capture on lo set up by the configuration file alone: curl against nginx, with tcpdump as a witness, is captured
# whole, agrees with tshark and lands in the JSON store. And a card that cannot be opened for lack of permission.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18081
start_nginx $PORT
url=http://127.0.0.1:$PORT

# The JSON store (blank files, zeros after the last record) holds the server's transactions and pair records.
store_holds() {
  python3 - "$WORK/json" "$PORT" <<'PY'
import glob, json, sys
recs = [json.loads(r) for name in sorted(glob.glob(sys.argv[1] + "/Wirelane-*.json"))
        for r in open(name, "rb").read().rstrip(b"\0").split(b"\r\n\r\n") if r.strip()]
tx = {(r["url"], str(r["retcode"])) for r in recs if str(r["type"]) == "2"}
want = {("/index.html?i=1", "200"), ("/index.html?i=2", "200"), ("/index.html?i=3", "200"),
        ("/big.txt", "200"), ("/missing.html", "404")}
served = [p for p in recs if str(p["type"]) == "1" and p["dst"] == "127.0.0.1" and str(p["dport"]) == sys.argv[2]
          and p["busiId"] == "40213377"]
packets = sum(int(p["dstPkts"]) + int(p["srcPkts"]) for p in served)
if not want <= tx or packets < 4 * 8:  # four connections at least
    sys.exit(f"transactions missing: {sorted(want - tx)}; {packets} packets in {served}")
PY
}

mkdir -p "$WORK/json"
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" "exportPath=$WORK/json" exportSpace=100 \
  >"$WORK/good.conf"
start_capture "$WORK/witness.pcap" "tcp port $PORT"
background "$PROBE" --conf "$WORK/good.conf" >"$WORK/probe.out" 2>&1
sleep 5  # the capture thread looks for a card once a second, opening it takes two
for i in $(seq 20); do
  curl -s -o /dev/null "$url/big.txt"
  curl -s -o /dev/null -H 'Connection: close' "$url/index.html?i=$i"
done
curl -s -o /dev/null -o /dev/null "$url/big.txt" "$url/missing.html"  # keep-alive
python3 -c 'import socket, struct, sys, time  # a client that drops its connection with a reset
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
c.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
c.recv(4096)
time.sleep(0.05)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))' $PORT
# Pair records come at the next ten-second boundary, the last transaction once
# idle a second on the capture clock, which refused connections keep going.
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/9) 2>/dev/null || true
  store_holds >/dev/null 2>&1 && break
  sleep 0.25
done
kill -TERM $bg
rc=0; wait $bg || rc=$?
stop_capture
expect "the probe stops with status 0 on SIGTERM" 0 $rc
seen=$(tshark -r "$WORK/witness.pcap" 2>/dev/null | wc -l)
line=$(grep "stopped by signal 15" "$WORK/probe.out" || true)
analysed=$(sed -n 's/.* \([0-9]*\) analysed,.*/\1/p' <<<"$line")
[ -n "$analysed" ] && [ "$seen" -gt 100 ] && [ "$analysed" -ge "$seen" ] \
  && pass "captured $analysed frames; the exchanges had $seen" \
  || fail "captured '$analysed' frames, the exchanges had $seen: $(cat "$WORK/probe.out")"
expect "nothing lost on the ring" 0 "$(sed -n 's/.* \([0-9]*\) lost on the full packet ring.*/\1/p' <<<"$line")"
unit_test "sessions of the live capture agree with tshark" 'TsharkCompare.*' \
  WIRELANE_COMPARE_PCAP="$WORK/witness.pcap"
grep -q "find card 127.0.0.1 match mac 000000000000" "$(logfile)" && pass "the card is chosen by its device id" \
  || fail "no card chosen: $(grep -i card "$(logfile)" | tail -5)"
store_holds && pass "transactions and pairs are in the JSON store" || fail "JSON store"
[ "$(head -1 "$WORK/good.conf")" == "cardMac=000000000000" ] && grep -qx "exportInd=1" "$WORK/good.conf" \
  && pass "the rewrite starts with the card and saves the store's file number" || fail "$(cat "$WORK/good.conf")"

# Without the capabilities the log says so once while the probe keeps trying.
cp "$PROBE" "$WORK/probe-unprivileged"
mkdir -m 1777 "$WORK/tmp-nobody"
TMPDIR=$WORK/tmp-nobody background setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
  "$WORK/probe-unprivileged" --interface lo >"$WORK/nobody.out" 2>&1
sleep 7  # three attempts
kill -TERM $bg 2>/dev/null || fail "the unprivileged probe ended: $(cat "$WORK/nobody.out")"
wait $bg 2>/dev/null || true
expect "one permission message over several attempts" 1 "$(grep -c 'no permission to capture on lo' "$WORK/nobody.out")"
grep -q "cap_net_raw,cap_net_admin" "$WORK/nobody.out" || fail "the message names the capabilities"
finish
