#!/bin/bash
# wirelane-probe query and play on stores made by --read of real and
# generated captures (one store file per run): the query equals a count of
# our own over the store files, the playout file holds exactly the frames
# tshark selects from the store files, a VXLAN replay delivers each frame
# once, and bad arguments end with status 2 and one line.
source "$(dirname "$0")/common.bash"

"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 30000 100 200
mkdir -p "$WORK/json" "$WORK/pkts"
cat >"$WORK/store.conf" <<CONF
endpoint=127.0.0.1:8088|3|11111111
endpoint=127.0.0.1:18090|3|22222222
endpoint=198.19.0.0/16|1|33333333
exportPath=$WORK/json
exportSpace=100
dumpPath=$WORK/pkts
dumpSpace=100
CONF
for capture in "$SRC/data/sample.pcap" "$SRC/tests/data/http_keepalive_reset.pcap" "$WORK/synthetic.pcap"; do
  "$PROBE" --conf "$WORK/store.conf" --read "$capture" >/dev/null 2>&1 || fail "--read $capture"
  sleep 1.1  # one modification second per file: the listing orders by it
done
written=$(find "$WORK/json" -name 'Wirelane-*.json' -size -10240k -size +0 | wc -l)
[ "$written" -ge 2 ] && pass "$written JSON store files written" || fail "only $written JSON store files"

# ---- query ---------------------------------------------------------------------
# Our own reading of the store: pair records of [FROM, TO) passing the filter
# (fields src/dst, sport/dport) and holding the keyword, files by age.
expected() {
  python3 - "$WORK/json" "$@" <<'PY'
import glob, ipaddress, json, os, sys
store, start, end, filt, keyword = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
def passes(r):
    if not filt:
        return True
    if ":" in filt:
        a, p = filt.split(":")
        return (r["src"], r["sport"]) == (a, p) or (r["dst"], r["dport"]) == (a, p)
    if "-" in filt:
        lo, hi = (int(ipaddress.ip_address(x)) for x in filt.split("-"))
        return any(lo <= int(ipaddress.ip_address(r[k])) <= hi for k in ("src", "dst"))
    if "." in filt:
        return filt in (r["src"], r["dst"])
    return filt in (r["sport"], r["dport"])
files = sorted(glob.glob(store + "/Wirelane-*.json"), key=lambda f: (int(os.path.getmtime(f)), os.path.basename(f)))
for name in files:
    if os.path.getsize(name) == 10485760:
        continue
    for line in open(name, "rb").read().split(b"\r\n\r\n"):
        if not line.startswith(b'{"type":"1"'):
            continue
        r = json.loads(line)
        if start <= int(r["time"]) < end and passes(r) and keyword.encode() in line:
            print(line.decode())
PY
}
FROM=946684800
TO=4000000000
for args in "||" "127.0.0.1:8088||" "198.19.0.1-198.19.0.5||" "80||" "|big|"; do
  IFS='|' read -r filt keyword _ <<<"$args"
  got=$("$PROBE" query --store "$WORK/json" --from "$FROM" --to $TO ${filt:+--filter "$filt"} ${keyword:+--keyword "$keyword"})
  want=$(expected $FROM $TO "$filt" "$keyword")
  if [ -n "$want" ] && [ "$got" == "$want" ]; then
    pass "query '$filt' '$keyword': the $(wc -l <<<"$want") records of the store"
  else
    fail "query '$filt' '$keyword': $(wc -l <<<"$got") lines, expected $(wc -l <<<"$want")"
  fi
done
all=$("$PROBE" query --store "$WORK/json" --from "$FROM" --to $TO)
page=$("$PROBE" query --store "$WORK/json" --from "$FROM" --to $TO --page 1 --csv "$WORK/page.csv")
expect "page 1 is records 16 to 30 of the whole result" "$(sed -n 16,30p <<<"$all")" "$page"
expect "the CSV has a header and a line per record" 16 "$(python3 -c 'import csv,sys; print(len(list(csv.reader(open(sys.argv[1])))))' "$WORK/page.csv")"

# ---- play ----------------------------------------------------------------------
frames() { tshark -r "$1" -Y "$2" -T fields -e frame.time_epoch -e frame.len -e frame.cap_len 2>/dev/null; }
stored=$(for f in $(ls -tr "$WORK"/pkts/Wirelane-*.pcap); do
  [ "$(stat -c %s "$f")" -eq 52428800 ] || frames "$f" "ip.addr==198.19.0.1 && tcp.port==80"; done)
out=$("$PROBE" play --store "$WORK/pkts" --from "$FROM" --to $TO --filter 198.19.0.1:80 --out "$WORK/play.pcap")
[ -n "$stored" ] && expect "play writes the frames tshark selects from the store" "$stored" "$(frames "$WORK/play.pcap" "")" \
  || fail "no stored frames of 198.19.0.1:80"
expect "play says how many" "$(wc -l <<<"$stored") frames written to $WORK/play.pcap" "$out"

UDP=18285
python3 - "$UDP" "$WORK/vxlan.bin" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE: the replay does not wait for us
s.bind(("127.0.0.3", int(sys.argv[1])))
s.settimeout(3)
open(sys.argv[2] + ".ready", "w").close()
with open(sys.argv[2], "wb") as out:
    try:
        while True:
            d = s.recv(65535)
            out.write(len(d).to_bytes(4, "little") + d)
    except socket.timeout:
        pass
PY
for _ in $(seq 50); do [ -f "$WORK/vxlan.bin.ready" ] && break; sleep 0.1; done
"$PROBE" play --store "$WORK/pkts" --from "$FROM" --to $TO --filter 198.19.0.1:80 --trunc 64 --out "$WORK/cut.pcap" \
  --vxlan 127.0.0.3:$UDP >/dev/null
wait $!  # the listener ends 3 s after the last datagram
if python3 - "$WORK/cut.pcap" "$WORK/vxlan.bin" <<'PY'; then pass "the replay delivers each frame once, header and bytes intact"; else fail "VXLAN replay"; fi
import struct, sys
data = open(sys.argv[1], "rb").read()[24:]
frames = []
while data:
    caplen, length = struct.unpack("<II", data[8:16])
    if caplen > 64 or length > 64:
        sys.exit("not cut to 64 bytes")
    frames.append(b"\x08\0\0\0\0\0\xc8\0" + data[16:16 + caplen])
    data = data[16 + caplen:]
got, raw = [], open(sys.argv[2], "rb").read()
while raw:
    n = int.from_bytes(raw[:4], "little")
    got.append(raw[4:4 + n])
    raw = raw[4 + n:]
sys.exit(0 if frames and got == frames else f"{len(got)} datagrams for {len(frames)} frames")
PY

# ---- bad arguments -------------------------------------------------------------
for args in "query --store $WORK/json --from 0 --to 10 --filter host|Query filter error" \
            "query --store $WORK/json --from 10 --to 10|the start of the period must be before its end" \
            "query --store $WORK/none --from 0 --to 10|cannot list the store" \
            "query --from yesterday --to 10 --store $WORK/json|bad time 'yesterday'" \
            "play --store $WORK/pkts --from 0 --to 10 --filter 1.2.3.4:80,5.6.7.8|Playback filter error" \
            "play --store $WORK/pkts --from 0 --to 10 --vxlan 127.0.0.1|Vxlan addr error" \
            "query --store $WORK/json --from 0 --to 10 --page x|bad page 'x'"; do
  set +e; said=$("$PROBE" ${args%%|*} 2>&1 >/dev/null); rc=$?; set -e
  [ $rc -eq 2 ] && [ "$(wc -l <<<"$said")" -eq 1 ] && grep -qF "${args#*|}" <<<"$said" \
    && pass "${args%% *} ${args#*|}: status 2" || fail "${args%%|*}: status $rc, said '$said'"
done
"$PROBE" --help | grep -q "wirelane-probe play" && pass "--help lists the verbs" || fail "--help"
finish
