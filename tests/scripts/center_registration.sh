#!/bin/bash
# Registration with a monitoring center at start-up: a test center on 127.0.0.3,
# then on ::1 (TCP 80, needing root; records on UDP 9015) and the probe reading
# a capture.
source "$(dirname "$0")/common.bash"

# center.py MODE DIR ADDRESS: takes a registration request to DIR/request;
# MODE "did" answers ":did:42", "junk" a reply without one, "silent" never
# answers. Any further one makes DIR/again.
cat >"$WORK/center.py" <<'PY'
import socket, sys, time
for _ in range(300):  # a unit test may hold the port for a moment
    try:
        tcp = socket.create_server((sys.argv[3], 80), backlog=8,  # with SO_REUSEADDR
                                   family=socket.AF_INET6 if ":" in sys.argv[3] else socket.AF_INET)
        break
    except OSError:
        time.sleep(0.1)
open(sys.argv[2] + "/ready", "w").close()
c, req = tcp.accept()[0], b""
while b"\r\n\r\n" not in req and (part := c.recv(1024)):
    req += part
open(sys.argv[2] + "/request", "wb").write(req)
if sys.argv[1] == "did":
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nregistered :did:42\n")
    c.close()
if sys.argv[1] == "junk":
    c.sendall(b"HTTP/1.0 200 OK\r\n\r\nno id\r\n")
    c.close()
while tcp.accept():
    open(sys.argv[2] + "/again", "w").close()
PY
start_udp_listener 127.0.0.3 9015 "$WORK/records"
start_udp_listener ::1 9015 "$WORK/records6"
CENTER=127.0.0.3 RECORDS=$WORK/records

# run_case MODE NAME REQUESTS LOGGED DID CONF-LINES: against a center in MODE
# on $CENTER, whose records come to $RECORDS.
run_case() {
  local mode=$1 name=$2 requests=$3 logged=$4 did=$5 conf=$WORK/$2.conf rc=0
  rm -rf "$WORK/center" "$(logfile)"; mkdir -p "$WORK/center"; : >"$RECORDS"
  background python3 "$WORK/center.py" "$mode" "$WORK/center" "$CENTER"
  for _ in $(seq 100); do [ -f "$WORK/center/ready" ] && break; sleep 0.1; done
  printf '%s\n' "endpoint=127.0.0.1:18090|3|40213377" "cardMac=0015A5010203" "${@:6}" >"$conf"
  "$PROBE" --conf "$conf" --read "$SRC/tests/data/http_keepalive_reset.pcap" --json-out "$WORK/$name.json" \
    >/dev/null 2>&1 || rc=$?
  expect "$name: the probe exits 0" 0 $rc
  sleep 0.5  # the last datagrams reach the center
  kill $bg; wait $bg 2>/dev/null || true
  if [ "$requests" -eq 0 ]; then
    [ ! -e "$WORK/center/request" ] && pass "$name: no registration request" || fail "$name: a request was sent"
  else  # the request itself, byte for byte: center_test.cpp
    grep -qF "&mac=0015A5010203&host=$(hostname)&user=$(id -un)&" "$WORK/center/request" && [ ! -e "$WORK/center/again" ] \
      && pass "$name: one request, naming this host and user" || fail "$name: request $(cat "$WORK/center/request")"
  fi
  grep -qF "$logged" "$(logfile)" && pass "$name: logged '$logged'" || fail "$name: not logged: $logged"
  # The center gets every record; all but the end-of-scan mark (type 99) carry the did.
  [ -s "$WORK/$name.json" ] || fail "$name: no records"
  same "$name: the center got every record on UDP 9015" "$WORK/$name.json" "$RECORDS"
  expect "$name: every record carries \"did\":\"$did\"" 0 \
    "$(grep -v '^{"type":"99"' "$RECORDS" | grep -vc "\"did\":\"$did\"" || true)"
  grep -qxF "${6}" "$conf" && grep -qx "kestrelDid=$did" "$conf" \
    && pass "$name: center and did are saved" || fail "$name: saved file: $(cat "$conf")"
}

# A fresh probe registers; a saved did is used unasked; a silent center is given up and the probe runs on without a did.
run_case did register 1 "MESSAGE: nic 0015A5010203 did is 42" 42 "kestrel=127.0.0.3"
run_case did saved 0 "MESSAGE: Read did 7 from conf file" 7 "kestrel=127.0.0.3" "kestrelDid=7"
run_case silent silent 1 "WARNING: Server did not answer" 0 "kestrel=127.0.0.3"
# The reply goes into the log with its control bytes escaped: every line there starts with its time.
run_case junk junk 1 'ERROR: get nic 0015A5010203 did error HTTP/1.0 200 OK\r\n\r\nno id\r\n' 0 "kestrel=127.0.0.3"
expect "junk: no log line without its time" "" "$(grep -vE '^([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} |$)' "$(logfile)")"
# The same center on ::1, written bracketed or bare; the log names it [::1]:80.
CENTER=::1 RECORDS=$WORK/records6
run_case did register6 1 "MESSAGE: nic 0015A5010203 did is 42" 42 "kestrel=[::1]"
run_case silent silent6 1 "WARNING: [::1]:80 did not answer within 5 s" 0 "kestrel=::1"
finish
