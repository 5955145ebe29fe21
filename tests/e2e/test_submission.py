"""The submission port (RFC 6409) with real clients: msmtp, mutt and smtplib submit with STARTTLS and AUTH; a
client that does not log in is refused at MAIL, from RelayNetworks too; a logged-in account sends only as itself,
refused at MAIL FROM and at From: (as an alias too: tests/unit/test_smtp.cpp); Aliases.txt delivers mail and is read
again when edited; a message without Date or Message-ID gets them, with HostName, under the DKIM signature
(python3-dkim), and only on the submission port."""
import base64
import os
import pathlib
import re
import shutil
import smtplib
import subprocess
import unittest

import harness
from harness import HOST, TIMEOUT, ca, client_context, free_port, make_cert, message, send, subjects, untraced

try:
    import dkim
except ImportError:
    dkim = None

PASSWORDS = {"alice": "wonder", "bob": "hunter2"}
ALIASES = "Address,UserName\ninfo@example.test,alice\n"
NOT_OWNED = "553 5.7.1 Sender address not owned by user"


def text(subject, sender):   # as a client composes it, Date and Message-ID included
    return (f"From: {sender}\r\nTo: bob@example.test\r\nSubject: {subject}\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
            f"Message-ID: <{subject.replace(' ', '.')}@client.test>\r\n\r\nhello\r\n").encode()


def by_smtplib(s, tmp, user, envelope, sender, subject):
    """The reply that ended the submission: (code, text); 250 when it was taken."""
    try:
        with smtplib.SMTP("127.0.0.1", s.submission, local_hostname="client.test", timeout=TIMEOUT) as m:
            m.starttls(context=client_context())
            if user:
                m.login(user, PASSWORDS[user])
            m.sendmail(envelope, ["bob@example.test"], text(subject, sender))
    except (smtplib.SMTPSenderRefused, smtplib.SMTPDataError) as e:
        return e.smtp_code, e.smtp_error.decode()
    return 250, ""


def by_msmtp(s, tmp, user, envelope, sender, subject):
    if not shutil.which("msmtp"):
        raise unittest.SkipTest("msmtp is not installed (scripts/install-deps.sh)")
    config = pathlib.Path(tmp, "msmtprc")
    config.write_text(f"account default\nhost 127.0.0.1\nport {s.submission}\ndomain client.test\ntls on\ntls_starttls on\n"
                      f"tls_trust_file {ca()}\nfrom {envelope}\n"
                      + (f"auth plain\nuser {user}\npassword {PASSWORDS[user]}\n" if user else "auth off\n"))
    config.chmod(0o600)
    r = subprocess.run(["msmtp", "-C", str(config), "--", "bob@example.test"], input=text(subject, sender), capture_output=True,
                       timeout=TIMEOUT)
    return reply_of(r)


def by_mutt(s, tmp, user, envelope, sender, subject):
    """mutt composes the message itself, with `sender` as From: and envelope sender."""
    if not shutil.which("mutt"):
        raise unittest.SkipTest("mutt is not installed (scripts/install-deps.sh)")
    assert f"<{envelope}>" in f"<{sender}>" or envelope == sender
    home = pathlib.Path(tmp, "mutt")
    home.mkdir(exist_ok=True)
    rc = home / "muttrc"
    rc.write_text(f'set from="{sender}"\nset use_from=yes\nset hostname="client.test"\n'
                  f'set smtp_url="smtp://{user + "@" if user else ""}127.0.0.1:{s.submission}/"\n'
                  + (f'set smtp_pass="{PASSWORDS[user]}"\nset smtp_authenticators="plain"\n' if user else "")
                  + f'set ssl_starttls=yes\nset ssl_force_tls=yes\nset ssl_ca_certificates_file="{ca()}"\n'
                  f'set certificate_file="{home}/certificates"\nset record=""\nset folder="{home}"\nset spoolfile="{home}/inbox"\n'
                  'set copy=no\nset crypt_autosign=no\n')
    r = subprocess.run(["mutt", "-n", "-F", str(rc), "-s", subject, "--", "bob@example.test"], input=b"hello\n",
                       capture_output=True, timeout=TIMEOUT, env=dict(os.environ, HOME=str(home), TERM="dumb"))
    return reply_of(r)


def reply_of(r):   # a client's exit: 250 when it succeeded, else the server's reply in its words
    if r.returncode == 0:
        return 250, ""
    out = (r.stdout + r.stderr).decode(errors="replace")
    found = re.search(r"\b([45]\d\d)[ -](\d\.\d+\.\d+ [^\r\n]*)", out)
    assert found, f"exit {r.returncode} without a reply of the server: {out}"
    return int(found[1]), found[2]


CLIENTS = (by_smtplib, by_msmtp, by_mutt)


class Submission(harness.Case):
    def setUp(self):
        cert, key = make_cert(HOST)
        self.s = s = self.server(settings={"TlsCertificate": cert, "TlsKey": key, "Submission": free_port(),
                                           "HostName": "mail.example.test"}, wait=None)
        pathlib.Path(s.folder, "Aliases.txt").write_text(ALIASES)
        s.start()

    def test_clients_submit_as_themselves_only(self):
        s = self.s
        # user (None: no login), envelope sender, From:, the reply; mutt sends its From: as the envelope sender too.
        rows = [(None, "alice@example.test", "alice@example.test", "530 5.7.0 Authentication required"),
                ("alice", "alice@example.test", "Alice <alice@example.test>", "250"),
                ("alice", "bob@example.test", "bob@example.test", NOT_OWNED),
                ("alice", "alice@example.test", "Bob <bob@example.test>", NOT_OWNED)]   # aliases and the rest: tests/unit/test_smtp.cpp
        for client in CLIENTS:
            for n, (user, envelope, sender, reply) in enumerate(rows):
                if client is by_mutt and envelope != sender.split("<")[-1].rstrip(">"):
                    continue
                subject = f"{client.__name__} {n}"
                with self.subTest(client=client.__name__, user=user, envelope=envelope, sender=sender):
                    before = len(s.messages("bob"))
                    code, said = client(s, s.tmp.name, user, envelope, sender, subject)
                    self.assertEqual(f"{code} {said}".strip(), reply)
                    got = s.files("bob")[before:]
                    self.assertEqual(subjects(got), {subject: 1} if code == 250 else {})
                    if code == 250:   # the client's own Date and Message-ID are kept, not doubled
                        head = got[0].split(b"\r\n\r\n")[0]
                        self.assertEqual([len(re.findall(rb"(?mi)^%s:" % f, head)) for f in (b"Date", b"Message-ID")], [1, 1])
        # The refusals came where they belong: the sender at MAIL, the From: field after the text.
        self.assertTrue(s.count_log(r"^\d+>553 5\.7\.1 Sender address not owned by user$"))
        self.assertTrue(s.count_log(r"^\d+-Refused: 553 5\.7\.1 Sender address not owned by user \(From: Bob <bob@example\.test>\)$"), s.log[-40:])

    def test_no_login_no_mail_even_from_relay_networks(self):
        # 127.0.0.1 may relay on the SMTP port without a login; on the submission port it may do nothing.
        with smtplib.SMTP("127.0.0.1", self.s.submission, local_hostname="client.test", timeout=TIMEOUT) as m:
            self.assertIn("starttls", m.ehlo()[1].decode().lower())
            self.assertEqual(m.docmd("AUTH PLAIN", base64.b64encode(b"\0alice\0wonder").decode()),
                             (538, b"5.7.11 Encryption required"))
            for command in ("MAIL FROM:<alice@example.test>", "RCPT TO:<far@remote.test>", "RCPT TO:<bob@example.test>", "DATA"):
                self.assertEqual(m.docmd(command), (530, b"5.7.0 Authentication required"), command)
        with harness.smtp(self.s) as m:   # as ever there
            self.assertEqual([m.docmd(c)[0] for c in ("MAIL FROM:<anyone@example.test>", "RCPT TO:<far@remote.test>", "RSET")], [250, 250, 250])

    def test_aliases_deliver_and_follow_the_file(self):
        s = self.s
        send(s, message("to info"), to=["INFO@example.test"])
        self.assertEqual(subjects(s.files("alice")), {"to info": 1})
        pathlib.Path(s.folder, "Aliases.txt").write_text(ALIASES + "Sales@Example.Test,bob\n")   # edited while it runs
        send(s, message("to sales"), to=["sales@example.test"])
        self.assertEqual(subjects(s.files("bob")), {"to sales": 1})

    def test_missing_date_and_message_id_added_before_signing(self):
        s = self.s
        s.stop()
        key = os.path.join(s.folder, "dkim.pem")
        record = harness.dkim_key(key).encode()
        s.settings_file().write_text(s.settings_file().read_text() + "DkimKey=dkim.pem\n")
        s.start()
        bare = b"From: alice@example.test\r\nTo: bob@example.test\r\nSubject: bare\r\n\r\nhello\r\n"
        with smtplib.SMTP("127.0.0.1", s.submission, local_hostname="client.test", timeout=TIMEOUT) as m:
            m.starttls(context=client_context())
            m.login("alice", "wonder")
            m.sendmail("alice@example.test", ["bob@example.test"], bare)
        send(s, bare, to=["bob@example.test"], sender="alice@example.test")   # the SMTP port adds nothing
        submitted, plain = (untraced(t) for t in s.files("bob"))
        head = submitted.split(b"\r\n\r\n")[0]
        self.assertRegex(head, rb"(?m)^Date: \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d [-+]\d{4}\r$")
        self.assertRegex(head, rb"(?m)^Message-ID: <[0-9a-z.]+@mail\.example\.test>\r$")
        self.assertTrue(submitted.endswith(bare), submitted)
        self.assertNotRegex(plain, rb"(?mi)^(Date|Message-ID):")
        if not dkim:
            self.skipTest("the signature's check needs Debian's python3-dkim (apt-get install python3-dkim)")
        lookup = lambda name, timeout=5: record if name == b"tandrivel._domainkey.example.test." else None
        h = re.search(rb"\bh=([^;]+);", re.sub(rb"\r\n\t", b"", submitted))[1].lower()
        self.assertTrue({b"date", b"message-id"} <= set(h.replace(b" ", b"").split(b":")), h)
        self.assertTrue(dkim.DKIM(submitted).verify(dnsfunc=lookup))


if __name__ == "__main__":
    unittest.main()
