#!/bin/bash
# Registration with a monitoring center, whole program: a test center on
# 127.0.0.3 (HTTP on TCP 80, records on UDP 9015) and wirelane-probe reading a
# capture with "kestrel=127.0.0.3" in its configuration. Port 80 needs root.
source "$(dirname "$0")/common.bash"

CAPTURE=$SRC/tests/data/http_keepalive_reset.pcap

# center.py MODE DIR: MODE "did" answers ":did:42" and closes, "silent"
# accepts, reads the request and never answers. Requests go to DIR/request.N,
# datagrams to DIR/records, one a line.
cat > "$WORK/center.py" <<'PY'
import errno, os, socket, sys, threading, time
mode, out = sys.argv[1], sys.argv[2]

def bound(kind, port):
    # Another test may hold the port for a moment. A listening TCP socket,
    # and a UDP socket without SO_REUSEADDR, hold it alone.
    for _ in range(300):
        s = socket.socket(socket.AF_INET, kind)
        if kind == socket.SOCK_STREAM:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.3", port))
            if kind == socket.SOCK_STREAM:
                s.listen(8)
            return s
        except OSError as e:
            s.close()
            if e.errno != errno.EADDRINUSE:
                raise
            time.sleep(0.1)
    sys.exit("127.0.0.3:%d stays in use" % port)

tcp, udp = bound(socket.SOCK_STREAM, 80), bound(socket.SOCK_DGRAM, 9015)

def records():
    while True:
        data = udp.recv(65536)
        with open(os.path.join(out, "records"), "ab") as f:
            f.write(data + b"\n")

def serve(c, n):
    c.settimeout(3)
    req = b""
    try:
        while b"\r\n\r\n" not in req and len(req) < 8192:
            part = c.recv(1024)
            if not part:
                break
            req += part
    except socket.timeout:
        pass
    with open(os.path.join(out, "request.%d" % n), "wb") as f:
        f.write(req)
    if mode == "did":
        c.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nregistered :did:42\n")
    else:
        c.settimeout(None)
        while c.recv(1024):
            pass
    c.close()

threading.Thread(target=records, daemon=True).start()
open(os.path.join(out, "ready"), "w").close()
n = 0
while True:
    conn, _ = tcp.accept()
    threading.Thread(target=serve, args=(conn, n), daemon=True).start()
    n += 1
PY

center_pid=
start_center() {
  stop_center
  rm -rf "$WORK/center"; mkdir -p "$WORK/center"
  python3 "$WORK/center.py" "$1" "$WORK/center" &
  center_pid=$!
  cleanups+=("kill $center_pid 2>/dev/null")
  for _ in $(seq 100); do [ -f "$WORK/center/ready" ] && return 0; sleep 0.1; done
  echo "the test center did not start"; return 1
}
stop_center() {
  if [ -n "$center_pid" ]; then kill "$center_pid" 2>/dev/null || true; wait "$center_pid" 2>/dev/null || true; fi
  center_pid=
}

# run_probe NAME CONF-LINES: runs the probe on the capture with that
# configuration; its records also go to $WORK/NAME.json.
run_probe() {
  printf '%s\n' "endpoint=127.0.0.1:18090|3|40213377" "cardMac=0015A5010203" "$2" > "$WORK/$1.conf"
  rm -f "$(logfile)"
  local t0=$SECONDS rc=0
  "$PROBE" --conf "$WORK/$1.conf" --read "$CAPTURE" --json-out "$WORK/$1.json" >/dev/null 2>&1 || rc=$?
  elapsed=$((SECONDS - t0))
  expect "$1: the probe exits 0" 0 $rc
  sleep 0.5  # the last datagrams reach the center
}

# records_carry NAME DID: the center got every record, each with that did.
records_carry() {
  local got=$WORK/center/records
  if [ -s "$WORK/$1.json" ] && cmp -s "$WORK/$1.json" "$got"; then
    pass "$1: the center got all $(wc -l < "$got") records on UDP 9015"
  else
    fail "$1: records at the center differ from the probe's ($(wc -l < "$WORK/$1.json") lines, $(cat "$got" 2>/dev/null | wc -l) at the center)"
  fi
  # The end-of-scan mark (type 99) has no did.
  local other
  other=$(grep -v '^{"type":"99"' "$got" | grep -vc "\"did\":\"$2\"" || true)
  expect "$1: every record carries \"did\":\"$2\"" 0 "$other"
}

expected_request() {
  printf 'GET /cgi-bin/addWXWatchPoint.cgi?method=get&ip=&mac=0015A5010203&host=%s&user=%s&email=&password=&kestrel=1&ver=2.0.26963 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded; charset=UTF-8\r\nAccept: application/json, text/javascript, */*; q=0.01\r\nAccept-Encoding: gzip, deflate\r\nAccept-Language: zh-CN,zh;q=0.9\r\nContent-length: 0\r\n\r\n' \
    "$(hostname)" "$(id -un)"
}
expected_request > "$WORK/expected.request"

# 1. A fresh probe registers, gets did 42, and sends its records to the center.
start_center did
run_probe register "kestrel=127.0.0.3"
expect "register: one registration request" 1 "$(ls "$WORK/center" | grep -c '^request\.')"
if cmp -s "$WORK/expected.request" "$WORK/center/request.0"; then
  pass "register: the request is exactly the expected one, byte for byte"
else
  fail "register: request differs: $(diff <(cat -A "$WORK/expected.request") <(cat -A "$WORK/center/request.0"))"
fi
grep -q "MESSAGE: nic 0015A5010203 did is 42" "$(logfile)" && pass "register: the log has the did" \
  || fail "register: no did in the log"
records_carry register 42
grep -qx "kestrel=127.0.0.3" "$WORK/register.conf" && grep -qx "kestrelDid=42" "$WORK/register.conf" \
  && pass "register: center and did are saved" || fail "register: saved file: $(cat "$WORK/register.conf")"

# 2. A saved did is reused: no request at all.
start_center did
run_probe saved "$(printf 'kestrel=127.0.0.3\nkestrelDid=7')"
expect "saved: no registration request" 0 "$(ls "$WORK/center" | grep -c '^request\.' || true)"
grep -q "MESSAGE: Read did 7 from conf file" "$(logfile)" && pass "saved: the log says the did was read" \
  || fail "saved: no 'Read did 7 from conf file' in the log"
records_carry saved 7

# 3. A center that accepts and stays silent: registration gives up after the
# time-out and the probe runs on without a did, still reporting to the center.
start_center silent
run_probe silent "kestrel=127.0.0.3"
expect "silent: the request was sent" 1 "$(ls "$WORK/center" | grep -c '^request\.')"
grep -q "WARNING: Server did not answer" "$(logfile)" && pass "silent: the failure is logged" \
  || fail "silent: no 'Server did not answer' in the log"
[ "$elapsed" -ge 4 ] && [ "$elapsed" -le 12 ] && pass "silent: start-up waited ${elapsed}s, then went on" \
  || fail "silent: the run took ${elapsed}s"
records_carry silent 0
grep -qx "kestrelDid=0" "$WORK/silent.conf" && pass "silent: no did is saved" \
  || fail "silent: saved file: $(cat "$WORK/silent.conf")"
stop_center

finish
