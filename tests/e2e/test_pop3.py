"""POP3 with real clients (poplib, curl): login, listing, retrieval byte for byte,
deletion marks and their purge, and requests that must fail without ending the session."""
import os
import poplib
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import TIMEOUT, ServerProcess  # noqa: E402

USERS = (("demo", "secret", "demo"), ("bob", "hunter2", "bob"))

# 8-bit bytes, NUL, a line the sender dot-stuffed, a long line and an empty body line.
TRICKY = (b"From: a@example.org\r\nSubject: =?utf-8?q?caf=C3=A9?=\r\n\r\n"
          b"caf\xc3\xa9 \xe9\xff \x00 nul\r\n..leading dot\r\n\r\n" + b"x" * 1500 + b"\r\n"
          b"tab\there\r\nlast\r\n")


def unstuffed(content):
    """What a client hands back for stored lines: the doubled leading dot taken away."""
    return re.sub(rb"(?m)^\.\.", b".", content)


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--max-time", str(int(TIMEOUT)), *args], capture_output=True)
    if r.returncode != 0:
        raise AssertionError(f"curl {args} failed ({r.returncode}): {r.stderr.decode()}")
    return r.stdout


class Pop3(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess(users=USERS)
        self.addCleanup(self.server.__exit__)

    def put(self, *contents, box="demo"):
        return [self.server.put_message(c, box=box) for c in contents]

    def test_login_stat_list_uidl(self):
        s = self.server
        names = self.put(b"A\r\n", b"BB\r\n", b"CCC\r\n")
        self.put(b"not demo's\r\n", box="bob")
        # Not listed: another extension, and the test on "eml" minds case.
        s.put_message(b"x\r\n", name="notes.txt")
        s.put_message(b"x\r\n", name="250302-09050799.EML")

        p = poplib.POP3("127.0.0.1", s.pop3, timeout=TIMEOUT)
        self.assertEqual(p.stat(), (0, 0))   # before login: an empty mailbox
        self.assertEqual(p.user("demo"), b"+OK all respons OK")
        self.assertEqual(p.pass_("secret"), b"+OK all respons OK")
        self.assertEqual(p.stat(), (3, 12))
        resp, lines, _ = p.list()
        self.assertEqual(resp, b"+OK 3 12")
        self.assertEqual(lines, [b"1 3", b"2 4", b"3 5"])
        resp, lines, _ = p.uidl()
        self.assertEqual(lines, [f"{i} {n[:15]}".encode() for i, n in enumerate(names, 1)])
        p.quit()

        p = s.pop3_login("bob", "hunter2")
        self.assertEqual(p.stat(), (1, 12))
        p.quit()

    def test_retr_is_byte_exact(self):
        s = self.server
        self.put(TRICKY, b"second\r\n")
        p = s.pop3_login()
        resp, lines, _ = p.retr(1)
        self.assertEqual(resp, f"+OK {len(TRICKY)} octets".encode())
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", unstuffed(TRICKY))
        resp, lines, _ = p.retr(2)
        self.assertEqual(lines, [b"second"])
        p.quit()
        self.assertEqual(curl("-u", "demo:secret", f"pop3://127.0.0.1:{s.pop3}/1"), unstuffed(TRICKY))

    def test_large_message(self):
        s = self.server
        body = b"".join(b"%07d %s\r\n" % (i, b"y" * 70) for i in range(40000))   # about 3 MB
        self.put(body)
        p = s.pop3_login()
        resp, lines, _ = p.retr(1)
        self.assertEqual(resp, f"+OK {len(body)} octets".encode())
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", body)
        p.quit()

    def test_dele_then_quit_removes_the_file(self):
        s = self.server
        names = self.put(b"one\r\n", b"two!\r\n", b"three\r\n")
        p = s.pop3_login()
        self.assertEqual(p.dele(2), b"+OK Deleted success.")
        self.assertEqual(s.messages(ext=".del"), [names[1][:16] + "del"])
        self.assertEqual(p.stat(), (2, 12))
        self.assertEqual(p.list()[1], [b"1 5", b"3 7"])   # numbers do not shift
        self.assertEqual(len(p.uidl()[1]), 3)
        self.assertEqual(p.retr(2)[1], [b"two!"])        # a marked message can still be read
        p.quit()
        self.assertEqual(s.messages(), [names[0], names[2]])
        self.assertEqual(s.messages(ext=".del"), [])

    def test_dele_then_dropped_connection_keeps_the_mark(self):
        s = self.server
        names = self.put(b"one\r\n", b"two\r\n")
        m = s.mark()
        p = s.pop3_login()
        p.dele(1)
        p.close()   # no QUIT
        s.wait_log(r"^Close 2$", after=m)
        self.assertEqual(s.messages(), [names[1]])
        self.assertEqual(s.messages(ext=".del"), [names[0][:16] + "del"])

        p = s.pop3_login()
        self.assertEqual(p.stat(), (1, 5))   # the marked file is not listed again
        self.assertEqual(p.retr(1)[1], [b"two"])
        p.quit()                             # and the next QUIT removes it
        self.assertEqual(s.messages(), [names[1]])
        self.assertEqual(s.messages(ext=".del"), [])

    def test_rset_undoes_the_marks(self):
        s = self.server
        names = self.put(b"one\r\n", b"two\r\n", b"three\r\n")
        p = s.pop3_login()
        p.dele(1)
        p.dele(3)
        self.assertEqual(p.stat(), (1, 5))
        self.assertEqual(p.rset(), b"+OK Reset file count 2")
        self.assertEqual(s.messages(), names)
        self.assertEqual(p.stat(), (3, 17))
        p.quit()
        self.assertEqual(s.messages(), names)

    def test_quoted_password_logs_nobody_in(self):
        s = self.server
        names = self.put(b"secret mail\r\n")
        for user, password in (("demo", "' or '1'='1"), ("' or '1'='1", "' or '1'='1"), ("demo' --", "x")):
            with self.subTest(user=user, password=password):
                p = poplib.POP3("127.0.0.1", s.pop3, timeout=TIMEOUT)
                self.assertEqual(p.user(user), b"+OK all respons OK")
                self.assertEqual(p.pass_(password), b"+OK all respons OK")
                self.assertEqual(p.stat(), (0, 0))
                self.assertEqual(p.list()[1], [])
                self.assertRaises(poplib.error_proto, p.retr, 1)
                self.assertEqual(p.dele(1), b"+OK ")   # DELE without a login does nothing
                p.quit()
        self.assertEqual(s.messages(), names)
        # Only the right pair opens the mailbox.
        self.assertEqual(curl("-u", "demo:secret", f"pop3://127.0.0.1:{s.pop3}/"), b"1 13\r\n")

    def test_bad_message_numbers_leave_the_session_going(self):
        s = self.server
        self.put(b"only\r\n")
        p = s.pop3_login()
        for arg in ("0", "99", "x", "-1", "70000", ""):
            with self.subTest(arg=arg):
                with self.assertRaises(poplib.error_proto) as e:
                    p._shortcmd(f"RETR {arg}".rstrip())
                self.assertRegex(e.exception.args[0], rb"^-ERR \d+:\S")
                with self.assertRaises(poplib.error_proto):
                    p._shortcmd(f"DELE {arg}".rstrip())
        self.assertEqual(p.stat(), (1, 6))
        self.assertEqual(p.retr(1)[1], [b"only"])
        p.quit()
        self.assertEqual(len(s.messages()), 1)

    def test_curl_list_retrieve_delete(self):
        s = self.server
        names = self.put(b"Subject: one\r\n\r\nbody\r\n", TRICKY)
        url = f"pop3://127.0.0.1:{s.pop3}/"
        self.assertEqual(curl("-u", "demo:secret", url), f"1 22\r\n2 {len(TRICKY)}\r\n".encode())
        self.assertEqual(curl("-u", "demo:secret", url + "1"), b"Subject: one\r\n\r\nbody\r\n")
        self.assertEqual(curl("-u", "demo:secret", "-X", "UIDL", url),
                         f"1 {names[0][:15]}\r\n2 {names[1][:15]}\r\n".encode())
        curl("-u", "demo:secret", "-X", "DELE", "-I", url + "1")
        self.assertEqual(s.messages(), [names[1]])
        self.assertEqual(s.messages(ext=".del"), [])


if __name__ == "__main__":
    unittest.main()
