#!/bin/bash
# TLS handshakes of curl and python3 against nginx on loopback, captured by tcpdump and read back through the
# whole frame path, give one TLS record each whose fields and times are tshark's. Certificates are made here.
# WIRELANE_TLS_EXPECT_RECORDS=0 checks the capture only: every planned handshake is in it as set up.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18443
ports_free $PORT
records=${WIRELANE_TLS_EXPECT_RECORDS:-1}

# Two authorities, each signing one server name; the notAfter of b.test lies past 2049, so it is written as a
# GeneralizedTime rather than a UTCTime.
cd "$WORK"
pki() { openssl "$@" >/dev/null 2>&1 || { echo "openssl $1 failed"; exit 1; }; }
for ca in A B; do
  pki req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca$ca.key -out ca$ca.crt -days 3650 \
    -subj "/O=Wirelane tests/CN=Wirelane Test Authority $ca"
done
cat caA.crt caB.crt >cas.crt
# sign NAME AUTHORITY DAYS
sign() {
  pki req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1"
  pki x509 -req -in "$1.csr" -CA "ca$2.crt" -CAkey "ca$2.key" -CAcreateserial -days "$3" -out "$1.crt" \
    -extfile <(echo "subjectAltName=DNS:$1")
}
sign a.test A 30
sign b.test B 10000

# start_nginx's own server is the default one on the TLS port: a name it does not serve, or none, gets a
# fatal alert instead of a certificate.
site() { echo "server { listen 127.0.0.1:$PORT ssl http2; server_name $1; root $WORK/nginx/html;
  ssl_certificate $WORK/$1.crt; ssl_certificate_key $WORK/$1.key; }"; }
start_nginx "$PORT ssl http2 default_server" "access_log off; ssl_protocols TLSv1.2 TLSv1.3;
  $(site a.test) $(site b.test)" "ssl_reject_handshake on;"
start_capture "$WORK/tls.pcap" "tcp port $PORT"

# Each client's port and the handshake expected of it: port|sni|version|alpn|alert|subject|issuer|notAfter
# (TLS 1.3 hides the server's ALPN choice, so the client's first offer counts, and its certificate).
plan=$WORK/plan.txt
cert() { # NAME AUTHORITY: subject|issuer|notAfter as the record writes them
  local after
  after=$(openssl x509 -in "$1.crt" -noout -enddate | cut -d= -f2)
  echo "$1|Wirelane Test Authority $2|$(date -u -d "$after" '+%F %T')"
}
certA=$(cert a.test A) certB=$(cert b.test B)
web() { # NAME VERSION ALPN CERTIFICATE CURL-OPTIONS...
  local port
  port=$(curl -s -o /dev/null -w '%{local_port}' --cacert cas.crt --resolve "$1:$PORT:127.0.0.1" "${@:5}" \
    "https://$1:$PORT/index.html") || fail "curl ${*:5} to $1"
  echo "$port|$1|$2|$3||$4" >>"$plan"
}
web a.test TLSv1.3 h2 "||" --http2
web a.test TLSv1.2 http/1.1 "$certA" --http1.1 --tlsv1.2 --tls-max 1.2
web b.test TLSv1.2 h2 "$certB" --http2 --tlsv1.2 --tls-max 1.2
web b.test TLSv1.3 http/1.1 "||" --http1.1

python3 - "$PORT" "$certA" "$certB" >>"$plan" <<'PY' || fail "the python3 clients"
import os, socket, ssl, struct, sys, time
port, certA, certB = int(sys.argv[1]), sys.argv[2], sys.argv[3]

def connect():
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s

def client(name, alpn, split=0, **versions):
    """Handshakes through memory, so the first flight may go out in two segments (loopback would otherwise
    carry any ClientHello in one); returns the client's port."""
    ctx = ssl.create_default_context(cafile="cas.crt")
    ctx.set_alpn_protocols(alpn)
    for k, v in versions.items():
        setattr(ctx, k, v)
    into, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls, s = ctx.wrap_bio(into, out, server_hostname=name), connect()
    mine = s.getsockname()[1]
    def flush():
        nonlocal split
        data = out.read()
        if split and len(data) > split:
            s.sendall(data[:split])
            time.sleep(0.05)
            data, split = data[split:], 0
        s.sendall(data)
    try:
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                flush()
                data = s.recv(65536)
                into.write(data) if data else into.write_eof()
        tls.write(b"GET / HTTP/1.1\r\nHost: " + name.encode() + b"\r\nConnection: close\r\n\r\n")
        flush()
        while s.recv(65536):
            pass
    except ssl.SSLError:
        pass
    s.close()
    return mine

print(f"{client('unknown.test', ['http/1.1'])}|unknown.test||http/1.1|112|||")
# A ClientHello of about 1,800 bytes, sent in two segments: eight long protocol names after the two the
# server knows.
long = ["h2", "http/1.1"] + [chr(97 + i) * 200 for i in range(8)]
print(f"{client('b.test', long, 1000, maximum_version=ssl.TLSVersion.TLSv1_2)}|b.test|TLSv1.2|h2||{certB}")

# A ClientHello of its own, with GREASE values among the suites, extensions, groups and versions, as
# browsers send; the server answers with its first flight and the client leaves.
def ext(kind, body):
    return struct.pack("!HH", kind, len(body)) + body
def vec(fmt, items, width=2):
    body = b"".join(struct.pack(fmt, i) for i in items)
    return len(body).to_bytes(width, "big") + body
name = b"a.test"
exts = ext(0x0a0a, b"") + ext(0, struct.pack("!HBH", len(name) + 3, 0, len(name)) + name)
exts += ext(10, vec("!H", [0x2a2a, 29, 23])) + ext(11, vec("!B", [0], 1))
exts += ext(13, vec("!H", [0x0403, 0x0804, 0x0401])) + ext(16, b"\0\x09\x08http/1.1")
exts += ext(43, vec("!H", [0x3a3a, 0x0303], 1)) + ext(0x1a1a, b"\0")
hello = b"\x03\x03" + os.urandom(32) + b"\0" + vec("!H", [0x4a4a, 0xc02b, 0xc02c, 0xc02f]) + b"\x01\0"
hello += struct.pack("!H", len(exts)) + exts
hello = b"\x01" + len(hello).to_bytes(3, "big") + hello
s = connect()
print(f"{s.getsockname()[1]}|a.test|TLSv1.2|http/1.1||{certA}")
s.sendall(b"\x16\x03\x01" + struct.pack("!H", len(hello)) + hello)
s.recv(65536)
s.close()
PY
stop_capture

expect "every client reported its port" 7 "$(wc -l <"$plan")"
expect "the long ClientHello spans two segments" 2 "$(tshark -r "$WORK/tls.pcap" -d "tcp.port==$PORT,tls" -T fields \
  -e tcp.segment.count -Y "tcp.srcport == $(sed -n 6p "$plan" | cut -d'|' -f1) && tls.handshake.type == 1" 2>/dev/null)"
result=$(python3 "$SRC/tests/scripts/tls_vs_tshark.py" "$WORK/tls.pcap" - "$plan" 2>&1) \
  && pass "the capture holds every planned handshake: $result" || fail "$result"
if [ "$records" != 0 ]; then
  for proto in 3 0; do  # "HTTP" and "TCP & UDP"
    echo "endpoint=127.0.0.1:$PORT|$proto|12345678" >"$WORK/tls$proto.conf"
    "$PROBE" --read "$WORK/tls.pcap" --conf "$WORK/tls$proto.conf" --json-out - >"$WORK/tls$proto.json" 2>/dev/null
    result=$(python3 "$SRC/tests/scripts/tls_vs_tshark.py" "$WORK/tls.pcap" "$WORK/tls$proto.json" 2>&1) \
      && pass "endpoint of protocol $proto: the TLS records are tshark's: $result" || fail "protocol $proto: $result"
    # The pair records name the server; nothing is taken for an HTTP request in the encrypted bytes.
    names=$(jq -r "select(.type == \"1\" and .dport == \"$PORT\") | .urlsql" "$WORK/tls$proto.json" | sort -u)
    [ -n "$names" ] && ! grep -qvxE '(a|b|unknown)\.test' <<<"$names" \
      && pass "protocol $proto: pair records carry the server name" || fail "pair names: $names"
    expect "protocol $proto: no HTTP record" 0 "$(jq -r 'select(.type == "2") | .url' "$WORK/tls$proto.json" | wc -l)"
  done
fi
finish
