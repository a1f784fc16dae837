#!/usr/bin/env python3
"""tls_vs_tshark.py CAPTURE RECORDS: each TLS handshake of CAPTURE (one a TCP connection) has one TLS record
(type "7") in RECORDS (--json-out), found by client port, whose fields are tshark's: name, version, suite,
ALPN, fingerprints, first certificate, fatal alert and times."""
import datetime
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

capture, records = sys.argv[1:3]
env = dict(os.environ, TZ="UTC")
VERSIONS = {"0x0301": "TLSv1.0", "0x0302": "TLSv1.1", "0x0303": "TLSv1.2", "0x0304": "TLSv1.3"}


def tshark(*args):
    return subprocess.run(["tshark", "-r", capture] + decode + list(args), check=True, capture_output=True,
                          text=True, env=env).stdout


decode = []  # the server's port is no registered TLS one
server = tshark("-Y", "tcp.flags == 0x002", "-T", "fields", "-e", "tcp.dstport").split()
decode = ["-d", f"tcp.port=={server[0]},tls"] if server else []
# An encrypted TLS 1.3 record's outer type is its "opaque type".
fields = ["tcp.stream", "frame.time_epoch", "tcp.srcport", "tcp.dstport", "tcp.len", "tls.record.content_type",
          "tls.record.opaque_type",
          "tls.handshake.type", "tls.handshake.extensions_server_name", "tls.handshake.ja3", "tls.handshake.ja3s",
          "tls.handshake.ciphersuite", "tls.handshake.extensions.supported_version", "tls.handshake.version",
          "tls.handshake.extensions_alpn_str", "tls.alert_message.desc", "tls.alert_message.level"]
rows = tshark("-T", "fields", "-E", "separator=/t", "-E", "aggregator=;", *sum((["-e", f] for f in fields), []))


def usec(epoch):  # exact: a double cannot hold epoch seconds to the microsecond
    sec, _, frac = epoch.partition(".")
    return int(sec) * 1000000 + int((frac + "000000")[:6])


shakes = {}  # per TCP stream: what the record should say, and the handshake's frame times
for f in (dict(zip(fields, line.split("\t"))) for line in rows.splitlines()):
    s = shakes.setdefault(f["tcp.stream"], {"client": None, "alert": "", "begin": None, "hello": None,
                                             "last": None, "done": None})
    if s["client"] is None and int(f["tcp.len"] or 0) > 0:
        s["client"], s["begin"] = f["tcp.srcport"], usec(f["frame.time_epoch"])  # the ClientHello's first segment
    toward = f["tcp.srcport"] == s["client"]
    kinds = (f["tls.record.content_type"] + ";" + f["tls.record.opaque_type"]).split(";")
    types, t = f["tls.handshake.type"].split(";"), usec(f["frame.time_epoch"])
    if toward and "1" in types:
        alpn = f["tls.handshake.extensions_alpn_str"].split(";")
        s.update(sni=f["tls.handshake.extensions_server_name"], ja3=f["tls.handshake.ja3"], alpn=alpn[0])
    if not toward and "2" in types:
        version = f["tls.handshake.extensions.supported_version"] or f["tls.handshake.version"].split(";")[0]
        s.update(hello=t, version=VERSIONS.get(version, version), ja3s=f["tls.handshake.ja3s"],
                 cipher=f["tls.handshake.ciphersuite"])
        s["alpn"] = f["tls.handshake.extensions_alpn_str"] or s.get("alpn", "")
    if s["done"] is None and "22" in kinds:
        s["last"] = t
    if s["done"] is None and toward and s["hello"] and "23" in kinds:
        s["done"] = t
    if s["done"] is None and not s["alert"] and "2" in f["tls.alert_message.level"].split(";"):
        s["alert"] = f["tls.alert_message.desc"].split(";")[0]
shakes = {k: s for k, s in shakes.items() if "sni" in s}  # connections that began with a ClientHello

def cn(cert, part):  # the common name of the certificate's "subject" or "issuer"
    for name in cert.iter("field"):
        if name.get("name") == f"x509af.{part}":
            for item in name.iter("field"):
                oid = item.find("field[@name='x509if.oid']")
                if oid is not None and oid.get("show") == "2.5.4.3":
                    return item.find("field/field").get("show")
    return ""


# The server's first certificate, by stream.
certs = {}
for packet in ET.fromstring(tshark("-Y", "tls.handshake.type == 11", "-T", "pdml")).iter("packet"):
    stream = packet.find(".//field[@name='tcp.stream']").get("show")
    cert = packet.find(".//field[@name='tls.handshake.certificate']")
    if stream in certs or cert is None:
        continue
    after = cert.find(".//field[@name='x509af.notAfter']/field").get("show")
    if after.endswith(" (UTC)"):  # utcTime, already so
        after = after[:-6]
    else:  # generalizedTime: "Apr 25, 2054 18:19:27.000000000 UTC"
        after = datetime.datetime.strptime(after.split(".")[0], "%b %d, %Y %H:%M:%S").strftime("%Y-%m-%d %H:%M:%S")
    certs[stream] = cn(cert, "subject"), cn(cert, "issuer"), after

got = {}
for r in map(json.loads, open(records)):
    if r["type"] == "7":
        got.setdefault(r["sport"], []).append(r)
bad = []
ms = lambda t: f"{t // 1000000}.{t // 1000 % 1000:03d}"  # as the records write times
for n, s in sorted(shakes.items(), key=lambda kv: int(kv[0])):
    subject, issuer, after = certs.get(n, ("", "", ""))
    want = {"sni": s["sni"], "version": s.get("version", ""), "cipher": s.get("cipher", ""), "alpn": s["alpn"],
            "ja3": s["ja3"], "ja3s": s.get("ja3s", ""), "certSubject": subject, "certIssuer": issuer,
            "certNotAfter": after, "alert": s["alert"], "response": str(s["hello"] - s["begin"]) if s["hello"] else "0",
            "setup": str(s["done"] - s["begin"]) if s["done"] else "0", "begintime": ms(s["begin"]),
            "endtime": ms(s["last"])}
    mine = got.get(s["client"], [])
    if len(mine) != 1:
        bad.append(f"{'no' if not mine else len(mine)} TLS record for stream {n} (client port {s['client']})")
        continue
    bad += [f"stream {n} {k}: tshark '{v}', record '{mine[0].get(k)}'" for k, v in want.items() if mine[0].get(k) != v]

if bad:
    sys.exit("\n".join(bad))
print(f"{len(shakes)} handshakes")
