"""The checks on mail from outside, end to end against a private unbound: one Authentication-Results
header under the trace line that Debian's python3-authres reads, forged ones in our name removed,
SPF refused at MAIL FROM when asked to, a name server that never answers giving temperror while
other sessions are served, and no header for trusted clients. DMARC's reject and quarantine through
the server are rows of test_dkimverify.py; their log lines, rows of tests/unit/test_authresults.cpp."""
import time
import unittest

import dnszone
from harness import Case, connect, read_line, smtp, untraced, wait_for

try:
    import authres
except ImportError:
    authres = None

AUTHSERV = "mx.example.test"
RECORDS = (
    ("good.test", "TXT", "v=spf1 ip4:127.0.0.0/8 -all"),
    ("bad.test", "TXT", "v=spf1 ip4:192.0.2.1 -all"),
    ("_dmarc.bad.test", "TXT", "v=DMARC1; p=reject"),
)


def text(sender_domain, extra=b""):
    return (b"From: Someone <someone@" + sender_domain.encode() + b">\r\nTo: demo@example.test\r\nSubject: checks\r\n"
            + extra + b"\r\nbody\r\n")


def results(stored):   # the Authentication-Results fields of a stored message, unfolded, in order
    head = untraced(stored).split(b"\r\n\r\n", 1)[0].decode()
    fields, current = [], None
    for line in head.split("\r\n"):
        if line[:1] in (" ", "\t") and current is not None:
            current += " " + line.strip()
            continue
        if current is not None:
            fields.append(current)
        current = line
    fields.append(current)
    return [f for f in fields if f.lower().startswith("authentication-results:")]


@unittest.skipUnless(authres, "needs Debian's python3-authres (apt-get install python3-authres)")
class AuthenticationResults(Case):
    def setUp(self):
        self.zone = dnszone.Zone(self, RECORDS, silent=("slow.test",))
        self.s = self.server(settings={"DnsServer": self.zone.address, "RelayNetworks": "10.0.0.0/8", "HostName": AUTHSERV})

    def deliver(self, sender, body):
        before = len(self.s.messages())
        with smtp(self.s) as c:
            c.ehlo("client.test")
            c.sendmail(sender, ["demo@example.test"], body)
        wait_for(lambda: len(self.s.messages()) > before, what="the message stored")
        return self.s.files()[-1]

    def parsed(self, stored):   # ours, the only one in our name; every one parses
        headers = [authres.AuthenticationResultsHeader.parse(f) for f in results(stored)]
        ours = [h for h in headers if h.authserv_id.lower() == AUTHSERV]
        self.assertEqual(len(ours), 1, results(stored))
        return {r.method: r for r in ours[0].results}

    def test_one_header_under_the_trace_line_readable_by_authres(self):
        forged = (b"Authentication-Results: " + AUTHSERV.encode() + b"; dkim=pass header.d=bank.test\r\n"
                  b"Authentication-Results: MX.Example.Test.\r\n (ours, folded) ; spf=pass\r\n"
                  b"Authentication-Results: other.example; spf=fail smtp.mailfrom=x.test\r\n")
        stored = self.deliver("someone@good.test", text("good.test", forged))
        under = untraced(stored)
        self.assertTrue(under.startswith(b"Authentication-Results: " + AUTHSERV.encode() + b";"), under[:200])
        methods = self.parsed(stored)
        self.assertEqual(methods["spf"].result, "pass")
        self.assertEqual(methods["dkim"].result, "none")
        self.assertIn(b"Authentication-Results: other.example; spf=fail", stored, "another server's header stays")
        self.assertNotIn(b"bank.test", stored)
        self.s.wait_log(r"^\d+-SPF pass mailfrom=good\.test")

    def test_trusted_clients_are_not_checked(self):
        s = self.server(settings={"DnsServer": self.zone.address, "HostName": AUTHSERV})   # loopback relays
        with smtp(s) as c:
            c.sendmail("someone@bad.test", ["demo@example.test"], text("bad.test"))
        wait_for(lambda: s.messages(), what="the message stored")
        self.assertEqual(results(s.files()[0]), [])

    def test_a_silent_name_server_gives_temperror_while_others_are_served(self):
        with smtp(self.s) as slow:
            slow.ehlo("client.test")
            slow.mail("someone@slow.test")
            slow.rcpt("demo@example.test")
            slow.putcmd("data")
            self.assertEqual(slow.getreply()[0], 354)
            slow.send(text("slow.test") + b".\r\n")
            started = time.monotonic()
            with smtp(self.s) as other:   # served meanwhile
                self.assertEqual(other.noop()[0], 250)
            self.assertLess(time.monotonic() - started, 5)
            code, _ = slow.getreply()
            self.assertEqual(code, 250)
        methods = self.parsed(self.s.files()[-1])
        self.assertEqual(methods["spf"].result, "temperror")


@unittest.skipUnless(authres, "needs Debian's python3-authres")
class SpfAtMailFrom(Case):
    def setUp(self):
        self.zone = dnszone.Zone(self, RECORDS)
        self.s = self.server(settings={"DnsServer": self.zone.address, "RelayNetworks": "10.0.0.0/8", "HostName": AUTHSERV,
                                       "SpfReject": "yes"})

    def test_a_fail_is_refused_and_what_was_pipelined_behind_it_too(self):
        sock = connect(self.s.smtp)
        self.addCleanup(sock.close)
        read_line(sock)
        sock.sendall(b"EHLO client.test\r\n")
        while not read_line(sock).startswith(b"250 "):
            pass
        sock.sendall(b"MAIL FROM:<x@bad.test>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n")
        self.assertEqual(read_line(sock), b"550 5.7.23 SPF validation failed\r\n")
        self.assertTrue(read_line(sock).startswith(b"503 "))
        self.assertTrue(read_line(sock).startswith(b"554 "))
        sock.sendall(b"MAIL FROM:<x@good.test>\r\n")
        self.assertEqual(read_line(sock), b"250 OK\r\n")
        self.s.wait_log(r"^\d+-SPF fail mailfrom=bad\.test: refused$")
