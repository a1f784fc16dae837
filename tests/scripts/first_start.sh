#!/bin/bash
# wirelane-probe --auto in a namespace of the test's own, with a dummy card first and a veth card with the default
# routes: it takes the veth card and its addresses (not the link-local one), curl against an HTTP server in a peer
# namespace gives records within one interval, and a later start leaves the saved choice as it is.
source "$(dirname "$0")/common.bash"
needs_root
ns=wlfirst$$ peer=wlpeer$$ port=18380
# ip netns exec forks: what runs in a namespace is ended through the namespace, before it goes.
ip netns add $ns && cleanups+=("ip netns pids $ns | xargs -r kill; sleep 0.5; ip netns del $ns")
ip netns add $peer && cleanups+=("ip netns pids $peer | xargs -r kill; ip netns del $peer")
ip -n $ns link add fd$$ type dummy 2>/dev/null || ip -n $ns link add fd$$ type veth peer name fe$$
ip -n $ns link add vh$$ address 02:00:5e:10:34:01 type veth peer name vp$$ netns $peer
for a in "$ns fd$$ 198.18.99.1/24" "$ns vh$$ 198.18.34.1/24" "$ns vh$$ fd00:34::1/64 nodad" \
         "$peer vp$$ 198.18.34.2/24" "$peer vp$$ fd00:34::2/64 nodad"; do
  set -- $a && ip -n $1 addr add $3 dev $2 ${4:-} && ip -n $1 link set $2 up && ip -n $1 link set lo up
done
ip -n $ns route add default via 198.18.34.2 && ip -n $ns -6 route add default via fd00:34::2
mkdir -p "$WORK/www" && echo hello >"$WORK/www/hello.txt"
(cd "$WORK/www" && exec ip netns exec $peer python3 -m http.server --bind :: $port >/dev/null 2>&1) &
cleanups+=("kill $! 2>/dev/null")
in_ns() { ip netns exec $ns "$@"; }

in_ns timeout -s TERM 2 "$PROBE" >/dev/null 2>&1 || true
[ ! -e "$CONF" ] && pass "without --auto nothing is chosen" || fail "without --auto: $(cat "$CONF")"
in_ns "$PROBE" --auto --json-out "$WORK/out.json" >/dev/null 2>&1 & probe=$!
cleanups+=("kill $probe 2>/dev/null")
for _ in $(seq 100); do in_ns ss -0 -p 2>/dev/null | grep -q wirelane-probe && break; sleep 0.1; done  # card open
background bash -c "while :; do for u in http://198.18.34.2:$port/hello.txt 'http://[fd00:34::2]:$port/hello.txt'; do
  ip netns exec $ns curl -s -o /dev/null \"\$u\"; done; sleep 0.3; done" 2>/dev/null
# Pairs of both families come within one interval of the first requests (and the second in which the card hands a
# frame over); the transactions, which end with their sessions, by the next scan.
start=$(date +%s%N)
pairs() { awk '/"type":"1"/ && /"dst":"198.18.34.2"/ { v4 = 1 } /"type":"1"/ && /"dst":"fd00:34::2"/ { v6 = 1 }
  v4 && v6 { exit } END { exit !(v4 && v6) }' "$WORK/out.json"; }
for _ in $(seq 500); do pairs && break; sleep 0.05; done
ms=$(( ($(date +%s%N) - start) / 1000000 ))
pairs && [ $ms -le 12000 ] && pass "pairs of both families $ms ms after the first requests" \
  || fail "no pairs of both families within $ms ms"
transactions() {
  jq -rR 'fromjson? | select(.type == "2" and .url == "/hello.txt") | .dst' "$WORK/out.json" | sort -u | tr '\n' ' '
}
for _ in $(seq 120); do [ "$(transactions)" == "198.18.34.2 fd00:34::2 " ] && break; sleep 0.1; done
expect "HTTP transactions of both follow" "198.18.34.2 fd00:34::2 " "$(transactions)"
ip netns pids $ns | xargs -r kill -TERM; wait $probe || true

expect "the veth card is remembered" "cardMac=02005E103401" "$(grep '^cardMac=' "$CONF")"
expect "its addresses are monitored as TCP & UDP, HTTP recognised" \
  "checkHttp=1 endpoint=198.18.34.1|0 endpoint=fd00:34::1|0 " \
  "$(grep -E '^(endpoint|checkHttp)=' "$CONF" | sed 's/|[0-9]*$//' | sort | tr '\n' ' ')"
grep -q "first start: card vh$$ (198.18.34.1, 02005E103401) chosen because it carries the IPv4 default route" \
  "$(logfile)" && pass "one log line says what was chosen and why" || fail "$(grep 'first start' "$(logfile)")"
cp "$CONF" "$WORK/first.conf"
in_ns timeout -s TERM 3 "$PROBE" --auto >/dev/null 2>&1 || true
same "a second start changes nothing" "$WORK/first.conf" "$CONF"
finish
