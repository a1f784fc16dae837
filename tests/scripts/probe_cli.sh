#!/bin/bash
# wirelane-probe's command line, its configuration file, and capture files.
source "$(dirname "$0")/common.bash"

out=$("$PROBE" --help) && grep -q -- "--read FILE" <<<"$out" && grep -q "wirelane-probe play" <<<"$out" \
  && grep -qF -- '--home DIR         the program'"'"'s folder' <<<"$out" && grep -qF '(default: Wirelane in $TMPDIR' <<<"$out" \
  && pass "--help exits 0 and lists options, verbs and where the configuration is" || fail "--help: $out"
TMPDIR=$WORK/none refused 1 "cannot make the folder $WORK/none/Wirelane for the log and configuration: No such file" \
  --read "$SRC/data/sample.pcap" --json-out -  # log lines to standard error
for args in "--bogus" "--read" "--read=" "--conf" "--json-out" "extra" "--read a --read b" \
            "--interface lo --read x.pcap"; do
  refused 2 "Usage: wirelane-probe" $args
done
# A capture of raw IP packets (link type 101) is not Ethernet.
python3 -c 'import struct, sys; open(sys.argv[1], "wb").write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0,
  65535, 101) + struct.pack("<IIII", 1, 0, 20, 20) + bytes(20))' "$WORK/raw.pcap"
refused 1 "cannot read capture file" --read "$WORK/missing.pcap"
refused 1 "only Ethernet captures" --read "$WORK/raw.pcap"
refused 1 "no capture device named 'no-such-device0'" --interface no-such-device0
refused 1 "cannot write records to $WORK/no/such/dir/out.json" --read "$SRC/data/sample.pcap" \
  --json-out "$WORK/no/such/dir/out.json"

# Refused values in the configuration file are logged; the probe runs on with the rest, which alone the rewrite keeps.
mkdir -p "$WORK/json" "$WORK/pkts"
printf '%s\n' cardMac=000000000000 "endpoint=10.0.0.300|1|1" "endpoint=127.0.0.1:8088|3|40213377" \
  "exportPath=$WORK/json" exportSpace=50 "dumpPath=$WORK/pkts" dumpSpace=100 dumpTrun=63 colour=blue >"$WORK/bad.conf"
rc=0; out=$("$PROBE" --conf "$WORK/bad.conf" --read "$SRC/tests/data/http_keepalive_reset.pcap") || rc=$?
for line in "WARNING: Invalid IP address or PORT 10.0.0.300|1|1" "WARNING: Must be a multiple of 100M!" \
            "WARNING: Truncate length must be large than 64" "MESSAGE: add endpoint 127.0.0.1:8088|3|40213377" \
            "MESSAGE: end of input"; do
  [ $rc -eq 0 ] && grep -qF " $line" <<<"$out" && pass "bad.conf: logged: $line" || fail "bad.conf: status $rc: $line"
done
expect "no store files of the refused stores" 0 "$(find "$WORK/json" "$WORK/pkts" -type f | wc -l)"
expect "the rewrite holds the accepted values only" "$(printf '%s\n' cardMac=000000000000 \
  "endpoint=127.0.0.1:8088|3|40213377" exportPath= exportRemote= exportSpace= exportInd=0 dumpPath= dumpRemote= \
  dumpSpace= dumpTrun= dumpInd=0 kestrel= kestrelDid=0 checkHttp=0)" "$(head -n -1 "$WORK/bad.conf")"
grep -qE '^columnShow=([01]\|){37}[01]$' "$WORK/bad.conf" || fail "columnShow line: $(tail -1 "$WORK/bad.conf")"

# The sample capture: every frame read is analysed, and the log says so.
frames=$(tshark -r "$SRC/data/sample.pcap" 2>/dev/null | wc -l)
out=$("$PROBE" --read "$SRC/data/sample.pcap")
grep -q "MESSAGE: end of input: $frames frames read, $frames analysed, 0 lost" <<<"$out" \
  && grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} MESSAGE: \[TRAFFIC=' <<<"$out" \
  && pass "sample: $frames frames analysed" || fail "sample summary: $out"

# A capture far larger than the ring: nothing is lost, and capture time drives one scan per 10 s period plus the last.
"$BUILD/wirelane-genpcap" "$WORK/big.pcap" 300000 500
out=$("$PROBE" --read "$WORK/big.pcap")
grep -q "end of input: 300000 frames read, 300000 analysed, 0 lost" <<<"$out" \
  && pass "300000 frames, none lost" || fail "big file summary: $(grep 'end of input' <<<"$out")"
times=$(tshark -r "$WORK/big.pcap" -T fields -e frame.time_epoch 2>/dev/null | sed -n '1s/\..*//p;$s/\..*//p')
expect "one scan per period of capture time" "$(( $(tail -1 <<<"$times") / 10 - $(head -1 <<<"$times") / 10 + 1 ))" \
  "$(grep -c '\[TRAFFIC=' <<<"$out")"

# Nothing is allocated per frame: four times the frames, the same allocations
# but for one or two (valgrind cannot run a program built with sanitizers).
if [ -z "${WIRELANE_SANITIZE:-}" ]; then
  allocs() {
    "$BUILD/wirelane-genpcap" "$WORK/$1.pcap" "$1" 200
    valgrind "$PROBE" --read "$WORK/$1.pcap" 2>&1 >/dev/null | sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' | tr -d ,
  }
  a=$(allocs 10000); b=$(allocs 40000)
  [ -n "$a" ] && [ -n "$b" ] && [ $((b - a)) -le 3 ] && [ $((a - b)) -le 3 ] \
    && pass "$a allocations for 10000 frames, $b for 40000" || fail "allocations: '$a' for 10000, '$b' for 40000"
fi

# A real HTTP capture with empty records (legal; at the start, in the middle, at the end), also as pcapng; cut in the
# middle of its last record; with frames seen twice in a row (a mirror port; SYN-ACKs of IP id 0 among them).
http=$SRC/tests/data/http_keepalive_reset.pcap
python3 - "$http" "$WORK" <<'PY'
import struct, sys
data, work = open(sys.argv[1], "rb").read(), sys.argv[2]
head, body, recs = data[:24], data[24:], []
while body:
    n = 16 + struct.unpack("<I", body[8:12])[0]
    recs, body = recs + [body[:n]], body[n:]
empty = lambda r: r[:8] + struct.pack("<II", 0, struct.unpack("<I", r[12:16])[0])
write = lambda name, rs: open(f"{work}/{name}", "wb").write(head + b"".join(rs))
write("zero.pcap", [empty(recs[0])] + recs[:20] + [empty(recs[19])] + recs[20:] + [empty(recs[-1])])
write("cut.pcap", recs[:-1] + [recs[-1][:len(recs[-1]) // 2]])
write("whole.pcap", recs[:-1])
write("twice.pcap", [c for i, r in enumerate(recs) for c in ([r, r] if i % 4 != 3 else [r])])
PY
editcap -F pcapng "$WORK/zero.pcap" "$WORK/zero.pcapng" && editcap -F pcapng "$http" "$WORK/cut.pcapng"
truncate -s -60 "$WORK/cut.pcapng"
for c in "$http|base|0|41 frames read, 41 analysed, 0 lost, 0 empty|" "$WORK/whole.pcap|whole|0|40 frames read|" \
         "$WORK/zero.pcap|base|0|41 frames read, 41 analysed, 0 lost, 3 empty records skipped|" \
         "$WORK/zero.pcapng|base|0|41 frames read, 41 analysed, 0 lost, 3 empty records skipped|" \
         "$WORK/cut.pcap|whole|1|40 frames read|ERROR: read $WORK/cut.pcap stopped at frame 41: truncated" \
         "$WORK/cut.pcapng|whole|1|40 frames read|ERROR: read $WORK/cut.pcapng stopped at frame 41: truncated" \
         "$WORK/twice.pcap|base|0|72 frames read|"; do
  IFS='|' read -r file want status summary err <<<"$c"
  printf '%s\n' "endpoint=127.0.0.1:18090|3|1" "endpoint=127.0.0.1:18091|2|2" >"$WORK/http.conf"
  rc=0; "$PROBE" --conf "$WORK/http.conf" --read "$file" --json-out - >"$WORK/got.json" 2>"$WORK/got.log" || rc=$?
  [ -f "$WORK/$want.json" ] || mv "$WORK/got.json" "$WORK/$want.json"  # the records of the file as it was
  [ $rc -eq "$status" ] && grep -qF "end of input: $summary" "$WORK/got.log" && grep -qF "$err" "$WORK/got.log" \
    && [ "$(grep -c ERROR "$WORK/got.log")" -eq "$status" ] && grep -q '"type":"2"' "$WORK/$want.json" \
    && { [ ! -f "$WORK/got.json" ] || cmp -s "$WORK/$want.json" "$WORK/got.json"; } \
    && pass "$(basename "$file"): status $status, $summary, the records of $want" || fail "$file: status $rc: $(cat \
    "$WORK/got.log"; diff "$WORK/$want.json" "$WORK/got.json" | head -4)"
done
! cmp -s "$WORK/base.json" "$WORK/whole.json" || fail "the last frame changes no record"

# A temporary folder whose log file name would not fit: refused, not cut.
long=$WORK/$(printf 'd%.0s' $(seq 240))
mkdir -p "$long"
rc=0; out=$(TMPDIR=$long "$PROBE" --read "$SRC/data/sample.pcap" 2>&1) || rc=$?
[ $rc -eq 1 ] && grep -q "create log file failed" <<<"$out" && grep -q "init globalValue failed" <<<"$out" \
  && pass "an overlong log name stops start-up and says why" || fail "overlong log name: status $rc: $out"
finish
