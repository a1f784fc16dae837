#!/bin/bash
# /metrics of a live probe on lo while curl talks to nginx: every series with its HELP and TYPE, a well-formed
# exposition, figures that move with the traffic and the scans; a bad address and a taken port at start.
source "$(dirname "$0")/common.bash"
needs_root
PORT=18471 MPORT=18472
ports_free $PORT $MPORT
start_nginx $PORT
url=http://127.0.0.1:$PORT metrics=http://127.0.0.1:$MPORT/metrics
rc=0; "$PROBE" --metrics 127.0.0.1:x --interface lo >"$WORK/bad.out" 2>&1 || rc=$?
[ $rc -eq 2 ] && [ "$(wc -l <"$WORK/bad.out")" -eq 1 ] && pass "a bad ADDR:PORT: status 2, one line" \
  || fail "bad ADDR:PORT: status $rc: $(cat "$WORK/bad.out")"
rc=0; "$PROBE" --metrics 127.0.0.1:$PORT --interface lo >"$WORK/taken.out" 2>&1 || rc=$?
[ $rc -eq 1 ] && grep -q "cannot serve metrics on 127.0.0.1:$PORT: Address already in use" "$WORK/taken.out" \
  && pass "a taken port: status 1 at start" || fail "taken port: status $rc: $(cat "$WORK/taken.out")"
mkdir -p "$WORK/json"
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" "exportPath=$WORK/json" exportSpace=100 \
  >"$WORK/probe.conf"
background "$PROBE" --conf "$WORK/probe.conf" --metrics 127.0.0.1:$MPORT >"$WORK/probe.out" 2>&1
# value NAME[{LABELS}] FILE: the sample's value.
value() { awk -v n="$1" '$1 == n { print $2 }' "$2"; }
# scrape FILE CONDITION: scrapes into FILE until CONDITION holds (the scrapes are traffic on lo), for 20 s at most.
scrape() {
  for _ in $(seq 80); do
    curl -sf -o "$1" "$metrics" && eval "$2" && return 0
    sleep 0.25
  done
  return 1
}
# The capture thread looks for a card once a second, opening it takes two; its frames come a second apart at most.
scrape "$WORK/m1" '[ "$(value wirelane_frames_captured_total "$WORK/m1")" -gt 0 ]' \
  || fail "no frames: $(cat "$WORK/m1")"
for i in $(seq 10); do curl -s -o /dev/null -H 'Connection: close' "$url/index.html?i=$i"; done
scrape "$WORK/m2" '[ "$(value wirelane_frames_captured_total "$WORK/m2")" -gt \
  "$(value wirelane_frames_captured_total "$WORK/m1")" ] && [ "$(value wirelane_sessions_active "$WORK/m2")" -ge 1 ]' \
  && pass "frames captured grow with the traffic, whose connections are sessions in the table" \
  || fail "frames and sessions: $(grep -h -E '^wirelane_(frames_captured|sessions)' "$WORK/m1" "$WORK/m2")"
# The transactions go out at once, the pairs at the next ten-second boundary and the JSON store is written
# after it; refused connections keep the capture clock going. (The scrapes are HTTP transactions too.)
scrape "$WORK/m3" '(exec 3<>/dev/tcp/127.0.0.1/9) 2>/dev/null
  [ "$(value "wirelane_records_exported_total{type=\"2\"}" "$WORK/m3")" -ge 10 ] \
    && [ "$(value "wirelane_records_exported_total{type=\"1\"}" "$WORK/m3")" -ge 1 ] \
    && [ "$(value "wirelane_store_bytes_written_total{store=\"json\"}" "$WORK/m3")" -gt 0 ]' \
  && [ $(( $(date +%s) - $(value wirelane_last_scan_timestamp_seconds "$WORK/m3") )) -le 20 ] \
  && pass "transactions of the 10 requests and pairs exported, written to the store, after a recent scan" \
  || fail "at $(date +%s): $(grep -E '^wirelane_(records|last_scan|store_bytes)' "$WORK/m3")"
python3 - "$WORK/m3" <<'PY' && pass "every series, with HELP and TYPE, in a well-formed exposition" \
  || fail "$(cat "$WORK/m3")"
import re, sys
names = {f"wirelane_{n}": "counter" for n in ("frames_captured_total", "frames_analysed_total",
         "frames_lost_ring_total", "frames_dropped_capture_total", "records_exported_total", "store_switches_total",
         "store_bytes_written_total", "store_write_failures_total", "channel_send_errors_total",
         "clickhouse_batches_total")}
names |= {f"wirelane_{n}": "gauge" for n in ("sessions_active", "session_table_used_ratio", "pair_table_used_ratio",
          "clickhouse_queue_bytes", "last_scan_timestamp_seconds")}
labels = {"wirelane_records_exported_total": {f'type="{t}"' for t in (1, 2, 4, 5, 6, 7, 8, 9, 99)},
          "wirelane_channel_send_errors_total": {'channel="json"', 'channel="vxlan"'},
          "wirelane_clickhouse_batches_total": {f'result="{r}"' for r in ("sent", "retried", "dropped", "refused")}}
labels |= {f"wirelane_store_{n}_total": {'store="json"', 'store="pcap"'} for n in ("bytes_written", "switches",
           "write_failures")}
helped, typed, seen = set(), {}, {}
assert (text := open(sys.argv[1]).read()).endswith("\n"), "the last line has no end"
for line in text.splitlines():
    if m := re.fullmatch(r"# HELP ([a-z_]+) \S.*", line):
        assert m[1] not in helped and not helped.add(m[1]), f"second HELP: {line}"
    elif m := re.fullmatch(r"# TYPE ([a-z_]+) (counter|gauge)", line):
        assert m[1] not in typed and m[1] not in seen, f"TYPE twice or after samples: {line}"
        typed[m[1]] = m[2]
    elif m := re.fullmatch(r'([a-z_]+)(?:\{([a-z]+="[^"\\]*")\})? (\S+)', line):
        assert m[1] in typed and float(m[3]) >= 0, f"sample before its TYPE, or negative: {line}"
        assert m[2] not in seen.setdefault(m[1], set()), f"series twice: {line}"
        seen[m[1]].add(m[2])
    else:
        sys.exit(f"not exposition format: {line!r}")
assert typed == names and helped == set(names), f"names: {sorted(set(names) ^ set(typed))}"
for n in names:
    assert seen[n] == labels.get(n, {None}), f"{n}: series {seen[n]}"
PY
command -v promtool >/dev/null && { promtool check metrics <"$WORK/m3" >"$WORK/promtool.out" 2>&1 \
  && pass "promtool check metrics finds nothing" || fail "promtool: $(cat "$WORK/promtool.out")"; }
kill -TERM $bg && wait $bg && pass "the probe stops with status 0 on SIGTERM" || fail "SIGTERM: status $?"
grep -q "Sanitizer" "$WORK/probe.out" && fail "the sanitizer found faults: $(cat "$WORK/probe.out")"
# On a card of its own (no other traffic; IPv6 off and fixed neighbours, so no neighbour discovery), served on [::1]
# and on the same port at once: once the traffic is over, the last scrape's four frame counts are the stop line's.
NS=wlmet$$ A=wlma$$ B=wlmb$$ NET=10.214.$(($$ % 250)) metrics="http://[::1]:$MPORT/metrics"
ip netns add $NS && cleanups+=("ip netns del $NS")  # with the other end of the card
ip link add $A type veth peer name $B netns $NS && sysctl -qw net.ipv6.conf.$A.disable_ipv6=1 \
  && ip netns exec $NS sysctl -qw net.ipv6.conf.$B.disable_ipv6=1 && ip addr add $NET.1/24 dev $A \
  && ip link set $A up && ip -n $NS addr add $NET.2/24 dev $B && ip -n $NS link set $B up \
  && ip neigh replace $NET.2 lladdr "$(ip -n $NS -br link show $B | awk '{print $3}')" dev $A nud permanent \
  && ip -n $NS neigh replace $NET.1 lladdr "$(cat /sys/class/net/$A/address)" dev $B nud permanent
background "$PROBE" --interface $A --metrics "[::1]:$MPORT" >"$WORK/veth.out" 2>&1
send() { ip netns exec $NS python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(int(sys.argv[2])): s.sendto(bytes(100), (sys.argv[1], 9))' $NET.1 "$1"; }
scrape "$WORK/v1" 'send 1; [ "$(value wirelane_frames_captured_total "$WORK/v1")" -gt 0 ]' \
  || fail "$(cat "$WORK/veth.out")"
send 300
frames() { grep -h -E '^wirelane_frames_' "$1" | cut -d' ' -f2 | tr '\n' ' '; }
scrape "$WORK/v2" 'sleep 1; curl -sf -o "$WORK/v3" "$metrics"; [ "$(frames "$WORK/v2")" == "$(frames "$WORK/v3")" ]'
kill -TERM $bg
rc=0; wait $bg || rc=$?
stopped=$(grep -o '[0-9]* frames captured, .* dropped by' "$WORK/veth.out" | tr -cs '0-9' ' ')
[ $rc -eq 0 ] && [ "$(frames "$WORK/v3" | cut -d' ' -f1)" -ge 300 ] && [ "$stopped" == "$(frames "$WORK/v3")" ] \
  && pass "the last scrape's frames are the stop line's: $stopped" \
  || fail "status $rc; frames scraped $(frames "$WORK/v3"), at the stop $stopped: $(cat "$WORK/veth.out")"
finish
