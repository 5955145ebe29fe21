"""On the open internet: TLS (STARTTLS, STLS, Smtps, Pop3s), AUTH, no open relay, unknown recipients refused
at RCPT, no password in the log, real clients over TLS. How failed logins are slowed down
is in tests/unit/test_access.cpp (on the fake server's clock), test_commands.py and test_limits.py (the real server)."""
import base64
import os
import poplib
import re
import shutil
import smtplib
import socket
import ssl
import subprocess
import threading
import time

import harness
from harness import CURL, HOST, TIMEOUT, ca, client_context, free_port, make_cert, read_line, smtp, untraced

MESSAGE = b"From: demo@example.test\r\nSubject: over TLS\r\n\r\n.leading dot\r\nbody\r\n"
STUFFED = MESSAGE.replace(b"\r\n.", b"\r\n..")   # as sent, and kept by the store, which RETR sends as it is
def auth(m, mech):   # the reply code
    m.user, m.password = "demo", "secret"
    try:
        return m.auth(mech, getattr(m, "auth_" + mech.lower().replace("-", "_")))[0]
    except smtplib.SMTPAuthenticationError as e:
        return e.smtp_code


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
        p = poplib.POP3("127.0.0.1", self.s.pop3, timeout=TIMEOUT)
        self.addCleanup(p.close)
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
        stalled = smtp(s)   # said STARTTLS, never sends a hello
        self.addCleanup(stalled.close)
        self.assertEqual(stalled.docmd("STARTTLS")[0], 220)
        mute = socket.create_connection(("127.0.0.1", s.smtps), TIMEOUT)
        self.addCleanup(mute.close)
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


class WithoutCertificate(Case):
    TLS = None

    def test_no_tls_offered_and_unknown_recipients_refused(self):
        self.assertFalse(self.closing(smtp(self.s)).has_extn("starttls"))
        self.assertEqual(self.closing(poplib.POP3("127.0.0.1", self.s.pop3, timeout=TIMEOUT)).capa(), {"USER": [], "UIDL": [], "TOP": [], "PIPELINING": []})
        with smtp(self.s) as m:
            refused = m.sendmail("demo@example.test", ["demo@example.test", "nobody@example.test", "alice@example.test"], MESSAGE)
        self.assertEqual(list(refused.items()), [("nobody@example.test", (550, b"5.1.1 No such mailbox"))])
        self.assertEqual((self.stored(), self.stored("alice")), ([STUFFED], [STUFFED]))

    def test_no_password_in_the_log(self):   # however it is spelt or packed (the unit table says why each)
        s, blob, cram = self.s, base64.b64encode(b"\0demo\0secret").decode(), base64.b64encode(b"demo " + b"0" * 32).decode()
        user, password = base64.b64encode(b"demo").decode(), base64.b64encode(b"secret").decode()
        for lines in ([f"AUTH PLAIN {blob}"], ["AUTH PLAIN", blob], [f"AUTH LOGIN {user}", password], ["AUTH LOGIN", user, password]):
            with self.subTest(lines=lines), smtp(s) as m:
                self.assertEqual([m.docmd(line)[0] for line in lines], [334] * (len(lines) - 1) + [235])
        s.pop3_login().quit()
        message = "MAIL FROM:<demo@example.test>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\nhi\r\n.\r\n"
        for port, spelling in ((s.pop3, "USER demo\r\nPASS secret\r\nSTAT"), (s.pop3, "NOOP\r\n" * 1000 + "PASS secret"),
                               (s.smtp, f"AUTH LOGIN\r\n{user}\r\n{password}"), (s.smtp, f"AUTH CRAM-MD5\r\n{cram}"),
                               (s.smtp, f"{message}AUTH PLAIN {blob}")):
            with self.subTest(spelling=spelling[-60:]), socket.create_connection(("127.0.0.1", port), TIMEOUT) as c:
                read_line(c)
                c.sendall(spelling.encode() + b"\r\n")
                read_line(c)   # POP3 answers the first command of a buffer, and takes QUIT only in one of its own
                c.sendall(b"QUIT\r\n")
                while c.recv(4096):
                    pass
        s.stop()
        for secret in ("secret", password, blob, cram, user):
            self.assertEqual([line for line in s.log if secret in line], [], secret)
        self.assertTrue(s.count_log(r"PASS \*{8}") and s.count_log(r"AUTH PLAIN \*{8}"), s.log)


class Auth(Case):
    SETTINGS = {"RelayNetworks": "127.0.0.5/32"}   # 127.0.0.1 is outside

    def test_mechanisms_and_no_open_relay(self):   # the whole table is unit-tested: here, settings and real peers
        for mech, tls, source, authed, relayed in (   # the AUTH reply, then that to a foreign RCPT
                (None, False, "127.0.0.1", None, 554), ("PLAIN", False, "127.0.0.1", 538, 554), ("PLAIN", True, "127.0.0.1", 235, 250)):
            with self.subTest(mech=mech, tls=tls, source=source), smtp(self.s, source, tls and client_context()) as m:
                self.assertEqual(mech and auth(m, mech), authed)
                m.mail("demo@example.test")
                self.assertEqual((m.rcpt("demo@example.test")[0], m.rcpt("x@far.test")[0]), (250, relayed))


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
            (s.smtp, ["--pipeline"]), (s.smtps, ["--tls-on-connect"]), (s.smtp, ["--tls"] + auth + ["LOGIN"]), (s.smtp, auth + ["CRAM-MD5"]))]
        for argv, stdin in swaks + [
                (CURL + ["--ssl-reqd", "--cacert", ca(), f"smtp://127.0.0.1:{s.smtp}", "--mail-from", "demo@example.test",
                         "--mail-rcpt", "demo@example.test", "-T", "-"], MESSAGE),
                (S_CLIENT + [ca(), "-starttls", "smtp", "-connect", f"127.0.0.1:{s.smtp}"], dialogue)]:
            with self.subTest(argv=argv):
                before = len(self.s.messages())
                run(self, argv, stdin)
                self.assertEqual(self.stored()[before:], [STUFFED])

    def test_fetchers(self):
        s = self.s
        s.put_message(STUFFED)
        for argv in (CURL + ["--ssl-reqd", "--cacert", ca(), f"pop3://127.0.0.1:{s.pop3}/1"], CURL + ["-k", f"pop3s://127.0.0.1:{s.pop3s}/1"]):
            with self.subTest(argv=argv):
                self.assertEqual(run(self, argv), MESSAGE)
        out, rc = os.path.join(s.tmp.name, "delivered"), os.path.join(s.tmp.name, "fetchmailrc")
        with open(os.open(rc, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:   # its defaults, and a way to check the certificate
            f.write(f"set no syslog\npoll 127.0.0.1 service {s.pop3} protocol pop3:\n  user \"demo\" there with password \"secret\""
                    f" sslcertfile \"{ca()}\" sslcommonname \"{HOST}\" keep mda \"cat >> {out}\"\n")
        m = s.mark()
        run(self, ["fetchmail", "-f", rc, "--nodetach", "--pidfile", rc + ".pid", "--idfile", rc + ".ids"])
        self.assertEqual(s.count_log(r"^\d+<STLS\\r\\n$", after=m), 1)   # fetchmail insists on it
        with open(out, "rb") as f:   # its own trace line on top, lines ended by LF
            self.assertEqual(re.sub(rb"^Received: .*\n(\t.*\n)*", b"", f.read()), MESSAGE.replace(b"\r\n", b"\n"))


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
            sock = self.closing(socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT))
            start, got = time.monotonic(), b""
            sock.sendall(first)
            sock.setblocking(False)
            for piece in list(pieces) if isinstance(pieces, list) else [bytes([b]) for b in pieces]:
                try:
                    while chunk := sock.recv(4096):
                        got += chunk
                    break   # closed
                except BlockingIOError:
                    pass
                except OSError:
                    break
                try:
                    sock.sendall(piece)
                except OSError:
                    break
                time.sleep(1)
            sock.settimeout(TIMEOUT)
            try:
                while chunk := sock.recv(4096):
                    got += chunk
            except OSError:
                pass
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

