#!/bin/bash
# TLS handshakes of curl and python3 against nginx on loopback, captured by tcpdump and read back through the
# whole frame path, give one TLS record each whose fields and times are tshark's. Certificates are made here.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18443
ports_free $PORT

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

python3 - "$PORT" "$certB" >>"$plan" <<'PY' || fail "the python3 clients"
import socket, ssl, sys, time
port, certB = int(sys.argv[1]), sys.argv[2]

def client(name, alpn, split=0, **versions):
    """Handshakes through memory, so the first flight may go out in two segments (loopback would otherwise
    carry any ClientHello in one); returns the client's port."""
    ctx = ssl.create_default_context(cafile="cas.crt")
    ctx.set_alpn_protocols(alpn)
    for k, v in versions.items():
        setattr(ctx, k, v)
    into, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls, s = ctx.wrap_bio(into, out, server_hostname=name), socket.create_connection(("127.0.0.1", port), timeout=5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
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

PY
stop_capture

expect "every client reported its port" 6 "$(wc -l <"$plan")"
expect "the long ClientHello spans two segments" 2 "$(tshark -r "$WORK/tls.pcap" -d "tcp.port==$PORT,tls" -T fields \
  -e tcp.segment.count -Y "tcp.srcport == $(sed -n 6p "$plan" | cut -d'|' -f1) && tls.handshake.type == 1" 2>/dev/null)"
for proto in 3 0; do  # "HTTP" and "TCP & UDP"
  echo "endpoint=127.0.0.1:$PORT|$proto|12345678" >"$WORK/tls$proto.conf"
  "$PROBE" --read "$WORK/tls.pcap" --conf "$WORK/tls$proto.conf" --json-out - >"$WORK/tls$proto.json" 2>/dev/null
  result=$(python3 "$SRC/tests/scripts/tls_vs_tshark.py" "$WORK/tls.pcap" "$WORK/tls$proto.json" 2>&1) \
    && pass "endpoint of protocol $proto: the TLS records are tshark's: $result" || fail "protocol $proto: $result"
  # Each handshake as the clients set it up (the records being tshark's, so is the capture).
  expect "protocol $proto: the planned handshakes" "$(sort "$plan")" "$(jq -r 'select(.type == "7") | [.sport, .sni,
    .version, .alpn, .alert, .certSubject, .certIssuer, .certNotAfter] | join("|")' "$WORK/tls$proto.json" | sort)"
  # The pair records name the server; nothing is taken for an HTTP request in the encrypted bytes.
  names=$(jq -r "select(.type == \"1\" and .dport == \"$PORT\") | .urlsql" "$WORK/tls$proto.json" | sort -u)
  [ -n "$names" ] && ! grep -qvxE '(a|b|unknown)\.test' <<<"$names" \
    && pass "protocol $proto: pair records carry the server name" || fail "pair names: $names"
  expect "protocol $proto: no HTTP record" 0 "$(jq -r 'select(.type == "2") | .url' "$WORK/tls$proto.json" | wc -l)"
done
finish
