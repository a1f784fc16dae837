#!/bin/bash
# The query and playback dialogs under Xvfb (gui_query.py), over JSON and packet stores made by wirelane-probe --read
# before the window starts; the window's CSV export and playout file must equal the query and play verbs', and its
# replay over VXLAN must reach the listener whole.
source "$(dirname "$0")/common.bash"
export TZ=UTC
store_conf "$CONF" "endpoint=198.19.0.0/16|1|33333333"
"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 30000 100 200
"$PROBE" --read "$WORK/synthetic.pcap" >/dev/null 2>&1 || fail "--read"
sleep 1.1  # the window's own store files are newer
export UDP=18286
# The playback's filter: 198.19.0.1 and 40 IPv6 addresses written long, more text than an address list of IPv4 needs.
PLAY_FILTER=198.19.0.1$(printf ',fd00:0198:0019:0000:0000:0000:0000:%04x' $(seq 40))
export PLAY_FILTER
start_udp_listener 127.0.0.2 $UDP "$WORK/vxlan.txt"
run_gui gui_query.py
vxlan_holds "the window's replay reaches the VXLAN listener" "$TMPDIR/Wirelane/playout.pcap" "$WORK/vxlan.txt"

period=(--from "2026-01-01 00:00:00" --to "2026-01-01 01:00:00" --filter 198.19.0.1)
"$PROBE" query --store "$WORK/json" "${period[@]}" --csv "$WORK/verb.csv" >/dev/null
same "the window's CSV of the query equals query --csv" "$WORK/verb.csv" "$WORK/window.csv"
"$PROBE" play --store "$WORK/pkts" "${period[@]:0:4}" --filter "$PLAY_FILTER" --out "$WORK/verb.pcap" >/dev/null
same "playout.pcap equals play's file" "$WORK/verb.pcap" "$TMPDIR/Wirelane/playout.pcap"
finish
