#!/bin/bash
# HTTP transactions from real traffic: curl clients against nginx on
# loopback (GET, HEAD, POST, keep-alive, 404, 100-continue, odd headers and
# targets), captured by tcpdump and read back through the whole frame path;
# the transactions must match nginx's access log and tshark's timings.
source "$(dirname "$0")/common.bash"
[ "$(id -u)" -eq 0 ] || { echo "needs root for the capture"; exit 1; }

PORT=18180
BACKEND=18181
for p in $PORT $BACKEND; do
  if (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null; then echo "port $p is taken"; exit 1; fi
done

# nginx logs each request as one line of fields; /upload goes to a second
# server through the proxy, which reads the whole body first and so answers
# "Expect: 100-continue" with a real 100 Continue.
dir=$WORK/nginx
mkdir -p "$dir/html"
echo '<html><body>hello</body></html>' >"$dir/html/index.html"
head -c 60000 /dev/zero | tr '\0' 'w' >"$dir/html/big.txt"
cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  log_format fields escape=none
    '\$request_method|\$request_uri|\$status|\$http_host|\$http_user_agent|\$http_x_forwarded_for|\$content_type';
  access_log $dir/access.log fields;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server {
    listen 127.0.0.1:$PORT;
    root $dir/html;
    location /upload { proxy_pass http://127.0.0.1:$BACKEND; }
  }
  server {
    listen 127.0.0.1:$BACKEND;
    access_log off;
    location / { return 200 "stored\n"; }
  }
}
CONF
nginx -c "$dir/nginx.conf"
cleanups+=("nginx -c '$dir/nginx.conf' -s stop 2>/dev/null")
for _ in $(seq 50); do [ -s "$dir/nginx.pid" ] && break; sleep 0.1; done

tcpdump -i lo --immediate-mode -U -w "$WORK/http.pcap" "tcp port $PORT" 2>"$WORK/tcpdump.err" &
witness=$!
cleanups+=("kill $witness 2>/dev/null")
for _ in $(seq 50); do grep -q "listening on" "$WORK/tcpdump.err" && break; sleep 0.1; done

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

sleep 0.5
kill $witness
wait $witness 2>/dev/null || true

expect "nginx logged every request" 13 "$(wc -l <"$dir/access.log")"
continues=$(tshark -r "$WORK/http.pcap" -Y 'http.response.code == 100' 2>/dev/null | wc -l)
expect "the server sent one 100 Continue" 1 "$continues"

if WIRELANE_HTTP_PCAP=$WORK/http.pcap WIRELANE_HTTP_LOG=$dir/access.log WIRELANE_HTTP_PORT=$PORT \
    "$BUILD/tests/wirelane_tests" --gtest_filter='HttpTraffic.*' >"$WORK/gtest.out" 2>&1 &&
    grep -q "PASSED .* 1 test" "$WORK/gtest.out"; then
  pass "transactions read from the capture match nginx and tshark"
else
  fail "HTTP transactions: $(tail -60 "$WORK/gtest.out")"
fi
finish
