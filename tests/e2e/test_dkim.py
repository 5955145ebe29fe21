"""DKIM: mail of the served domain from a trusted client leaves signed with rsa-sha256 and ed25519-sha256,
and every copy, relayed to a real SMTP server (aiosmtpd) or kept in a mailbox, verifies with Debian's
python3-dkim, whose key lookups the test answers itself (no DNS); so do the server's own notices. An untrusted
client is not signed, and --dkim-keygen makes a key that verifies. Which senders are signed and which keys are
refused (modes, kinds, sizes) are tables in tests/unit/test_dkim.cpp. The exchangers need port 25, which needs root."""
import os
import pathlib
import re
import subprocess
import unittest

from harness import ROOT, TIMEOUT, Case, dkim_key, real_exchanger, send, smtp, untraced, wait_for

try:
    import dkim
except ImportError:
    dkim = None

DOMAIN = "example.test"
SIGNED = r"^(\d+|Notice)-DKIM signed d=example\.test s=%s \(rsa-sha256, ed25519-sha256\)$"
HEADER = (b"From: Demo User <demo@example.test>\r\nTo: <far@remote.test>, demo@example.test\r\n"
          b"Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <%s@example.test>\r\n")

# What a client sends, by name: 8-bit, long lines, lines starting with ".", trailing blanks and empty
# lines, folded fields with runs of blanks, a body without a final line end (smtplib adds one).
MESSAGES = {
    "8bit": (b"Subject: caf\xc3\xa9\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
             b"Content-Transfer-Encoding: 8bit\r\n\r\ncaf\xc3\xa9 \xe9\xff \x00 nul\r\n\xe3\x81\x82\r\n"),
    "long lines": b"Subject: long\r\n\r\n" + b"r" * 990 + b"\r\n" + b"word " * 190 + b"\r\nend\r\n",
    "dots": b"Subject: dots\r\n\r\n.leading dot\r\n.\r\n..two dots\r\n. \r\nlast\r\n",
    "blanks": (b"SUBJECT:   runs \t of   blanks  \r\n\tfolded   here \r\nX-Mailer:\tnot signed\r\n\r\n"
               b"  indented \t line  \r\n\r\ntext\t\r\n\r\n\r\n  \r\n"),
    "no final line end": b"Subject: unended\r\n\r\nfirst\r\nlast line without an end",
}


def keys(folder):   # RSA and Ed25519 keys in `folder`; their TXT records
    return {kind: dkim_key(os.path.join(folder, name), kind) for name, kind in (("rsa.pem", "rsa"), ("ed.pem", "ed25519"))}


def unstuffed(stored):   # a mailbox file as a client reads it
    return re.sub(rb"(?m)^\.", b"", stored)


@unittest.skipUnless(ROOT, "needs root: the exchangers listen on port 25")
@unittest.skipUnless(dkim, "needs Debian's python3-dkim (apt-get install python3-dkim)")
class Dkim(Case):
    SERVER = None   # each test lays out its own

    def verify(self, text, dns, algorithms=("rsa-sha256", "ed25519-sha256"), what=""):
        """Every signature of `text` verifies (looked up in `dns`), signs the trace headers not, and the
        algorithms are `algorithms` in order."""
        head = text[:text.index(b"\r\n\r\n") + 2]
        count = len(re.findall(rb"(?mi)^DKIM-Signature:", head))
        self.assertEqual(count, len(algorithms), f"{what}: {head[:600]!r}")
        # Under the trace headers (a notice has no Received:), above everything else.
        under = re.sub(rb"^(Return-Path: <[^>]*>\r\n)?(Received: [^\r]*\r\n(\t[^\r]*\r\n)*)?", b"", text)
        self.assertTrue(under.startswith(b"DKIM-Signature: v=1; "), what)
        for field in re.findall(rb"(?m)^DKIM-Signature:[^\r]*\r\n(?:\t[^\r]*\r\n)*", head):
            self.assertTrue(all(len(line) <= 77 for line in field.split(b"\r\n")), field)
        found = []

        def lookup(name, timeout=5):
            return dns.get(name.decode()).encode() if name.decode() in dns else None

        for idx in range(count):
            d = dkim.DKIM(text)
            self.assertTrue(d.verify(idx=idx, dnsfunc=lookup), f"{what}: signature {idx} does not verify: {head[:800]!r}")
            found.append(d.signature_fields[b"a"].decode())   # its other tags: tests/unit/test_dkim.cpp
        self.assertEqual(found, list(algorithms), what)

    def test_signed_copies_verify(self):
        mx, deliveries = real_exchanger(self)
        refusing, _ = real_exchanger(self, answers=["550 5.1.1 no such user"])
        s = self.server(wait=None, domain_mx=[("remote.test", mx, "10"), ("refusing.test", refusing, "10")])
        records = keys(s.folder)
        # DkimKey relative to the program folder, DkimEd25519Key absolute; the selectors' defaults.
        s.settings_file().write_text(s.settings_file().read_text() + f"DkimKey=rsa.pem\nDkimEd25519Key={s.folder}/ed.pem\n")
        s.start()
        s.wait_log(r"^DKIM: signing mail of example\.test with tandrivel\._domainkey \(rsa-sha256, 2048 bits\) "
                   r"and tandrivel-ed25519\._domainkey \(ed25519-sha256\)$")
        dns = {f"tandrivel._domainkey.{DOMAIN}.": records["rsa"], f"tandrivel-ed25519._domainkey.{DOMAIN}.": records["ed25519"]}
        for n, (name, body) in enumerate(MESSAGES.items()):
            with smtp(s) as c:
                c.sendmail("demo@example.test", ["far@remote.test", "demo@example.test"], HEADER % str(n).encode() + body,
                           mail_options=["BODY=8BITMIME"])
        # A line longer than the exchanger takes, kept locally only.
        send(s, HEADER % b"wide" + b"Subject: wide\r\n\r\n" + b"w" * 5000 + b"  \r\n", sender="demo@example.test")
        wait_for(lambda: len(deliveries) == len(MESSAGES), what="the relayed copies")
        wait_for(lambda: len(s.messages()) == len(MESSAGES) + 1, what="the local copies")
        for _, _, content, *_ in deliveries:
            self.verify(content, dns, what="relayed " + re.search(rb"(?mi)^subject:.*", content)[0].decode("latin-1"))
        for stored in s.files():
            self.verify(unstuffed(stored), dns, what="stored " + re.search(rb"(?mi)^subject:.*", stored)[0].decode("latin-1"))
        self.assertEqual(s.count_log(SIGNED % "tandrivel"), len(MESSAGES) + 1)
        # What was sent arrives as sent under the signatures: the signatures added nothing else.
        sent = {HEADER % str(n).encode() + body for n, body in enumerate(MESSAGES.values())}
        relayed = {re.sub(rb"^(DKIM-Signature:[^\r]*\r\n(\t[^\r]*\r\n)*)+", b"", untraced(c)) for _, _, c, *_ in deliveries}
        self.assertEqual(relayed, {t if t.endswith(b"\r\n") else t + b"\r\n" for t in sent})

        # A notice of our own, from MAILER-DAEMON, is signed too.
        m = s.mark()
        send(s, HEADER % b"refused" + b"Subject: refused\r\n\r\nx\r\n", to=["nobody@refusing.test"], sender="demo@example.test")
        s.wait_log(r"<nobody@refusing\.test>: notice stored for <demo@example\.test>", after=m)
        notice = [t for t in s.files() if b"MAILER-DAEMON@example.test" in t.split(b"\r\n\r\n")[0]]
        self.assertEqual(len(notice), 1)
        self.verify(unstuffed(notice[0]), dns, what="notice")
        self.assertEqual(s.count_log(r"^Notice-DKIM signed d=example\.test s=tandrivel \(rsa-sha256, ed25519-sha256\)$", m), 1)

    def test_only_trusted_mail_of_the_domain(self):
        mx, deliveries = real_exchanger(self)
        s = self.server(wait=None, domain_mx=[("remote.test", mx, "10")], settings={"RelayNetworks": "127.0.0.1"})
        records = keys(s.folder)
        s.settings_file().write_text(s.settings_file().read_text() + "DkimKey=rsa.pem\nDkimSelector=mail2024\n")
        s.start()
        dns = {f"mail2024._domainkey.{DOMAIN}.": records["rsa"]}
        text = HEADER % b"t" + b"Subject: %s\r\n\r\nbody\r\n"
        # Untrusted client (not in RelayNetworks, not logged in), to a local mailbox: not signed.
        with smtp(s, source="127.0.0.9") as c:
            c.sendmail("demo@example.test", ["demo@example.test"], text % b"untrusted")
        # The same client logged in: signed, also relayed.
        with smtp(s, source="127.0.0.9") as c:
            c.login("demo", "secret")
            c.sendmail("demo@example.test", ["demo@example.test", "far@remote.test"], text % b"logged in")
        # Which other senders are signed is the unit table of tests/unit/test_dkim.cpp.
        wait_for(lambda: len(s.messages()) == 2 and len(deliveries) == 1, what="two local copies and one relayed")
        by_subject = {re.search(rb"(?m)^Subject: (.*)\r$", t)[1]: t for t in s.files()}
        self.assertNotIn(b"DKIM-Signature", by_subject[b"untrusted"])
        self.verify(unstuffed(by_subject[b"logged in"]), dns, algorithms=("rsa-sha256",), what="logged in")
        self.verify(deliveries[0][2], dns, algorithms=("rsa-sha256",), what="relayed, logged in")
        self.assertEqual(s.count_log(r"-DKIM signed d=example\.test s=mail2024 \(rsa-sha256\)$"), 1)

    def test_keygen(self):
        s = self.server(wait=None)
        exe = os.path.join(s.folder, "Tandrivel")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=s.config)

        def keygen(*args):
            return subprocess.run([exe, "--dkim-keygen", *args], capture_output=True, timeout=TIMEOUT, env=env)

        made = keygen("s1")
        self.assertEqual(made.returncode, 0, made.stderr)
        key = pathlib.Path(s.folder, "s1.private")
        self.assertEqual(key.stat().st_mode & 0o777, 0o600)
        out = made.stdout.decode()
        record = re.search(r'(?m)^s1\._domainkey\.example\.test IN TXT ((?:"[^"]{1,255}" ?)+)$', out)
        self.assertTrue(record, out)
        value = "".join(re.findall(r'"([^"]*)"', record[1]))
        self.assertRegex(value, r"^v=DKIM1; k=rsa; p=[A-Za-z0-9+/]+=*$")
        self.assertIn("DkimKey=s1.private", out)
        # Never over an existing key; not a server either time.
        before = key.read_bytes()
        again = keygen("s1")
        self.assertEqual((again.returncode, key.read_bytes()), (1, before))
        self.assertIn(b"exists already", again.stderr)
        # The key signs, and the record verifies it.
        s.settings_file().write_text(s.settings_file().read_text() + "DkimKey=s1.private\nDkimSelector=s1\n")
        s.start()
        send(s, HEADER % b"k" + b"Subject: made\r\n\r\nbody\r\n", sender="demo@example.test")
        wait_for(lambda: len(s.messages()) == 1, what="the message")
        self.verify(unstuffed(s.files()[0]), {f"s1._domainkey.{DOMAIN}.": value}, algorithms=("rsa-sha256",))


if __name__ == "__main__":
    unittest.main()

