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
finish
