#!/bin/bash
# The stores through real faults: a small file system that fills while both stores write and is then freed (every
# pcap file whole for tshark and play, every JSON record valid, the losses counted in the log), a store folder
# removed while the probe writes, and a card chosen after the stores were set up (the files written are the files
# claimed). Captures reach the probe through a pipe, phase by phase, so that each fault comes mid-run.
source "$(dirname "$0")/common.bash"
needs_root
log=$(logfile)

# feed CAPTURE FIFO SCALE CUT...: writes CAPTURE into FIFO with its times stretched SCALE-fold; at each CUT (a frame
# count) it makes FIFO.atN and waits for FIFO.goN.
cat >"$WORK/feed.py" <<'PY'
import os, struct, sys, time
src, fifo, scale, cuts = sys.argv[1], sys.argv[2], int(sys.argv[3]), [int(c) for c in sys.argv[4:]]
data = open(src, "rb").read()
with open(fifo, "wb") as out:
    out.write(data[:24])
    off, n, t0 = 24, 0, None
    while off < len(data):
        if n in cuts:
            out.flush()
            phase = cuts.index(n)
            open(f"{fifo}.at{phase}", "w").close()
            while not os.path.exists(f"{fifo}.go{phase}"):
                time.sleep(0.05)
        sec, usec, caplen = struct.unpack_from("<III", data, off)
        t = sec * 1000000 + usec
        t0 = t if t0 is None else t0
        t = t0 + (t - t0) * scale
        out.write(struct.pack("<II", t // 1000000, t % 1000000) + data[off + 8:off + 16 + caplen])
        off, n = off + 16 + caplen, n + 1
PY
feed() { background python3 "$WORK/feed.py" "$@"; feeder=$bg; }
# wait_for WHAT FILE...: until each FILE exists (20 s at most).
wait_for() {
  local what=$1
  shift
  for f; do
    for _ in $(seq 200); do [ -e "$f" ] && break; sleep 0.1; done
    [ -e "$f" ] || { fail "$what: $f never came"; return 1; }
  done
}
# logged TEXT: until the log has a line holding TEXT (20 s at most).
logged() { for _ in $(seq 200); do grep -qF -- "$1" "$log" && return 0; sleep 0.1; done; return 1; }
# lost STORE: the count of the line saying that writing to STORE works again.
lost() { sed -n "s/.*write to the $1 store works again: \([0-9]*\) .*/\1/p" "$log"; }
analysed() { sed -n 's/.*end of input: [0-9]* frames read, \([0-9]*\) analysed.*/\1/p' "$log" | tail -1; }
frames_of() { { tshark -r "$1" 2>&1 >&3 | grep -v "Running as user" >"$WORK/tshark.err" || true; } 3>&1 | wc -l; }
# whole_pcap FILE...: each is read by tshark to its end without a word of complaint.
whole_pcap() {
  local f bad=""
  for f; do frames_of "$f" >/dev/null && [ ! -s "$WORK/tshark.err" ] || bad+=" $f: $(cat "$WORK/tshark.err")"; done
  [ -z "$bad" ] && pass "tshark reads all $# pcap store files whole" || fail "pcap store files cut:$bad"
}
# Store files that hold anything: not blank (of their full size), not empty.
written() { find "$1" -name "Wirelane-*.$2" -size +0 ! -size "$3" | sort; }
# conf FILE DIR: an HTTP endpoint and both stores of 100 MB in DIR/json and DIR/pkts.
conf() {
  mkdir -p "$2/json" "$2/pkts"
  printf '%s\n' "endpoint=198.19.0.0/16|3|11111111" "exportPath=$2/json" exportSpace=100 "dumpPath=$2/pkts" \
    dumpSpace=100 >"$1"
}

# ---- a file system that fills up -----------------------------------------------------------------------------
FS=$WORK/fs
mkdir -p "$FS"
mount -t tmpfs -o size=64m tmpfs "$FS"
cleanups+=("umount -l '$FS'")
conf "$WORK/fs.conf" "$FS"
# Stores of 100 MB each on 64 MB: their files are there beforehand (empty), so that the set-up claims nothing; the
# space left before the first frame (8 MB) holds neither file's claim at its opening, so that writes take it.
for n in $(seq -f %03g 10); do : >"$FS/json/Wirelane-0-$n.json"; done
: >"$FS/pkts/Wirelane-0-001.pcap"
: >"$FS/pkts/Wirelane-0-002.pcap"
head -c $(( ($(df -k --output=avail "$FS" | tail -1) - 8192) * 1024 )) /dev/zero >"$FS/fill1"
"$BUILD/wirelane-genpcap" "$WORK/web.pcap" 30000 200 300
mkfifo "$WORK/web.fifo"
# 30000 frames over a minute: a scan (and records) every ten seconds, two of them with the disk full.
feed "$WORK/web.pcap" "$WORK/web.fifo" 50 8000 18000
background "$PROBE" --conf "$WORK/fs.conf" --read "$WORK/web.fifo" --json-out "$WORK/web.json" >/dev/null 2>&1
probe=$bg
wait_for "the first frames" "$WORK/web.fifo.at0"
sleep 1
# Full to the last page.
head -c 64M /dev/zero >"$FS/fill2" 2>/dev/null || true
touch "$WORK/web.fifo.go0"
wait_for "the frames of the full disk" "$WORK/web.fifo.at1"
logged "write to the pkts store failed: No space left on device" && logged "write to the json store failed: No space" \
  && pass "both stores log that writing fails" || fail "no failure logged: $(grep -i store "$log")"
rm "$FS/fill1" "$FS/fill2"
touch "$WORK/web.fifo.go1"
wait "$probe" && pass "the probe ends with status 0" || fail "the probe ended with status $?"
wait "$feeder" || true

expect "one line per store says that writing works again" "2" "$(grep -c 'store works again' "$log")"
pkts_lost=$(lost pkts) json_lost=$(lost json)
[ "${pkts_lost:-0}" -gt 0 ] && [ "${json_lost:-0}" -gt 0 ] && pass "lost: $pkts_lost frames, $json_lost records" \
  || fail "lost counts: '$pkts_lost' frames, '$json_lost' records"
mapfile -t pcaps < <(written "$FS/pkts" pcap 52428800c)
whole_pcap "${pcaps[@]}"
stored=0
for f in "${pcaps[@]}"; do stored=$((stored + $(frames_of "$f"))); done
expect "frames stored and frames lost make every frame analysed" "$(analysed)" "$((stored + ${pkts_lost:-0}))"
out=$("$PROBE" play --store "$FS/pkts" --from 946684800 --to 4000000000 --out "$WORK/play.pcap" 2>/dev/null)
expect "play returns every stored frame" "$stored frames written to $WORK/play.pcap" "$out"
python3 - "$WORK/web.json" "${json_lost:-0}" $(written "$FS/json" json 10485760c) <<'PY' \
  && pass "every JSON store record is whole and valid, and with those lost makes every record" || fail "JSON store"
import json, sys
# End-of-scan records go to the collector only.
sent = sum(not l.startswith(b'{"type":"99"') for l in open(sys.argv[1], "rb"))
lost, files = int(sys.argv[2]), sys.argv[3:]
records = []
for name in files:
    text = open(name, "rb").read()
    if not text.endswith(b"\r\n\r\n"):
        sys.exit(f"{name} ends with a cut record: {text[-60:]!r}")
    records += [json.loads(r) for r in text[:-4].split(b"\r\n\r\n")]
if len(records) + lost != sent:
    sys.exit(f"{len(records)} stored + {lost} lost, {sent} sent")
PY

# ---- a store folder removed while the probe writes ------------------------------------------------------------
> "$log"
GONE=$WORK/gone
conf "$WORK/gone.conf" "$GONE"
# More than a pcap file's 50 MB: the switch comes while the folder is gone.
"$BUILD/wirelane-genpcap" "$WORK/big.pcap" 150000 200 300
mkfifo "$WORK/big.fifo"
feed "$WORK/big.pcap" "$WORK/big.fifo" 1 20000 130000
background "$PROBE" --conf "$WORK/gone.conf" --read "$WORK/big.fifo" >/dev/null 2>&1
probe=$bg
wait_for "the first frames" "$WORK/big.fifo.at0"
logged "use pkts file index" && sleep 1
exec 7<"$GONE/pkts/Wirelane-0-001.pcap"  # the file being written, kept to be read once it is gone
rm -r "$GONE"
touch "$WORK/big.fifo.go0"
wait_for "the frames while the folder is gone" "$WORK/big.fifo.at1"
logged "open the pkts store file $GONE/pkts/Wirelane-0-002.pcap failed: No such file or directory" \
  && pass "the failed switch is logged" || fail "no failed open logged: $(grep -i store "$log")"
mkdir -p "$GONE/json" "$GONE/pkts"
touch "$WORK/big.fifo.go1"
wait "$probe" && pass "the probe ends with status 0" || fail "the probe ended with status $?"
wait "$feeder" || true
expect "one line for the failed opens" 1 "$(grep -c 'open the pkts store file .* failed' "$log")"
gone_lost=$(sed -n 's/.*open the pkts store file .* works again: \([0-9]*\) frames lost.*/\1/p' "$log")
mapfile -t pcaps < <(written "$GONE/pkts" pcap 52428800c)
whole_pcap /proc/$$/fd/7 "${pcaps[@]}"
stored=$(frames_of /proc/$$/fd/7)
for f in "${pcaps[@]}"; do stored=$((stored + $(frames_of "$f"))); done
exec 7<&-
[ "${gone_lost:-0}" -gt 0 ] && expect "frames stored and $gone_lost lost make every frame analysed" "$(analysed)" \
  "$((stored + gone_lost))" || fail "no line with the count once opening works again: $(grep -i store "$log")"

# ---- a card chosen after the stores were set up ---------------------------------------------------------------
# The stores are set up before the card is known (no card in the configuration); the capture of lo moves them.
CARD=$WORK/card
conf "$WORK/card.conf" "$CARD"
background "$PROBE" --conf "$WORK/card.conf" --interface lo >/dev/null 2>&1
logged "the json store moves from the files of card 0" && sleep 1
kill "$bg" && wait "$bg" 2>/dev/null || true
card=$(sed -n 's/.*the json store moves from the files of card 0 to those of card \([0-9]*\).*/\1/p' "$log")
count() { ls "$1" | grep -c "^Wirelane-${card:-?}-"; }
expect "the stores claim the files of the card captured" "10 json files, 2 pcap files of card $card" \
  "$(count "$CARD/json") json files, $(count "$CARD/pkts") pcap files of card $card"
expect "no file of card 0 is left" "" "$(ls "$CARD/json" "$CARD/pkts" | grep '^Wirelane-0-' || true)"
finish
