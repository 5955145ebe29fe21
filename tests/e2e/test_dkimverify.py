"""DKIM and DMARC on arriving mail: messages signed by Debian's python3-dkim (rsa-sha256 and ed25519-sha256)
with fresh keys a private unbound serves (dnszone.Zone), sent from a client outside RelayNetworks, get the
Authentication-Results: the server adds (read with python3-authres): dkim=pass as long as nothing signed changed,
fail when it did, permerror for a revoked key, each compared with what python3-dkim's own verify says. Then DMARC
through the server, one row for each thing it does: DKIM fed in from the verifier, Debian's public suffix list,
p=reject refused at the end of DATA with 550 5.7.1, p=quarantine delivered with X-Spam-Flag: YES. Every
canonicalisation, tag and key record, and every alignment and record rule, are rows of
tests/unit/test_dkimverify.cpp and test_dmarc.cpp. unbound listens on port 53, which
needs root."""
import base64
import hashlib
import os
import re
import shutil
import smtplib
import subprocess
import tempfile
import unittest

import dnszone
from harness import ROOT, Case, dkim_key, smtp, stuffed, wait_for

try:
    import dkim
except ImportError:
    dkim = None
try:
    import authres
except ImportError:
    authres = None

OUTSIDE = {"RelayNetworks": "10.0.0.0/8"}   # loopback clients are strangers
SPF_PASS = "v=spf1 ip4:127.0.0.0/8 -all"    # loopback may send for the domain


def make_keys():   # RSA 2048 and Ed25519: (private PEM, bare Ed25519 seed in base64), TXT records
    folder = tempfile.mkdtemp(prefix="tandrivel-dkimkeys-")
    out = {}
    for kind in ("rsa", "ed25519"):
        path = os.path.join(folder, kind + ".pem")
        record = dkim_key(path, kind)
        der = subprocess.run(["openssl", "pkey", "-in", path, "-outform", "DER"], check=True, capture_output=True).stdout
        out[kind] = (open(path, "rb").read() if kind == "rsa" else base64.b64encode(der[-32:]), record)
    shutil.rmtree(folder)
    return out


KEYS = make_keys() if dkim else {}
HEADERS = [b"from", b"to", b"subject", b"date", b"message-id", b"from"]   # From oversigned


def message(sender_from, subject, body=b"Hello there.\r\n\r\n.A line with a dot.\r\nBye.\r\n"):
    return (b"From: Someone <" + sender_from.encode() + b">\r\nTo: demo@example.test\r\nSubject: " + subject.encode() + b"\r\n"
            b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" + re.sub(r"[^A-Za-z0-9]+", "-", subject).encode() + b"@sender.test>\r\n"
            b"\r\n" + body)


def sign(text, domain, selector="sel", kind="rsa", canon=(b"relaxed", b"simple"), length=False):
    algorithm = b"ed25519-sha256" if kind == "ed25519" else b"rsa-sha256"
    return dkim.sign(text, selector.encode(), domain.encode(), KEYS[kind][0], canonicalize=canon, signature_algorithm=algorithm,
                     include_headers=HEADERS, length=length) + text


def head(stored):   # the header fields of a stored text, unfolded: [(name, value)]
    top = stored.split(b"\r\n\r\n", 1)[0].decode("utf-8", "replace")
    fields = []
    for line in top.split("\r\n"):
        if line[:1] in (" ", "\t") and fields:
            fields[-1][1] += " " + line.strip()
        else:
            name, _, value = line.partition(":")
            fields.append([name, value.strip()])
    return fields


def results(stored, method):
    """The results of `method` in the one Authentication-Results: field the server added (python3-authres reads it)."""
    found = [v for n, v in head(stored) if n.lower() == "authentication-results"]
    assert len(found) == 1, f"Authentication-Results: fields {found} in {stored[:1500]!r}"
    parsed = authres.AuthenticationResultsHeader.parse("Authentication-Results: " + found[0])
    assert parsed.authserv_id, found[0]
    return [r for r in parsed.results if r.method == method]


def prop(result, name):   # a property such as header.d
    kind, _, key = name.partition(".")
    return next((p.value for p in result.properties if p.type == kind and p.name == key), None)


def python_says(text, dns):   # python3-dkim's verdict on the first signature, keys from `dns`
    def lookup(name, timeout=5):
        value = dns.get(name.decode().rstrip("."))
        return value.encode() if value is not None else None
    return dkim.verify(text, dnsfunc=lookup)


@unittest.skipUnless(ROOT, "unbound listens on port 53, which needs root")
@unittest.skipUnless(dkim, "needs Debian's python3-dkim (apt-get install python3-dkim)")
@unittest.skipUnless(authres, "needs Debian's python3-authres (apt-get install python3-authres)")
class DkimVerify(Case):
    def setUp(self):   # each test lays out its zone and server
        pass

    def serve(self, records, refused=()):
        """A zone with `records` ((name, type, data)) and a server that asks it."""
        self.zone = dnszone.Zone(self, records, refused=refused)
        return self.server(settings={**OUTSIDE, "DnsServer": self.zone.address})

    def deliver(self, s, text, sender):
        """Sends `text` from 127.0.0.1 to demo@example.test; the stored copy, or the (code, reply) of a refusal."""
        before = len(s.messages())
        try:
            with smtp(s) as c:
                c.sendmail(sender, ["demo@example.test"], text)
        except smtplib.SMTPDataError as e:
            self.assertEqual(len(s.messages()), before, "a refused message was stored")
            return e.smtp_code, e.smtp_error.decode(errors="replace")
        wait_for(lambda: len(s.messages()) == before + 1, what="the stored copy")
        return s.files()[-1]

    def test_python_signatures(self):
        """Every signature python3-dkim makes passes, changed or not where it may change; where the text or the key
        changed, the result is the one RFC 6376 gives, and python3-dkim agrees that it does not verify."""
        rsa, ed = KEYS["rsa"][1], KEYS["ed25519"][1]
        dns = {"sel._domainkey.signer.test": rsa, "ed._domainkey.signer.test": ed, "revoked._domainkey.signer.test": "v=DKIM1; k=rsa; p="}
        s = self.serve([(name, "TXT", value) for name, value in dns.items()] + [("signer.test", "TXT", SPF_PASS)])
        text = message("a@signer.test", "signed")
        cases = [
            # name, text as sent, expected (result, reason pattern) of each dkim= result, top to bottom
            ("ed25519 and rsa", sign(sign(text, "signer.test", selector="ed", kind="ed25519"), "signer.test"), [("pass", None), ("pass", None)]),
            ("body changed", sign(text, "signer.test").replace(b"Bye.", b"Bye!"), [("fail", "body hash")]),
            ("revoked key", sign(text, "signer.test", selector="revoked"), [("permerror", "revoked")]),
        ]
        for name, sent, expected in cases:
            with self.subTest(name):
                stored = self.deliver(s, sent, "a@signer.test")
                self.assertIsInstance(stored, bytes, f"{name}: refused {stored}")
                got = results(stored, "dkim")
                self.assertEqual([r.result for r in got], [e[0] for e in expected], name)
                bs = [re.sub(rb"\s", b"", b) for b in re.findall(rb"(?m)[;\s]b=([A-Za-z0-9+/=\s]+?)(?:;|\r\n(?!\s))", sent)]
                for r, (result, reason) in zip(got, expected):
                    self.assertEqual(prop(r, "header.d"), "signer.test", name)
                    b = prop(r, "header.b")
                    if b is not None:
                        self.assertTrue(len(b) == 8 and any(x.decode().startswith(b) for x in bs), f"{name}: header.b={b}")
                    if reason and r.reason is not None:   # reason= (RFC 8601 2.7.1); a comment authres does not keep
                        self.assertRegex(r.reason, reason, name)
                # python3-dkim on the topmost signature: it passes exactly when ours does.
                self.assertEqual(python_says(sent, dns), expected[0][0] == "pass", f"{name}: python3-dkim disagrees")

    def test_python_and_ours_agree_on_the_stored_copy(self):
        """The copy as stored (dot-stuffed on disk, trace fields on top) still verifies with python3-dkim, so nothing
        the server added broke a signature."""
        dns = {"sel._domainkey.signer.test": KEYS["rsa"][1]}
        s = self.serve([(n, "TXT", v) for n, v in dns.items()])
        sent = sign(message("a@signer.test", "kept"), "signer.test", canon=(b"simple", b"simple"))
        stored = self.deliver(s, sent, "a@signer.test")
        self.assertEqual([r.result for r in results(stored, "dkim")], ["pass"])
        self.assertIn(stuffed(b".A line with a dot."), stored)
        self.assertTrue(python_says(re.sub(rb"(?m)^\.", b"", stored), dns))

    # The DMARC table: (name, From domain, MAIL FROM, signing domain or None, expected dmarc=,
    # what happens: "delivered", "quarantined" (X-Spam-Flag: YES) or "refused" (550 5.7.1 at the end of DATA)).
    DMARC = [
        ("p=reject, DKIM aligned", "reject.test", "a@other.test", "reject.test", "pass", "delivered"),
        ("p=reject, nothing aligned", "reject.test", "a@other.test", "other.test", "fail", "refused"),
        ("p=quarantine, nothing aligned", "quarantine.test", "a@other.test", None, "fail", "quarantined"),
        ("co.uk: DKIM of the organisational domain", "a.news.example.co.uk", "a@other.test", "example.co.uk", "pass", "delivered"),
    ]

    def test_dmarc_table(self):
        rsa = KEYS["rsa"][1]
        signers = {row[3] for row in self.DMARC if row[3]}
        records = [(f"sel._domainkey.{d}", "TXT", rsa) for d in signers] + [
            ("other.test", "TXT", SPF_PASS), ("_dmarc.reject.test", "TXT", "v=DMARC1; p=reject"),
            ("_dmarc.quarantine.test", "TXT", "v=DMARC1; p=quarantine"), ("_dmarc.example.co.uk", "TXT", "v=DMARC1; p=reject"),
        ]
        s = self.serve(records)
        for name, from_domain, mail_from, signer, expected, fate in self.DMARC:
            with self.subTest(name):
                text = message(f"someone@{from_domain}", name)
                if signer:
                    text = sign(text, signer)
                got = self.deliver(s, text, mail_from)
                if fate == "refused":
                    self.assertIsInstance(got, tuple, f"{name}: delivered")
                    self.assertEqual(got[0], 550, name)
                    self.assertTrue(got[1].startswith("5.7.1"), f"{name}: {got}")
                    continue
                self.assertIsInstance(got, bytes, f"{name}: refused {got}")
                dmarc = results(got, "dmarc")
                self.assertEqual([r.result for r in dmarc], [expected], name)
                self.assertEqual(prop(dmarc[0], "header.from"), from_domain, name)
                flags = [v for n, v in head(got) if n.lower() == "x-spam-flag"]
                self.assertEqual(flags, ["YES"] if fate == "quarantined" else [], name)

    def test_dmarc_temperror(self):
        """A DMARC record the DNS cannot give: dmarc=temperror when the message is taken, a 4xx when it is not."""
        s = self.serve([("other.test", "TXT", SPF_PASS)], refused=["broken.test"])
        got = self.deliver(s, message("someone@broken.test", "temperror"), "a@other.test")
        if isinstance(got, tuple):
            self.assertTrue(400 <= got[0] < 500, got)
        else:
            self.assertEqual([r.result for r in results(got, "dmarc")], ["temperror"])
            self.assertFalse([v for n, v in head(got) if n.lower() == "x-spam-flag"])


if __name__ == "__main__":
    unittest.main()
