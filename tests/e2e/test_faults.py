"""Faults of the machine and of peers: the server killed while it writes a message, a
missing, unreadable or damaged Users.txt, a client that stops reading, and many
clients that say nothing. The server never stops serving, never leaves part of a message
where a reader could take it, and never loses a message it has written."""
import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import EXE, ServerProcess, TIMEOUT, connect, read_line, untraced, wait_for  # noqa: E402

USERS = (("demo", "secret", "demo"), ("bob", "hunter2", "bob"))
NAME = re.compile(r"^\d{6}-\d{8}\.eml$")


def send(server, body, to=("demo@example.test",), timeout=TIMEOUT):
    m = smtplib.SMTP("127.0.0.1", server.smtp, timeout=timeout)
    try:
        m.sendmail("a@example.org", list(to), body)
        m.quit()
    finally:
        m.close()


def body_of(size, subject):
    """A message of about `size` bytes whose lines never start with a dot."""
    line = b"x" * 78 + b"\r\n"
    return b"Subject: " + subject.encode() + b"\r\n\r\n" + line * (size // len(line))


def sanitized(exe):
    """True when the executable carries AddressSanitizer, whose memory figures mean little."""
    out = subprocess.run(["ldd", exe], capture_output=True, text=True).stdout
    if "libasan" in out:
        return True
    with open(exe, "rb") as f:
        return b"__asan_init" in f.read()


def memory_mb(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise AssertionError(f"no {field} for {pid}")


def read_reply(sock, size):
    """One RETR reply of a `size`-byte message after its first line: the text and the dot line."""
    want = size + 3
    data = b""
    while len(data) < want:
        chunk = sock.recv(min(1 << 20, want - len(data)))
        if not chunk:
            raise AssertionError(f"connection closed after {len(data)} of {want} bytes")
        data += chunk
    return data


def pop3_stat(server, user="demo", password="secret"):
    p = server.pop3_login(user, password)
    try:
        return p.stat()
    finally:
        p.quit()


class KilledWhileWriting(unittest.TestCase):
    def test_sigkill_during_delivery_leaves_only_whole_messages(self):
        s = ServerProcess(users=USERS)
        self.addCleanup(s.__exit__)
        body = body_of(64 << 20, "big")
        copies = 6
        with connect(s.smtp, timeout=120) as c:
            read_line(c)
            c.sendall(b"MAIL FROM:<a@example.org>\r\n" + b"RCPT TO:<demo@example.test>\r\n" * copies + b"DATA\r\n")
            for _ in range(2 + copies):
                read_line(c)
            c.sendall(body + b".\r\n")
            # Killed once a copy is being written, before the message is acknowledged.
            box = s.mailbox()
            wait_for(lambda: any(n.startswith(".incoming-") for n in os.listdir(box)), timeout=120,
                     what="a delivery in progress")
            s.proc.send_signal(signal.SIGKILL)
            s.wait_exit()

        names = os.listdir(box)
        temporary = [n for n in names if n.startswith(".incoming-")]
        messages = [n for n in names if not n.startswith(".incoming-")]
        self.assertLess(len(messages), copies, "the kill came after every copy was written")
        for n in messages:
            self.assertRegex(n, NAME)
            self.assertEqual(untraced(s.read_message(n)), body, f"{n} is not the whole message")

        # At the next start the leftovers go, with a line each, and nothing else changes.
        s.proc.stdout.close()
        s.proc.stderr.close()
        m = s.mark()
        s.start()
        for n in temporary:
            s.wait_log(rf"^Removed unfinished delivery Users/demo/{re.escape(n)} \(\d+ bytes\)$", after=m)
        self.assertEqual(sorted(os.listdir(box)), sorted(messages))
        self.assertEqual(pop3_stat(s)[0], len(messages))
        send(s, b"Subject: after\r\n\r\nstill here\r\n")
        self.assertEqual(len(s.messages()), len(messages) + 1)


class BrokenUsersTable(unittest.TestCase):
    def setUp(self):
        self.s = ServerProcess(users=USERS)
        self.addCleanup(self.s.__exit__)
        self.table = os.path.join(self.s.folder, "Users.txt")
        self.s.put_message(b"Subject: for bob\r\n\r\nx\r\n", box="bob")

    def assert_login_fails_then_recovers(self, why):
        s = self.s
        m = s.mark()
        # Both lines are answered as always; the mailbox is just empty.
        self.assertEqual(pop3_stat(s, "bob", "hunter2"), (0, 0))
        line = s.wait_log(r"^Login of bob failed: ", after=m)
        self.assertRegex(line, why)
        send(s, b"Subject: smtp works\r\n\r\nx\r\n")
        self.assertEqual(len(s.messages()), 1)
        # Put right while the server runs: the next login sees it.
        if os.path.isdir(self.table):
            os.rmdir(self.table)
        with open(self.table, "w") as f:
            f.write("UserName,Password,MailID\nbob,hunter2,bob\n")
        self.assertEqual(pop3_stat(s, "bob", "hunter2")[0], 1)

    def test_missing(self):
        os.remove(self.table)
        self.assert_login_fails_then_recovers(r"53:Table file not found: .*Users\.txt$")

    def test_unreadable(self):
        # Root reads any file: a folder in its place is what cannot be read.
        os.remove(self.table)
        os.mkdir(self.table)
        self.assert_login_fails_then_recovers(r"70:Cannot read table file .*Users\.txt: file to open is a directory$")

    def test_malformed_lines_cost_only_themselves(self):
        with open(self.table, "w", newline="") as f:
            f.write('UserName,Password,MailID\ndemo,secret,demo\nbroken,"never closed,x\nshort,line\nbob,hunter2,bob\n')
        s = self.s
        m = s.mark()
        self.assertEqual(pop3_stat(s, "bob", "hunter2")[0], 1)
        s.wait_log(r"^Users\.txt line 3: a quoted field is never closed; the line is kept but not used$", after=m)
        s.wait_log(r"^Users\.txt line 4: 2 fields where the header has 3; the line is kept but not used$", after=m)
        s.put_message(b"Subject: for demo\r\n\r\nx\r\n")
        self.assertEqual(pop3_stat(s)[0], 1)


class Peers(unittest.TestCase):
    def setUp(self):
        self.s = ServerProcess(users=USERS)
        self.addCleanup(self.s.__exit__)

    def test_client_that_stops_reading_a_large_message(self):
        s = self.s
        big = body_of(50 << 20, "fifty megabytes")
        s.put_message(big)
        s.put_message(b"Subject: small\r\n\r\nx\r\n", box="bob")
        # A small receive buffer: the kernel must not take in most of the message itself.
        slow = socket.socket()
        self.addCleanup(slow.close)
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
        slow.settimeout(120)
        slow.connect(("127.0.0.1", s.pop3))
        read_line(slow)
        slow.sendall(b"USER demo\r\n")
        read_line(slow)
        slow.sendall(b"PASS secret\r\n")
        read_line(slow)
        slow.sendall(b"RETR 1\r\n")
        head = read_line(slow)
        self.assertEqual(head, b"+OK %d octets\r\n" % len(big))
        # It reads no more, and asks again: were that answered too, replies nobody reads
        # would pile up in the server's memory, 50 MB each.
        slow.sendall(b"RETR 1\r\n")

        # Everyone else is served meanwhile, on both ports and on the same mailbox.
        send(s, b"Subject: meanwhile\r\n\r\nx\r\n", to=("bob@example.test",))
        p = s.pop3_login("bob", "hunter2")
        self.assertEqual(p.stat()[0], 2)
        self.assertEqual(p.retr(1)[1], [b"Subject: small", b"", b"x"])
        p.quit()
        self.assertEqual(pop3_stat(s), (1, len(big)))
        self.assertEqual(s.count_log(r"^2<RETR 1"), 1, "a command of a client that does not read was answered")

        # Reading again, the slow client gets the whole message, then its second request is
        # answered in full.
        slow.settimeout(120)
        self.assertEqual(read_reply(slow, len(big)), big + b".\r\n")
        self.assertEqual(read_line(slow, timeout=120), head)
        self.assertEqual(read_reply(slow, len(big)), big + b".\r\n")
        slow.sendall(b"QUIT\r\n")
        self.assertEqual(read_line(slow), b"+OK Merivolant POP3 Closed\r\n")

    def test_retrieving_a_large_message_again_and_again(self):
        # Every reply is also a line of the log, which keeps 2000 lines: whole, twenty
        # 20 MB replies alone held 400 MB there.
        if sanitized(EXE):
            self.skipTest("memory figures of a sanitizer build say nothing")
        s = self.s
        big = body_of(20 << 20, "twenty megabytes")
        s.put_message(big)
        p = s.pop3_login()
        self.addCleanup(p.close)
        p.retr(1)
        before = memory_mb(s.proc.pid)
        for _ in range(30):
            self.assertEqual(p.retr(1)[0], b"+OK %d octets" % len(big))
        grown = memory_mb(s.proc.pid) - before
        self.assertLess(grown, 200, f"the server grew by {grown:.0f} MB")
        p.quit()

    def test_one_connection_cannot_hold_without_end(self):
        # Without a bound, RCPT lines alone grew the server nine times their size.
        s = self.s
        m = s.mark()
        with connect(s.smtp, timeout=120) as c:
            read_line(c)
            c.sendall(b"MAIL FROM:<a@example.org>\r\n")
            read_line(c)
            replies = c.makefile("rb")

            def read_all():
                try:
                    for _ in replies:
                        pass
                except OSError:
                    pass   # the server closed the connection
            reader = threading.Thread(target=read_all, daemon=True)
            reader.start()
            lines = b"RCPT TO:<demo@example.test>\r\n" * 20000
            with self.assertRaises(OSError):
                for _ in range(1000):   # 580 MB, were it all taken
                    c.sendall(lines)
            reader.join(TIMEOUT)
        s.wait_log(r"^2-Overflow: recipients of one message over \d+ bytes; connection closed$", after=m)

        send(s, b"Subject: after\r\n\r\nx\r\n")
        self.assertEqual(len(s.messages()), 1)

    def test_out_of_descriptors_new_connections_wait(self):
        # An accept that fails for want of a descriptor was retried at once, over and over:
        # the event loop spun at full speed until someone left. Now the listeners wait,
        # leaving descriptors for message files.
        s = self.s
        room = 40
        limit = room + 256
        subprocess.run(["prlimit", f"--pid={s.proc.pid}", f"--nofile={limit}:{limit}"], check=True)
        m = s.mark()
        greeted = []
        for _ in range(room):
            c = connect(s.pop3)
            self.addCleanup(c.close)
            self.assertEqual(read_line(c)[:4], b"+OK ")
            greeted.append(c)
        s.wait_log(rf"^Descriptors: {room} connections leave only the reserve of 256 \(limit {limit}\); new connections wait$", after=m)
        waiting = [connect(s.pop3) for _ in range(20)]
        for c in waiting:
            self.addCleanup(c.close)
        # Some leave: the ones waiting are taken in and greeted.
        m = s.mark()
        for c in greeted[:20]:
            c.close()
        s.wait_log(r"^Descriptors: accepting again$", after=m)
        for c in waiting:
            self.assertEqual(read_line(c)[:4], b"+OK ")
        for c in greeted[20:] + waiting:
            c.close()
        wait_for(lambda: s.count_log(r"^Close \d+$", after=m) == 60, what="every connection released")
        self.assertEqual(pop3_stat(s), (0, 0))

    def test_two_hundred_silent_clients(self):
        s = self.s
        m = s.mark()
        silent = [connect(s.smtp if i % 2 else s.pop3) for i in range(200)]
        for c in silent:
            self.addCleanup(c.close)
        wait_for(lambda: s.count_log(r"^ConnectionRequest ", after=m) >= 200, what="200 connections accepted")

        for i in range(5):
            send(s, b"Subject: normal %d\r\n\r\nx\r\n" % i)
        self.assertEqual(pop3_stat(s)[0], 5)

        m = s.mark()
        for c in silent:
            c.close()
        wait_for(lambda: s.count_log(r"^Close \d+$", after=m) >= 200, what="200 connections released")
        send(s, b"Subject: after\r\n\r\nx\r\n")
        self.assertEqual(len(s.messages()), 6)


if __name__ == "__main__":
    unittest.main()
