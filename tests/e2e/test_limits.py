"""Abuse limits: silent connections time out, one address gets only so many connections, a
memory budget turns new mail away without losing what was acknowledged, smuggled envelopes
and bare line ends are refused, files are private, the journal copy of the log is bounded, and
the relays of one message hold its text once."""
import concurrent.futures
import os
import socket
import sys
import threading
import time
import unittest

from harness import (ROOT, SANITIZED, TIMEOUT, Case, bind_loopback, connect, memory_kb, message, read_line, real_exchanger,
                     send, session, subjects, wait_for)

ENVELOPE = b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\n"


def megabytes(n, subject="big"):
    return message(subject, (b"y" * 78 + b"\r\n") * ((n << 20) // 80))


def replies(sock, n):
    return [read_line(sock) for _ in range(n)]


def until_closed(sock, since):   # what the server sent before it closed, and after how many seconds
    sock.settimeout(TIMEOUT)
    data = b""
    while chunk := sock.recv(4096):
        data += chunk
    return data, time.monotonic() - since


class Limits(Case):
    def setUp(self):   # each case starts the server it needs
        pass

    def figure(self, text):   # what a case measured, for the run's output
        print(f"\n{self.id().split('.')[-1]}: {text}", file=sys.stderr)

    def test_silent_connections_time_out(self):
        s = self.server(settings={"SmtpTimeout": 2, "Pop3Timeout": 2})
        name = s.put_message(message("kept"))
        start = time.monotonic()
        greeted, mid_envelope, pop3_greeted = (self.closing(session(port)) for port in (s.smtp, s.smtp, s.pop3))
        mid_envelope.sendall(ENVELOPE)
        replies(mid_envelope, 2)
        marked = s.pop3_login()
        marked.dele(1)
        for sock, said in ((greeted, b"421 4.4.2 Timeout\r\n"), (mid_envelope, b"421 4.4.2 Timeout\r\n"),
                           (pop3_greeted, b""), (marked.sock, b"")):
            text, after = until_closed(sock, start)
            self.figure(f"closed after {after:.1f} s, saying {text!r}")
            self.assertEqual(text, said)
            self.assertTrue(1.9 < after < 2 + 4, f"closed after {after:.1f} s with a time-out of 2 s")
        wait_for(lambda: s.messages() == [name], what="the mark taken back")

    def test_connections_per_address(self):
        s = self.server(settings={"MaxPerAddress": 20})
        m = s.mark()
        done, kept = threading.Event(), []

        def knock(i):   # the greeted stay open; the refused must be told and closed
            c = connect(s.smtp if i % 2 else s.pop3)
            first = read_line(c)
            if first[:3] in (b"220", b"+OK"):
                kept.append(c)
                return "greeted"
            with c:
                said = first + until_closed(c, 0)[0]
            return "refused" if said == (b"421 4.7.0 Too many connections\r\n", b"-ERR Too many connections\r\n")[i % 2 == 0] else said

        def storm():
            with concurrent.futures.ThreadPoolExecutor(32) as pool:
                self.outcomes = list(pool.map(knock, range(2000)))
            done.set()
        threading.Thread(target=storm, daemon=True).start()
        waits = []
        for _ in range(200):   # meanwhile another address is served at once
            started = time.monotonic()
            with socket.create_connection(("127.0.0.1", s.pop3), TIMEOUT, source_address=("127.0.0.2", 0)) as other:
                self.assertTrue(read_line(other).startswith(b"+OK"))
            waits.append(time.monotonic() - started)
            if done.wait(0.05):
                break
        self.assertTrue(done.wait(120), "2000 connections took over two minutes")
        for c in kept:
            self.addCleanup(c.close)
        counts = {o: self.outcomes.count(o) for o in set(self.outcomes)}
        self.figure(f"outcomes {counts}; 127.0.0.2 greeted {len(waits)} times during the storm, slowest {max(waits):.3f} s")
        self.assertEqual(counts, {"greeted": 20, "refused": 1980})
        self.assertLess(max(waits), 1.0)
        self.assertEqual(s.count_log(r"^Refused ", after=m), 1, "refusals of one address logged more than once a minute")

    def test_memory_budget_drops_nothing_acknowledged(self):
        s = self.server(settings={"MemoryBudget": 64 << 20})
        body = megabytes(10)[len(message("big", b"")):]
        clients = [self.closing(session(s.smtp, 120)) for _ in range(20)]
        for c in clients:   # connected before the budget is spent
            c.sendall(ENVELOPE)
            self.assertEqual([r[:3] for r in replies(c, 2)], [b"250", b"250"])
        start = threading.Barrier(20, timeout=TIMEOUT)

        def upload(i):
            start.wait()
            clients[i].sendall(b"DATA\r\n")
            if (reply := read_line(clients[i], 120))[:3] == b"354":
                clients[i].sendall(message(f"upload {i}", body) + b".\r\n")
                reply = read_line(clients[i], 120)
            return reply[:3]
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            codes = list(pool.map(upload, range(20)))
        self.figure(f"{codes.count(b'250')} uploads taken, {codes.count(b'452')} told 452")
        self.assertEqual(set(codes) - {b"250", b"452"}, set(), codes)
        self.assertEqual(subjects(s.files()), {f"upload {i}": 1 for i, code in enumerate(codes) if code == b"250"})

    def test_text_that_comes_while_the_budget_is_spent_is_refused(self):
        s = self.server(settings={"MemoryBudget": 1 << 20})
        send(s, message("before"))
        holder, late, at_data = (self.closing(session(s.smtp, 60)) for _ in range(3))
        for c in (holder, late):
            c.sendall(ENVELOPE + b"DATA\r\n")
            replies(c, 3)
        at_data.sendall(ENVELOPE)
        replies(at_data, 2)
        holder.sendall(megabytes(10)[:-2])   # held without its last line end: the budget is spent
        wait_for(lambda: read_line(self.closing(connect(s.smtp))).startswith(b"421 4.3.2"), what="new connections turned away")
        at_data.sendall(b"DATA\r\n")
        late.sendall(message("late") + b".\r\n")
        holder.sendall(b"\r\n.\r\n")
        got = [read_line(c, 60)[:3] for c in (at_data, late, holder)]
        self.figure(f"at DATA, a small message, the message that spent it: {got}")
        self.assertEqual(got, [b"452"] * 3)
        self.assertEqual(subjects(s.files()), {"before": 1})

    def test_smuggling_and_bad_envelopes_refused(self):
        mx, deliveries = real_exchanger(self) if ROOT else (None, [])
        s = self.server(domain_mx=[("far.test", mx, " 10")] if ROOT else ())
        relayed = b"RCPT TO:<x@far.test>\r\n" if ROOT else b""
        smuggled = b"MAIL FROM:<ceo@bank.test>\r\nRCPT TO:<victim@far.test>\r\nDATA\r\nSubject: smuggled\r\n\r\npay\r\n.\r\n"
        long_address = b"a" * 250 + b"@example.org"
        with session(s.smtp) as c:
            for end in (b"\n.\r\n", b"\r.\r\n", b"\r\n.\n", b"\n.\n"):   # ends a message for a reader that takes bare line ends
                c.sendall(ENVELOPE + relayed + b"DATA\r\n")
                replies(c, 3 + bool(relayed))
                c.sendall(message("outer", b"hello") + end + smuggled + b"NOOP\r\n")
                self.assertEqual([r[:9] for r in replies(c, 2)], [b"554 5.5.2", b"250 OK\r\n"], end)
            for line in (b"MAIL FROM:<a@example.test\nRCPT TO:<victim@third.test\nX>", b"MAIL FROM:<a@example.test\0>",
                         b"MAIL FROM:<a\x01b@example.org>", b"MAIL FROM:<" + long_address + b">",
                         b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test\0RCPT TO:<victim@third.test>",
                         b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test\rX>"):
                c.sendall(b"RSET\r\n" + line + b"\r\nNOOP\r\n")
                got = [r[:9] for r in replies(c, 3 + line.count(b"\r\n"))]
                self.assertEqual(got[-2:], [b"501 5.1.3", b"250 OK\r\n"], line)
        send(s, message("clean"), to=["demo@example.test"] + ["x@far.test"] * ROOT)
        if ROOT:
            wait_for(lambda: deliveries, what="the clean message relayed")
        self.assertEqual(subjects(s.files()), {"clean": 1})
        self.assertEqual([r for _, r, _, _ in deliveries], [["x@far.test"]] if ROOT else [])

    def test_message_files_are_private_whatever_the_umask(self):
        umask = os.umask(0o022)   # the server inherits it
        try:
            s = self.server()
        finally:
            os.umask(umask)
        send(s, message("private"))
        [name] = s.messages()
        mode = os.stat(os.path.join(s.mailbox(), name)).st_mode & 0o777
        self.figure(f"message file mode {mode:o}")
        self.assertEqual(mode, 0o600, f"{mode:o}")

    def test_journal_copy_of_a_big_message_is_bounded(self):
        s = self.server()
        m = s.mark()
        send(s, megabytes(5))
        s.wait_log(r"^Close \d+$", after=m)
        lines = s.log[m:]
        printed = sum(len(line.encode()) + 1 for line in lines)
        self.figure(f"{printed} bytes in {len(lines)} lines for a 5 MB message")
        self.assertLess(printed, 16 << 10)
        self.assertTrue(any(line.endswith(" bytes left out]") for line in lines), lines)

    @unittest.skipUnless(ROOT, "the silent exchanger needs port 25, which needs root")
    def test_a_hundred_relays_hold_one_text(self):
        # Any 5 MB message grows the server by more (buffers, the log keeps long lines): 100 relays
        # of it must not grow it by much more than one does.
        grown = {}
        for n in (1, 100):
            listener = self.closing(bind_loopback(25))
            listener.listen(200)   # accepts and never answers
            s = self.server(domain_mx=[("far.test", listener.getsockname()[0], " 10")])
            before = memory_kb(s.proc.pid)
            send(s, megabytes(5), to=[f"x{i}@far.test" for i in range(n)], timeout=120)
            time.sleep(3)
            grown[n] = memory_kb(s.proc.pid) - before
            self.assertEqual(s.count_log(r"^\d+>Transfer far\.test$"), n)
        self.figure(f"VmRSS grew by {grown[1]} kB with one relay waiting, by {grown[100]} kB with 100")
        if not SANITIZED:   # memory figures of a sanitizer build say nothing
            self.assertLess(grown[100] - grown[1], 10 << 10, grown)
