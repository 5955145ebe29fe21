"""On the open internet: TLS (STARTTLS, STLS, Smtps, Pop3s; a renewal half on disk waits), AUTH, no password in the log, real clients over TLS,
deadlines for clients that trickle. Who may relay, log in or reach which recipient is the access table of
tests/unit/test_smtp.cpp; how failed logins are slowed down is tests/unit/test_access.cpp's."""
import base64
import contextlib
import os
import poplib
import re
import select
import shutil
import socket
import ssl
import subprocess
import threading
import time

import harness
from harness import CURL, HOST, TIMEOUT, ca, client_context, connect, free_port, make_cert, read_line, smtp, until_closed, untraced, wait_for

MESSAGE = b"From: demo@example.test\r\nSubject: over TLS\r\n\r\n.leading dot\r\nbody\r\n"
STUFFED = MESSAGE.replace(b"\r\n.", b"\r\n..")   # as sent, and kept by the store, which RETR sends as it is


def last_words(sock):
    """What a peer sends until the end of its line or of the connection (a reset ends it too)."""
    try:
        return read_line(sock)
    except ConnectionResetError:
        return b""


class Case(harness.Case):
    """With TLS, a certificate named by absolute paths or ("relative") copied into the program folder, and the TLS ports."""
    TLS, SETTINGS = "absolute", {}

    def setUp(self):
        cert, settings = make_cert(HOST), dict(self.SETTINGS)
        if self.TLS:
            names = cert if self.TLS == "absolute" else ("cert.pem", "key.pem")
            settings.update(TlsCertificate=names[0], TlsKey=names[1], Smtps=free_port(), Pop3s=free_port())
        self.s = s = self.server(settings=settings, wait=None)
        if self.TLS == "relative":
            for path, name in zip(cert, names):
                shutil.copy(path, os.path.join(s.folder, name))
        s.start()

    def stored(self, box="demo"):
        return [untraced(m) for m in self.s.files(box)]


class Tls(Case):
    TLS = "relative"

    def test_starttls_and_stls_start_the_session_over(self):
        with smtp(self.s) as m:
            self.assertTrue(m.has_extn("starttls"))
            self.assertEqual(m.starttls(context=client_context())[0], 220)
            self.assertEqual((m.ehlo()[0], m.has_extn("starttls")), (250, False))
            self.assertEqual(m.login("demo", "secret")[0], 235)
            m.sendmail("demo@example.test", ["demo@example.test"], MESSAGE)
        self.assertEqual(self.stored(), [STUFFED])
        p = self.closing(poplib.POP3("127.0.0.1", self.s.pop3, timeout=TIMEOUT))
        self.assertEqual(p.capa(), {"USER": [], "UIDL": [], "TOP": [], "PIPELINING": [], "STLS": []})
        self.assertTrue(p.stls(client_context()).startswith(b"+OK"))
        self.assertEqual(p.capa(), {"USER": [], "UIDL": [], "TOP": [], "PIPELINING": []})
        p.user("demo")
        p.pass_("secret")
        self.assertEqual(untraced(b"\r\n".join(p.retr(1)[1]) + b"\r\n"), MESSAGE)

    def test_tls_from_the_first_byte_to_the_closing_alert(self):
        s, ctx = self.s, client_context()
        ctx.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF   # as openssl s_client and other OpenSSL 3 clients see it
        for port, greeting in ((s.smtps, b"220 "), (s.pop3s, b"+OK ")):
            with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), TIMEOUT), server_hostname="127.0.0.1") as c:
                self.assertTrue(read_line(c).startswith(greeting))
                c.sendall(b"QUIT\r\n")
                self.assertTrue(read_line(c))
                self.assertEqual(c.recv(1), b"")   # raises without a close_notify alert before the end

    def test_old_failed_and_stalled_handshakes_end_only_their_own_connection(self):
        s = self.s
        for version, accepted in ((ssl.TLSVersion.TLSv1_1, False), (ssl.TLSVersion.TLSv1_2, True), (ssl.TLSVersion.TLSv1_3, True)):
            with self.subTest(version=version), smtp(s) as m:
                if accepted:
                    m.starttls(context=client_context(version))
                    self.assertEqual((m.sock.version(), m.noop()[0]), (version.name.replace("_", "."), 250))
                else:   # refused, or the connection simply ends
                    self.assertRaises(OSError, m.starttls, context=client_context(version))
        self.assertEqual(self.closing(smtp(s)).docmd("STARTTLS")[0], 220)   # and never a hello
        self.closing(connect(s.smtps))   # mute
        for port, garbage in ((s.smtps, b"EHLO plain.test\r\n"), (s.pop3s, b"USER demo\r\n")):
            with socket.create_connection(("127.0.0.1", port), TIMEOUT) as c:
                c.sendall(garbage)
                self.assertNotIn(b"\r\n", last_words(c), "a TLS port answered in clear")
        with smtp(s) as m:
            m.docmd("STARTTLS")
            m.sock.sendall(b"\x16\x03\x01\x00\x04garbage\r\n")
            self.assertNotIn(b"\r\n", last_words(m.sock))   # closed, or an alert
        with smtp(s, tls=client_context()) as m:
            m.sendmail("demo@example.test", ["demo@example.test"], MESSAGE)
        self.assertEqual(self.stored(), [STUFFED])


    def test_a_renewal_is_used_once_its_key_matches(self):
        s, (cert, key) = self.s, make_cert("renewed.test")

        def served():   # the certificate a STARTTLS handshake shows
            with smtp(s, tls=ssl._create_unverified_context()) as m:
                return m.sock.getpeercert(binary_form=True)
        first = served()
        shutil.copy(cert, os.path.join(s.folder, "cert.pem"))   # the key is not renewed yet
        wait_for(lambda: served() and s.count_log(r"^TLS: the key in \S+/key\.pem does not match the certificate in \S+/cert\.pem; "
                                                   r"the certificate read before stays in use$"), what="the mismatch logged")
        self.assertEqual(served(), first)
        shutil.copy(key, os.path.join(s.folder, "key.pem"))
        wait_for(lambda: served() != first, what="the renewed pair in use")


class WithoutCertificate(Case):
    TLS = None

    def test_no_tls_offered_and_no_password_in_the_log(self):   # every spelling of a secret is a row of tests/unit/test_secrets.cpp
        s, blob = self.s, base64.b64encode(b"\0demo\0secret").decode()
        user, password = base64.b64encode(b"demo").decode(), base64.b64encode(b"secret").decode()
        with smtp(s) as m:
            self.assertFalse(m.has_extn("starttls"))
            self.assertEqual([m.docmd(line)[0] for line in ("AUTH LOGIN", user, password)], [334, 334, 235])
        p = s.pop3_login()
        self.assertEqual(p.capa(), {"USER": [], "UIDL": [], "TOP": [], "PIPELINING": []})
        p.quit()
        with smtp(s) as m:
            self.assertEqual(m.docmd(f"AUTH PLAIN {blob}")[0], 235)
        s.stop()
        for secret in ("secret", password, blob):
            self.assertEqual([line for line in s.log if secret in line], [], secret)
        self.assertTrue(s.count_log(r"PASS \*{8}") and s.count_log(r"AUTH PLAIN \*{8}"), s.log)


def run(test, argv, stdin=b""):   # what a client printed; it must succeed within TIMEOUT
    if not shutil.which(argv[0]):
        test.skipTest(f"{argv[0]} is not installed")
    if "--tls" in " ".join(argv) and subprocess.run(["perl", "-MNet::SSLeay", "-e1"], capture_output=True).returncode:
        test.skipTest("swaks needs Net::SSLeay (libnet-ssleay-perl) for TLS")
    r = subprocess.run(argv, input=stdin, capture_output=True, timeout=TIMEOUT)
    test.assertEqual(r.returncode, 0, r.stdout[-2000:] + r.stderr[-2000:])
    return r.stdout


S_CLIENT = ["openssl", "s_client", "-quiet", "-ignore_unexpected_eof", "-verify_return_error", "-CAfile"]   # the close has a case of its own


class Clients(Case):
    def test_senders(self):
        s, auth = self.s, ["--auth-user", "demo", "--auth-password", "secret", "--auth"]
        swaks = ["swaks", "--server", "127.0.0.1", "--helo", "client.test", "--from", "demo@example.test", "--to", "demo@example.test",
                 "--data", "-", "--port"]
        dialogue = b"EHLO client.test\r\nMAIL FROM:<demo@example.test>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n" + STUFFED + b".\r\nQUIT\r\n"
        swaks = [(swaks + [str(port)] + more, MESSAGE[:-2]) for port, more in (   # it ends the text with a line end of its own
            (s.smtp, ["--pipeline"]), (s.smtps, ["--tls-on-connect"] + auth + ["PLAIN"]), (s.smtp, ["--tls"] + auth + ["LOGIN"]), (s.smtp, auth + ["CRAM-MD5"]))]
        for argv, stdin in swaks + [
                (CURL + ["--ssl-reqd", "--cacert", ca(), f"smtp://127.0.0.1:{s.smtp}", "--mail-from", "demo@example.test",
                         "--mail-rcpt", "demo@example.test", "-T", "-"], MESSAGE),
                (S_CLIENT + [ca(), "-starttls", "smtp", "-connect", f"127.0.0.1:{s.smtp}"], dialogue)]:
            with self.subTest(argv=argv):
                before = len(self.s.messages())
                run(self, argv, stdin)
                added = rb"^Date: .*\r\nMessage-ID: .*\r\n"   # by the submission rules of port 465
                self.assertEqual([re.sub(added, b"", m) for m in self.stored()[before:]], [STUFFED])

    def test_fetchers(self):
        s = self.s
        s.put_message(STUFFED)
        for argv in (CURL + ["--ssl-reqd", "--cacert", ca(), f"pop3://127.0.0.1:{s.pop3}/1"], CURL + ["-k", f"pop3s://127.0.0.1:{s.pop3s}/1"]):
            with self.subTest(argv=argv):
                self.assertEqual(run(self, argv), MESSAGE)


class Deadlines(Case):
    """A client that keeps its connection busy without finishing anything is closed all the same."""
    SETTINGS = {"SmtpTimeout": 2, "Pop3Timeout": 2, "SmtpDataTimeout": 3, "TlsHandshakeTimeout": 2}

    def test_trickling_and_stalled_clients_are_closed_on_time(self):
        s = self.s
        data = b"EHLO c\r\nMAIL FROM:<demo@example.test>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n"
        cases = {   # name: (port, sent at once, trickled a piece a second, what the server says last, deadline)
            "SMTP, a byte a second of a command": (s.smtp, b"", b"NOOP NOOP NOOP NOOP NOOP", b"421 4.4.2 Timeout\r\n", 2),
            "POP3, a byte a second of a command": (s.pop3, b"", b"NOOP NOOP NOOP NOOP NOOP", b"", 2),
            "DATA, a byte a second": (s.smtp, data, b"x" * 20, b"421 4.4.2 Timeout\r\n", 3),
            "DATA, a line a second": (s.smtp, data, [b"line\r\n"] * 20, b"421 4.4.2 Timeout\r\n", 3),
            "a ClientHello begun and never ended": (s.smtps, b"\x16\x03\x01\x02\x00\x01", b"", b"", 2),
        }
        results = {}

        def run(name, port, first, pieces, said, deadline):
            sock, start, got = self.closing(connect(port)), time.monotonic(), b""
            sock.sendall(first)
            with contextlib.suppress(OSError, EOFError):   # a reset ends it too
                for piece in pieces if isinstance(pieces, list) else [bytes([b]) for b in pieces]:
                    while select.select([sock], [], [], 0)[0]:   # what it said so far; nothing more once it closed
                        if not (chunk := sock.recv(4096)):
                            raise EOFError
                        got += chunk
                    sock.sendall(piece)
                    time.sleep(1)
                got += until_closed(sock)
            results[name] = (got, time.monotonic() - start)

        threads = [threading.Thread(target=run, args=(name,) + case) for name, case in cases.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        for name, (port, first, pieces, said, deadline) in cases.items():
            with self.subTest(name):
                got, after = results[name]
                self.assertTrue(got.endswith(said), f"last said {got[-60:]!r}")
                self.assertTrue(deadline - 0.5 < after < deadline + 3.5, f"closed after {after:.1f} s with a deadline of {deadline} s")
        for why in ("a line not ended in", "message text not ended in", "TLS handshake not done in"):
            self.assertTrue(s.count_log(rf"^\d+-Timeout: {why} \d+ s; connection closed$"), why)

