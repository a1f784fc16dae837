#!/bin/bash
# The Debian packages of the release build: lintian, an install with apt, the files where they belong, the capture
# rights of the group wirelane, the installed probe at work (as a member, as the service's user with its folders),
# and a removal that leaves only the configuration.
source "$(dirname "$0")/common.bash"
needs_root
if [ -n "${WIRELANE_SANITIZE:-}" ] || [ ! -x "$BUILD/wirelane" ]; then
  echo "packages come from the release build with the desktop program: skipped here"
  exit 0
fi
PORT=18481
ports_free $PORT
(cd "$BUILD" && rm -f ./*.deb && cpack -G DEB >"$WORK/cpack.out" 2>&1) || { cat "$WORK/cpack.out"; exit 1; }
debs=("$BUILD"/wirelane_*.deb "$BUILD"/wirelane-probe_*.deb)
[ -f "${debs[0]}" ] && [ -f "${debs[1]}" ] || { echo "cpack made no packages: $(cat "$WORK/cpack.out")"; exit 1; }

lintian "${debs[@]}" >"$WORK/lintian.out" 2>&1 || true
grep -q '^E: ' "$WORK/lintian.out" && fail "lintian errors: $(grep '^E: ' "$WORK/lintian.out")" \
  || pass "lintian: no error ($(grep -c '^W: ' "$WORK/lintian.out") warnings)"
grep '^W: ' "$WORK/lintian.out" || true
depends=$(dpkg-deb -f "${debs[1]}" Depends)
[[ $depends == *libpcap* && $depends != *gtk* ]] && pass "the probe's package pulls libpcap in, not GTK" \
  || fail "wirelane-probe depends on: $depends"

# Users of the test: one in the group, one outside it, gone at the end.
member=wlcap$$ outsider=wlout$$
cleanups+=("userdel -r $member 2>/dev/null; userdel -r $outsider 2>/dev/null")
cleanups+=("dpkg --purge wirelane wirelane-probe >/dev/null 2>&1")
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$WORK/apt.out" 2>&1 \
  || { cat "$WORK/apt.out"; exit 1; }
installed=$(dpkg -L wirelane wirelane-probe | sort -u)
for f in /usr/bin/wirelane /usr/bin/wirelane-probe /usr/share/applications/wirelane.desktop \
  /usr/share/icons/hicolor/48x48/apps/wirelane.png /usr/share/icons/hicolor/256x256/apps/wirelane.png \
  /usr/share/icons/hicolor/scalable/apps/wirelane.svg /usr/share/doc/wirelane/wirelane-help.html \
  /usr/share/man/man1/wirelane.1.gz /usr/share/man/man1/wirelane-probe.1.gz /usr/share/wirelane/clickhouse.sql \
  /usr/lib/systemd/system/wirelane-probe.service /etc/default/wirelane-probe; do
  grep -qx "$f" <<<"$installed" && [ -f "$f" ] || fail "$f is not installed"
done
metainfo=$(grep '^/usr/share/metainfo/.*\.xml$' <<<"$installed") || fail "no metainfo installed"
pass "the files where they belong"
for exe in /usr/bin/wirelane /usr/bin/wirelane-probe; do
  expect "$exe: mode, owner and group" "750 root wirelane" "$(stat -c '%a %U %G' "$exe")"
  expect "$exe: capabilities" "$exe cap_net_admin,cap_net_raw=eip" "$(getcap "$exe")"
done
expect "the service's user, in the group" "wirelane" "$(id -gn wirelane)"
expect "the configuration, the service's to rewrite" "wirelane 750 wirelane 640" \
  "$(stat -c '%U %a' /etc/wirelane) $(stat -c '%U %a' /etc/wirelane/wirelane.conf)"
out=$(desktop-file-validate /usr/share/applications/wirelane.desktop 2>&1) && [ -z "$out" ] \
  && pass "desktop-file-validate" || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) && pass "appstreamcli validate" \
  || fail "appstreamcli validate: $out"
out=$(systemd-analyze verify /usr/lib/systemd/system/wirelane-probe.service 2>&1) && [ -z "$out" ] \
  && pass "systemd-analyze verify" || fail "systemd-analyze verify: $out"
for page in wirelane wirelane-probe; do
  text=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>"$WORK/man.err")
  grep -q -- "--home DIR" <<<"$text" && [ ! -s "$WORK/man.err" ] && pass "man -l renders $page(1)" \
    || fail "$page(1): $(head -5 "$WORK/man.err")"
done
/usr/bin/wirelane-probe --read "$SRC/data/sample.pcap" --home "$WORK/inst" --json-out "$WORK/inst.json" >/dev/null
"$PROBE" --read "$SRC/data/sample.pcap" --home "$WORK/built" --json-out "$WORK/built.json" >/dev/null
[ -s "$WORK/inst.json" ] && same "the installed probe reads the sample as the built one" "$WORK/built.json" \
  "$WORK/inst.json" || fail "no records from the installed probe"

# Capture rights (setpriv, as a login would give them, and as the service's exec: no process in between): a member
# captures loopback traffic; the folder /tmp/Wirelane of another user (root) makes the
# member's probe use its own, as TMPDIR is dropped for an executable with capabilities.
useradd -M -N -G wirelane "$member" && useradd -M -N "$outsider"
start_nginx $PORT
install -d -o "$member" "$WORK/member"
printf '%s\n' cardMac=000000000000 "endpoint=127.0.0.1:$PORT|3|40213377" >"$WORK/member/probe.conf"
chown "$member" "$WORK/member/probe.conf"
[ -e /tmp/Wirelane ] || { install -d -m 755 /tmp/Wirelane && cleanups+=("rm -rf /tmp/Wirelane"); }
cleanups+=("rm -rf /tmp/Wirelane-$member")
setpriv --reuid "$member" --regid wirelane --init-groups -- env TMPDIR="$WORK/member" /usr/bin/wirelane-probe --conf "$WORK/member/probe.conf" \
  --interface lo --json-out "$WORK/member/records.json" >"$WORK/member.out" 2>&1 &
probe=$!
# Requests until the capture is open (a few seconds), then the five counted.
for _ in $(seq 40); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/index.html?warm"
  grep -q 'warm' "$WORK/member/records.json" 2>/dev/null && break
  sleep 0.25
done
for i in $(seq 5); do curl -s -o /dev/null "http://127.0.0.1:$PORT/index.html?member=$i"; done
for _ in $(seq 40); do [ "$(grep -c 'member=' "$WORK/member/records.json")" -ge 5 ] && break; sleep 0.25; done
kill -TERM $probe; rc=0; wait $probe || rc=$?
[ $rc -eq 0 ] && [ "$(grep -c 'member=' "$WORK/member/records.json")" -eq 5 ] \
  && pass "a member of the group captures the 5 requests on lo and stops on SIGTERM" \
  || fail "member: status $rc, $(grep -c 'member=' "$WORK/member/records.json" 2>/dev/null) records: $(tail -5 "$WORK/member.out")"
grep -q "belongs to another user: using /tmp/Wirelane-$member" "$WORK/member.out" \
  && [ "$(stat -c %U "/tmp/Wirelane-$member")" = "$member" ] && [ -s "/tmp/Wirelane-$member/Wirelane-$(date +%Y-%m-%d).log" ] \
  && pass "root's /tmp/Wirelane: the member's log goes to /tmp/Wirelane-$member, and the log says so" \
  || fail "the member's folder: $(grep -i folder "$WORK/member.out")"
said=$(runuser -u "$outsider" -- /usr/bin/wirelane-probe --interface lo 2>&1) && fail "an outsider ran the probe" \
  || { grep -q "Permission denied" <<<"$said" && pass "an outsider: '$said'" || fail "an outsider: '$said'"; }

# The service's command, as its user, without the sandbox: its folders are its own.
install -d -o wirelane -g wirelane -m 750 /var/lib/wirelane
cleanups+=("rm -rf /var/lib/wirelane")
setpriv --reuid wirelane --regid wirelane --init-groups -- /usr/bin/wirelane-probe --home /var/lib/wirelane --conf /etc/wirelane/wirelane.conf \
  --interface lo >"$WORK/service.out" 2>&1 &
probe=$!
for _ in $(seq 40); do grep -q "^columnShow=" /etc/wirelane/wirelane.conf && break; sleep 0.25; done
kill -TERM $probe; rc=0; wait $probe || rc=$?
[ $rc -eq 0 ] && grep -q '^columnShow=' /etc/wirelane/wirelane.conf && ls /var/lib/wirelane/Wirelane-*.log >/dev/null \
  && pass "the service's command: log in /var/lib/wirelane, configuration rewritten, status 0 on SIGTERM" \
  || fail "service: status $rc, conf '$(cat /etc/wirelane/wirelane.conf)': $(tail -3 "$WORK/service.out")"

# Removal: what was installed goes; the configuration stays until a purge.
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq wirelane wirelane-probe >"$WORK/apt.out" 2>&1 \
  || { cat "$WORK/apt.out"; exit 1; }
left=$(while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done <<<"$installed")
expect "removed: only the configuration is left" "/etc/default/wirelane-probe" "$left"
[ -f /etc/wirelane/wirelane.conf ] && ! dpkg-statoverride --list /usr/bin/wirelane-probe >/dev/null \
  && pass "removed: /etc/wirelane kept, no override left" || fail "after removal: $(ls -la /etc/wirelane)"
dpkg --purge wirelane wirelane-probe >/dev/null
[ ! -e /etc/wirelane ] && [ ! -e /etc/default/wirelane-probe ] && pass "purged: the configuration goes too" \
  || fail "after the purge: $(ls -d /etc/wirelane /etc/default/wirelane-probe 2>&1)"
finish
