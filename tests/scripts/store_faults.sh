#!/bin/bash
# The stores through real faults, each mid-run (the capture reaches the probe through a pipe, phase by phase): a
# small file system that fills while both stores write and is then freed, a store folder removed while the probe
# writes; and a card chosen after the stores were set up.
source "$(dirname "$0")/common.bash"
needs_root
log=$(logfile)
cat >"$WORK/feed.py" <<'PY'
# CAPTURE FIFO SCALE CUT CUT: times stretched; at each CUT, FIFO.atN made and FIFO.goN awaited.
import os, struct, sys, time
data, fifo, scale, cuts = open(sys.argv[1], "rb").read(), sys.argv[2], int(sys.argv[3]), [int(c) for c in sys.argv[4:]]
off, n, t0 = 24, 0, struct.unpack_from("<I", data, 24)[0] * 1000000
with open(fifo, "wb") as out:
    out.write(data[:24])
    while off < len(data):
        if n in cuts:
            out.flush(), open(f"{fifo}.at{cuts.index(n)}", "w").close()
            while not os.path.exists(f"{fifo}.go{cuts.index(n)}"): time.sleep(0.05)
        sec, usec, caplen = struct.unpack_from("<III", data, off)
        t = t0 + (sec * 1000000 + usec - t0) * scale
        out.write(struct.pack("<II", t // 1000000, t % 1000000) + data[off + 8:off + 16 + caplen])
        off, n = off + 16 + caplen, n + 1
PY
until_() { for _ in $(seq 200); do eval "$1" && return 0; sleep 0.1; done; fail "never: $1"; }
# phases DIR FRAMES SCALE CUT CUT FAULT REPAIR: a capture of FRAMES read through a pipe with both stores in DIR;
# FAULT is done at the first cut, REPAIR at the second. The records go to $WORK/out.
phases() {
  local f=$WORK/run
  mkdir -p "$1/json" "$1/pkts" && : >"$log" && rm -f "$f"*
  printf '%s\n' "endpoint=198.19.0.0/16|3|1" "exportPath=$1/json" "dumpPath=$1/pkts" exportSpace=100 dumpSpace=100 \
    >"$f.conf"
  "$BUILD/wirelane-genpcap" "$f.pcap" "$2" 200 300 && mkfifo "$f"
  background python3 "$WORK/feed.py" "$f.pcap" "$f" "$3" "$4" "$5"
  background "$PROBE" --conf "$f.conf" --read "$f" --json-out "$WORK/out" >/dev/null 2>&1
  until_ "[ -e $f.at0 ]" && sleep 1 && eval "$6" && touch "$f.go0" && until_ "[ -e $f.at1 ]"
  eval "$7" && touch "$f.go1" && wait "$bg" || fail "the probe ends with status $?"
}
count() { sed -n "s/.*$1 works again: \([0-9]*\) .*/\1/p" "$log" | awk '{ n += $1 } END { print n + 0 }'; }
# stored_and_lost LOST FILE...: tshark reads the files whole; their frames and LOST make every frame analysed.
stored_and_lost() {
  local sum=$1 f
  for f in "${@:2}"; do
    tshark -r "$f" >"$WORK/t" 2>"$WORK/e" && ! grep -v "Running as user" "$WORK/e" || fail "tshark: $f is cut"
    sum=$((sum + $(wc -l <"$WORK/t")))
  done
  expect "${*:2}: stored frames and $1 lost make all" "$(sed -n 's/.* \([0-9]*\) analysed.*/\1/p' "$log")" "$sum"
}

# 30000 frames over a minute, a scan every ten seconds. Both stores' 100 MB on 64 MB: their files are there (empty),
# so the set-up claims nothing; 8 MB are left, too little for the claim of a file at its opening. Then all but 100 KB
# are taken, so that blocks are written in part.
mkdir -p "$WORK/fs" && mount -t tmpfs -o size=64m tmpfs "$WORK/fs" && cleanups+=("umount -l $WORK/fs")
mkdir -p "$WORK/fs/a/json" "$WORK/fs/a/pkts"
touch "$WORK"/fs/a/json/Wirelane-0-0{01..10}.json "$WORK"/fs/a/pkts/Wirelane-0-00{1,2}.pcap
fill() { head -c $(( ($(df -k --output=avail "$WORK/fs" | tail -1) - $1) * 1024 )) /dev/zero >"$WORK/fs/fill$1"; }
fill 8192
phases "$WORK/fs/a" 30000 50 8000 18000 "fill 100" "until_ 'grep -q \"json store failed: No space\" $log' && rm $WORK/fs/fill*"
grep -q "write to the pkts store failed: No space left on device" "$log" || fail "no failed write of the pkts store"
lost=$(count "pkts store") && [ "$lost" -gt 0 ] && [ "$(count "json store")" -gt 0 ] \
  || fail "no count: $(grep store "$log")"
stored_and_lost "$lost" "$WORK/fs/a/pkts/Wirelane-0-001.pcap"
expect "play returns every stored frame" "$(wc -l <"$WORK/t") frames written to $WORK/p.pcap" \
  "$("$PROBE" play --store "$WORK/fs/a/pkts" --from 0 --to 4000000000 --out "$WORK/p.pcap" 2>/dev/null)"
python3 - "$WORK" "$(count "json store")" <<'PY' && pass "the JSON store's records are whole and valid" || fail JSON
import json, sys  # The stored records and those lost are all records, end-of-scan records aside.
text = open(sys.argv[1] + "/fs/a/json/Wirelane-0-001.json", "rb").read()
assert text.endswith(b"\r\n\r\n"), text[-50:]
stored, sent = [json.loads(r) for r in text[:-4].split(b"\r\n\r\n")], open(sys.argv[1] + "/out", "rb").readlines()
assert len(stored) + int(sys.argv[2]) == sum(not l.startswith(b'{"type":"99"') for l in sent)
PY

# More than a pcap file's 50 MB, so that the switch comes while the folder is gone; the file being written is kept
# open here, to be read once it is gone.
failed="open the pkts store file $WORK/b/pkts/Wirelane-0-002.pcap failed: No such file"
phases "$WORK/b" 150000 1 20000 130000 "exec 7<$WORK/b/pkts/Wirelane-0-001.pcap && rm -r $WORK/b" \
  "until_ 'grep -q \"$failed\" $log' && mkdir -p $WORK/b/json $WORK/b/pkts"
expect "one line for the failed opens" 1 "$(grep -c 'open the pkts store file .* failed' "$log")"
stored_and_lost "$(count "open the pkts store file .*")" /proc/$$/fd/7 "$WORK"/b/pkts/*

# The stores are set up before the card is known (none in the configuration); the capture of lo moves them. A file
# of an earlier run is kept.
mkdir -p "$WORK/c/json" "$WORK/c/pkts" && echo "{}" >"$WORK/c/json/Wirelane-0-002.json"
printf '%s\n' "exportPath=$WORK/c/json" exportSpace=100 "dumpPath=$WORK/c/pkts" dumpSpace=100 >"$WORK/c.conf"
background "$PROBE" --conf "$WORK/c.conf" --interface lo >/dev/null 2>&1
until_ "grep -q 'json store moves from the files of card 0' $log" && sleep 1 && kill "$bg"
card=$(sed -n 's/.*json store moves from the files of card 0 to those of card \([0-9]*\).*/\1/p' "$log")
expect "the files claimed are the card's, and only those" "10 2 1" "$(ls "$WORK/c/json" | grep -c "^Wirelane-$card-") \
$(ls "$WORK/c/pkts" | grep -c "^Wirelane-$card-") $(ls "$WORK/c/"* | grep -c Wirelane-0-)"
finish
