#!/bin/bash
# wirelane-probe query and play on the stores of a dual-stack capture (half of its conversations over IPv6):
# for filters of either family and of both, the query gives the pair records python selects from the JSON store,
# its CSV shows their addresses whole, and play gives the frames tshark's own filter selects from the capture.
source "$(dirname "$0")/common.bash"
"$BUILD/wirelane-genpcap" "$WORK/dual.pcap" 30000 100 200 web half6
store_conf "$WORK/store.conf" "endpoint=198.19.0.0/16|0|33333333" "endpoint=fd00:198:19::/48|0|44444444"
"$PROBE" --conf "$WORK/store.conf" --read "$WORK/dual.pcap" >/dev/null 2>&1 || fail "--read"
period=(--from 946684800 --to 4000000000)

# The pair records passing FILTER, read with python's own address type: an address (any spelling), [v6]:port
# or v4:port, a port, low-high, a list.
select_records() {
  python3 - "$WORK/json" "$1" <<'PY'
import glob, ipaddress, json, os, sys
store, filt = sys.argv[1], sys.argv[2]
def ip(text):  # an IPv4-mapped address is its IPv4 one
    a = ipaddress.ip_address(text)
    return a.ipv4_mapped or a if a.version == 6 else a
def passes(r):
    ends = [(ip(r["src"]), int(r["sport"])), (ip(r["dst"]), int(r["dport"]))]
    if filt.startswith("["): return (ip(filt[1:filt.index("]")]), int(filt.split("]:")[1])) in ends
    if "." in filt and filt.count(":") == 1: return (ip(filt.split(":")[0]), int(filt.split(":")[1])) in ends
    if "-" in filt:
        low, high = map(ip, filt.split("-"))
        return any(type(a) is type(low) and low <= a <= high for a, _ in ends)
    if "," in filt or ":" in filt or "." in filt: return any(a in map(ip, filt.split(",")) for a, _ in ends)
    return int(filt) in (p for _, p in ends)
files = sorted(glob.glob(store + "/Wirelane-*.json"), key=lambda f: (int(os.path.getmtime(f)), os.path.basename(f)))
for name in (f for f in files if os.path.getsize(f) != 10485760):
    for line in open(name, "rb").read().split(b"\r\n\r\n"):
        if line.startswith(b'{"type":"1"') and passes(json.loads(line)):
            print(line.decode())
PY
}
frames() { tshark -o frame.generate_md5_hash:TRUE -r "$1" -Y "$2" -T fields -e frame.time_epoch -e frame.len -e frame.cap_len -e frame.md5_hash 2>/dev/null; }
# FILTER|tshark's filter for it
for args in "fd00:198:19::1|ipv6.addr==fd00:198:19::1" "FD00:198:19:0:0::22|ipv6.addr==fd00:198:19::22" \
            "[fd00:198:19::22]:3306|(ipv6.src==fd00:198:19::22 && tcp.srcport==3306) || (ipv6.dst==fd00:198:19::22 && tcp.dstport==3306)" \
            "fd00:198:19::2-fd00:198:19::5|ipv6.addr in {fd00:198:19::2..fd00:198:19::5}" \
            "fd00:198:18::1c0-fd00:198:18::1ff|ipv6.addr in {fd00:198:18::1c0..fd00:198:18::1ff}" \
            "::1-fd00:198:19::5|ipv6.addr in {::1..fd00:198:19::5}" \
            "198.19.0.1,fd00:198:19::1,fd00:198:19::21|ip.addr==198.19.0.1 || ipv6.addr==fd00:198:19::1 || ipv6.addr==fd00:198:19::21" \
            "::ffff:198.19.0.2|ip.addr==198.19.0.2" "198.19.0.34:3306|(ip.src==198.19.0.34 && tcp.srcport==3306) || (ip.dst==198.19.0.34 && tcp.dstport==3306)" \
            "198.19.0.2-198.19.0.4|ip.addr in {198.19.0.2..198.19.0.4}" "3306|tcp.port==3306 || udp.port==3306"; do
  filt=${args%%|*}
  want=$(select_records "$filt")
  got=$("$PROBE" query --store "$WORK/json" "${period[@]}" --filter "$filt")
  [ -n "$want" ] && expect "query $filt: the $(wc -l <<<"$want") records python selects" "$want" "$got" \
    || fail "query $filt: no record"
  want=$(frames "$WORK/dual.pcap" "${args#*|}")
  out=$("$PROBE" play --store "$WORK/pkts" "${period[@]}" --filter "$filt" --out "$WORK/play.pcap")
  [ -n "$want" ] && expect "play $filt: the $(wc -l <<<"$want") frames tshark selects" "$want" "$(frames "$WORK/play.pcap" "")" \
    || fail "play $filt: no frame"
  expect "play $filt says how many" "$(wc -l <<<"$want") frames written to $WORK/play.pcap" "$out"
done

# The CSV of a mixed query: Source and Destination are each record's [v6]:port or v4:port.
"$PROBE" query --store "$WORK/json" "${period[@]}" --filter "198.19.0.1,fd00:198:19::1" --csv "$WORK/q.csv" >"$WORK/q.json"
python3 - "$WORK/q.json" "$WORK/q.csv" <<'PY' && pass "the CSV shows the addresses of every record whole" || fail "CSV"
import csv, json, sys
recs = [json.loads(l) for l in open(sys.argv[1])]
rows = list(csv.reader(open(sys.argv[2])))
src, dst = (rows[0].index(h) for h in ("Source  ", "Destination  "))
hp = lambda a, p: f"[{a}]:{p}" if ":" in a else f"{a}:{p}"
want = [(hp(r["src"], r["sport"]), hp(r["dst"], r["dport"])) for r in recs]
got = [(row[src], row[dst]) for row in rows[1:]]
sys.exit(not (want == got and any(":" in r["src"] for r in recs) and any("." in r["src"] for r in recs)))
PY

# A filter that is neither form says what is wrong with it, with the text.
for args in "query|[2001:db8::1|Query filter error: '[2001:db8::1' holds" "play|2001:db8::g|Play filter error: '2001:db8::g' holds" \
            "play|2001:db8::1-|Playback filter error: '2001:db8::1-' is not" "query|fd00::1-10.0.0.1|Query filter error: 'fd00::1-10.0.0.1' is not"; do
  IFS='|' read -r verb filt says <<<"$args"
  refused 2 "$says" "$verb" --store "$WORK/json" --from 0 --to 10 --filter "$filt"
done
finish
