#!/bin/bash
# --read FILE --json-out -: JSON lines alone on standard output, the log on standard error, per-pair counts as tshark's.
source "$(dirname "$0")/common.bash"
"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 60000 200 300
for capture in "$SRC/data/sample.pcap" "$SRC/tests/data/http_keepalive_reset.pcap" "$WORK/synthetic.pcap"; do
  "$PROBE" --read "$capture" --json-out - >"$WORK/records.json" 2>"$WORK/log"
  grep -q "end of input" "$WORK/log" || fail "$(basename "$capture"): no log on standard error"
  result=$(python3 "$SRC/tests/scripts/pairs_vs_tshark.py" "$capture" "$WORK/records.json" 2>&1) \
    && pass "$(basename "$capture"): $result" || fail "$(basename "$capture"): $result"
done

# The generator's IPv6 captures carry the IPv4 one's traffic over IPv6 (all of it, or every second conversation and
# datagram): every IPv6 frame's checksum is good, no warning or malformed layer but the DNS queries' filler (as over
# IPv4), and frame times, ports, sequence numbers, lengths and (mapped) addresses are the IPv4 capture's.
for family in ipv4 ipv6 half6; do "$BUILD/wirelane-genpcap" "$WORK/gen-$family.pcap" 8000 100 200 mixed $family; done
for family in 4 6; do "$BUILD/wirelane-genpcap" "$WORK/gen-web$family.pcap" 2000 100 200 web ipv$family; done
ts() { tshark -r "$WORK/gen-$1.pcap" -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE "${@:2}" 2>/dev/null; }
traffic() { ts "$1" -T fields -e frame.time_epoch -e tcp.srcport -e tcp.dstport -e tcp.seq_raw -e tcp.flags -e tcp.len \
  -e udp.srcport -e udp.length | md5sum; }
convs() { ts "$1" -q -z conv,tcp | grep -c '<->'; }
for family in ipv6 half6; do
  bad=$(ts $family -Y 'ipv6 && (!(tcp.checksum.status==1 || udp.checksum.status==1 || icmpv6.checksum.status==1)
    || icmpv6 && icmpv6.type!=128 || (_ws.malformed || _ws.expert.severity>=warning) && !dns)')
  v6=$(ts $family -Y ipv6 | wc -l) lo=8000 hi=8000
  [ $family = ipv6 ] || { lo=3600; hi=4400; }
  [ -z "$bad" ] && [ "$v6" -ge $lo ] && [ "$v6" -le $hi ] && pass "$family: $v6 of 8000 frames over IPv6, all sound" \
    || fail "$family: $v6 of 8000 frames over IPv6; bad: $(head -3 <<<"$bad")"
  expect "$family: the IPv4 capture's traffic" "$(traffic ipv4)" "$(traffic $family)"
  expect "$family: the IPv4 capture's TCP conversations" "$(convs ipv4)" "$(convs $family)"
done
for pair in ipv4/ipv6 web4/web6; do
  expect "${pair#*/}: each address a.b.c.d as fd00:a:b::(c * 256 + d)" "$(ts ${pair%/*} -T fields -e ip.src -e ip.dst \
    | awk -F '[.\t]' '{printf "fd00:%s:%s::%x\tfd00:%s:%s::%x\n", $1, $2, $3 * 256 + $4, $5, $6, $7 * 256 + $8}' \
    | md5sum)" "$(ts ${pair#*/} -T fields -e ipv6.src -e ipv6.dst | md5sum)"
done

# The generator's TLS conversations (port 443) hold handshakes the probe reads as tshark does, over either family.
for family in ipv4:10.2.0.9-10.2.0.12 ipv6:fd00:10:2::9-fd00:10:2::c; do
  f=$WORK/gen-${family%%:*}-tls
  ts ${family%%:*} -Y 'tcp.port == 443' -w "$f.pcap" && echo "endpoint=${family#*:}|1|1" >"$f.conf"
  "$PROBE" --read "$f.pcap" --conf "$f.conf" --json-out - >"$f.json" 2>/dev/null
  result=$(python3 "$SRC/tests/scripts/tls_vs_tshark.py" "$f.pcap" "$f.json" 2>&1) \
    && [[ $result == [1-9]* ]] && pass "${family%%:*}: the generator's TLS handshakes, as tshark reads them: $result" || fail "$result"
done
finish
