"""The server's spine: start-up and settings, greetings, connection indexes, the receive
buffer, the log on standard output, and bad input that must not stop the server."""
import os
import re
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import HOST, ServerProcess, connect, escaped, free_port, read_line  # noqa: E402


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


class Connections(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess()
        self.addCleanup(self.server.__exit__)

    def test_greetings(self):
        s = self.server
        with connect(s.smtp) as c:
            self.assertEqual(read_line(c), f"220 {HOST} Merivolant ESMTP\r\n".encode())
        with connect(s.pop3) as c:
            self.assertEqual(read_line(c), f"+OK {HOST} Merivolant POP3\r\n".encode())
        # The greetings reach the log as sent, without their CR LF.
        s.wait_log(rf"^\d+>220 {HOST} Merivolant ESMTP$")
        s.wait_log(rf"^\d+>\+OK {HOST} Merivolant POP3$")

    def test_lowest_free_index_is_used(self):
        s = self.server
        m = s.mark()
        a = connect(s.pop3)
        read_line(a)
        s.wait_log(r"^ConnectionRequest I=0 R=\d+$", after=m)
        s.wait_log(r"^2>\+OK ", after=m)
        a.close()
        s.wait_log(r"^Close 2$", after=m)

        m = s.mark()
        b = connect(s.pop3)
        read_line(b)
        s.wait_log(r"^2>\+OK ", after=m)   # 2 again, after its release
        c = connect(s.smtp)
        read_line(c)
        s.wait_log(r"^ConnectionRequest I=1 R=\d+$", after=m)
        s.wait_log(r"^3>220 ", after=m)   # 3 while 2 is busy
        b.sendall(b"NOOP\r\n")
        self.assertEqual(read_line(b), b"+OK \r\n")
        s.wait_log(r"^2<NOOP\\r\\n$", after=m)
        s.wait_log(r"^2>\+OK $", after=m)
        b.close()
        c.close()
        s.wait_log(r"^Close 2$", after=m)
        s.wait_log(r"^Close 3$", after=m)

    def test_command_in_two_chunks_is_handled_once(self):
        s = self.server
        with connect(s.pop3) as c:
            read_line(c)
            m = s.mark()
            c.sendall(b"NO")
            time.sleep(0.3)   # nothing to poll for: a half line is not logged
            self.assertEqual(s.count_log(r"^2<", after=m), 0)
            c.sendall(b"OP\r\n")
            self.assertEqual(read_line(c), b"+OK \r\n")
            # Two lines in one chunk are one buffer, logged whole and answered once.
            c.sendall(b"NOOP\r\nNOOP\r\n")
            self.assertEqual(read_line(c), b"+OK \r\n")
            c.sendall(b"STAT\r\n")
            self.assertEqual(read_line(c), b"+OK 0 0\r\n")
        s.wait_log(r"^Close 2$", after=m)
        self.assertEqual(s.count_log(r"^2<NOOP\\r\\n$", after=m), 1)
        self.assertEqual(s.count_log(r"^2<NOOP\\r\\nNOOP\\r\\n$", after=m), 1)
        self.assertEqual(s.count_log(r"^2>\+OK $", after=m), 2)
        self.assertGreaterEqual(s.count_log(r"^2-SendComplete$", after=m), 3)

    def test_multi_line_reply_is_one_log_line(self):
        s = self.server
        with connect(s.pop3) as c:
            read_line(c)
            c.sendall(b"LIST\r\n")
            self.assertEqual(read_line(c) + read_line(c), b"+OK 0 0\r\n.\r\n")
        s.wait_log("^" + re.escape("2>" + escaped("+OK 0 0\r\n.")) + "$")


class BadInput(unittest.TestCase):
    """Nothing a peer sends may stop the server from serving the next client."""

    def setUp(self):
        self.server = ServerProcess()
        self.addCleanup(self.server.__exit__)

    def assert_still_serving(self):
        with connect(self.server.smtp) as c:
            self.assertTrue(read_line(c).startswith(b"220 "))
            c.sendall(b"HELO client\r\n")
            self.assertEqual(read_line(c), f"250 {HOST}\r\n".encode())
        p = self.server.pop3_login()
        self.assertEqual(p.stat(), (0, 0))
        p.quit()

    def test_binary_and_nul_bytes(self):
        s = self.server
        junk = b"\x00\xff\xfe\x01\x80binary\x00\x1b[2J\r\n"
        with connect(s.smtp) as c:
            read_line(c)
            c.sendall(junk)
            self.assertEqual(read_line(c), b"500 Syntax error\r\n")
            c.sendall(b"HELO \x00\xff\r\n")
            self.assertEqual(read_line(c), f"250 {HOST}\r\n".encode())
        with connect(s.pop3) as c:
            read_line(c)
            c.sendall(junk)
            self.assertEqual(read_line(c), b"-ERR command error\r\n")
            c.sendall(b"USER \x00\xff\r\nPASS \x00\r\n")
            self.assertEqual(read_line(c), b"+OK all respons OK\r\n")
            c.sendall(b"STAT\r\n")
            self.assertEqual(read_line(c), b"+OK 0 0\r\n")
        self.assert_still_serving()

    def test_ten_megabyte_line_without_line_end(self):
        s = self.server
        big = connect(s.smtp)
        self.addCleanup(big.close)
        read_line(big)
        big.sendall(b"A" * (10 << 20))
        # Others are served while the long line is still open.
        self.assert_still_serving()
        big.sendall(b"\r\n")
        self.assertEqual(read_line(big), b"500 Syntax error\r\n")
        line = s.wait_log(r"^2<AAAA")
        self.assertEqual(len(line), len("2<") + (10 << 20) + len(r"\r\n"))
        big.close()
        s.wait_log(r"^Close 2$")
        self.assert_still_serving()

    def test_peer_closes_mid_line(self):
        s = self.server
        for port, partial in ((s.pop3, b"USER de"), (s.smtp, b"MAIL FROM:<a@b"), (s.smtp, b"\x00\x00")):
            m = s.mark()
            with connect(port) as c:
                read_line(c)
                c.sendall(partial)
            s.wait_log(r"^Close 2$", after=m)
            self.assertEqual(s.count_log(r"^2<", after=m), 0)
            self.assert_still_serving()

    def test_reset_without_reading(self):
        s = self.server
        m = s.mark()
        c = connect(s.pop3)
        c.sendall(b"LIST\r\nRETR 1\r\n")
        # RST instead of FIN, replies unread
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        c.close()
        s.wait_log(r"^Close 2$", after=m)
        self.assert_still_serving()


class Settings(unittest.TestCase):
    def test_localhost_domain_listens_nowhere(self):
        pop3, smtp = free_port(), free_port()
        for settings in ({"Domain": "localhost", "Pop3": pop3, "SMTP": smtp}, {"Pop3": pop3, "SMTP": smtp}):
            with self.subTest(settings=settings), ServerProcess(settings=settings, start=False) as s:
                s.start(wait=False)
                s.wait_log(r"Nothing listens")
                self.assertTrue(refused(pop3))
                self.assertTrue(refused(smtp))
                time.sleep(0.3)   # nothing to poll for: it must simply still be there
                self.assertIsNone(s.proc.poll())
                self.assertEqual(s.count_log(r"^Tandrivel serving"), 0)

    def test_a_domain_other_than_localhost_listens(self):
        # Case matters: only "localhost" itself means "not set up yet".
        with ServerProcess(domain="LocalHost") as s:
            with connect(s.smtp) as c:
                self.assertTrue(read_line(c).startswith(b"220 "))

    def assert_fails_to_start(self, server, port_text):
        server.start(wait=False)
        self.assertNotEqual(server.wait_exit(), 0)
        err = server.stderr.decode("utf-8", "replace")
        # error number, ":" and a description that names the setting's value
        self.assertRegex(err, r"\b\d+:\s*\S")
        self.assertIn(port_text, err)

    def test_port_that_is_not_a_number(self):
        for key in ("Pop3", "SMTP"):
            with self.subTest(key=key):
                settings = {"Domain": "example.test", "Pop3": free_port(), "SMTP": free_port()}
                settings[key] = "abc"
                with ServerProcess(settings=settings, start=False) as s:
                    self.assert_fails_to_start(s, "abc")

    def test_port_in_use(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            for key in ("pop3", "smtp"):
                with self.subTest(key=key), ServerProcess(start=False, **{key: port}) as s:
                    self.assert_fails_to_start(s, str(port))
                    self.assertRegex(s.stderr.decode(), r"\b\d+:.*in use")


if __name__ == "__main__":
    unittest.main()
