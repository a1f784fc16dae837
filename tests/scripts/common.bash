# Shared by the whole-program tests: $1 is the build folder, $2 the source.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
PROBE=$BUILD/wirelane-probe
WORK=$(mktemp -d /tmp/wirelane-test.XXXXXX)
chmod 755 "$WORK"
export TMPDIR=$WORK/tmp WORK
mkdir -p "$TMPDIR/Wirelane"
chmod 1777 "$TMPDIR"
export CONF=$TMPDIR/Wirelane/Wirelane.conf  # the desktop program's
failures=0
cleanups=()
trap 'for c in "${cleanups[@]}"; do eval "$c" || true; done; rm -rf "$WORK"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# expect DESCRIPTION EXPECTED ACTUAL
expect() { if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi; }
# same WHAT FILE1 FILE2: the files are equal, byte for byte.
same() { cmp -s "$2" "$3" && pass "$1" || fail "$1: $(cmp "$2" "$3" 2>&1)"; }
finish() { [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }; echo "all checks passed"; }
logfile() { echo "$TMPDIR/Wirelane/Wirelane-$(date +%Y-%m-%d).log"; }
needs_root() { [ "$(id -u)" -eq 0 ] || { echo "needs root for the capture"; exit 1; }; }
ports_free() { for p; do ! (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo "port $p is taken"; exit 1; }; done; }
# background COMMAND...: runs it until the test ends; its process id in $bg.
background() { "$@" & bg=$!; cleanups+=("kill $bg 2>/dev/null"); }

# refused STATUS TEXT ARGS...: the probe given ARGS ends with STATUS and says
# TEXT on standard error (kept in $said).
refused() {
  local status=$1 text=$2 rc=0
  shift 2
  said=$("$PROBE" "$@" 2>&1 >/dev/null) || rc=$?
  [ $rc -eq "$status" ] && grep -qF -- "$text" <<<"$said" && pass "'$*': status $status, '$text'" \
    || fail "'$*': status $rc, said '$said'"
}

# store_conf FILE LINES...: LINES and JSON and packet stores of 100 MB in $WORK/json and $WORK/pkts.
store_conf() {
  mkdir -p "$WORK/json" "$WORK/pkts"
  printf '%s\n' "${@:2}" "exportPath=$WORK/json" exportSpace=100 "dumpPath=$WORK/pkts" dumpSpace=100 >"$1"
}

# vxlan_holds WHAT PCAP BIN: BIN (of start_udp_listener) holds each frame of PCAP once, in order, behind its VXLAN
# header (VNI 200).
vxlan_holds() {
  python3 - "$2" "$3" <<'PY' && pass "$1: each frame once, header and bytes intact" || fail "$1"
import struct, sys
data, want = open(sys.argv[1], "rb").read()[24:], b""
while len(data) >= 16 and data[8:16] != bytes(8):
    caplen = struct.unpack("<I", data[8:12])[0]
    want, data = want + b"\x08\0\0\0\0\0\xc8\0" + data[16:16 + caplen] + b"\n", data[16 + caplen:]
got = open(sys.argv[2], "rb").read()
sys.exit(0 if want and got == want else f"{len(got)} bytes at the listener for {len(want)} sent")
PY
}

# start_nginx PORT [HTTP-DIRECTIVES [SERVER-DIRECTIVES]]: a real HTTP server
# on 127.0.0.1:PORT; the directives replace the plain access log.
start_nginx() {
  local dir=$WORK/nginx
  mkdir -p "$dir/html" && echo '<html><body>hello</body></html>' >"$dir/html/index.html"
  head -c 60000 /dev/zero | tr '\0' 'w' >"$dir/html/big.txt"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  ${2:-access_log $dir/access.log;}
  client_body_temp_path $dir/body; proxy_temp_path $dir/proxy; fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi; scgi_temp_path $dir/scgi;
  server { listen 127.0.0.1:$1; root $dir/html; ${3:-} }
}
CONF
  nginx -c "$dir/nginx.conf"
  cleanups+=("nginx -c '$dir/nginx.conf' -s stop 2>/dev/null")
  for _ in $(seq 50); do [ -s "$dir/nginx.pid" ] && return 0; sleep 0.1; done  # written once it listens
  echo "nginx did not start"; cat "$dir/error.log"; return 1
}

# start_capture FILE FILTER / stop_capture: tcpdump on lo as a witness.
start_capture() {
  background tcpdump -i lo --immediate-mode -U -w "$1" "$2" 2>"$1.err"
  capture=$bg
  for _ in $(seq 50); do grep -q "listening on" "$1.err" && break; sleep 0.1; done
}
stop_capture() { sleep 0.5; kill "$capture"; wait "$capture" 2>/dev/null || true; }

# unit_test WHAT FILTER VAR=VALUE...: GoogleTest cases that read what this
# script made, named in the environment; they skip without it.
unit_test() {
  local what=$1 filter=$2 out=$WORK/gtest.out
  shift 2
  env "$@" "$BUILD/tests/wirelane_tests" --gtest_filter="$filter" >"$out" 2>&1 && grep -q '^\[  PASSED  \]' "$out" \
    && ! grep -q '^\[  SKIPPED \]' "$out" && pass "$what" || fail "$what: $(tail -40 "$out")"
}

# start_mariadb PORT ADDRESSES: a MariaDB server of its own on PORT (ADDRESSES
# as --bind-address takes them), TLS off, root without a password, its data in
# $WORK/mariadb; returns once it answers on the first address. sql ARGS... runs
# the client on it over TCP, to the first address unless given -h; stop_mariadb
# ends the server.
start_mariadb() {
  local db=$WORK/mariadb bin
  bin=$(PATH=$PATH:/usr/sbin command -v mariadbd) || { echo "no MariaDB server installed"; exit 1; }
  MARIADB_PORT=$1 MARIADB_HOST=${2%%,*}
  mkdir -p "$db"
  mariadb-install-db --no-defaults --datadir="$db/data" --auth-root-authentication-method=normal \
    --skip-test-db --user=root >"$db/install.log" 2>&1 || { cat "$db/install.log"; exit 1; }
  background "$bin" --no-defaults --datadir="$db/data" --socket="$db/sock" --pid-file="$db/pid" --port=$1 \
    --bind-address=$2 --skip-ssl --skip-name-resolve --user=root --innodb-buffer-pool-size=16M \
    --log-error="$db/error.log" >"$db/server.out" 2>&1
  mariadb_server=$bg
  for _ in $(seq 100); do sql -e 'SELECT 1' >/dev/null 2>&1 && return 0; sleep 0.2; done
  echo "the server does not answer"; cat "$db/error.log"; exit 1
}
sql() { mariadb --no-defaults --protocol=TCP -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u root --skip-ssl "$@"; }
stop_mariadb() {
  kill -TERM $mariadb_server
  for _ in $(seq 100); do kill -0 $mariadb_server 2>/dev/null || break; sleep 0.1; done
}

# start_udp_listener ADDRESS PORT FILE: appends each datagram and a newline
# to FILE, made once the socket is bound; ADDRESS may be an IPv6 one (::1).
start_udp_listener() {
  rm -f "$3"
  background python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE: senders do not wait for us
s.bind((sys.argv[1], int(sys.argv[2])))
with open(sys.argv[3], "ab", buffering=0) as out:
    while True:
        out.write(s.recv(65535) + b"\n")' "$@"
  for _ in $(seq 100); do [ -e "$3" ] && return 0; sleep 0.1; done
  echo "the listener on $1:$2 did not start"; return 1
}

# run_gui DRIVER [PREFIX...]: the desktop program under Xvfb with a real
# accessibility bus, started through PREFIX when given (a network namespace,
# another user), driven by tests/scripts/DRIVER (given its process id) to its
# Exit; its output goes to $TMPDIR/gui.out. GUI_LABEL, when set, begins the
# check lines.
run_gui() {
  local result label=${GUI_LABEL:+$GUI_LABEL: }
  result=$(timeout 280 "${@:2}" xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash -c '
    "$0" >"$TMPDIR/gui.out" 2>&1 & app=$!
    /usr/bin/python3 "$@" $app; driver=$?
    for _ in $(seq 50); do kill -0 $app 2>/dev/null || break; sleep 0.1; done
    if kill -0 $app 2>/dev/null; then echo "FAIL: Exit did not end the program"; kill $app; exit 1; fi
    wait $app
    echo "exit status $? driver $driver"' "$BUILD/wirelane" "$SRC/tests/scripts/$1" 2>&1 || true)
  grep -vE "dbus-daemon|SpiRegistry|^Xlib.protocol" <<<"$result"
  grep -q '^FAIL' <<<"$result" && fail "${label}the window failed a check"
  expect "${label}Exit ends the program with status 0" "exit status 0 driver 0" "$(grep '^exit status' <<<"$result")"
}

# run_live_gui DRIVER PORT CONF-LINES...: the window on the loopback card
# with curl asking nginx on PORT every 0.3 s, monitored as an HTTP endpoint.
run_live_gui() {
  needs_root
  start_nginx "$2"
  printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$2|3|12345678" "${@:3}" >"$CONF"
  background bash -c "while :; do curl -s -o /dev/null http://127.0.0.1:$2/; sleep 0.3; done"
  export PORT=$2
  run_gui "$1"
}

# start_clickhouse NAME HTTP_PORT TCP_PORT [CLUSTER SHARD_TCP_PORT...]: a ClickHouse server of its own on
# 127.0.0.1, its data and logs in $WORK/NAME (kept across a stop, so that it starts again on them); returns once
# /ping answers. With CLUSTER, remote_servers holds that cluster of one shard per port given. chq NAME SQL prints
# what a query returns; stop_clickhouse NAME ends the server and waits until it is gone.
start_clickhouse() {
  local dir=$WORK/$1 shards="" p
  for p in "${@:5}"; do shards+="<shard><replica><host>127.0.0.1</host><port>$p</port></replica></shard>"; done
  mkdir -p "$dir"/{data,tmp,user_files,format_schemas,log}
  cat >"$dir/config.xml" <<XML
<yandex>
  <logger><level>information</level><log>$dir/log/server.log</log><errorlog>$dir/log/error.log</errorlog></logger>
  <listen_host>127.0.0.1</listen_host><http_port>$2</http_port><tcp_port>$3</tcp_port>
  <path>$dir/data/</path><tmp_path>$dir/tmp/</tmp_path><user_files_path>$dir/user_files/</user_files_path>
  <format_schema_path>$dir/format_schemas/</format_schema_path>
  <users_config>$dir/users.xml</users_config><default_profile>default</default_profile>
  <default_database>default</default_database><mark_cache_size>67108864</mark_cache_size>
  <remote_servers>${4:+<$4>$shards</$4>}</remote_servers>
</yandex>
XML
  cat >"$dir/users.xml" <<XML
<yandex>
  <profiles><default/></profiles>
  <users><default><password/><networks><ip>127.0.0.1</ip></networks><profile>default</profile><quota>default</quota></default></users>
  <quotas><default/></quotas>
</yandex>
XML
  echo "$2 $3" >"$dir/ports"
  background /usr/sbin/clickhouse-server --config-file="$dir/config.xml" >"$dir/log/stdout" 2>&1
  echo $bg >"$dir/pid"
  cleanups+=("stop_clickhouse $1")  # gone before the next test takes its ports
  for _ in $(seq 100); do [ "$(curl -s "http://127.0.0.1:$2/ping")" = Ok. ] && return 0; sleep 0.1; done
  echo "ClickHouse $1 does not answer"; tail "$dir/log/error.log" "$dir/log/stdout"; exit 1
}
chq() { clickhouse-client --port "$(cut -d' ' -f2 "$WORK/$1/ports")" --query "$2"; }
stop_clickhouse() {
  local pid
  pid=$(cat "$WORK/$1/pid")
  kill -TERM "$pid" 2>/dev/null || return 0
  # About 1.5 s on an idle machine; a loaded one (the sanitizer builds) has taken over 10 s. What it
  # acknowledged is on disk either way: past 30 s it is killed.
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  echo "ClickHouse $1 took over 30 s to stop: killed"
  kill -KILL "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  echo "ClickHouse $1 did not stop"; exit 1
}
