"""SPF end to end, against a private unbound (dnszone) serving one table of records: every row (a client
address, a MAIL FROM, a HELO name) must give Tandrivel the result Debian's python3-spf gives.

(a) test_python3_spf: every row through python3-spf (module spf, its DNS pointed at the unbound), which
    must give the result the row expects: the table means what it says.
(b) test_server: every row as a message to the real server (DnsServer the unbound, RelayNetworks
    10.0.0.0/8 so that loopback clients are outside, each from the row's own source address, with the
    row's HELO name), whose Authentication-Results header (read by python3-authres) must carry the
    spf= result python3-spf gave. IPv6 rows come from ::1; an IPv4-mapped row as IPv4 (so every IPv4
    client reaches a dual-stack listener).

The evaluator's every mechanism, macro and limit is in the unit test (tests/unit/test_spf.cpp, with
RFC 7208's suite). These rows are what only a real name server and real clients show: a result as the
header writes it, each record type asked over the wire (TXT of two strings, A, AAAA, MX, PTR under
in-addr.arpa and ip6.arpa), IPv6 and IPv4-mapped clients, the MAIL FROM and HELO as the session hands
them over, and a temporary failure from a zone dnszone refuses (REFUSED); one that never answers is
test_authresults.py's."""
import email.parser
import email.policy
import re
import smtplib
import unittest
import warnings

import dnszone
from harness import Case, smtp, wait_for

try:
    import spf
    import dns.resolver
    warnings.filterwarnings("ignore", "please use dns.resolver.resolve", DeprecationWarning)   # python3-spf's call
except ImportError:
    spf = None
try:
    import authres
except ImportError:
    authres = None

AUTHSERV = "mx.spf-e2e.test"
TIMEOUT = 60

# (name, type, data); every name under spf.test, or the refused zone.
RECORDS = [
    ("fail.spf.test", "TXT", "v=spf1 -all"),
    # more than 255 characters: two strings, joined without a space
    ("long.spf.test", "TXT", "v=spf1 " + " ".join(f"ip4:192.0.2.{k}" for k in range(1, 30)) + " ip4:127.0.1.9 -all"),
    ("ip4.spf.test", "TXT", "v=spf1 ip4:127.0.1.0/28 -all"),
    ("a.spf.test", "TXT", "v=spf1 a -all"),
    ("a.spf.test", "A", "127.0.1.15"),
    ("adual.spf.test", "TXT", "v=spf1 a/30//126 -all"),
    ("adual.spf.test", "A", "127.0.1.17"),
    ("adual.spf.test", "AAAA", "::2"),
    ("mx.spf.test", "TXT", "v=spf1 mx -all"),
    ("mx.spf.test", "MX", "10 mx1.mx.spf.test."),
    ("mx.spf.test", "MX", "20 mx2.mx.spf.test."),
    ("mx1.mx.spf.test", "A", "127.0.1.30"),
    ("mx2.mx.spf.test", "A", "127.0.1.31"),
    ("ptr.spf.test", "TXT", "v=spf1 ptr -all"),
    ("40.1.0.127.in-addr.arpa", "PTR", "h40.ptr.spf.test."),
    ("h40.ptr.spf.test", "A", "127.0.1.40"),
    ("ptr6.spf.test", "TXT", "v=spf1 ptr:ptr6.spf.test -all"),
    ("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa", "PTR", "h6.ptr6.spf.test."),
    ("h6.ptr6.spf.test", "AAAA", "::1"),
    ("mac.spf.test", "TXT", "v=spf1 exists:%{l}.%{d}.m.spf.test -all"),
    ("alice.mac.spf.test.m.spf.test", "A", "127.0.0.2"),
    ("mail.helo2.spf.test", "TXT", "v=spf1 ip4:127.0.1.110 -all"),
]

# (name, client, MAIL FROM ("" for the null sender), HELO name, python3-spf's result)
HELO = "client.spf.test"
ROWS = [
    ("-all", "127.0.1.2", "a@fail.spf.test", HELO, "fail"),
    ("a record of two strings", "127.0.1.9", "a@long.spf.test", HELO, "pass"),
    ("ip4 mapped", "::ffff:127.0.1.11", "a@ip4.spf.test", HELO, "pass"),
    ("a", "127.0.1.15", "a@a.spf.test", HELO, "pass"),
    ("a/30//126 from ::1", "::1", "a@adual.spf.test", HELO, "pass"),
    ("mx", "127.0.1.31", "a@mx.spf.test", HELO, "pass"),
    ("ptr validated", "127.0.1.40", "a@ptr.spf.test", HELO, "pass"),
    ("ptr:name from ::1", "::1", "a@ptr6.spf.test", HELO, "pass"),
    ("%{l} and %{d}", "127.0.1.86", "alice@mac.spf.test", HELO, "pass"),
    ("temperror: the sender's name server refuses", "127.0.1.105", "a@x.refused.test", HELO, "temperror"),
    ("the null sender: the HELO name", "127.0.1.110", "", "mail.helo2.spf.test", "pass"),
]


class _ClassCleanups:   # dnszone.Zone wants a test to hand its clean-ups to; these run when the class ends
    def __init__(self, cls):
        self.cls = cls

    def addCleanup(self, f, *args):
        self.cls.addClassCleanup(f, *args)


def python3_spf(row):   # (result, explanation) as python3-spf gives them
    _, client, sender, helo, _ = row
    return spf.check2(i=client, s=sender, h=helo, receiver=AUTHSERV, querytime=8)


def results(stored):   # the Authentication-Results fields of a stored message, unfolded
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(stored, headersonly=True)
    return [" ".join(v.split()) for v in message.get_all("Authentication-Results", [])], message["Subject"]


@unittest.skipUnless(spf, "needs Debian's python3-spf and python3-dnspython (apt-get install python3-spf)")
class Spf(Case):
    SERVER = None

    @classmethod
    def setUpClass(cls):
        cls.zone = dnszone.Zone(_ClassCleanups(cls), RECORDS, refused=("refused.test",))
        resolver = dns.resolver.Resolver(configure=False)   # python3-spf asks dnspython's default resolver
        resolver.nameservers = [cls.zone.address]
        before = dns.resolver.default_resolver
        dns.resolver.default_resolver = resolver
        cls.addClassCleanup(setattr, dns.resolver, "default_resolver", before)
        cls.python3_spf = {row[0]: python3_spf(row) for row in ROWS}

    def setUp(self):   # the server only where it is used
        pass

    def test_python3_spf(self):   # (a): the table means what it says
        for name, _, _, _, result in ROWS:
            with self.subTest(row=name):
                got, text = self.python3_spf[name]
                self.assertEqual(got, result, text)

    def send(self, server, row, index):
        name, client, sender, helo, _ = row
        text = (f"From: e2e <e2e@from.test>\r\nTo: demo@example.test\r\nSubject: spf row {index}\r\n"
                f"Message-ID: <row{index}@from.test>\r\n\r\n{name}\r\n").encode()
        if ":" in client and not client.startswith("::ffff:"):   # IPv6: to ::1 from ::1
            c = smtplib.SMTP("::1", server.smtp, local_hostname=helo, timeout=TIMEOUT, source_address=(client, 0))
            c.ehlo(helo)
        else:   # IPv4, and IPv4-mapped as the IPv4 client it is
            c = smtp(server, source=client.removeprefix("::ffff:"), timeout=TIMEOUT)
            c.ehlo(helo)
        with c:
            c.sendmail(sender, ["demo@example.test"], text)

    def test_server(self):   # (b): Tandrivel's Authentication-Results say what python3-spf says
        if not authres:
            self.skipTest("needs Debian's python3-authres (apt-get install python3-authres)")
        server = self.server(settings={"DnsServer": self.zone.address, "RelayNetworks": "10.0.0.0/8", "HostName": AUTHSERV,
                                       "AuthChecks": "yes", "SpfReject": "no", "DmarcReject": "no"})
        sent = 0
        for index, row in enumerate(ROWS):
            with self.subTest(row=row[0]):
                self.send(server, row, index)
                sent += 1
        wait_for(lambda: len(server.messages()) >= sent, TIMEOUT, what="every row's message stored")
        found = {}
        for stored in server.files():
            fields, subject = results(stored)
            index = int(re.fullmatch(r"spf row (\d+)", subject)[1])
            found[index] = fields
        for index, (name, client, sender, helo, _) in enumerate(ROWS):
            with self.subTest(row=name):
                ours = [authres.AuthenticationResultsHeader.parse("Authentication-Results: " + f) for f in found.get(index, [])]
                ours = [h for h in ours if h.authserv_id.lower() == AUTHSERV]
                self.assertEqual(len(ours), 1, found.get(index))
                spf_results = [r for r in ours[0].results if r.method == "spf"]
                self.assertEqual(len(spf_results), 1, found[index])
                result = spf_results[0]
                self.assertEqual(result.result, self.python3_spf[name][0], found[index])
                properties = {p.name: p.value for p in result.properties if p.type == "smtp"}
                if sender:
                    domain = sender.rsplit("@", 1)[1]
                    self.assertIn(properties.get("mailfrom"), (domain, sender), found[index])
                else:
                    self.assertIn(properties.get("helo", properties.get("mailfrom")), (helo, "postmaster@" + helo), found[index])


if __name__ == "__main__":
    unittest.main()
