#!/bin/bash
# HTTP transactions of curl against nginx on loopback, captured by tcpdump and
# read back through the whole frame path, match nginx's log and tshark's timings.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18180
BACKEND=18181
ports_free $PORT $BACKEND

# One log line of fields a request. /upload goes through the proxy, which reads the whole body first and so
# answers "Expect: 100-continue" with a real 100 Continue.
start_nginx $PORT "log_format fields escape=none
    '\$request_method|\$request_uri|\$status|\$http_host|\$http_user_agent|\$http_x_forwarded_for|\$content_type';
  log_format ports '\$remote_port \$request_uri';
  access_log $WORK/nginx/access.log fields;
  access_log $WORK/nginx/ports.log ports;
  server { listen 127.0.0.1:$BACKEND; access_log off; location / { return 200 \"stored\n\"; } }" \
  "location /upload { proxy_pass http://127.0.0.1:$BACKEND; }"
start_capture "$WORK/http.pcap" "tcp port $PORT"

# Client ports from one window of 1000 fall into distinct session buckets,
# so no finished connection's slot is recycled with its transaction open.
web() { curl -s -o /dev/null --local-port 41000-41999 "$@"; }
url=http://127.0.0.1:$PORT
head -c 4000 /dev/zero | tr '\0' 'b' >"$WORK/body.bin"
web "$url/index.html"
web -I "$url/index.html"
web -d 'a=1&b=2' "$url/upload?form=1"
web -o /dev/null -o /dev/null "$url/index.html?k=1" "$url/big.txt?k=2" "$url/missing?k=3"  # keep-alive
web "$url/missing.html"
web -H 'Expect: 100-continue' -H 'Content-Type: application/octet-stream' --data-binary @"$WORK/body.bin" \
  "$url/upload?expect=1"
web -A 'Wirelane-Test/1.0 (loopback; a user agent longer than the sixty-two kept)' "$url/index.html?agent=1"
web -H 'X-Forwarded-For: 10.0.0.1, 192.168.1.7' "$url/index.html?xff=1"
web "$url/it's.html"
web -x "$url" "http://example.test/index.html?abs=1"
web -H 'Host: a-rather-long-virtual-host-name.example.test' "$url/index.html?host=1"
stop_capture

expect "nginx logged every request" 13 "$(wc -l <"$WORK/nginx/access.log")"
expect "the server sent one 100 Continue" 1 \
  "$(tshark -r "$WORK/http.pcap" -Y 'http.response.code == 100' 2>/dev/null | wc -l)"
unit_test "transactions read from the capture match nginx and tshark" 'HttpTraffic.*' \
  WIRELANE_HTTP_PCAP="$WORK/http.pcap" WIRELANE_HTTP_LOG="$WORK/nginx/access.log" WIRELANE_HTTP_PORT=$PORT

# Keep-alive connections one after another from client ports 1024 apart, which share one session slot: the
# second takes over the first's slot once it is closed and quiet, the third one that the scan freed at a
# ten-second mark. Each request is one record, with its own client port; the pairs' counts, FINs included,
# are tshark's.
logged=$(wc -l <"$WORK/nginx/ports.log")
start_capture "$WORK/reuse.pcap" "tcp port $PORT"
for n in 0 1 2; do
  [ $n -ne 1 ] && sleep "$(date +%s.%N | awk '{ printf "%.3f", 10.5 - $1 % 10 }')"  # half a second past a mark
  # A port of its own for each run: the client's side of a closed connection waits a minute.
  cport=$((43000 + $$ % 1000 + 1024 * n))
  curl -s -o /dev/null -o /dev/null --local-port $cport "$url/index.html?c=$n&r=1" "$url/index.html?c=$n&r=2" \
    || fail "curl from port $cport"
  [ $n -eq 2 ] && for k in 1 2; do curl -s -o /dev/null "$url/index.html?c=$((n + k))"; done  # in the same interval
  sleep 2.2
done
stop_capture
echo "endpoint=127.0.0.1:$PORT|3|12345678" >"$CONF"
"$PROBE" --read "$WORK/reuse.pcap" --json-out - >"$WORK/reuse.json" 2>/dev/null
expect "each request of the connections sharing a slot is one record with its own client port" \
  "$(tail -n +$((logged + 1)) "$WORK/nginx/ports.log" | sort)" \
  "$(python3 -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["type"] == "2": print(r["sport"], r["url"])' "$WORK/reuse.json" | sort)"
expect "the pair record of the last three connections counts their FINs" "3 3" "$(python3 -c 'import json, sys
pairs = [r for r in map(json.loads, open(sys.argv[1])) if r["type"] == "1"]
last = max(pairs, key=lambda r: int(r["dstPkts"]))
print(last["srcFinPkts"], last["dstFinPkts"])' "$WORK/reuse.json")"
result=$(python3 "$SRC/tests/scripts/pairs_vs_tshark.py" "$WORK/reuse.pcap" "$WORK/reuse.json" 2>&1) \
  && pass "the pairs of the connections sharing a slot: $result" || fail "$result"
finish
