"""The server's spine: start-up and settings, greetings, connection indexes, the receive
buffer, the log on standard output, and bad input that must not stop the server."""
import errno
import re
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import HOST, ServerProcess, connect, free_port, read_line, wait_for  # noqa: E402


def refused(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == errno.ECONNREFUSED


def read_by_server(client, server_port):
    """True once the server has read all `client` sent: both kernel queues are empty."""
    rows = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):   # the server's side may be an IPv6 socket
        with open(table) as f:
            rows += [line.split() for line in f.readlines()[1:]]
    queues = {(int(r[1].split(":")[1], 16), int(r[2].split(":")[1], 16)): r[4].split(":") for r in rows}
    port = client.getsockname()[1]
    return int(queues[(port, server_port)][0], 16) == 0 and int(queues[(server_port, port)][1], 16) == 0


class Spine(unittest.TestCase):
    def setUp(self):
        # Only "localhost" itself means "not set up yet": other letters serve.
        self.s = ServerProcess(domain="LocalHost")
        self.addCleanup(self.s.__exit__)

    def assert_still_serving(self):
        with connect(self.s.smtp) as c:
            self.assertTrue(read_line(c).startswith(b"220 "))
            c.sendall(b"HELO client\r\n")
            self.assertEqual(read_line(c), f"250 {HOST}\r\n".encode())
        p = self.s.pop3_login()
        self.assertEqual(p.stat(), (0, 0))
        p.quit()

    def test_greetings_and_the_lowest_free_index(self):
        s = self.s
        a = connect(s.pop3)
        self.assertEqual(read_line(a), f"+OK {HOST} Merivolant POP3\r\n".encode())
        s.wait_log(r"^ConnectionRequest I=0 R=\d+$")
        s.wait_log(rf"^2>\+OK {HOST} Merivolant POP3$")   # the log shows what is sent, without CR LF
        with connect(s.smtp) as c:
            self.assertEqual(read_line(c), f"220 {HOST} Merivolant ESMTP\r\n".encode())
            s.wait_log(r"^ConnectionRequest I=1 R=\d+$")
            s.wait_log(rf"^3>220 {HOST} Merivolant ESMTP$")   # 3 while 2 is busy
            a.close()
            s.wait_log(r"^Close 2$")
            m = s.mark()
            with connect(s.pop3) as b:
                read_line(b)
                s.wait_log(r"^2>\+OK ", after=m)   # 2 again while 3 is still busy
                b.sendall(b"LIST\r\n")
                self.assertEqual(read_line(b) + read_line(b), b"+OK 0 0\r\n.\r\n")
        s.wait_log(r"^2<LIST\\r\\n$", after=m)
        s.wait_log(r"^2>\+OK 0 0\\r\\n\.$", after=m)   # a reply of several lines is one log line
        s.wait_log(r"^Close 3$", after=m)

    def test_command_in_two_chunks_is_handled_once(self):
        s = self.s
        with connect(s.pop3) as c:
            read_line(c)
            m = s.mark()
            c.sendall(b"NO")
            wait_for(lambda: read_by_server(c, s.pop3), what="the first chunk read")
            c.sendall(b"OP\r\n")
            self.assertEqual(read_line(c), b"+OK \r\n")
            c.sendall(b"NOOP\r\nSTAT\r\n")   # two lines in one chunk: one buffer, answered once
            self.assertEqual(read_line(c), b"+OK \r\n")
            c.sendall(b"STAT\r\n")
            self.assertEqual(read_line(c), b"+OK 0 0\r\n")
        s.wait_log(r"^Close 2$", after=m)
        self.assertEqual([line for line in s.log[m:] if line.startswith("2<")],
                         [r"2<NOOP\r\n", r"2<NOOP\r\nSTAT\r\n", r"2<STAT\r\n"])

    def test_binary_and_nul_bytes(self):
        s = self.s
        junk = b"\x00\xff\xfe\x01\x80binary\x00\x1b[2J\r\n"
        with connect(s.smtp) as c, connect(s.pop3) as p:
            read_line(c), read_line(p)
            c.sendall(junk)
            self.assertEqual(read_line(c), b"500 Syntax error\r\n")
            c.sendall(b"HELO \x00\xff\r\n")
            self.assertEqual(read_line(c), f"250 {HOST}\r\n".encode())
            p.sendall(junk)
            self.assertEqual(read_line(p), b"-ERR command error\r\n")
            p.sendall(b"USER \x00\xff\r\n")
            self.assertEqual(read_line(p), b"+OK all respons OK\r\n")
        self.assert_still_serving()

    def test_ten_megabyte_line_without_line_end(self):
        s = self.s
        with connect(s.smtp) as big:
            read_line(big)
            big.sendall(b"A" * (10 << 20))
            self.assert_still_serving()   # others are served while the long line is open
            big.sendall(b"\r\n")
            self.assertEqual(read_line(big), b"500 Syntax error\r\n")
        self.assertEqual(len(s.wait_log(r"^2<AAAA")), len("2<") + (10 << 20) + len(r"\r\n"))

    def test_peer_that_leaves_mid_line_or_resets(self):
        s = self.s
        for port, partial, linger in ((s.pop3, b"USER de", 0), (s.smtp, b"MAIL FROM:<a@b", 0), (s.pop3, b"LIST\r\nRETR 1\r\n", 1)):
            m = s.mark()
            c = connect(port)
            c.sendall(partial)
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, bytes([linger]) + bytes(7))   # linger 1: RST, replies unread
            c.close()
            s.wait_log(r"^Close 2$", after=m)
            if not linger:   # the unfinished line is never handed on (earlier sessions may still be logging)
                self.assertEqual(s.count_log("^2<" + re.escape(partial.decode()), after=m), 0)
            self.assert_still_serving()


class Settings(unittest.TestCase):
    def test_localhost_domain_listens_nowhere(self):
        pop3, smtp = free_port(), free_port()
        for settings in ({"Domain": "localhost", "Pop3": pop3, "SMTP": smtp}, {"Pop3": pop3, "SMTP": smtp}):
            with self.subTest(settings=settings), ServerProcess(settings=settings, start=False) as s:
                s.start(wait=False)
                wait_for(lambda: any("Nothing listens" in line for line in s.log), what="the notice")
                self.assertTrue(refused(pop3) and refused(smtp))
                self.assertIsNone(s.proc.poll())

    def test_bad_port_stops_start_up_with_number_and_description(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            used = taken.getsockname()[1]
            for key, value, why in (("Pop3", "abc", "abc"), ("SMTP", "abc", "abc"), ("SMTP", used, "in use")):
                settings = {"Domain": "example.test", "Pop3": free_port(), "SMTP": free_port()}
                settings[key] = value
                with self.subTest(key=key, value=value), ServerProcess(settings=settings, start=False) as s:
                    s.start(wait=False)
                    self.assertNotEqual(s.wait_exit(), 0)
                    self.assertRegex(s.stderr.decode("utf-8", "replace"), rf"\b\d+:.*{why}")


if __name__ == "__main__":
    unittest.main()
