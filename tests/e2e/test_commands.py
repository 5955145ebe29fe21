"""Command lines as real clients send them: POP3 commands pipelined in one packet (openssl s_client after STLS and
on the Pop3s port), also behind a message a slow reader is still taking (behind a delayed answer:
tests/unit/test_access.cpp); lines ended by a bare LF (nc); SIZE at MAIL and EXPN; the command line
options of the executable."""
import os
import shutil
import smtplib
import socket
import subprocess
import time
import unittest

import test_internet
from harness import EXE, HOST, TIMEOUT, Case, ca, client_context, connect, megabytes, message, read_line, subjects, until_closed, untraced

PIPELINED = b"USER demo\r\nPASS secret\r\nSTAT\r\nQUIT\r\nNOOP\r\n"   # nothing after QUIT is answered
LOGGED = r"^\d+<USER demo\\r\\nPASS \*{8}\\r\\nSTAT\\r\\nQUIT\\r\\nNOOP\\r\\n$"   # one buffer


class Pop3Pipelining(test_internet.Case):   # with TLS: STLS and the Pop3s port
    def setUp(self):
        super().setUp()
        self.stored = [self.s.put_message(message(f"m{i}")) for i in range(2)]
        self.stat = b"+OK 2 %d" % sum(os.path.getsize(os.path.join(self.s.mailbox(), n)) for n in self.stored)

    def test_four_commands_in_one_packet_get_four_answers(self):   # in clear: tests/unit/test_access.cpp, test_secrets.cpp
        s, greeting = self.s, f"+OK {HOST} Merivolant POP3".encode()
        answers = [b"+OK all respons OK"] * 2 + [self.stat, b"+OK Merivolant POP3 Closed"]
        for how, argv, greeted in (("-starttls pop3", ["-starttls", "pop3", "-connect", f"127.0.0.1:{s.pop3}"], False),
                                   ("on Pop3s", ["-connect", f"127.0.0.1:{s.pop3s}"], True)):
            with self.subTest(how):
                m = s.mark()
                got = test_internet.run(self, test_internet.S_CLIENT + [ca()] + argv, PIPELINED)
                self.assertEqual(got.split(b"\r\n"), [greeting] * greeted + answers + [b""])
                s.wait_log(r"^Close \d+$", after=m)   # the log may lag behind the client
                self.assertEqual(s.count_log(LOGGED, after=m), 1, s.log[m:])

    def test_nothing_sent_in_clear_behind_stls_is_taken(self):
        with connect(self.s.pop3) as raw:
            read_line(raw)
            raw.sendall(b"STLS\r\nUSER demo\r\nPASS secret\r\n")   # as a man in the middle would add them
            self.assertEqual(read_line(raw), b"+OK Begin TLS negotiation\r\n")
            with client_context().wrap_socket(raw, server_hostname="127.0.0.1") as c:
                c.sendall(b"STAT\r\nQUIT\r\n")
                self.assertEqual(until_closed(c), b"+OK 0 0\r\n+OK Merivolant POP3 Closed\r\n")   # not logged in


class Pop3BehindAMessage(Case):
    SERVER = {"settings": {"Pop3Timeout": 2}}

    def test_lines_wait_behind_a_message_that_outlasts_the_timeout(self):
        # The lines after RETR are whole: they wait for the message, which a slow reader takes over
        # longer than Pop3Timeout, and are answered after it.
        s, text = self.s, megabytes(8, "slow")
        s.put_message(text)
        c = self.closing(socket.socket())
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        c.connect(("127.0.0.1", s.pop3))
        read_line(c)
        c.sendall(b"USER demo\r\nPASS secret\r\n")
        self.assertEqual((read_line(c), read_line(c)), (b"+OK all respons OK\r\n",) * 2)
        c.sendall(b"NOOP\r\nRETR 1\r\nSTAT\r\nQUIT\r\n")   # NOOP's answer, held for the turn's end, goes first
        start = time.monotonic()
        got = until_closed(c, pace=len(text) / 5)   # five seconds for it
        took = time.monotonic() - start
        self.assertGreater(took, 4)
        retr = b"+OK %d octets\r\n" % len(text) + text + b".\r\n"
        self.assertEqual(got, b"+OK \r\n" + retr + b"+OK 1 %d\r\n+OK Merivolant POP3 Closed\r\n" % len(text))
        self.assertEqual(s.count_log(r"-Timeout: "), 0)


class BareLineEnds(Case):
    SERVER = {"settings": {"HostName": "mail.example.test"}}

    @unittest.skipUnless(shutil.which("nc"), "nc (netcat-openbsd) is not installed")
    def test_commands_ended_by_a_bare_lf(self):
        s = self.s
        envelope = b"MAIL FROM:<a@example.org>\nRCPT TO:<demo@example.test>\nDATA\n"
        # port, what nc sends, the beginnings of the answers, what the log shows of the commands
        for port, sent, answers, logged in (
                (s.smtp, b"HELO client.test\nNOOP\nEXPN staff\nVRFY demo\nQUIT\nNOOP\n",
                 ["220 mail.example.test Merivolant ESMTP", "250 mail.example.test", "250 OK", "502 5.5.1 EXPN not available",
                  "252 2.5.2 ", "221 "], None),
                (s.pop3, b"USER demo\nPASS secret\nSTAT\nQUIT\n",   # no password in the log, every line kept
                 ["+OK mail.example.test Merivolant POP3", "+OK ", "+OK ", "+OK 0 0", "+OK Merivolant POP3 Closed"],
                 r"USER demo\\nPASS \*{8}\\nSTAT\\nQUIT\\n"),
                (s.smtp, envelope + message("text in CR LF") + b".\r\nQUIT\n",   # message text keeps CR LF
                 ["220 ", "250 OK", "250 OK", "354 ", "250 OK <SB>", "221 "], None),
                (s.smtp, envelope + b"Subject: bare\r\n\r\nx\ny\r\n.\r\nQUIT\n",   # a bare LF in the text is not a line end there
                 ["220 ", "250 OK", "250 OK", "354 ", "554 5.5.2 Bare CR or LF not allowed", "221 "], None)):
            with self.subTest(sent=sent):
                m = s.mark()
                got = subprocess.run(["nc", "-w", str(int(TIMEOUT)), "127.0.0.1", str(port)], input=sent, capture_output=True,
                                     check=True, timeout=TIMEOUT * 2).stdout
                lines = got.split(b"\r\n")
                self.assertEqual(lines[-1], b"", got)
                self.assertEqual(len(lines) - 1, len(answers), got)
                for line, start in zip(lines, answers):
                    self.assertTrue(line.startswith(start.encode()), f"{line!r} for {start!r}")
                if logged:
                    s.wait_log(rf"^\d+<{logged}$", after=m)
                self.assertNotIn("secret", "".join(s.log))
        self.assertEqual([untraced(t) for t in s.files()], [message("text in CR LF")])


class MailCommands(Case):
    def test_size_at_mail_and_expn(self):
        s = self.s
        refused = b"MAIL FROM:<a@example.org> SIZE=268435457\r\n"   # over 256 MiB
        envelope = b"RCPT TO:<demo@example.test>\r\nDATA\r\n"
        # What a pipelining client sends in one packet, and the answers; the text goes only after a 354.
        rows = (
            (refused + envelope, ["552 5.3.4 Message size exceeds fixed maximum message size", "503 5.5.1 Bad sequence of commands",
                                  "554 5.5.1 No valid recipients"]),   # no empty message from nobody after it
            (b"MAIL FROM:<a@example.org> SIZE=268435456\r\n" + envelope, ["250 OK", "250 OK", "354 Start mail input; end with <CRLF>.<CRLF>"]),
            (message("fits") + b".\r\n", ["250 OK <SB>"]),
            (refused + b"RSET\r\n" + envelope, ["552 5.3.4 Message size exceeds fixed maximum message size", "250 OK", "250 OK",
                                                "354 Start mail input; end with <CRLF>.<CRLF>"]),   # as ever, RCPT without MAIL
            (message("after RSET") + b".\r\n", ["250 OK <SB>"]),
            (b"EXPN staff\r\nEXPN\r\n", ["502 5.5.1 EXPN not available"] * 2))
        with smtplib.SMTP("127.0.0.1", s.smtp, local_hostname="client.test", timeout=TIMEOUT) as m:
            m.ehlo()
            self.assertTrue(m.has_extn("size"))
            for sent, answers in rows:
                with self.subTest(sent=sent[:60]):
                    m.sock.sendall(sent)
                    self.assertEqual([b"%d %s" % m.getreply() for _ in answers], [a.encode() for a in answers])
        self.assertEqual(subjects(s.files()), {"fits": 1, "after RSET": 1})


class Options(unittest.TestCase):
    def test_help_version_and_unknown_options(self):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME="/nonexistent")
        for argv, code, out, err in (   # the streams as patterns
                (["--help"], 0, r"^Usage: Tandrivel \[--queue \| --flush \| --dkim-keygen \[selector\] \| --dns-records \| --help \| --version\]\n"
                                r"(.*\n)*  --dkim-keygen \[selector\]\n(.*\n)*  --dns-records\n(.*\n)*  --version ", r"^$"),
                (["-h"], 0, r"^Usage: Tandrivel ", r"^$"),
                (["--version"], 0, r"^Tandrivel \d+\.\d+(\.\d+)*\n$", r"^$"),
                (["--bogus"], 2, r"^$", r"^Tandrivel: unknown option '--bogus'\n\nUsage: "),
                (["--queue", "more"], 2, r"^$", r"^Tandrivel: unexpected argument 'more'\n\nUsage: "),
                (["--dkim-keygen", "s", "more"], 2, r"^$", r"^Tandrivel: unexpected argument 'more'\n\nUsage: ")):
            with self.subTest(argv=argv):   # it would wait for ever were it to start serving
                r = subprocess.run([EXE] + argv, env=env, capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual(r.returncode, code, r.stdout + r.stderr)
                self.assertRegex(r.stdout, out)
                self.assertRegex(r.stderr, err)
