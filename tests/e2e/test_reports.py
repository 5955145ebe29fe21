"""The daily aggregate reports as a whole server shows them: a relay connection's TLS outcome and the DMARC checks of
mail from outside counted, kept over a restart, and reported when due at the next start, through the relay queue to
the exchanger of the rua= domain; the DMARC report validated against RFC 7489's schema by xmllint, the TLS report
against RFC 8460's fields by python3-jsonschema. Counting, bounds and who may have a report are rows of
tests/unit/test_reports.cpp."""
import email
import gzip
import json
import os
import subprocess
import time
import xml.etree.ElementTree as ET

import dnszone
from harness import Case, real_exchanger, smtp, wait_for

try:
    import jsonschema
except ImportError:
    jsonschema = None

SCHEMAS = os.path.join(os.path.dirname(__file__), "schemas")
INTERVAL = 15   # long enough for the first run to end before its period does
SPF = "v=spf1 ip4:127.0.0.0/8 -all"
RECORDS = [("sender.example", "TXT", SPF), ("_dmarc.sender.example", "TXT", "v=DMARC1; p=none; rua=mailto:dmarc@reports.example"),
           ("sender.example._report._dmarc.reports.example", "TXT", "v=DMARC1"),
           ("other.example", "TXT", SPF), ("_dmarc.other.example", "TXT", "v=DMARC1; p=quarantine; rua=mailto:agg@unasked.example"),
           ("quiet.example", "TXT", SPF), ("_dmarc.quiet.example", "TXT", "v=DMARC1; p=reject"),
           ("_smtp._tls.remote.example", "TXT", "v=TLSRPTv1; rua=mailto:tlsrpt@reports.example")]


def attachment(content, kind):   # the report's subject, its attachment's file name and text
    report = email.message_from_bytes(content)
    part = next(p for p in report.walk() if p.get_content_type() == kind)
    return report, part.get_filename(), gzip.decompress(part.get_payload(decode=True))


class Reports(Case):
    SERVER = None

    def test_reports_due_while_down_are_sent_at_start(self):
        if jsonschema is None:
            self.skipTest("needs Debian's python3-jsonschema")
        zone = dnszone.Zone(self, RECORDS)
        mx, deliveries = real_exchanger(self)
        s = self.server(domain_mx=[("reports.example", mx, "10"), ("remote.example", mx, "10")],
                        settings={"DnsServer": zone.address, "RelayNetworks": "10.0.0.0/8", "ReportIntervalSeconds": INTERVAL,
                                  "ReportAddress": "dmarc-reports@example.test"})
        started = time.time()
        for author, source in (("sender", "127.0.0.1"), ("sender", "127.0.0.1"), ("sender", "127.0.0.2"), ("other", "127.0.0.1"),
                               ("quiet", "127.0.0.1")):
            with smtp(s, source=source) as c:
                c.sendmail(f"a@{author}.example", ["demo@example.test"],
                           f"From: a@{author}.example\r\nSubject: s\r\n\r\nx\r\n".encode())
        with smtp(s) as c:   # relayed to an exchanger that offers no STARTTLS
            c.login("demo", "secret")
            c.sendmail("demo@example.test", ["x@remote.example"], b"From: demo@example.test\r\nSubject: out\r\n\r\nx\r\n")
        wait_for(lambda: s.count_log(r"-DMARC ") == 5 and deliveries, what="five DMARC checks and the relayed message")
        self.assertEqual(0, s.stop())
        self.assertEqual(1, len(deliveries))
        time.sleep(max(0, started + INTERVAL + 1 - time.time()))

        s.start()
        s.wait_log(r"^DMARC report for other\.example not sent to <agg@unasked\.example>: its domain does not publish")
        s.wait_log(r"^DMARC report for sender\.example queued for <dmarc@reports\.example>")
        wait_for(lambda: len(deliveries) == 3, what="the two reports at the exchanger")
        reports = {d[1][0]: d for d in deliveries[1:]}
        self.assertEqual({"dmarc-reports@example.test"}, {d[0] for d in reports.values()})
        self.check_tls(reports["tlsrpt@reports.example"][2], mx)

        report, name, xml = attachment(reports["dmarc@reports.example"][2], "application/gzip")
        self.assertRegex(report["Subject"], r"^Report Domain: sender\.example Submitter: example\.test Report-ID: <.+>$")
        self.assertRegex(name, r"^example\.test!sender\.example!\d+!\d+\.xml\.gz$")
        check = subprocess.run(["xmllint", "--noout", "--schema", os.path.join(SCHEMAS, "dmarc-aggregate.xsd"), "-"], input=xml,
                               capture_output=True)
        self.assertEqual(0, check.returncode, check.stderr.decode())
        feedback = ET.fromstring(xml)
        self.assertEqual("sender.example", feedback.findtext("policy_published/domain"))
        rows = {r.findtext("row/source_ip"): (int(r.findtext("row/count")), r.findtext("row/policy_evaluated/spf"))
                for r in feedback.iter("record")}
        self.assertEqual({"127.0.0.1": (2, "pass"), "127.0.0.2": (1, "pass")}, rows)
        time.sleep(2)   # one report per domain per period
        self.assertEqual(3, len(deliveries))

    def check_tls(self, content, mx):
        report, name, text = attachment(content, "application/tlsrpt+gzip")
        self.assertEqual(("tlsrpt", "remote.example"), (report.get_param("report-type"), report["TLS-Report-Domain"]))
        self.assertRegex(report["Subject"], r"^Report Domain: remote\.example Submitter: example\.test Report-ID: <.+>$")
        self.assertRegex(name, r"^example\.test!remote\.example!\d+!\d+\.json\.gz$")
        tls = json.loads(text)
        with open(os.path.join(SCHEMAS, "tlsrpt.json")) as f:
            jsonschema.validate(tls, json.load(f))
        [policy] = tls["policies"]
        self.assertEqual(("no-policy-found", {"total-successful-session-count": 0, "total-failure-session-count": 1}),
                         (policy["policy"]["policy-type"], policy["summary"]))
        self.assertEqual([("starttls-not-supported", mx, 1)],
                         [(d["result-type"], d["receiving-ip"], d["failed-session-count"]) for d in policy["failure-details"]])
