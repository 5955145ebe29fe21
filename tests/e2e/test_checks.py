"""The checks on mail from outside, against one private unbound (dnszone) and one server: what only a real name
server and real clients show, each result read from our Authentication-Results header by Debian's python3-authres
and compared with what Debian's python3-spf and python3-dkim say. Every SPF mechanism, macro and limit (with
RFC 7208's suite), every DKIM canonicalisation and tag, every DMARC rule are rows of the unit tests."""
import base64
import re
import smtplib
import subprocess
import tempfile
import time
import unittest
import warnings

import dnszone
from harness import ServerProcess, connect, dkim_key, read_line, smtp, stuffed, untraced, wait_for

try:
    import authres
    import dkim
    import dns.resolver
    import spf
    warnings.filterwarnings("ignore", "please use dns.resolver.resolve", DeprecationWarning)   # python3-spf's call
except ImportError:
    authres = None

AUTHSERV = "mx.example.test"
SPF_PASS = "v=spf1 ip4:127.0.0.0/8 -all"
TIMEOUT = 60


def make_keys():   # RSA 2048 and Ed25519: the private key as python3-dkim takes it, and the TXT record
    keys = {}
    with tempfile.TemporaryDirectory(prefix="tandrivel-dkimkeys-") as folder:
        for kind in ("rsa", "ed25519"):
            path = f"{folder}/{kind}.pem"
            record = dkim_key(path, kind)
            der = subprocess.run(["openssl", "pkey", "-in", path, "-outform", "DER"], check=True, capture_output=True).stdout
            keys[kind] = (open(path, "rb").read() if kind == "rsa" else base64.b64encode(der[-32:]), record)
    return keys


KEYS = make_keys() if authres else {}
DKIM = {"sel._domainkey.signer.test": "rsa", "ed._domainkey.signer.test": "ed25519", "sel._domainkey.other.test": "rsa"}
RECORDS = [(name, "TXT", KEYS[kind][1]) for name, kind in DKIM.items() if KEYS] + [
    ("good.test", "TXT", SPF_PASS), ("signer.test", "TXT", SPF_PASS), ("other.test", "TXT", SPF_PASS),
    ("bad.test", "TXT", "v=spf1 ip4:192.0.2.1 -all"), ("_dmarc.bad.test", "TXT", "v=DMARC1; p=reject"),
    ("_dmarc.reject.test", "TXT", "v=DMARC1; p=reject"), ("_dmarc.quarantine.test", "TXT", "v=DMARC1; p=quarantine"),
    # SPF over the wire: a TXT record of two strings, A, AAAA, MX, PTR under in-addr.arpa and ip6.arpa
    ("long.spf.test", "TXT", "v=spf1 " + " ".join(f"ip4:192.0.2.{k}" for k in range(1, 30)) + " ip4:127.0.1.9 -all"),
    ("ip4.spf.test", "TXT", "v=spf1 ip4:127.0.1.0/28 -all"),
    ("adual.spf.test", "TXT", "v=spf1 a/30//126 -all"), ("adual.spf.test", "A", "127.0.1.17"), ("adual.spf.test", "AAAA", "::2"),
    ("mx.spf.test", "TXT", "v=spf1 mx -all"), ("mx.spf.test", "MX", "10 mx1.mx.spf.test."), ("mx.spf.test", "MX", "20 mx2.mx.spf.test."),
    ("mx1.mx.spf.test", "A", "127.0.1.30"), ("mx2.mx.spf.test", "A", "127.0.1.31"),
    ("ptr.spf.test", "TXT", "v=spf1 ptr -all"), ("40.1.0.127.in-addr.arpa", "PTR", "h40.ptr.spf.test."),
    ("h40.ptr.spf.test", "A", "127.0.1.40"), ("ptr6.spf.test", "TXT", "v=spf1 ptr:ptr6.spf.test -all"),
    ("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa", "PTR", "h6.ptr6.spf.test."),
    ("h6.ptr6.spf.test", "AAAA", "::1"), ("mail.helo2.spf.test", "TXT", "v=spf1 ip4:127.0.1.110 -all"),
]

# (name, client, MAIL FROM ("" for the null sender), HELO name); the result expected is python3-spf's
SPF_ROWS = [
    ("-all", "127.0.1.2", "a@bad.test", "client.test"),
    ("a record of two strings", "127.0.1.9", "a@long.spf.test", "client.test"),
    ("ip4 mapped", "::ffff:127.0.1.11", "a@ip4.spf.test", "client.test"),
    ("a/30//126 from ::1", "::1", "a@adual.spf.test", "client.test"),
    ("mx", "127.0.1.31", "a@mx.spf.test", "client.test"),
    ("ptr validated", "127.0.1.40", "a@ptr.spf.test", "client.test"),
    ("ptr:name from ::1", "::1", "a@ptr6.spf.test", "client.test"),
    ("temperror: the sender's name server refuses", "127.0.1.105", "a@x.refused.test", "client.test"),
    ("the null sender: the HELO name", "127.0.1.110", "", "mail.helo2.spf.test"),
]


def message(sender_from, subject, body=b"Hello there.\r\n\r\n.A line with a dot.\r\nBye.\r\n", extra=b""):
    return (b"From: Someone <" + sender_from.encode() + b">\r\nTo: demo@example.test\r\nSubject: " + subject.encode() + b"\r\n"
            b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" + re.sub(r"[^A-Za-z0-9]+", "-", subject).encode()
            + b"@sender.test>\r\n" + extra + b"\r\n" + body)


def sign(text, domain, selector="sel", kind="rsa", canon=(b"relaxed", b"simple")):
    algorithm = b"ed25519-sha256" if kind == "ed25519" else b"rsa-sha256"
    return dkim.sign(text, selector.encode(), domain.encode(), KEYS[kind][0], canonicalize=canon, signature_algorithm=algorithm,
                     include_headers=[b"from", b"to", b"subject", b"date", b"message-id", b"from"]) + text   # From oversigned


def fields(stored, name):   # the values of the header fields `name` of a stored text, unfolded
    head = re.sub(r"\r\n[ \t]+", " ", stored.split(b"\r\n\r\n", 1)[0].decode("utf-8", "replace"))
    return [line.split(":", 1)[1].strip() for line in head.split("\r\n") if line.lower().startswith(name + ":")]


def results(stored):   # method -> results in the one Authentication-Results header in our name; every one parses
    parsed = [authres.AuthenticationResultsHeader.parse("Authentication-Results: " + f) for f in fields(stored, "authentication-results")]
    ours = [h for h in parsed if h.authserv_id.lower() == AUTHSERV]
    assert len(ours) == 1, fields(stored, "authentication-results")
    found = {}
    for r in ours[0].results:
        found.setdefault(r.method, []).append(r)
    return found


def prop(result, name):   # a property such as header.d
    kind, _, key = name.partition(".")
    return next((p.value for p in result.properties if p.type == kind and p.name == key), None)


def python_dkim(text):   # python3-dkim's verdict on the topmost signature, with the zone's keys
    return dkim.verify(text, dnsfunc=lambda name, timeout=5: KEYS[DKIM[name.decode().rstrip(".")]][1].encode())


class _ClassCleanups:   # dnszone.Zone wants a test to hand its clean-ups to; these run when the class ends
    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


@unittest.skipUnless(authres, "needs Debian's python3-authres, -dkim, -spf and -dnspython (scripts/install-deps.sh test)")
class Checks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zone = dnszone.Zone(_ClassCleanups(cls), RECORDS, refused=("refused.test", "broken.test"), silent=("slow.test",))
        resolver = dns.resolver.Resolver(configure=False)   # python3-spf asks dnspython's default resolver
        resolver.nameservers = [cls.zone.address]
        cls.addClassCleanup(setattr, dns.resolver, "default_resolver", dns.resolver.default_resolver)
        dns.resolver.default_resolver = resolver
        cls.s = cls.server({})

    @classmethod
    def server(cls, settings):   # loopback clients are strangers unless told otherwise
        s = ServerProcess(settings={"DnsServer": cls.zone.address, "RelayNetworks": "10.0.0.0/8", "HostName": AUTHSERV, **settings})
        cls.addClassCleanup(s.tmp.cleanup)
        cls.addClassCleanup(s.stop)
        return s

    def deliver(self, text, sender, client="127.0.0.1", helo="client.test", s=None):
        """The stored copy, or the (code, text) of the refusal at the end of DATA."""
        s = s or self.s
        before = len(s.messages())
        if ":" in client and not client.startswith("::ffff:"):   # IPv6: to ::1 from ::1
            c = smtplib.SMTP("::1", s.smtp, local_hostname=helo, timeout=TIMEOUT, source_address=(client, 0))
        else:   # IPv4, and IPv4-mapped as the IPv4 client it is
            c = smtp(s, source=client.removeprefix("::ffff:"), timeout=TIMEOUT)
        with c:
            c.ehlo(helo)
            try:
                c.sendmail(sender, ["demo@example.test"], text)
            except smtplib.SMTPDataError as e:
                self.assertEqual(len(s.messages()), before, "a refused message was stored")
                return e.smtp_code, e.smtp_error.decode(errors="replace")
        wait_for(lambda: len(s.messages()) == before + 1, what="the stored copy")
        return s.files()[-1]

    def test_spf_as_python3_spf_says(self):
        for name, client, sender, helo in SPF_ROWS:
            with self.subTest(row=name):
                [got] = results(self.deliver(message("e2e@from.test", name), sender, client, helo))["spf"]
                expected, why = spf.check2(i=client, s=sender, h=helo, receiver=AUTHSERV, querytime=8)
                self.assertEqual(got.result, expected, why)
                said = {p.name: p.value for p in got.properties if p.type == "smtp"}
                if sender:
                    self.assertIn(said.get("mailfrom"), (sender.rsplit("@", 1)[1], sender))
                else:
                    self.assertIn(said.get("helo", said.get("mailfrom")), (helo, "postmaster@" + helo))

    def test_dkim_as_python3_dkim_says(self):
        text = message("a@signer.test", "signed")
        both = sign(sign(text, "signer.test", selector="ed", kind="ed25519"), "signer.test", canon=(b"simple", b"simple"))
        for name, sent, expected in (("ed25519 and rsa", both, ["pass", "pass"]),
                                     ("body changed", sign(text, "signer.test").replace(b"Bye.", b"Bye!"), ["fail"])):
            with self.subTest(name):
                stored = self.deliver(sent, "a@signer.test")
                got = results(stored)["dkim"]
                self.assertEqual([r.result for r in got], expected)
                self.assertEqual({prop(r, "header.d") for r in got}, {"signer.test"})
                b = [re.sub(rb"\s", b"", v).decode() for v in re.findall(rb"(?m)[;\s]b=([A-Za-z0-9+/=\s]+?)(?:;|\r\n(?!\s))", sent)]
                for hb in (prop(r, "header.b") for r in got):   # the first 8 characters of its b= (RFC 6008)
                    self.assertTrue(hb is None or len(hb) == 8 and any(x.startswith(hb) for x in b), hb)
                self.assertEqual(python_dkim(sent), expected[0] == "pass")
        # Nothing the server added or stuffed broke the simple/simple signature of the stored copy.
        stored = self.deliver(both, "a@signer.test")
        self.assertIn(stuffed(b".A line with a dot."), stored)
        self.assertTrue(python_dkim(re.sub(rb"(?m)^\.", b"", stored)))

    def test_dmarc_through_the_server(self):
        # name, From domain, signing domain or None, more header, expected dmarc= or the refusal; MAIL FROM is other.test's
        for name, domain, signer, extra, expected, spam in (
                ("p=reject, nothing aligned", "reject.test", "other.test", b"", 550, None),
                ("a second From field of a p=reject domain", "other.test", "other.test", b"From: <ceo@reject.test>\r\n", 550, None),
                ("p=quarantine, nothing aligned", "quarantine.test", None, b"", "fail", ["YES"]),
                ("the DNS cannot give the record", "broken.test", None, b"", "temperror", [])):
            with self.subTest(name):
                text = message(f"someone@{domain}", name, extra=extra)
                got = self.deliver(sign(text, signer) if signer else text, "a@other.test")
                if isinstance(got, tuple):   # refused; a record the DNS cannot give may also be a 4xx
                    self.assertTrue((got[0], got[1][:5]) == (expected, "5.7.1") or expected == "temperror" and 400 <= got[0] < 500, got)
                    continue
                [dmarc] = results(got)["dmarc"]
                self.assertEqual((dmarc.result, prop(dmarc, "header.from")), (expected, domain))
                self.assertEqual(fields(got, "x-spam-flag"), spam)

    def test_one_header_under_the_trace_line_forged_ones_removed(self):
        forged = (b"Authentication-Results: " + AUTHSERV.encode() + b"; dkim=pass header.d=bank.test\r\n"
                  b"Authentication-Results: MX.Example.Test.\r\n (ours, folded) ; spf=pass\r\n"
                  b"Authentication-Results: other.example; spf=fail smtp.mailfrom=x.test\r\n")
        stored = self.deliver(message("someone@good.test", "forged", extra=forged), "someone@good.test")
        self.assertTrue(untraced(stored).startswith(b"Authentication-Results: " + AUTHSERV.encode() + b";"), stored[:300])
        self.assertEqual([results(stored)[m][0].result for m in ("spf", "dkim")], ["pass", "none"])
        self.assertIn(b"Authentication-Results: other.example; spf=fail", stored, "another server's header stays")
        self.assertNotIn(b"bank.test", stored)
        self.s.wait_log(r"^\d+-SPF pass mailfrom=good\.test")

    def test_a_silent_name_server_gives_temperror_while_others_are_served(self):
        with smtp(self.s) as slow:
            slow.mail("someone@slow.test")
            slow.rcpt("demo@example.test")
            self.assertEqual(slow.docmd("DATA")[0], 354)
            slow.send(message("someone@slow.test", "slow") + b".\r\n")
            started = time.monotonic()
            with smtp(self.s) as other:   # served meanwhile
                self.assertEqual(other.noop()[0], 250)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(slow.getreply()[0], 250)
        self.assertEqual(results(self.s.files()[-1])["spf"][0].result, "temperror")

    def waiting(self, s, sources):   # a message from each address, its text sent and its reply not read
        clients = []
        for i, source in enumerate(sources):
            c = smtp(s, source=source)
            self.addCleanup(c.close)
            c.mail("someone@slow.test")
            c.rcpt("demo@example.test")
            c.docmd("DATA")
            c.send(message("someone@slow.test", f"waiting {i}") + b".\r\n")
            clients.append(c)
        return clients

    def test_two_addresses_flooding_a_silent_name_server_leave_threads_to_others(self):
        s = self.server({})
        self.waiting(s, [f"127.0.8.{i % 2 + 1}" for i in range(40)])   # more than the lookup threads
        with smtp(s) as c:   # an unrelated sender's 250 does not wait for theirs
            started = time.monotonic()
            c.sendmail("someone@good.test", ["demo@example.test"], message("someone@good.test", "unrelated"))
            self.assertLess(time.monotonic() - started, 5)

    def test_a_stop_refuses_the_messages_waiting_on_a_silent_name_server(self):
        s = self.server({})
        waiting = self.waiting(s, [f"127.0.7.{i + 1}" for i in range(70)])   # more than the lookup threads, in rounds
        started = time.monotonic()
        s.proc.terminate()
        self.assertEqual(s.wait_exit(), 0)
        self.assertLess(time.monotonic() - started, 12, "what has not started is not waited for")
        self.assertEqual({c.getreply()[0] for c in waiting}, {421})
        self.assertEqual(s.messages(), [])

    def test_a_name_server_cutting_replies_short_and_silent_over_tcp_gives_temperror_in_time(self):
        s = self.server({"DnsServer": dnszone.cut_short(self)})
        started = time.monotonic()
        stored = self.deliver(message("someone@cut.test", "cut short"), "someone@cut.test", s=s)
        self.assertLess(time.monotonic() - started, 30)   # 20 s for the message's questions, 8 for the last one
        self.assertEqual(results(stored)["spf"][0].result, "temperror")

    def test_trusted_clients_are_not_checked(self):
        s = self.server({"RelayNetworks": None})   # loopback relays
        self.assertEqual(fields(self.deliver(message("someone@bad.test", "trusted"), "someone@bad.test", s=s),
                                "authentication-results"), [])

    def test_spf_fail_refused_at_mail_from_and_what_was_pipelined_behind_it(self):
        s = self.server({"SpfReject": "yes"})
        with connect(s.smtp) as sock:
            read_line(sock)
            sock.sendall(b"EHLO client.test\r\n")
            while not read_line(sock).startswith(b"250 "):
                pass
            sock.sendall(b"MAIL FROM:<x@bad.test>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n")
            self.assertEqual(read_line(sock), b"550 5.7.23 SPF validation failed\r\n")
            self.assertEqual([read_line(sock)[:4] for _ in range(2)], [b"503 ", b"554 "])
            sock.sendall(b"MAIL FROM:<x@good.test>\r\n")
            self.assertEqual(read_line(sock), b"250 OK\r\n")
        s.wait_log(r"^\d+-SPF fail mailfrom=bad\.test: refused$")


if __name__ == "__main__":
    unittest.main()
