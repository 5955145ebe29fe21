"""SMTP receiving with real clients (smtplib, swaks, curl): what is stored is exactly what
was sent under the trace headers, and a client that leaves right after QUIT still has its
mail stored. Reply texts and envelope rules are unit-tested."""
import os
import re
import smtplib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import ServerProcess, TIMEOUT, connect, read_line, untraced, wait_for  # noqa: E402

# A line starting with ".", a line that is only ".", 8-bit bytes, NUL and a long line.
TRICKY = (b"From: a@example.org\r\nSubject: tricky\r\n\r\n.leading dot\r\n.\r\n..two dots\r\n"
          b"caf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"z" * 990 + b"\r\nlast line\r\n")


def stuffed(message):
    """The text as it travels and is stored: lines that start with "." get one more."""
    return re.sub(rb"(?m)^\.", b"..", message)


class Smtp(unittest.TestCase):
    def setUp(self):
        self.s = ServerProcess(users=(("demo", "secret", "demo"), ("bob", "hunter2", "bob")))
        self.addCleanup(self.s.__exit__)

    def only_message(self, box="demo"):
        names = self.s.messages(box)
        self.assertEqual(len(names), 1, names)
        return untraced(self.s.read_message(names[0], box))

    def test_smtplib_to_poplib_round_trip(self):
        with smtplib.SMTP("127.0.0.1", self.s.smtp, timeout=TIMEOUT) as m:
            m.sendmail("a@example.org", ["demo@example.test"], TRICKY)
        self.assertEqual(self.only_message(), stuffed(TRICKY))   # stored before the goodbye
        p = self.s.pop3_login()
        self.assertEqual(untraced(b"\r\n".join(p.retr(1)[1]) + b"\r\n"), TRICKY)
        p.quit()

    def test_swaks_and_curl(self):
        s = self.s
        body = b"Subject: sent\r\n\r\nhello\r\n.dot"   # the clients end the last line themselves
        with tempfile.NamedTemporaryFile(suffix=".eml") as f:
            f.write(body)
            f.flush()
            for box, command in (("demo", ["swaks"]), ("bob", ["swaks", "--pipeline"]), ("demo", ["curl"])):
                with self.subTest(command=command):
                    m = s.mark()
                    if command[0] == "swaks":
                        command += ["--server", "127.0.0.1", "--port", str(s.smtp), "--from", "a@example.org",
                                    "--to", f"{box}@example.test", "--data", f.name]
                    else:
                        command = ["curl", "-sS", "--max-time", str(int(TIMEOUT)), f"smtp://127.0.0.1:{s.smtp}/client.test",
                                   "--mail-from", "a@example.org", "--mail-rcpt", f"{box}@example.test", "-T", f.name]
                    subprocess.run(command, capture_output=True, check=True, timeout=TIMEOUT * 2)
                    s.wait_log(r"^Close 2$", after=m)
                    self.assertEqual(untraced(s.read_message(s.messages(box)[-1], box)), stuffed(body) + b"\r\n")
                    if "--pipeline" in command:   # three lines in one buffer, each answered
                        s.wait_log(r"^2<MAIL FROM:<a@example\.org>\\r\\nRCPT TO:<bob@example\.test>\\r\\nDATA\\r\\n$", after=m)
                        self.assertEqual(s.count_log(r"^2>250 OK$", after=m), 2)
        self.assertEqual((len(s.messages("demo")), len(s.messages("bob"))), (2, 1))

    def test_client_that_leaves_right_after_quit(self):
        s = self.s
        for n in range(10):
            with connect(s.smtp) as c:
                read_line(c)
                c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n"
                          b"Subject: gone %d\r\n\r\nx\r\n.\r\nQUIT\r\n" % n)
            # The next client may get the same index at once; no goodbye meant for the one
            # that left may reach it.
            with connect(s.smtp) as c:
                read_line(c)
                c.sendall(b"NOOP\r\n")
                self.assertEqual(read_line(c), b"250 OK\r\n")
        wait_for(lambda: len(s.messages()) == 10, what="10 messages")
        self.assertEqual(sorted(untraced(s.read_message(n)) for n in s.messages()), sorted(b"Subject: gone %d\r\n\r\nx\r\n" % n for n in range(10)))

    def test_fifty_megabyte_message(self):
        line = b"0123456789" * 7 + b"\r\n"
        body = b"Subject: big\r\n\r\n" + line * ((50 << 20) // len(line)) + b".end\r\n"
        with smtplib.SMTP("127.0.0.1", self.s.smtp, timeout=120) as m:
            m.sendmail("a@example.org", ["demo@example.test"], body)
        self.assertEqual(self.only_message(), stuffed(body))


if __name__ == "__main__":
    unittest.main()
