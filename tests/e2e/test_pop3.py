"""POP3 with real clients (poplib, curl): listing, retrieval byte for byte, and deletion
marks that only a QUIT purges. Every reply text is checked by the unit tests."""
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import TIMEOUT, ServerProcess  # noqa: E402

# 8-bit bytes, NUL, a line the sender dot-stuffed, a long line and an empty body line.
TRICKY = (b"From: a@example.org\r\nSubject: =?utf-8?q?caf=C3=A9?=\r\n\r\n"
          b"caf\xc3\xa9 \xe9\xff \x00 nul\r\n..leading dot\r\n\r\n" + b"x" * 1500 + b"\r\ntab\there\r\nlast\r\n")
UNSTUFFED = re.sub(rb"(?m)^\.\.", b".", TRICKY)   # what a client hands back


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", str(int(TIMEOUT)), "-u", "demo:secret", *args],
                          capture_output=True, check=True).stdout


class Pop3(unittest.TestCase):
    def setUp(self):
        self.s = ServerProcess()
        self.addCleanup(self.s.__exit__)
        self.names = [self.s.put_message(c) for c in (TRICKY, b"two\r\n", b"three\r\n")]

    def test_poplib(self):
        s, names = self.s, self.names
        p = s.pop3_login()
        self.assertEqual(p.stat(), (3, len(TRICKY) + 12))
        self.assertEqual(p.list()[1], [b"1 %d" % len(TRICKY), b"2 5", b"3 7"])
        self.assertEqual(p.uidl()[1], [f"{i} {n[:15]}".encode() for i, n in enumerate(names, 1)])
        resp, lines, _ = p.retr(1)
        self.assertEqual(resp, b"+OK %d octets" % len(TRICKY))
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", UNSTUFFED)
        self.assertEqual(p.dele(2), b"+OK Deleted success.")
        m = s.mark()
        p.close()   # no QUIT: the mark is taken back
        s.wait_log(r"^Close 2$", after=m)
        self.assertEqual((s.messages(), s.messages(ext=".del")), (names, []))
        p = s.pop3_login()
        p.dele(1)
        p.dele(2)
        p.quit()
        self.assertEqual((s.messages(), s.messages(ext=".del")), ([names[2]], []))

    def test_curl(self):
        url = f"pop3://127.0.0.1:{self.s.pop3}/"
        self.assertEqual(curl(url), b"1 %d\r\n2 5\r\n3 7\r\n" % len(TRICKY))
        self.assertEqual(curl(url + "1"), UNSTUFFED)
        self.assertEqual(curl("-X", "UIDL", url), "".join(f"{i} {n[:15]}\r\n" for i, n in enumerate(self.names, 1)).encode())
        curl("-X", "DELE", "-I", url + "2")
        self.assertEqual((self.s.messages(), self.s.messages(ext=".del")), ([self.names[0], self.names[2]], []))


if __name__ == "__main__":
    unittest.main()
