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
  access_log $WORK/nginx/access.log fields;
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
finish
