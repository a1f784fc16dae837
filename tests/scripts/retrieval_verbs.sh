#!/bin/bash
# wirelane-probe query and play on stores made by --read of three captures: the query equals our own reading of
# the store files, play gives exactly the frames tshark selects from them, the frames go out over VXLAN as they
# are stored and as they are played, and bad arguments get status 2 and one line.
source "$(dirname "$0")/common.bash"
"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 30000 100 200
store_conf "$WORK/store.conf" "endpoint=127.0.0.1:8088|3|11111111" "endpoint=127.0.0.1:18090|3|22222222" \
  "endpoint=198.19.0.0/16|1|33333333" dumpTrun=128 dumpRemote=127.0.0.3
for capture in "$SRC/data/sample.pcap" "$SRC/tests/data/http_keepalive_reset.pcap" "$WORK/synthetic.pcap"; do
  [ "$capture" != "$WORK/synthetic.pcap" ] || start_udp_listener 127.0.0.3 4789 "$WORK/live.bin"
  "$PROBE" --conf "$WORK/store.conf" --read "$capture" >/dev/null 2>&1 || fail "--read $capture"
  sleep 1.1  # one modification second per file: the listing orders by it
done
grep -qzF "dumpPath=$WORK/pkts"$'\ndumpRemote=127.0.0.3\ndumpSpace=100\ndumpTrun=128\n' "$WORK/store.conf" \
  && pass "the rewrite keeps the packet dump's values" || fail "rewrite: $(cat "$WORK/store.conf")"
period=(--from 946684800 --to 4000000000)

# Pair records passing the filter (ADDRESS:PORT) and holding the keyword, files by age.
expected() {
  python3 - "$WORK/json" "$@" <<'PY'
import glob, json, os, sys
store, filt, keyword = sys.argv[1], sys.argv[2], sys.argv[3].encode()
files = sorted(glob.glob(store + "/Wirelane-*.json"), key=lambda f: (int(os.path.getmtime(f)), os.path.basename(f)))
for name in (f for f in files if os.path.getsize(f) != 10485760):
    for line in open(name, "rb").read().split(b"\r\n\r\n"):
        if line.startswith(b'{"type":"1"') and keyword in line:
            r = json.loads(line)
            if not filt or filt in (f'{r["src"]}:{r["sport"]}', f'{r["dst"]}:{r["dport"]}'):
                print(line.decode())
PY
}
[ "$(find "$WORK/json" -name 'Wirelane-*.json' -size -10240k -size +0 | wc -l)" -ge 2 ] || fail "one store file only"
for args in "|" "127.0.0.1:8088|" "|big"; do
  IFS='|' read -r filt keyword <<<"$args"
  got=$("$PROBE" query --store "$WORK/json" "${period[@]}" ${filt:+--filter "$filt"} ${keyword:+--keyword "$keyword"})
  want=$(expected "$filt" "$keyword")
  [ -n "$want" ] && [ "$got" == "$want" ] && pass "query '$filt' '$keyword': the $(wc -l <<<"$want") records of the store" \
    || fail "query '$filt' '$keyword': $(wc -l <<<"$got") lines, expected $(wc -l <<<"$want")"
done
all=$("$PROBE" query --store "$WORK/json" "${period[@]}")
page=$("$PROBE" query --store "$WORK/json" "${period[@]}" --page 1 --csv "$WORK/page.csv")
expect "page 1 is records 16 to 30 of the whole result" "$(sed -n 16,30p <<<"$all")" "$page"
expect "the CSV has a header and a line per record" 16 "$(python3 -c 'import csv, sys
print(len(list(csv.reader(open(sys.argv[1])))))' "$WORK/page.csv")"

frames() { tshark -r "$1" -Y "$2" -T fields -e frame.time_epoch -e frame.len -e frame.cap_len 2>/dev/null; }
stored=$(for f in $(ls -tr "$WORK"/pkts/Wirelane-*.pcap); do
  [ "$(stat -c %s "$f")" -eq 52428800 ] || frames "$f" "ip.addr==198.19.0.1 && tcp.port==80"; done)
expect "frames are stored cut to dumpTrun" 128 "$(cut -f3 <<<"$stored" | sort -n | tail -1)"
out=$("$PROBE" play --store "$WORK/pkts" "${period[@]}" --filter 198.19.0.1:80 --out "$WORK/play.pcap")
[ -n "$stored" ] && expect "play writes the frames tshark selects from the store" "$stored" "$(frames "$WORK/play.pcap" "")" \
  || fail "no stored frames of 198.19.0.1:80"
expect "play says how many" "$(wc -l <<<"$stored") frames written to $WORK/play.pcap" "$out"

vxlan_holds "the last capture's frames go out as stored" "$(ls -t "$WORK"/pkts/Wirelane-*.pcap | head -1)" "$WORK/live.bin"
# Cut to 64 bytes and replayed.
start_udp_listener 127.0.0.3 18285 "$WORK/vxlan.bin"
"$PROBE" play --store "$WORK/pkts" "${period[@]}" --filter 198.19.0.1:80 --trunc 64 --out "$WORK/cut.pcap" \
  --vxlan 127.0.0.3:18285 >/dev/null
sleep 0.5  # the listener writes what came
expect "play cuts to --trunc, both lengths" 64 "$(frames "$WORK/cut.pcap" "" | cut -f2,3 | tr '\t' '\n' | sort -n | tail -1)"
vxlan_holds "the replay" "$WORK/cut.pcap" "$WORK/vxlan.bin"

# Over IPv6: a collector at [::1]:PORT and a VXLAN receiver on ::1 get the records and frames of a read, and the
# replay goes to [::1]:PORT.
start_udp_listener ::1 19083 "$WORK/records6"
start_udp_listener ::1 4789 "$WORK/frames6"
start_udp_listener ::1 18286 "$WORK/vxlan6.bin"
printf '%s\n' "endpoint=198.19.0.0/16|1|33333333" "exportRemote=[::1]:19083" dumpRemote=::1 >"$WORK/v6.conf"
"$PROBE" --conf "$WORK/v6.conf" --read "$WORK/cut.pcap" --json-out "$WORK/v6.json" >/dev/null 2>&1 || fail "--read, IPv6"
"$PROBE" play --store "$WORK/pkts" "${period[@]}" --filter 198.19.0.1:80 --trunc 64 --out "$WORK/cut6.pcap" \
  --vxlan "[::1]:18286" >/dev/null || fail "play --vxlan [::1]:18286"
sleep 0.5
[ -s "$WORK/v6.json" ] && same "the collector on [::1]:19083 gets every record" "$WORK/v6.json" "$WORK/records6" \
  || fail "no records from the read"
vxlan_holds "the receiver on ::1" "$WORK/cut.pcap" "$WORK/frames6"
vxlan_holds "the replay to [::1]:18286" "$WORK/cut6.pcap" "$WORK/vxlan6.bin"
grep -qx "exportRemote=\[::1\]:19083" "$WORK/v6.conf" && grep -qx "dumpRemote=::1" "$WORK/v6.conf" \
  && pass "IPv6 destinations are saved as written" || fail "saved: $(cat "$WORK/v6.conf")"

# IPv6: a packet store written here in the store's own format (what the probe stores of a
# dual-stack capture: retrieval_dual_stack.sh): frames plain, tagged, behind extension headers in several orders,
# later fragments, ESP, cut short in the header chain, in VXLAN and GRE and carrying them.
mkdir -p "$WORK/pkts6"
python3 - "$WORK/pkts6/Wirelane-1-001.pcap" <<'PY'
import ipaddress, random, struct, sys
random.seed(6)
hosts = ["2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4", "2001:db8::1:0", "fe80::1", "::1"]
tcp = lambda sp, dp: struct.pack(">HH", sp, dp) + bytes(8) + b"\x50\x10\xff\xff" + bytes(4) + b"x" * 20
udp = lambda sp, dp, p=b"x" * 20: struct.pack(">HHHH", sp, dp, 8 + len(p), 0) + p
eth = lambda etype, p, tags=0: bytes(12) + b"\x81\x00\x00\x07" * tags + struct.pack(">H", etype) + p
ipv4 = lambda proto, p: struct.pack(">BBHHHBBH", 0x45, 0, 20 + len(p), 1, 0, 64, proto, 0) + bytes([10, 0, 0, 1, 10, 0, 0, 2]) + p
def ipv6(src, dst, proto, p, ext=()):  # ext: (type, header) in order; each next-header byte is filled in here
    types = [t for t, _ in ext] + [proto]
    body = b"".join(bytes([types[k + 1]]) + h[1:] for k, (_, h) in enumerate(ext)) + p
    return struct.pack(">IHBB", 0x60000000, len(body), types[0], 64) + b"".join(ipaddress.ip_address(a).packed for a in (src, dst)) + body
opts, frag, vx = bytes(8), lambda off: struct.pack(">BBHI", 0, 0, off << 3, 1), b"\x08\0\0\0\0\0\xc8\0"
route, ah = bytes(8), bytes([0, 1]) + bytes(10)
frames = []
for i in range(600):
    (src, dst), sp, dp, kind = random.sample(hosts, 2), random.choice([40000, 443]), random.choice([80, 443, 8443]), i % 12
    f = [lambda: eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp))), lambda: eth(0x86DD, ipv6(src, dst, 17, udp(sp, dp)), 2),
         lambda: eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp), [(0, opts), (60, opts)]), 1),
         lambda: eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp), [(43, route), (51, ah), (44, frag(0))])),
         lambda: eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp), [(44, frag(8))])),
         lambda: eth(0x86DD, ipv6(src, dst, 58, b"\x80\0\0\0\0\1\0\1")), lambda: eth(0x86DD, ipv6(src, dst, 50, bytes(16))),
         lambda: eth(0x800, ipv4(17, udp(50000, 4789, vx + eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp)))))),
         lambda: eth(0x86DD, ipv6(src, dst, 17, udp(50000, 4789, vx + eth(0x800, ipv4(6, tcp(1, 2)))))),
         lambda: eth(0x86DD, ipv6(src, dst, 47, b"\0\0\x08\0" + ipv4(6, tcp(1, 2)), [(0, opts)])),
         lambda: eth(0x800, ipv4(47, b"\0\0\x86\xdd" + ipv6(src, dst, 6, tcp(sp, dp)))),
         lambda: eth(0x86DD, ipv6(src, dst, 6, tcp(sp, dp), [(60, opts), (0, opts)]))][kind]()
    cap = 14 + 40 + 12 if kind == 11 else len(f)  # the last cut inside its second header
    frames.append(struct.pack("<IIII", 1700000000 + i, 0, cap, len(f)) + f[:cap])
open(sys.argv[1], "wb").write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1) + b"".join(frames))
PY
v6play() { "$PROBE" play --store "$WORK/pkts6" "${period[@]}" --filter "$1" --out "$WORK/play6.pcap" >/dev/null; }
for args in "2001:db8::2|ipv6.addr==2001:db8::2" "2001:DB8:0::1:0|ipv6.addr==2001:db8::1:0" \
            "[2001:db8::3]:443|(ipv6.src==2001:db8::3 && (tcp.srcport==443 || udp.srcport==443)) || (ipv6.dst==2001:db8::3 && (tcp.dstport==443 || udp.dstport==443))" \
            "fe80::1,::1|ipv6.addr==fe80::1 || ipv6.addr==::1" "2001:db8::2-2001:db8::4|ipv6.addr in {2001:db8::2..2001:db8::4}" \
            "8443|tcp.port==8443 || udp.port==8443"; do
  filt=${args%%|*} want=$(frames "$WORK/pkts6/Wirelane-1-001.pcap" "${args#*|}")
  v6play "$filt" && [ -n "$want" ] && expect "play $filt: the frames tshark selects" "$want" "$(frames "$WORK/play6.pcap" "")" \
    || fail "play $filt: no frame"
done

for args in "query --store $WORK/json --from 0 --to 10 --filter host|Query filter error" \
            "query --store $WORK/json --from 10 --to 10|the start of the period must be before its end" \
            "query --store $WORK/none --from 0 --to 10|cannot list the store" \
            "query --from yesterday --to 10 --store $WORK/json|bad time 'yesterday'" \
            "play --store $WORK/pkts --from 0 --to 10 --filter 1.2.3.4:80,5.6.7.8|Playback filter error" \
            "play --store $WORK/pkts --from 0 --to 10 --filter a|Play filter error" \
            "play --store $WORK/pkts --from 0 --to 10 --filter 1.2.3.a|Play filter error" \
            "play --store $WORK/pkts --from 0 --to 10 --filter [::1]|Playback filter error" \
            "query --store $WORK/json --from 0 --to 10 --filter ::1-1.2.3.4|Query filter error" \
            "play --store $WORK/pkts --from 0 --to 10 --vxlan 127.0.0.1|Vxlan addr error" \
            "play --store $WORK/pkts --from 0 --to 10 --vxlan ::1|Vxlan addr error" \
            "query --store $WORK/json --from 0 --to 10 --page x|bad page 'x'"; do
  refused 2 "${args#*|}" ${args%%|*}
  [ "$(wc -l <<<"$said")" -eq 1 ] || fail "more than one line: $said"
done
finish
