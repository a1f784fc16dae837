#!/bin/bash
# The local program of each conversation on a live card: short curl clients and a python3 client holding one
# keep-alive connection on loopback (the client named), nginx serving a client in another network namespace over a
# veth pair (the server named), and a UDP socket closed before its lookup ("" and counted on the stop line).
source "$(dirname "$0")/common.bash"
needs_root
PORT=18491 PYPORT=18492 VPORT=18493 UPORT=18494
ports_free $PORT $PYPORT $VPORT $UPORT
NS=wlprog$$ A=wlpa$$ B=wlpb$$ NET=10.214.$(($$ % 250))
ip netns add $NS
cleanups+=("ip netns del $NS")
ip link add $A type veth peer name $B netns $NS && ip addr add $NET.1/24 dev $A && ip link set $A up \
  && ip -n $NS addr add $NET.2/24 dev $B && ip -n $NS link set $B up
start_nginx $PORT "" "listen 127.0.0.1:$PYPORT; listen $NET.1:$VPORT;"
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
# warm URL: requests until the probe's first record shows the capture open.
warm() {
  for _ in $(seq 40); do
    $1 -s -o /dev/null "$2"
    grep -q warm "$WORK/$3.json" 2>/dev/null && return 0
    sleep 0.25
  done
  fail "the capture did not open: $(tail -3 "$WORK/$3.out")"
}
# names NAME JQ-FILTER: the distinct "process" of the records FILTER selects, with their count.
names() { jq -r "select($2) | .process" "$WORK/$1.json" | sort | uniq -c | awk '{ print $2 "x" $1 }' | tr '\n' ' '; }

run_probe lo lo "endpoint=127.0.0.1:$PORT|3|40213377" "endpoint=127.0.0.1:$PYPORT|3|40213378" \
  "endpoint=127.0.0.1:$UPORT|0|40213379"
warm curl "http://127.0.0.1:$PORT/index.html?warm" lo
for i in 1 2 3 4 5; do curl -s -o /dev/null "http://127.0.0.1:$PORT/index.html?c=$i"; done
/usr/bin/python3 - $PYPORT <<'PY' &
import http.client, sys, time
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]))
for i in range(5):
    c.request("GET", f"/index.html?py={i}")
    c.getresponse().read()
    time.sleep(0.2)
PY
wait $!
# The redirection closes its socket as soon as the datagram is out.
bash -c "echo gone >/dev/udp/127.0.0.1/$UPORT"
# The pairs go out at the next ten-second boundary.
for _ in $(seq 60); do
  [ "$(jq -r "select(.type == \"1\" and .dport == \"$UPORT\") | .dport" "$WORK/lo.json" 2>/dev/null | wc -l)" -ge 1 ] \
    && [ "$(jq -r "select(.type == \"1\" and .dport == \"$PYPORT\") | .dport" "$WORK/lo.json" | wc -l)" -ge 1 ] && break
  sleep 0.25
done
stop_probe
expect "curl's transactions name curl" "curlx5 " "$(names lo '.type == "2" and (.url | test("c=")))')"
expect "the keep-alive client's transactions name $python" "${python}x5 " \
  "$(names lo '.type == "2" and (.url | test("py=")))')"
expect "curl's pair names curl" "curl" "$(jq -r "select(.type == \"1\" and .dport == \"$PORT\") | .process" \
  "$WORK/lo.json" | sort -u | tr '\n' ' ' | sed 's/ $//')"
expect "the keep-alive client's pair names $python" "$python" \
  "$(jq -r "select(.type == \"1\" and .dport == \"$PYPORT\") | .process" "$WORK/lo.json" | sort -u)"
expect "the datagram of a closed socket names no program" "" \
  "$(jq -r "select(.type == \"1\" and .dport == \"$UPORT\") | .process" "$WORK/lo.json" | sort -u)"
line=$(grep "stopped by signal 15" "$WORK/lo.out")
[[ $line =~ programs:\ ([0-9]+)\ conversations\ named,\ ([0-9]+)\ ended\ before ]] \
  && [ "${BASH_REMATCH[1]}" -ge 11 ] && [ "${BASH_REMATCH[2]}" -ge 1 ] \
  && pass "the stop line counts the named and the ended: ${BASH_REMATCH[1]} and ${BASH_REMATCH[2]}" \
  || fail "stop line: $line"

# From another namespace to nginx on this machine: the server's program.
run_probe veth $A "endpoint=$NET.1:$VPORT|3|40213377"
warm "ip netns exec $NS curl" "http://$NET.1:$VPORT/index.html?warm" veth
for i in 1 2 3; do ip netns exec $NS curl -s -o /dev/null "http://$NET.1:$VPORT/index.html?v=$i"; done
for _ in $(seq 60); do
  jq -e 'select(.type == "1")' "$WORK/veth.json" >/dev/null 2>&1 && break
  sleep 0.25
done
stop_probe
expect "a client from outside: its transactions name the server, nginx" "nginxx3 " \
  "$(names veth '.type == "2" and (.url | test("v=")))')"
expect "and so does its pair" "nginx" "$(jq -r 'select(.type == "1") | .process' "$WORK/veth.json" | sort -u)"

# A recorded capture has no local programs: its records are as they were (the records test checks them whole).
"$PROBE" --read "$SRC/data/sample.pcap" --json-out "$WORK/sample.json" >"$WORK/sample.out"
expect "--read: no program looked up" "" "$(jq -r '.process // empty' "$WORK/sample.json" | sort -u)"
finish
