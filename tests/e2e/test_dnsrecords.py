"""--dns-records: against a name server without them every record is missing; loaded into it as a zone,
every record reads ok, and mail from the server passes SPF, DKIM and DMARC at a second server that asks it.
How each record is marked is a table in tests/unit/test_dnsrecords.cpp. Port 25 and port 53 need root."""
import os
import re
import subprocess
import unittest

import dnszone
from harness import ROOT, TIMEOUT, Case, bind_loopback, make_cert, send, wait_for

LINE = re.compile(r"^(\S+)\. 3600 IN (\S+) (.*) ; (ok|differs|missing)$")


@unittest.skipUnless(ROOT, "needs root: a server on port 25 and a name server on port 53")
class DnsRecords(Case):
    SERVER = None

    def records(self, server, dns):   # exit status, and (name, type, data, mark) per record line
        server.settings_file().write_text(re.sub(r"DnsServer=.*", f"DnsServer={dns}", server.settings_file().read_text()))
        run = subprocess.run([os.path.join(server.folder, "Tandrivel"), "--dns-records"], capture_output=True, text=True, timeout=TIMEOUT,
                             env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=server.config))
        lines = [line for line in run.stdout.splitlines() if not line.startswith(";")]
        self.assertTrue(lines and all(LINE.match(line) for line in lines), run.stdout + run.stderr)
        return run.returncode, [LINE.match(line).groups() for line in lines]

    def test_published_records_pass_every_check(self):
        with bind_loopback(25) as probe:   # the receiver's address
            receiver_address = probe.getsockname()[0]
        with bind_loopback(0) as probe:    # where the sender's relay connections come from
            source = probe.getsockname()[0]
        cert, key = make_cert("mail.example.test")
        sender = self.server(wait=None, domain_mx=[("remote.test", receiver_address, "10")],
                             settings={"HostName": "mail.example.test", "RelaySourceAddress": source, "TlsCertificate": cert,
                                       "TlsKey": key, "MtaStsMode": "enforce"})
        subprocess.run([os.path.join(sender.folder, "Tandrivel"), "--dkim-keygen"], capture_output=True, timeout=TIMEOUT, check=True,
                       env=dict(os.environ, XDG_CONFIG_HOME=sender.config))
        sender.settings_file().write_text(sender.settings_file().read_text() + "DkimKey=tandrivel.private\n")

        status, empty = self.records(sender, dnszone.Zone(self, []).address)
        self.assertEqual((status, {mark for *_, mark in empty}), (1, {"missing"}))
        self.assertEqual(sorted(t for _, t, _, _ in empty), ["CNAME", "MX", "TLSA", "TXT", "TXT", "TXT", "TXT", "TXT"])
        rows = [(name, t, "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', data)) if t == "TXT" else data) for name, t, data, _ in empty]
        zone = dnszone.Zone(self, rows + [("mail.example.test", "A", source)])
        status, published = self.records(sender, zone.address)
        self.assertEqual((status, [mark for *_, mark in published]), (0, ["ok"] * len(empty)), published)

        # The policy served is test_acme's; this server need not hold port 443.
        sender.settings_file().write_text(sender.settings_file().read_text().replace("MtaStsMode=enforce\n", ""))
        receiver = self.server(domain="remote.test", settings={"SMTP": 25, "Listen": receiver_address, "DnsServer": zone.address,
                                                                    "RelayNetworks": "127.0.0.1"})
        sender.start()
        send(sender, b"From: Demo <demo@example.test>\r\nTo: demo@remote.test\r\nSubject: checked\r\n\r\nbody\r\n",
             to=["demo@remote.test"], sender="demo@example.test")
        wait_for(lambda: receiver.files(), what="the message at the receiver")
        results = re.search(rb"(?mi)^Authentication-Results: [^;]+;((?:[^\r]|\r\n[ \t])*)", receiver.files()[0])[1].decode()
        for method in ("spf", "dkim", "dmarc"):
            self.assertRegex(results, rf"\b{method}=pass\b")
