#!/bin/bash
# wirelane-probe --read FILE --json-out: every line is JSON, and per pair the
# packet and byte counts agree with tshark's dissection of the same capture.
source "$(dirname "$0")/common.bash"

"$BUILD/wirelane-genpcap" "$WORK/synthetic.pcap" 60000 200 300
for capture in "$SRC/data/sample.pcap" "$SRC/tests/data/http_keepalive_reset.pcap" "$WORK/synthetic.pcap"; do
  "$PROBE" --read "$capture" --json-out "$WORK/records.json" >/dev/null
  if result=$(python3 "$SRC/tests/scripts/pairs_vs_tshark.py" "$capture" "$WORK/records.json" 2>&1); then
    pass "$(basename "$capture"): $result"
  else
    fail "$(basename "$capture"): $result"
  fi
done

# Records on standard output, the log on standard error: stdout is only JSON.
"$PROBE" --read "$SRC/tests/data/http_keepalive_reset.pcap" --json-out - 2>/dev/null >"$WORK/stdout.json"
python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1])]' "$WORK/stdout.json" \
  && pass "standard output holds JSON lines only" || fail "standard output is not all JSON"

finish
