"""Long cases (CTest label `long`): 50 MB messages, a client that stops reading, memory over time. Leaks: every server
the end-to-end tests stop in scripts/test-sanitize.sh's build reports its own."""
import socket
import unittest

from harness import SANITIZED, Case, connect, memory_kb, pop3_stat, read_line, send, session, stuffed, untraced, wait_for


def sessions(server, rounds):
    # Six connections a round: a message sent, one read and deleted, one left mid-message, three empty.
    for n in range(rounds):
        send(server, b"Subject: round %d\r\n\r\n" % n + b"line of text\r\n" * 40)
        p = server.pop3_login()
        for i in range(1, p.stat()[0] + 1):
            p.retr(i)
            p.dele(i)
        p.quit()
        with session(server.smtp) as c:
            c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\nhalf")
        for i in range(3):
            connect(server.pop3 if i % 2 else server.smtp).close()


class Long(Case):
    def test_fifty_megabytes_sent_stalled_and_fetched_again(self):
        s = self.s
        body = b"Subject: big\r\n\r\n" + (b"0123456789" * 7 + b"\r\n") * ((50 << 20) // 72) + b".end\r\n"
        send(s, body, timeout=120)
        [big] = s.files()
        self.assertEqual(untraced(big), stuffed(body))
        # A small receive buffer, so the kernel cannot take in most of the message itself.
        slow = self.closing(socket.socket())
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
        slow.connect(("127.0.0.1", s.pop3))
        replies = slow.makefile("rb")
        for command in (b"", b"USER demo\r\n", b"PASS secret\r\n", b"RETR 1\r\n"):   # one line a buffer, as clients do
            slow.sendall(command)
            head = read_line(slow)
        self.assertEqual(head, b"+OK %d octets\r\n" % len(big))
        # It asks again without reading: were that answered at once, unread 50 MB replies would pile up in memory.
        slow.sendall(b"RETR 1\r\n")
        # Everyone else is served meanwhile, on both ports and on the same mailbox.
        send(s, b"Subject: meanwhile\r\n\r\nx\r\n", to=("bob@example.test",))
        self.assertEqual(pop3_stat(s, "bob", "hunter2")[0], 1)
        self.assertEqual(pop3_stat(s), (1, len(big)))
        self.assertEqual(s.count_log(r"^\d+<RETR 1"), 1, "a command of a client that does not read was answered")
        want = big + b".\r\n" + head + big + b".\r\n"   # reading again, it gets both replies whole
        self.assertTrue(replies.read(len(want)) == want, "the replies are not the whole message twice")
        if SANITIZED:
            return
        # Every reply is also a log line and the log keeps 2000: whole, a few replies held gigabytes.
        p = self.closing(s.pop3_login())
        before = memory_kb(s.proc.pid)
        for _ in range(10):
            self.assertEqual(p.retr(1)[0], b"+OK %d octets" % len(big))
        self.assertLess(memory_kb(s.proc.pid) - before, 200 << 10, "the server grew by over 200 MB")

    @unittest.skipIf(SANITIZED, "a sanitizer build: its memory figures say nothing")
    def test_memory_comes_back_after_a_thousand_connections(self):
        s = self.s
        # The warm-up fills the log to its 2000 lines and starts the threads that write message files.
        sessions(s, 100)
        wait_for(lambda: s.count_log(r"^Close \d+$") >= 100 * 6, what="warm-up connections released")
        before, m = memory_kb(s.proc.pid), s.mark()
        sessions(s, 170)
        wait_for(lambda: s.count_log(r"^Close \d+$", after=m) >= 170 * 6, what="1020 connections released")
        after = memory_kb(s.proc.pid)
        self.assertEqual(s.messages(), [])
        self.assertLess(after - before, 2048, f"VmRSS {before} kB after the warm-up, {after} kB after 1020 more connections")

