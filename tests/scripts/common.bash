# Shared by the whole-program tests: $1 is the build folder, $2 the source.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
PROBE=$BUILD/wirelane-probe
WORK=$(mktemp -d /tmp/wirelane-test.XXXXXX)
chmod 755 "$WORK"
export TMPDIR=$WORK/tmp
mkdir -p "$TMPDIR"
chmod 1777 "$TMPDIR"
failures=0
cleanups=()

cleanup() {
  local c
  for c in "${cleanups[@]}"; do eval "$c" || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# expect DESCRIPTION EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}

logfile() { echo "$TMPDIR/Wirelane/Wirelane-$(date +%Y-%m-%d).log"; }

finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
}

# start_nginx PORT: a real HTTP server on 127.0.0.1:PORT serving $WORK/html.
start_nginx() {
  local port=$1 dir=$WORK/nginx
  mkdir -p "$dir/html"
  echo '<html><body>hello</body></html>' > "$dir/html/index.html"
  head -c 60000 /dev/zero | tr '\0' 'w' > "$dir/html/big.txt"
  cat > "$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server { listen 127.0.0.1:$port; root $dir/html; }
}
CONF
  nginx -c "$dir/nginx.conf"
  cleanups+=("nginx -c '$dir/nginx.conf' -s stop 2>/dev/null")
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0; sleep 0.1; done
  echo "nginx did not start"; cat "$dir/error.log"; return 1
}

# start_udp_listener ADDRESS PORT FILE: appends each datagram to FILE, one a
# line, until the test ends.
start_udp_listener() {
  python3 - "$1" "$2" "$3" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE: senders do not wait for us
s.bind((sys.argv[1], int(sys.argv[2])))
with open(sys.argv[3], "ab", buffering=0) as out:
    while True:
        out.write(s.recv(65535) + b"\n")
PY
  cleanups+=("kill $! 2>/dev/null")
  sleep 0.3  # bound before anything is sent
}

# run_gui DRIVER ARGS...: the desktop program under Xvfb with a real
# accessibility bus, driven by the Python script tests/scripts/DRIVER (given
# the program's process id and ARGS), which must end it with Exit.
run_gui() {
  local driver=$1 result
  shift
  cat > "$WORK/session.sh" <<SESSION
#!/bin/bash
"$BUILD/wirelane" >"$WORK/gui.out" 2>&1 &
app=\$!
/usr/bin/python3 "$SRC/tests/scripts/$driver" \$app $(printf '%q ' "$@")
driver=\$?
for _ in \$(seq 50); do kill -0 \$app 2>/dev/null || break; sleep 0.1; done
if kill -0 \$app 2>/dev/null; then echo "FAIL: Exit did not end the program"; kill \$app; exit 1; fi
wait \$app
echo "exit status \$? driver \$driver"
SESSION
  chmod +x "$WORK/session.sh"
  result=$(timeout 280 xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- "$WORK/session.sh" 2>&1 || true)
  grep -vE "dbus-daemon|SpiRegistry|^Xlib.protocol" <<<"$result"
  grep -q '^FAIL' <<<"$result" && fail "the window failed a check"
  expect "Exit ends the program with status 0" "exit status 0 driver 0" "$(grep '^exit status' <<<"$result")"
}
