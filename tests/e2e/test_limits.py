"""Abuse limits: connections per address, a memory budget that loses nothing acknowledged, smuggling and bad envelopes
refused, private files, a bounded journal copy."""
import collections
import concurrent.futures
import os
import smtplib
import threading
import time

from harness import (ROOT, TIMEOUT, Case, connect, megabytes, message, read_line, real_exchanger, send, session, subjects, until_closed,
                     wait_for)

ENVELOPE = b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\n"


def replies(sock, n, timeout=TIMEOUT):
    return [read_line(sock, timeout)[:3] for _ in range(n)]


class Limits(Case):
    SERVER = None   # each case starts the server it needs

    def test_connections_per_address(self):
        s = self.server(settings={"MaxPerAddress": 20})
        m, kept, refusals = s.mark(), [], (b"-ERR Too many connections\r\n", b"421 4.7.0 Too many connections\r\n")

        def knock(i):   # the greeted stay open; the refused are told why and closed
            c = connect((s.pop3, s.smtp)[i % 2])
            said = read_line(c)
            if said[:3] in (b"220", b"+OK"):
                return kept.append(self.closing(c)) or "greeted"
            with c:
                return "refused" if said + until_closed(c) == refusals[i % 2] else said
        with concurrent.futures.ThreadPoolExecutor(32) as pool:
            knocks, waits = [pool.submit(knock, i) for i in range(2000)], []
            while not knocks[-1].done() and len(waits) < 200:   # meanwhile another address is greeted at once, and served
                started = time.monotonic()
                with smtplib.SMTP("127.0.0.1", s.smtp, "client.test", TIMEOUT, ("127.0.0.2", 0)) as other:
                    waits.append(time.monotonic() - started)
                    other.sendmail("a@example.org", ["demo@example.test"], message(f"meanwhile {len(waits)}"))
                time.sleep(0.05)
            outcomes = collections.Counter(k.result(120) for k in knocks)
        self.figure(f"{dict(outcomes)}; 127.0.0.2 greeted {len(waits)} times meanwhile, the slowest in {max(waits, default=0):.3f} s")
        self.assertEqual(outcomes, {"greeted": 20, "refused": 1980})
        self.assertLess(max(waits, default=0), 1.0)
        self.assertEqual(len(s.messages()), len(waits))
        self.assertEqual(s.count_log(r"^Refused ", after=m), 1, "refusals of one address logged more than once a minute")

    def test_memory_budget_drops_nothing_acknowledged(self):   # 16 MB: less than two of the uploads
        s, body = self.server(settings={"MemoryBudget": 16 << 20}), megabytes(10)[len(message("big", b"")):]
        clients = [self.closing(session(s.smtp, 120)) for _ in range(20)]
        for c in clients:   # connected before the budget is spent
            c.sendall(ENVELOPE)
            self.assertEqual(replies(c, 2), [b"250", b"250"])
        start = threading.Barrier(20, timeout=TIMEOUT)

        def upload(i):
            start.wait()
            clients[i].sendall(b"DATA\r\n")
            if (code := replies(clients[i], 1, 120)[0]) == b"354":
                clients[i].sendall(message(f"upload {i}", body) + b".\r\n")
                code = replies(clients[i], 1, 120)[0]
            return code
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            codes = list(pool.map(upload, range(20)))
        self.figure(f"{codes.count(b'250')} uploads taken, {codes.count(b'452')} told 452")
        self.assertEqual(set(codes) - {b"250", b"452"}, set(), codes)
        self.assertEqual(subjects(s.files()), {f"upload {i}": 1 for i, code in enumerate(codes) if code == b"250"})

    def test_text_that_comes_while_the_budget_is_spent_is_refused(self):
        s = self.server(settings={"MemoryBudget": 1 << 20})
        send(s, message("before"))
        late, at_data = (self.closing(session(s.smtp, 60)) for _ in range(2))
        for c, data in ((late, b"DATA\r\n"), (at_data, b"")):
            c.sendall(ENVELOPE + data)
            replies(c, 2 + bool(data))
        holders = [self.closing(session(s.smtp, 60)) for _ in range(20)]
        for h in holders:   # unfinished command lines: 20 x 60 KB spend the budget
            h.sendall(b"NOOP " + b"x" * 60000)
        wait_for(lambda: read_line(self.closing(connect(s.smtp))).startswith(b"421 4.3.2"), what="new connections turned away")
        at_data.sendall(b"DATA\r\n")
        late.sendall(message("late") + b".\r\n")
        got = [replies(c, 1, 60)[0] for c in (at_data, late)]
        self.figure(f"at DATA and a message that came meanwhile: {got}")
        self.assertEqual(got, [b"452"] * 2)
        for h in holders:
            h.close()
        wait_for(lambda: read_line(self.closing(connect(s.smtp))).startswith(b"220"), what="serving again")
        self.assertEqual(subjects(s.files()), {"before": 1})

    def test_smuggling_and_bad_envelopes_refused(self):
        mx, deliveries = real_exchanger(self) if ROOT else (None, [])
        s = self.server(domain_mx=[("far.test", mx, " 10")] * ROOT)
        smuggled = b"MAIL FROM:<ceo@bank.test>\r\nRCPT TO:<victim@far.test>\r\nDATA\r\nSubject: smuggled\r\n\r\npay\r\n.\r\n"
        with session(s.smtp) as c:
            for end in (b"\n.\r\n", b"\r.\r\n", b"\r\n.\n", b"\n.\n"):   # each ends a message for a reader that takes bare line ends
                c.sendall(ENVELOPE + b"RCPT TO:<x@far.test>\r\n" * ROOT + b"DATA\r\n")
                replies(c, 3 + ROOT)
                c.sendall(message("outer", b"hello") + end + smuggled + b"NOOP\r\n")
                self.assertEqual([read_line(c)[:9] for _ in range(2)], [b"554 5.5.2", b"250 OK\r\n"], end)
            for line in (b"MAIL FROM:<a@example.test\0>",   # a bare LF ends the line: test_commands
                         b"MAIL FROM:<a\x01b@example.org>", b"MAIL FROM:<" + b"a" * 250 + b"@example.org>",
                         b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test\0RCPT TO:<victim@third.test>",
                         b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test\rX>"):
                c.sendall(b"RSET\r\n" + line + b"\r\nNOOP\r\n")
                self.assertEqual([read_line(c)[:9] for _ in range(3 + line.count(b"\r\n"))][-2:], [b"501 5.1.3", b"250 OK\r\n"], line)
        send(s, message("clean"), to=["demo@example.test"] + ["x@far.test"] * ROOT)
        wait_for(lambda: len(deliveries) == ROOT, what="the clean message relayed")
        self.assertEqual((subjects(s.files()), [r for _, r, *_ in deliveries]), ({"clean": 1}, [["x@far.test"]] * ROOT))

    def test_message_files_are_private_whatever_the_umask(self):
        umask = os.umask(0o022)   # the server inherits it
        self.addCleanup(os.umask, umask)
        s = self.server()
        send(s, message("private"))
        mode = os.stat(os.path.join(s.mailbox(), s.messages()[0])).st_mode & 0o777
        self.figure(f"message file mode {mode:o}")
        self.assertEqual(mode, 0o600, f"{mode:o}")

    def test_journal_copy_of_a_big_message_is_bounded(self):
        s = self.server()
        m = s.mark()
        send(s, megabytes(5))
        s.wait_log(r"^Close \d+$", after=m)
        printed = sum(len(line.encode()) + 1 for line in s.log[m:])
        self.figure(f"{printed} bytes in {len(s.log) - m} lines for a 5 MB message")
        self.assertLess(printed, 16 << 10)
        self.assertTrue(any(line.endswith(" bytes left out]") for line in s.log[m:]), s.log[m:])
