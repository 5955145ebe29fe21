"""SMTP as real clients hold it to the RFCs, with smtplib: a refused second MAIL leaves the transaction open, a
control character in RCPT and parameters never offered get syntax replies, port 465 is submission, a login ends with
its account, a logged-in client's Sender: and Resent-From: are its own, and the Received: line says how the message came (RFC 3848)."""
import pathlib
import re
import smtplib
import unittest

import harness
from harness import HOST, TIMEOUT, client_context, free_port, make_cert, smtp

TEXT = b"From: demo@example.test\r\nSubject: s\r\n\r\nx\r\n"


class Rules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cert, key = make_cert(HOST)
        cls.s = harness.ServerProcess(settings={"TlsCertificate": cert, "TlsKey": key, "Smtps": free_port()})
        cls.addClassCleanup(cls.s.tmp.cleanup)
        cls.addClassCleanup(cls.s.stop)

    def latest(self, box):
        return self.s.files(box)[-1]

    def test_refused_second_mail_keeps_the_transaction(self):   # RFC 5321 4.1.4
        with smtp(self.s) as m:
            self.assertEqual(m.mail("first@example.org")[0], 250)
            self.assertEqual(m.docmd("MAIL FROM:second@example.org")[0], 500)
            self.assertEqual(m.rcpt("demo@example.test")[0], 250)
            self.assertEqual(m.data(TEXT)[0], 250)
        self.assertRegex(self.latest("demo"), rb"^Return-Path: <first@example\.org>\r\nReceived: [^\r]*\r\n\tby [^ ]+ with ESMTP\r\n")

    def test_syntax_before_the_recipient(self):
        with smtp(self.s) as m:
            for address in (b"de\rmo@example.test", b"demo\0@example.test", b"\x1b@example.test"):
                with self.subTest(address=address):
                    m.send(b"RCPT TO:<" + address + b">\r\n")
                    self.assertEqual(m.getreply(), (501, b"5.1.3 Bad address syntax"))
            with self.subTest("parameters never offered"):   # RFC 5321 4.1.4
                self.assertEqual(m.mail("a@example.org", ["RET=HDRS", "ENVID=x"])[0], 555)
                self.assertEqual(m.mail("a@example.org", ["BODY=8BITMIME", "SIZE=10"])[0], 250)
                self.assertEqual(m.rcpt("demo@example.test", ["NOTIFY=NEVER"])[0], 555)

    def test_implicit_tls_is_submission(self):   # RFC 8314 3.3; the trace line says TLS and AUTH
        with smtplib.SMTP_SSL("127.0.0.1", self.s.smtps, local_hostname="client.test", context=client_context(), timeout=TIMEOUT) as m:
            self.assertEqual(m.mail("demo@example.test")[0], 530)
            m.login("demo", "secret")
            m.sendmail("demo@example.test", ["bob@example.test"], TEXT)
        text = self.latest("bob")
        self.assertRegex(text, rb"\r\n\tby [^ ]+ with ESMTPSA\r\n")
        self.assertRegex(text, rb"\r\nDate: .*\r\nMessage-ID: <.*>\r\nFrom: demo@example\.test\r\n")

    def test_login_ends_with_its_account(self):
        table = pathlib.Path(self.s.folder, "Users.txt")
        kept = table.read_text()
        table.write_text(kept + "leaver,pw,demo\n")
        self.addCleanup(table.write_text, kept)
        with smtplib.SMTP_SSL("127.0.0.1", self.s.smtps, context=client_context(), timeout=TIMEOUT) as m:
            m.login("leaver", "pw")
            self.assertEqual((m.mail("leaver@example.test")[0], m.rcpt("far@away.test")[0]), (250, 250))
            table.write_text(kept)
            for command in ("RCPT TO:<far@away.test>", "DATA", "MAIL FROM:<leaver@example.test>"):
                self.assertEqual(m.docmd(command)[0], 530, command)
        self.s.wait_log(r"^\d+-AUTH leaver: the account is gone; logged out$")

    def test_logged_in_senders_own_every_author_field(self):
        for field, taken in ((b"Sender: demo@example.test", True), (b"Sender: bob@example.test", False),
                             (b"Resent-From: alice@example.test", False)):
            with self.subTest(field=field), smtp(self.s, tls=client_context()) as m:
                m.login("demo", "secret")
                try:
                    m.sendmail("demo@example.test", ["alice@example.test"], field + b"\r\n" + TEXT)
                except smtplib.SMTPDataError as e:
                    self.assertEqual((taken, e.smtp_code), (False, 553))
                else:
                    self.assertTrue(taken)
                    self.assertTrue(re.search(rb"with ESMTPSA\r\n", self.latest("alice")))


class ExchangerHere(harness.Case):
    SERVER = None

    @unittest.skipUnless(harness.ROOT, "port 25 needs root")
    def test_relay_to_a_domain_whose_mx_is_this_host_is_refused_at_rcpt(self):
        with harness.bind_loopback(25) as free:   # where relays connect: a loop when the MX is here
            address = free.getsockname()[0]
        s = self.server(settings={"SMTP": 25, "Listen": address},
                        domain_mx=(("loop.test", address, "10"), ("named.test", "localhost", "10"), ("far.test", "192.0.2.1", "10")))
        with smtplib.SMTP(address, 25, local_hostname="client.test", timeout=TIMEOUT) as m:
            m.mail("a@example.org")
            for rcpt, code in (("x@loop.test", 554), ("x@named.test", 554), ("x@far.test", 250), ("demo@example.test", 250)):
                self.assertEqual(m.rcpt(rcpt)[0], code, rcpt)
            m.rset()


if __name__ == "__main__":
    unittest.main()
