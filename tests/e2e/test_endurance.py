"""Many sessions one after another: the server's memory comes back to where it was, and
in a build with AddressSanitizer nothing is leaked when it stops."""
import os
import smtplib
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import EXE, TIMEOUT, ServerProcess, bind_loopback, connect, read_line, real_exchanger, wait_for  # noqa: E402
from test_faults import sanitized  # noqa: E402

USERS = (("demo", "secret", "demo"),)


def memory_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def sessions(server, rounds, relay_to=()):
    """`rounds` times: an SMTP session that sends one message, a POP3 session that reads and
    deletes it, a client that leaves in the middle, and three that connect and leave."""
    for n in range(rounds):
        to = ["demo@example.test"] + [f"someone@{d}" for d in relay_to if n % 10 == 0]
        m = smtplib.SMTP("127.0.0.1", server.smtp, timeout=TIMEOUT)
        m.sendmail("a@example.org", to, b"Subject: round %d\r\n\r\n" % n + b"line of text\r\n" * 40)
        m.quit()
        m.close()
        p = server.pop3_login()
        count, _ = p.stat()
        for i in range(1, count + 1):
            p.retr(i)
            p.dele(i)
        p.quit()
        with connect(server.smtp) as c:
            read_line(c)
            c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\nhalf")
        idle = [connect(server.pop3 if i % 2 else server.smtp) for i in range(3)]
        for c in idle:
            c.close()


class Endurance(unittest.TestCase):
    def test_memory_comes_back_after_a_thousand_connections(self):
        if sanitized(EXE):
            self.skipTest("memory figures of a sanitizer build say nothing")
        s = ServerProcess(users=USERS)
        self.addCleanup(s.__exit__)
        # Each round is 6 connections. The warm-up fills the log to its 2000 lines and
        # starts the threads that write message files.
        sessions(s, 100)
        wait_for(lambda: s.count_log(r"^Close \d+$") >= 100 * 6, what="warm-up connections released")
        before = memory_kb(s.proc.pid)
        m = s.mark()
        sessions(s, 170)
        wait_for(lambda: s.count_log(r"^Close \d+$", after=m) >= 170 * 6, what="1020 connections released")
        after = memory_kb(s.proc.pid)
        self.assertEqual(s.messages(), [])
        print(f"VmRSS {before} kB after the warm-up, {after} kB after 1020 more connections", file=sys.stderr)
        self.assertLess(after - before, 2048, f"VmRSS {before} kB after the warm-up, {after} kB after 1020 more connections")

    def test_no_leak_after_a_few_hundred_sessions(self):
        if not sanitized(EXE):
            self.skipTest("leaks are checked in the AddressSanitizer build (scripts/test-sanitize.sh)")
        mx, deliveries = real_exchanger(self)
        dead = bind_loopback(25, listen=False)   # bound, never listening: the relay is refused
        self.addCleanup(dead.close)
        s = ServerProcess(users=USERS, domain_mx=(("relay.test", mx, " 10"),
                                                  ("dead.test", dead.getsockname()[0], " 10")))
        self.addCleanup(s.__exit__)
        sessions(s, 60, relay_to=("relay.test", "dead.test"))
        wait_for(lambda: len(deliveries) == 6, what="six relayed messages")
        self.assertEqual(s.stop(), 0, s.stderr.decode(errors="replace")[-4000:])
        self.assertNotIn(b"LeakSanitizer", s.stderr)
        self.assertNotIn(b"runtime error", s.stderr)


if __name__ == "__main__":
    unittest.main()
