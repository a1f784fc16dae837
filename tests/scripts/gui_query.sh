#!/bin/bash
# The query and playback dialogs under Xvfb with a real accessibility bus,
# driven as a user would (gui_query.py), over JSON and packet stores made by
# wirelane-probe --read before the window starts; the window's CSV export
# and playout file are compared with the query and play verbs.
source "$(dirname "$0")/common.bash"
export TZ=UTC
UDP=18286
mkdir -p "$TMPDIR/Wirelane" "$WORK/json" "$WORK/pkts"
CONF=$TMPDIR/Wirelane/Wirelane.conf
cat >"$CONF" <<CONF
endpoint=198.19.0.0/16|1|33333333
exportPath=$WORK/json
exportSpace=100
dumpPath=$WORK/pkts
dumpSpace=100
CONF
"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 30000 100 200
"$PROBE" --read "$WORK/synthetic.pcap" >/dev/null 2>&1 || fail "--read"
sleep 1.1  # the window's own store files are newer
start_udp_listener 127.0.0.2 $UDP "$WORK/vxlan.txt"

run_gui gui_query.py "$WORK" $UDP

# The verbs over the same stores and period.
FROM="2026-01-01 00:00:00" TO="2026-01-01 01:00:00"
"$PROBE" query --store "$WORK/json" --from "$FROM" --to "$TO" --filter 198.19.0.1 --csv "$WORK/verb.csv" >/dev/null
if cmp -s "$WORK/verb.csv" "$WORK/window.csv"; then
  pass "the window's CSV of the query equals query --csv ($(($(wc -l <"$WORK/verb.csv") - 1)) records)"
else
  fail "the CSV files differ: $(diff "$WORK/verb.csv" "$WORK/window.csv" | head -3)"
fi
"$PROBE" play --store "$WORK/pkts" --from "$FROM" --to "$TO" --filter 198.19.0.1 --out "$WORK/verb.pcap" >/dev/null
played=$TMPDIR/Wirelane/playout.pcap
cmp -s "$WORK/verb.pcap" "$played" && tshark -r "$played" >/dev/null 2>&1 \
  && pass "playout.pcap opens in tshark and equals play ($(tshark -r "$played" 2>/dev/null | wc -l) frames)" \
  || fail "playout.pcap differs from play"
finish
