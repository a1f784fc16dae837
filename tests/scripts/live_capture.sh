#!/bin/bash
# Live capture on the loopback card, with traffic from real programs (curl
# against nginx); and a card that cannot be opened for lack of permission.
source "$(dirname "$0")/common.bash"
[ "$(id -u)" -eq 0 ] || { echo "needs root for live capture"; exit 1; }

PORT=18081
start_nginx $PORT

# The probe captures on lo; tcpdump, as an independent witness, counts the
# frames of our exchanges.
"$PROBE" --interface lo >"$WORK/probe.out" 2>&1 &
probe=$!
cleanups+=("kill $probe 2>/dev/null")
tcpdump -i lo -U -w "$WORK/witness.pcap" "tcp port $PORT" 2>/dev/null &
witness=$!
cleanups+=("kill $witness 2>/dev/null")
sleep 4  # opening a card takes two seconds

for i in $(seq 20); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/big.txt"
  curl -s -o /dev/null -H 'Connection: close' "http://127.0.0.1:$PORT/index.html?i=$i"
done
curl -s -o /dev/null -o /dev/null "http://127.0.0.1:$PORT/" "http://127.0.0.1:$PORT/big.txt"  # keep-alive
python3 - "$PORT" <<'PY'
import socket, struct, sys, time
# A client that drops its connection with a reset.
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
c.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
c.recv(4096)
time.sleep(0.05)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.close()
PY
sleep 2
kill -TERM $probe
set +e; wait $probe; rc=$?; set -e
kill $witness; wait $witness 2>/dev/null || true
expect "the probe stops with status 0 on SIGTERM" 0 $rc

seen=$(tshark -r "$WORK/witness.pcap" 2>/dev/null | wc -l)
line=$(grep "stopped by signal 15" "$WORK/probe.out" || true)
analysed=$(sed -n 's/.*: \([0-9]*\) frames analysed.*/\1/p' <<<"$line")
lost=$(sed -n 's/.* \([0-9]*\) lost on the full packet ring.*/\1/p' <<<"$line")
if [ -n "$analysed" ] && [ "$seen" -gt 100 ] && [ "$analysed" -ge "$seen" ]; then
  pass "captured $analysed frames; the exchanges had $seen"
else
  fail "captured '$analysed' frames, the exchanges had $seen: $(cat "$WORK/probe.out")"
fi
expect "nothing lost on the ring" 0 "$lost"

# The same exchanges, read by the decoder and the session step, agree with
# tshark conversation by conversation.
if WIRELANE_COMPARE_PCAP=$WORK/witness.pcap "$BUILD/tests/wirelane_tests" --gtest_filter='TsharkCompare.*' \
    >"$WORK/compare.out" 2>&1; then
  pass "sessions of the live capture agree with tshark"
else
  fail "sessions differ from tshark: $(tail -30 "$WORK/compare.out")"
fi

# Without the capture capabilities the card cannot be opened: the log says
# so once, in plain words, while the probe keeps trying.
cp "$PROBE" "$WORK/probe-unprivileged"
chmod 755 "$WORK/probe-unprivileged"
mkdir -m 1777 "$WORK/tmp-nobody"
TMPDIR=$WORK/tmp-nobody setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
  "$WORK/probe-unprivileged" --interface lo >"$WORK/nobody.out" 2>&1 &
nobody=$!
cleanups+=("kill $nobody 2>/dev/null")
sleep 7  # three attempts
kill -TERM $nobody 2>/dev/null || fail "the unprivileged probe ended: $(cat "$WORK/nobody.out")"
wait $nobody 2>/dev/null || true
expect "one permission message over several attempts" 1 "$(grep -c 'no permission to capture on lo' "$WORK/nobody.out")"
grep -q "cap_net_raw,cap_net_admin" "$WORK/nobody.out" || fail "the message names the capabilities"

finish
