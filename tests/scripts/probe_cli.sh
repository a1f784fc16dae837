#!/bin/bash
# wirelane-probe's command line, and offline analysis of capture files.
source "$(dirname "$0")/common.bash"

out=$("$PROBE" --help); rc=$?
expect "--help exits 0" 0 $rc
grep -q -- "--read FILE" <<<"$out" && pass "--help lists the options" || fail "--help text"

for args in "--bogus" "--read" "--read=" "--conf" "--json-out" "extra" "--read a --read b" \
            "--interface lo --read x.pcap"; do
  set +e; err=$("$PROBE" $args 2>&1 >/dev/null); rc=$?; set -e
  expect "'$args' is refused with status 2" 2 $rc
  grep -q "Usage: wirelane-probe" <<<"$err" || fail "'$args' shows no usage"
done

set +e
err=$("$PROBE" --read "$WORK/missing.pcap" 2>&1); rc=$?
expect "a missing file exits 1" 1 $rc
grep -q "cannot read capture file" <<<"$err" || fail "missing file message: $err"

# A capture of raw IP packets (link type 101) is not Ethernet.
python3 - "$WORK/raw.pcap" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
    f.write(struct.pack("<IIII", 1, 0, 20, 20) + bytes(20))
PY
err=$("$PROBE" --read "$WORK/raw.pcap" 2>&1); rc=$?
expect "a non-Ethernet capture exits 1" 1 $rc
grep -q "only Ethernet captures" <<<"$err" || fail "link type message: $err"

err=$("$PROBE" --interface no-such-device0 2>&1); rc=$?
expect "an unknown device exits 1" 1 $rc
err=$("$PROBE" --read "$SRC/data/sample.pcap" --json-out "$WORK/no/such/dir/out.json" 2>&1); rc=$?
expect "an unwritable record file exits 1" 1 $rc
set -e

# The sample capture: every frame read is analysed, and the log says so.
frames=$(tshark -r "$SRC/data/sample.pcap" 2>/dev/null | wc -l)
out=$("$PROBE" --read "$SRC/data/sample.pcap")
grep -q "MESSAGE: end of input: $frames frames read, $frames analysed, 0 lost" <<<"$out" \
  && pass "sample: $frames frames analysed" || fail "sample summary: $out"
grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} MESSAGE: \[TRAFFIC=' <<<"$out" \
  || fail "log line format: $out"
[ -f "$(logfile)" ] && grep -q "end of input: $frames frames read" "$(logfile)" \
  && pass "the log file has the same lines" || fail "log file $(logfile)"

# With records on standard output the log goes to standard error.
"$PROBE" --read "$SRC/data/sample.pcap" --json-out - >"$WORK/stdout" 2>"$WORK/stderr"
grep -q "end of input" "$WORK/stderr" && ! grep -q "end of input" "$WORK/stdout" \
  && pass "--json-out - moves the log to standard error" || fail "log stream with --json-out -"

# A capture far larger than the ring: nothing is lost, and capture time
# drives one scan per ten-second period plus the last one.
"$BUILD/wirelane-genpcap" "$WORK/big.pcap" 300000 500
out=$("$PROBE" --read "$WORK/big.pcap")
grep -q "end of input: 300000 frames read, 300000 analysed, 0 lost" <<<"$out" \
  && pass "300000 frames, none lost" || fail "big file summary: $(grep 'end of input' <<<"$out")"
first=$(tshark -r "$WORK/big.pcap" -c 1 -T fields -e frame.time_epoch 2>/dev/null | cut -d. -f1)
last=$(tshark -r "$WORK/big.pcap" -T fields -e frame.time_epoch 2>/dev/null | tail -1 | cut -d. -f1)
periods=$(( last / 10 - first / 10 + 1 ))
expect "one scan per period of capture time" "$periods" "$(grep -c '\[TRAFFIC=' <<<"$out")"

# Nothing is allocated per frame: twice the frames, the same allocations.
# (valgrind cannot run a program built with the sanitizers.)
if [ -z "${WIRELANE_SANITIZE:-}" ]; then
"$BUILD/wirelane-genpcap" "$WORK/a.pcap" 10000 200
"$BUILD/wirelane-genpcap" "$WORK/b.pcap" 40000 200
allocs() { valgrind "$PROBE" --read "$1" 2>&1 >/dev/null | sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p'; }
a=$(allocs "$WORK/a.pcap"); b=$(allocs "$WORK/b.pcap")
# (A start-up allocation or two may depend on timing; per frame would be thousands.)
a=${a//,/}; b=${b//,/}
[ -n "$a" ] && [ -n "$b" ] && [ $((b - a)) -le 3 ] && [ $((a - b)) -le 3 ] \
  && pass "$a allocations for 10000 frames, $b for 40000" \
  || fail "allocations grow with the frames: '$a' for 10000, '$b' for 40000"
fi

# A record without data ends the input like the end of the file; a file cut
# in the middle of a record ends it after the last whole record.
python3 - "$SRC/data/sample.pcap" "$WORK/zero.pcap" "$WORK/cut.pcap" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
head, body = data[:24], data[24:]
recs, off = [], 0
while off < len(body):
    caplen = struct.unpack("<I", body[off + 8:off + 12])[0]
    recs.append(body[off:off + 16 + caplen]); off += 16 + caplen
empty = recs[1][:8] + struct.pack("<II", 0, 0)
open(sys.argv[2], "wb").write(head + recs[0] + empty + b"".join(recs[2:]))
open(sys.argv[3], "wb").write(head + recs[0] + recs[1] + recs[2][:30])
PY
out=$(timeout 20 "$PROBE" --read "$WORK/zero.pcap"); rc=$?
expect "a record without data ends the input" "0" "$rc"
grep -q "end of input: 1 frames read" <<<"$out" || fail "zero-length record: $out"
out=$(timeout 20 "$PROBE" --read "$WORK/cut.pcap" 2>&1); rc=$?
expect "a cut file is read to its last whole record" "0" "$rc"
grep -q "end of input: 2 frames read" <<<"$out" || fail "cut file: $out"
grep -q "ERROR: read .*cut.pcap failed" <<<"$out" || fail "cut file is not reported: $out"

# A temporary folder whose log file name would not fit: refused, not cut.
long=$WORK/$(printf 'd%.0s' $(seq 240))
mkdir -p "$long"
set +e; out=$(TMPDIR=$long "$PROBE" --read "$SRC/data/sample.pcap" 2>&1); rc=$?; set -e
expect "an overlong log name stops start-up" 1 $rc
grep -q "create log file failed" <<<"$out" && grep -q "init globalValue failed" <<<"$out" \
  && pass "and says why" || fail "overlong log name: $out"

finish
