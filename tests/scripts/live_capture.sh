#!/bin/bash
# Live capture on lo set up by the configuration file alone: curl against nginx, with tcpdump as a witness, is captured
# whole, agrees with tshark and lands in the JSON store. A stop keeps what was captured, and drops are counted across
# a card deleted and made again. And a card that cannot be opened for lack of permission.
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

# A stop keeps what was captured: runs started right after a ten-second boundary and stopped before the next one
# (before the first scan), stopped by either signal with a keep-alive transaction open, put the pair and every
# transaction in the store, on --json-out and at the collector, and the end-of-scan record last on the two latter.
# (Other traffic on 127.0.0.1 is left out by its port.)
stop_records() {
  python3 - "$WORK/json-$1" "$WORK/out-$1.json" "$WORK/collector" "$PORT" <<'PY'
import glob, json, sys
store = [r for name in sorted(glob.glob(sys.argv[1] + "/Wirelane-*.json"))
         for r in open(name, "rb").read().rstrip(b"\0").split(b"\r\n\r\n") if r.strip()]
want = {f"/index.html?s={i}" for i in range(5)} | {"/big.txt", "/missing.html"}
for what, lines in [("store", store)] + [(name, open(name).readlines()) for name in sys.argv[2:4]]:
    recs = [json.loads(line) for line in lines]
    tx = {r["url"] for r in recs if str(r["type"]) == "2" and str(r["dport"]) == sys.argv[4]}
    pairs = [r for r in recs if str(r["type"]) == "1" and str(r["dport"]) == sys.argv[4]]
    ends = [r for r in recs if str(r["type"]) == "99"]
    end = [{"type": "99", "time": pairs[0]["time"]}] if what != "store" and pairs else []
    if not want <= tx or len(pairs) != 1 or ends != end or end and recs[-1] != end[0]:
        sys.exit(f"{what}: transactions {sorted(tx)}, pairs {len(pairs)}, end records {ends}")
PY
}
# stop_probe SIGNAL [SECOND]: signals the probe $bg (the second 0.3 s later); its status in $rc, the time in $ms.
stop_probe() {
  local start=$(date +%s%N)
  kill -$1 $bg
  [ $# -eq 1 ] || { sleep 0.3; kill -$2 $bg; }
  rc=0; wait $bg || rc=$?
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
}
start_udp_listener 127.0.0.2 19081 "$WORK/collector"
for sig in TERM INT; do
  mkdir -p "$WORK/json-$sig"
  : >"$WORK/collector"
  printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" "exportPath=$WORK/json-$sig" \
    exportSpace=100 exportRemote=127.0.0.2:19081 >"$WORK/stop.conf"
  while [ $(( $(date +%s) % 10 )) -ne 0 ]; do sleep 0.1; done
  background "$PROBE" --conf "$WORK/stop.conf" --json-out "$WORK/out-$sig.json" >"$WORK/stop-$sig.out" 2>&1
  sleep 4
  for i in $(seq 0 4); do curl -s -o /dev/null -H 'Connection: close' "$url/index.html?s=$i"; done
  curl -s -o /dev/null -o /dev/null "$url/big.txt" "$url/missing.html"
  sleep 0.5
  stop_probe $sig
  [ $rc -eq 0 ] && [ $ms -lt 5000 ] && pass "SIG$sig: status 0 after $ms ms" || fail "SIG$sig: status $rc after $ms ms"
  expect "SIG$sig: a run within the first period: the last scan alone" 1 \
    "$(grep -c '\[TRAFFIC=' "$WORK/stop-$sig.out")"
  sleep 0.2  # the last datagrams reach the collector
  stop_records $sig && pass "SIG$sig: pair and transactions in the store, on --json-out and at the collector" \
    || fail "SIG$sig: $(cat "$WORK/stop-$sig.out")"
done

# A second signal during the stop (which reads the card for two seconds) ends the probe at once.
background "$PROBE" --interface lo >"$WORK/twice.out" 2>&1
sleep 3
stop_probe TERM TERM
[ $rc -eq 1 ] && [ $ms -lt 1500 ] && grep -q "WARNING: signal 15 during the stop: ending at once" "$WORK/twice.out" \
  && pass "a second signal ends the stop at once ($ms ms)" || fail "second signal: status $rc after $ms ms"

# A burst that the library drops in part (the probe halted, the kernel's buffer full), the card deleted at once and
# made again: the first handle's drops are in the log and the stop line; the loss and the return are logged once.
NS=wlstop$$ A=wlsa$$ B=wlsb$$ NET=10.213.$(($$ % 250))
veth_up() {
  ip link add $A type veth peer name $B netns $NS && ip addr add $NET.1/24 dev $A && ip link set $A up \
    && ip -n $NS addr add $NET.2/24 dev $B && ip -n $NS link set $B up
}
send_udp() {
  ip netns exec $NS python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(int(sys.argv[2])): s.sendto(bytes(1400), (sys.argv[1], 9))' $NET.1 "$1"
}
ip netns add $NS
cleanups+=("ip netns del $NS")  # with the other end of the card
veth_up
background "$PROBE" --interface $A >"$WORK/veth.out" 2>&1
sleep 3
kill -STOP $bg
send_udp 30000  # about 42 MB, more than the capture buffer holds
kill -CONT $bg
sleep 3  # what the buffer held is read
ip link del $A
sleep 2
veth_up
for _ in $(seq 150); do grep -q "frames lost" "$WORK/veth.out" && break; sleep 0.1; done
send_udp 100
stop_probe TERM
logged=$(sed -n 's/.*frames lost: .*, \([0-9]*\) dropped by the capture library/\1/p' "$WORK/veth.out" | tail -1)
read -r captured dropped < <(sed -n 's/.*signal 15: \([0-9]*\) frames captured.* \([0-9]*\) dropped by .*/\1 \2/p' \
  "$WORK/veth.out")
[ $rc -eq 0 ] && [ "${logged:-0}" -gt 1000 ] && [ "$dropped" == "$logged" ] && [ $((captured + dropped)) -ge 30000 ] \
  && pass "the first handle's $dropped drops are in the log and the stop line, with $captured frames captured" \
  || fail "status $rc, $logged dropped in the log, $dropped at the stop, $captured captured: $(cat "$WORK/veth.out")"
expect "the lost card is logged once" 1 "$(grep -c "capture on $A failed" "$WORK/veth.out")"
expect "its return is logged once" 1 "$(grep -c "capture on $A is back" "$WORK/veth.out")"

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
