"""The daily aggregate reports as a whole server shows them: DMARC checks of mail from outside counted, kept over
a restart, and reported when due at the next start, through the relay queue to the exchanger of the rua= domain;
the report validated against RFC 7489's schema by xmllint. Counting, bounds and who may have a report are rows of
tests/unit/test_reports.cpp."""
import email
import gzip
import os
import subprocess
import time
import xml.etree.ElementTree as ET

import dnszone
from harness import Case, real_exchanger, smtp, wait_for

SCHEMAS = os.path.join(os.path.dirname(__file__), "schemas")
INTERVAL = 15   # long enough for the first run to end before its period does
SPF = "v=spf1 ip4:127.0.0.0/8 -all"
RECORDS = [("sender.example", "TXT", SPF), ("_dmarc.sender.example", "TXT", "v=DMARC1; p=none; rua=mailto:dmarc@reports.example"),
           ("sender.example._report._dmarc.reports.example", "TXT", "v=DMARC1"),
           ("other.example", "TXT", SPF), ("_dmarc.other.example", "TXT", "v=DMARC1; p=quarantine; rua=mailto:agg@unasked.example"),
           ("quiet.example", "TXT", SPF), ("_dmarc.quiet.example", "TXT", "v=DMARC1; p=reject")]


class Reports(Case):
    SERVER = None

    def test_dmarc_report_due_while_down_is_sent_at_start(self):
        zone = dnszone.Zone(self, RECORDS)
        mx, deliveries = real_exchanger(self)
        s = self.server(domain_mx=[("reports.example", mx, "10")],
                        settings={"DnsServer": zone.address, "RelayNetworks": "10.0.0.0/8", "ReportIntervalSeconds": INTERVAL,
                                  "ReportAddress": "dmarc-reports@example.test"})
        started = time.time()
        for author, source in (("sender", "127.0.0.1"), ("sender", "127.0.0.1"), ("sender", "127.0.0.2"), ("other", "127.0.0.1"),
                               ("quiet", "127.0.0.1")):
            with smtp(s, source=source) as c:
                c.sendmail(f"a@{author}.example", ["demo@example.test"],
                           f"From: a@{author}.example\r\nSubject: s\r\n\r\nx\r\n".encode())
        wait_for(lambda: s.count_log(r"-DMARC ") == 5, what="five DMARC checks")
        self.assertEqual(0, s.stop())
        self.assertEqual([], deliveries)
        time.sleep(max(0, started + INTERVAL + 1 - time.time()))

        s.start()
        s.wait_log(r"^DMARC report for other\.example not sent to <agg@unasked\.example>: its domain does not publish")
        s.wait_log(r"^DMARC report for sender\.example queued for <dmarc@reports\.example>")
        wait_for(lambda: deliveries, what="the report at the exchanger")
        sender, to, content = deliveries[0][:3]
        self.assertEqual(("dmarc-reports@example.test", ["dmarc@reports.example"]), (sender, to))
        report = email.message_from_bytes(content)
        self.assertRegex(report["Subject"], r"^Report Domain: sender\.example Submitter: example\.test Report-ID: <.+>$")
        part = next(p for p in report.walk() if p.get_content_type() == "application/gzip")
        self.assertRegex(part.get_filename(), r"^example\.test!sender\.example!\d+!\d+\.xml\.gz$")
        xml = gzip.decompress(part.get_payload(decode=True))
        check = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMAS, "dmarc-aggregate.xsd"), "-"], input=xml,
                               capture_output=True)
        self.assertEqual(0, check.returncode, check.stderr.decode())
        feedback = ET.fromstring(xml)
        self.assertEqual("sender.example", feedback.findtext("policy_published/domain"))
        rows = {r.findtext("row/source_ip"): (int(r.findtext("row/count")), r.findtext("row/policy_evaluated/spf"))
                for r in feedback.iter("record")}
        self.assertEqual({"127.0.0.1": (2, "pass"), "127.0.0.2": (1, "pass")}, rows)
        time.sleep(2)   # one report per domain per period
        self.assertEqual(1, len(deliveries))
