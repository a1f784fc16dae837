#!/bin/bash
# The local program of each conversation on a live card: short curl clients (of a python3 server) and a python3
# client holding one keep-alive connection (of nginx) on loopback, the client named; nginx serving a client in
# another network namespace over a veth pair, the server named; a UDP socket closed before its lookup, "" and
# counted on the stop line. A curl connection lives for about a millisecond: one that ends before its lookup is
# unnamed and counted, never named wrongly.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18491 PYPORT=18492 VPORT=18493 UPORT=18494
ports_free $PORT $PYPORT $VPORT $UPORT
NS=wlprog$$ A=wlpa$$ B=wlpb$$ NET=10.214.$(($$ % 250))
ip netns add $NS
cleanups+=("ip netns del $NS")
ip link add $A type veth peer name $B netns $NS && ip addr add $NET.1/24 dev $A && ip link set $A up \
  && ip -n $NS addr add $NET.2/24 dev $B && ip -n $NS link set $B up
start_nginx $PYPORT "" "listen $NET.1:$VPORT;"
mkdir -p "$WORK/www" && echo hello >"$WORK/www/index.html"
(cd "$WORK/www" && exec /usr/bin/python3 -m http.server --bind 127.0.0.1 $PORT >/dev/null 2>&1) &
cleanups+=("kill $! 2>/dev/null")
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break; sleep 0.1; done
python=$(basename "$(readlink -f /usr/bin/python3)")

# run_probe NAME CARD ENDPOINT...: the probe on CARD until stop_probe, its records in $WORK/NAME.json.
run_probe() {
  local name=$1 card=$2
  shift 2
  printf '%s\n' cardMac=000000000000 "$@" >"$WORK/$name.conf"
  background "$PROBE" --conf "$WORK/$name.conf" --interface "$card" --json-out "$WORK/$name.json" \
    >"$WORK/$name.out" 2>&1
  probe=$bg
}
stop_probe() { kill -TERM $probe; rc=0; wait $probe || rc=$?; [ $rc -eq 0 ] || fail "the probe ended with $rc"; }
# capture_open: waits until the probe holds its two packet sockets, the capture's and the SYN watch's.
capture_open() {
  local held inode
  for _ in $(seq 100); do
    held=0
    for inode in $(awk 'NR > 1 { print $9 }' /proc/net/packet); do
      ls -l /proc/$probe/fd 2>/dev/null | grep -q "socket:\[$inode\]" && held=$((held + 1))
    done
    [ $held -ge 2 ] && return 0
    sleep 0.1
  done
  fail "the capture did not open"
}
# names NAME JQ-FILTER: the distinct "process" of the records FILTER selects, with their count.
names() { jq -r "select($2) | .process" "$WORK/$1.json" | sort | uniq -c | awk '{ print $2 "x" $1 }' | tr '\n' ' '; }

run_probe lo lo "endpoint=127.0.0.1:$PORT|3|40213377" "endpoint=127.0.0.1:$PYPORT|3|40213378" \
  "endpoint=127.0.0.1:$UPORT|0|40213379"
capture_open
for i in $(seq 10); do curl -s -o /dev/null "http://127.0.0.1:$PORT/index.html?c=$i"; done
/usr/bin/python3 - $PYPORT <<'PY' &
import http.client, sys, time
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]))
for i in range(5):
    c.request("GET", f"/index.html?py={i}")
    c.getresponse().read()
    time.sleep(0.2)
PY
wait $!
# A socket closed as soon as its datagram is out, by a program that lives on.
/usr/bin/python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.sendto(b"gone", ("127.0.0.1", int(sys.argv[1])))
s.close()
time.sleep(1)' $UPORT
# The pairs go out at the next ten-second boundary.
for _ in $(seq 60); do
  [ "$(jq -r "select(.type == \"1\" and .dport == \"$UPORT\") | .dport" "$WORK/lo.json" 2>/dev/null | wc -l)" -ge 1 ] \
    && [ "$(jq -r "select(.type == \"1\" and .dport == \"$PYPORT\") | .dport" "$WORK/lo.json" | wc -l)" -ge 1 ] && break
  sleep 0.25
done
stop_probe
curls=$(names lo '.type == "2" and (.url | test("c="))')
[[ $curls =~ ^(x([0-9]+)\ )?curlx([0-9]+)\ $ ]] && [ $((${BASH_REMATCH[2]:-0} + BASH_REMATCH[3])) -eq 10 ] \
  && [ "${BASH_REMATCH[3]}" -ge 6 ] && unnamed=${BASH_REMATCH[2]:-0} \
  && pass "curl's transactions name curl (${BASH_REMATCH[3]} of 10), none another program" \
  || { fail "curl's transactions: $curls"; unnamed=0; }
expect "the keep-alive client's transactions name $python" "${python}x5 " \
  "$(names lo '.type == "2" and (.url | test("py="))')"
expect "curl's pair names curl" "curl" "$(jq -r "select(.type == \"1\" and .dport == \"$PORT\") | .process" \
  "$WORK/lo.json" | sort -u)"
expect "the keep-alive client's pair names $python" "$python" \
  "$(jq -r "select(.type == \"1\" and .dport == \"$PYPORT\") | .process" "$WORK/lo.json" | sort -u)"
expect "the datagram of a closed socket names no program" "" \
  "$(jq -r "select(.type == \"1\" and .dport == \"$UPORT\") | .process" "$WORK/lo.json" | sort -u)"
line=$(grep "stopped by signal 15" "$WORK/lo.out")
[[ $line =~ programs:\ ([0-9]+)\ conversations\ named,\ ([0-9]+)\ ended\ before ]] \
  && [ "${BASH_REMATCH[1]}" -ge $((11 - unnamed)) ] && [ "${BASH_REMATCH[2]}" -ge $((1 + unnamed)) ] \
  && pass "the stop line counts the named and the ended: ${BASH_REMATCH[1]} and ${BASH_REMATCH[2]}" \
  || fail "stop line: $line"

# From another namespace to nginx on this machine: the server's program.
run_probe veth $A "endpoint=$NET.1:$VPORT|3|40213377"
capture_open
for i in 1 2 3; do ip netns exec $NS curl -s -o /dev/null "http://$NET.1:$VPORT/index.html?v=$i"; done
for _ in $(seq 60); do
  jq -e 'select(.type == "1")' "$WORK/veth.json" >/dev/null 2>&1 && break
  sleep 0.25
done
stop_probe
expect "a client from outside: its transactions name the server, nginx" "nginxx3 " \
  "$(names veth '.type == "2" and (.url | test("v="))')"
expect "and so does its pair" "nginx" "$(jq -r 'select(.type == "1") | .process' "$WORK/veth.json" | sort -u)"

# A recorded capture has no local programs: its records are as they were (the records test checks them whole).
"$PROBE" --read "$SRC/data/sample.pcap" --json-out "$WORK/sample.json" >"$WORK/sample.out"
expect "--read: no program looked up" "" "$(jq -r '.process // empty' "$WORK/sample.json" | sort -u)"
finish
