"""SMTP receiving with real clients (smtplib, swaks, curl): what is stored is exactly what
was sent, every message and recipient counts, addresses cannot reach outside the mail
store, and an interrupted session leaves nothing behind."""
import os
import re
import smtplib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import HOST, TIMEOUT, ServerProcess, connect, read_line, wait_for  # noqa: E402

USERS = (("demo", "secret", "demo"), ("bob", "hunter2", "bob"))
NAME = re.compile(r"^\d{6}-\d{8}\.eml$")

# A line starting with ".", a line that is only ".", 8-bit bytes, NUL and a long line.
TRICKY = (b"From: a@example.org\r\nTo: demo@example.test\r\nSubject: tricky\r\n\r\n"
          b".leading dot\r\n.\r\n..two dots\r\ncaf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"z" * 990 + b"\r\n"
          b"last line\r\n")


def stuffed(message):
    """The text as it travels and is stored: lines that start with "." get one more."""
    return re.sub(rb"(?m)^\.", b"..", message)


def run(*args):
    r = subprocess.run(args, capture_output=True, timeout=TIMEOUT * 2)
    if r.returncode != 0:
        raise AssertionError(f"{args[0]} failed ({r.returncode}): {r.stdout.decode()[-2000:]} {r.stderr.decode()}")
    return r.stdout


class Smtp(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess(users=USERS)
        self.addCleanup(self.server.__exit__)

    def smtp(self):
        m = smtplib.SMTP("127.0.0.1", self.server.smtp, timeout=TIMEOUT)
        self.addCleanup(m.close)
        return m

    def only_message(self, box="demo"):
        names = self.server.messages(box)
        self.assertEqual(len(names), 1, names)
        self.assertRegex(names[0], NAME)
        return self.server.read_message(names[0], box)

    def write_file(self, content):
        f = tempfile.NamedTemporaryFile(delete=False, suffix=".eml")
        self.addCleanup(os.unlink, f.name)
        f.write(content)
        f.close()
        return f.name

    def test_smtplib_to_poplib_round_trip(self):
        m = self.smtp()
        m.sendmail("a@example.org", ["demo@example.test"], TRICKY)
        m.quit()   # stored before the goodbye
        self.assertEqual(self.only_message(), stuffed(TRICKY))
        p = self.server.pop3_login()
        self.assertEqual(b"\r\n".join(p.retr(1)[1]) + b"\r\n", TRICKY)
        p.quit()

    def test_swaks_with_and_without_pipelining(self):
        s = self.server
        body = b"Subject: swaks\r\n\r\nhello\r\n.dot"   # swaks ends the last line itself
        data = self.write_file(body)
        for extra, box in (([], "demo"), (["--pipeline"], "bob")):
            with self.subTest(extra=extra):
                m = s.mark()
                out = run("swaks", "--server", "127.0.0.1", "--port", str(s.smtp), "--helo", "client.test",
                          "--from", "a@example.org", "--to", f"{box}@example.test", "--data", data, *extra)
                self.assertIn(b"250 OK <SB>", out)
                self.assertEqual(self.only_message(box), stuffed(body) + b"\r\n")
                if extra:
                    # The three lines came as one buffer and each got its own reply.
                    s.wait_log(r"^Close 2$", after=m)
                    s.wait_log(r"^2<MAIL FROM:<a@example\.org>\\r\\nRCPT TO:<bob@example\.test>\\r\\nDATA\\r\\n$", after=m)
                    self.assertEqual(s.count_log(r"^2>250 OK$", after=m), 2)

    def test_whole_session_in_one_write(self):
        s = self.server
        with connect(s.smtp) as c:
            read_line(c)
            c.sendall(b"HELO client\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n"
                      b"Subject: burst\r\n\r\nQUIT\r\n.\r\nQUIT\r\n")
            replies = [read_line(c) for _ in range(6)]
            self.assertEqual(c.recv(1), b"")
        self.assertEqual(replies, [f"250 {HOST}\r\n".encode(), b"250 OK\r\n", b"250 OK\r\n",
                                   b"354 Start mail input; end with <CRLF>.<CRLF>\r\n", b"250 OK <SB>\r\n",
                                   b"221 Merivolant ESMTP Closed\r\n"])
        # The QUIT inside the message is message text.
        self.assertEqual(self.only_message(), b"Subject: burst\r\n\r\nQUIT\r\n")

    def test_curl_upload(self):
        body = b"Subject: curl\r\n\r\nfrom curl\r\n.dot\r\n"
        run("curl", "-sS", "--max-time", str(int(TIMEOUT)), f"smtp://127.0.0.1:{self.server.smtp}/client.test",
            "--mail-from", "a@example.org", "--mail-rcpt", "demo@example.test", "-T", self.write_file(body))
        self.assertEqual(self.only_message(), stuffed(body))

    def test_two_messages_on_one_connection(self):
        m = self.smtp()
        first = b"Subject: first\r\n\r\nfor demo\r\n"
        second = b"Subject: second\r\n\r\nfor bob\r\n"
        m.sendmail("a@example.org", ["demo@example.test"], first)
        m.sendmail("b@example.org", ["bob@example.test"], second)
        m.quit()
        # Each message goes to the recipients of its own transaction.
        self.assertEqual(self.only_message("demo"), first)
        self.assertEqual(self.only_message("bob"), second)

    def test_recipient_given_twice(self):
        m = self.smtp()
        body = b"Subject: twice\r\n\r\nhello\r\n"
        m.sendmail("a@example.org", ["demo@example.test", "demo@example.test"], body)
        m.quit()
        names = self.server.messages()
        self.assertEqual(len(names), 2)
        self.assertNotEqual(names[0], names[1])
        for n in names:
            self.assertRegex(n, NAME)
            self.assertEqual(self.server.read_message(n), body)

    def test_local_parts_cannot_leave_the_store(self):
        s = self.server
        # Folders where a careless path join would land.
        for d in ("x", os.path.join("prog", "x"), os.path.join("prog", "Users", "demo", "nested")):
            os.makedirs(os.path.join(s.tmp.name, d), exist_ok=True)
        bad = ["../../x@example.test", "../x@example.test", "..@example.test", ".@example.test",
               "demo/nested@example.test", "../Users/demo@example.test", "..\\..\\x@example.test",
               "/tmp@example.test", "nobody@example.test", "@example.test", "example.test"]
        before = s.files()
        m = self.smtp()
        m.ehlo()
        m.mail("a@example.org")
        for rcpt in bad + ["demo@example.test"]:
            self.assertEqual(m.rcpt(rcpt)[0], 250)
        m.data(b"Subject: escape\r\n\r\nbody\r\n")
        mark = s.mark()
        m.quit()
        new = s.files() - before
        self.assertEqual(len(new), 1, new)   # only the one for demo
        self.assertRegex(new.pop(), r"^prog/Users/demo/\d{6}-\d{8}\.eml$")
        for rcpt in bad:
            s.wait_log(r"^2-\w+ " + re.escape(rcpt), after=mark)

    def test_address_without_angle_brackets(self):
        m = self.smtp()
        m.ehlo()
        for verb in ("MAIL FROM:a@example.org", "RCPT TO:demo@example.test"):
            code, text = m.docmd(verb)
            self.assertEqual(code, 500)
            self.assertRegex(text, rb"^Syntax error;\d+:\S")
        # The session goes on as if the lines had not been sent.
        m.sendmail("a@example.org", ["demo@example.test"], b"Subject: after\r\n\r\nok\r\n")
        m.quit()
        self.assertEqual(self.only_message(), b"Subject: after\r\n\r\nok\r\n")

    def assert_nothing_stored(self, before):
        self.assertEqual(self.server.files() - before, set())
        self.assertEqual(os.listdir(self.server.mailbox()), [])   # no temporary file either

    def test_dropped_client_leaves_no_file(self):
        s = self.server
        before = s.files()
        # In the middle of DATA
        m = s.mark()
        with connect(s.smtp) as c:
            read_line(c)
            c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n")
            for _ in range(3):
                read_line(c)
            c.sendall(b"Subject: cut\r\n\r\n" + b"half a message\r\n" * 1000)
        s.wait_log(r"^Close 2$", after=m)
        self.assert_nothing_stored(before)
        # After a whole message, before QUIT
        m = s.mark()
        client = self.smtp()
        client.sendmail("a@example.org", ["demo@example.test", "bob@example.test"], b"Subject: no quit\r\n\r\nx\r\n")
        client.close()
        s.wait_log(r"^Close 2$", after=m)
        self.assert_nothing_stored(before)
        # QUIT with a message still open
        m = s.mark()
        with connect(s.smtp) as c:
            read_line(c)
            c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n")
            for _ in range(3):
                read_line(c)
            c.sendall(b"Subject: open\r\n\r\nQUIT\r\n")
        s.wait_log(r"^Close 2$", after=m)
        self.assert_nothing_stored(before)

    def test_client_that_leaves_right_after_quit(self):
        s = self.server
        rounds = 20
        for n in range(rounds):
            with connect(s.smtp) as c:
                read_line(c)
                c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n"
                          b"Subject: gone %d\r\n\r\nx\r\n.\r\nQUIT\r\n" % n)
            # The next client may get the same index at once; no goodbye meant for the
            # one that left may reach it.
            with connect(s.smtp) as c:
                read_line(c)
                c.sendall(b"NOOP\r\n")
                self.assertEqual(read_line(c), b"500 Syntax error\r\n")
        # QUIT was sent, so every message is delivered.
        wait_for(lambda: len(s.messages()) == rounds, what=f"{rounds} messages")
        self.assertEqual(sorted(s.read_message(n) for n in s.messages()),
                         sorted(b"Subject: gone %d\r\n\r\nx\r\n" % n for n in range(rounds)))

    def test_fifty_megabyte_message(self):
        line = b"0123456789" * 7 + b"\r\n"
        body = b"Subject: big\r\n\r\n" + line * ((50 << 20) // len(line)) + b".end\r\n"
        m = smtplib.SMTP("127.0.0.1", self.server.smtp, timeout=120)
        self.addCleanup(m.close)
        m.sendmail("a@example.org", ["demo@example.test"], body)
        m.quit()
        self.assertEqual(self.only_message(), stuffed(body))
        p = self.server.pop3_login()
        self.assertEqual(p.stat(), (1, len(body) + 1))
        p.quit()


if __name__ == "__main__":
    unittest.main()
