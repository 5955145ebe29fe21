"""Addresses in UTF-8 (RFC 6531) with smtplib, Postfix and aiosmtpd: taken when SMTPUTF8 is given, a Unicode domain
is its xn-- form, and a relayed copy asks SMTPUTF8 of the exchanger, or bounces with why when it is not offered."""
import os
import smtplib
import unittest

import harness
from harness import TIMEOUT, smtp, wait_for

SENDER = "jösé@example.org"
TEXT = "From: jösé@example.org\r\nSubject: ñ\r\n\r\nx\r\n".encode()


class Utf8(harness.Case):
    SERVER = None

    def test_utf8_addresses_stored_and_relayed(self):
        wide = harness.real_exchanger(self, enable_SMTPUTF8=True) if harness.ROOT else None
        narrow = harness.real_exchanger(self, enable_SMTPUTF8=False) if harness.ROOT else None
        s = self.server(domain="xn--bcher-kva.test", domain_mx=(("wide.test", wide[0], "10"), ("narrow.test", narrow[0], "10")) if wide else ())
        with smtp(s) as m:
            self.assertTrue(m.has_extn("smtputf8"))
            m.sendmail(SENDER, ["demo@bücher.test", "demo@BÜCHER.test."], TEXT, mail_options=["SMTPUTF8"])
        self.assertEqual(len(s.files()), 1)
        self.assertEqual(s.files()[0].split(b"\r\n")[0], f"Return-Path: <{SENDER}>".encode())
        if not wide:
            raise unittest.SkipTest("needs root: exchangers on port 25")
        with smtp(s) as m:
            m.sendmail("demo@bücher.test", ["ñandú@wide.test", "ñandú@narrow.test"], TEXT, mail_options=["SMTPUTF8"])
        wait_for(lambda: wide[1] and len(s.files()) == 2, what="the relay and the notice")
        self.assertEqual([(d[0], d[1], "SMTPUTF8" in d[3]) for d in wide[1]], [("demo@bücher.test", ["ñandú@wide.test"], True)])
        self.assertEqual(narrow[1], [])
        self.assertIn(b"553 5.6.7 SMTPUTF8 is required, but the exchanger does not offer it", s.files()[1])

    @unittest.skipUnless(harness.ROOT and os.path.exists(harness.POSTFIX), "needs root and Postfix")
    def test_postfix_relays_utf8_here(self):   # it bounced them: "SMTPUTF8 is required, but was not offered"
        s = self.server(domain="xn--bcher-kva.test")
        postfix = harness.Postfix(self, dict(myhostname="postfix.test", mydestination="", inet_interfaces="127.0.0.1", mynetworks="127.0.0.0/8",
                                             relayhost=f"[127.0.0.1]:{s.smtp}", local_transport="error:no local mail", smtputf8_enable="yes",
                                             smtp_tls_security_level="none"),
                                  lambda: f"127.0.0.1:{harness.free_port()}")
        with smtplib.SMTP(postfix.host, int(postfix.port), timeout=TIMEOUT) as m:
            m.sendmail(SENDER, ["demo@bücher.test"], TEXT, mail_options=["SMTPUTF8"])
        wait_for(lambda: s.files() or "status=" in postfix.maillog(), 60, lambda: postfix.maillog())
        self.assertTrue(s.files(), postfix.maillog())
        self.assertEqual(s.files()[0].split(b"\r\n")[0], f"Return-Path: <{SENDER}>".encode())


if __name__ == "__main__":
    unittest.main()
