"""The spine: start-up and settings, greetings, connection indexes, bad input, abrupt peers."""
import re
import socket

from harness import HOST, TIMEOUT, Case, connect, listening, pop3_stat, read_line, session, wait_for


class Spine(Case):
    SERVER = {"domain": "LocalHost"}   # only "localhost" itself means "not set up yet"

    def assert_serving(self):
        with session(self.s.smtp) as c:
            c.sendall(b"NOOP\r\n")
            self.assertEqual(read_line(c)[:4], b"250 ")
        self.assertEqual(pop3_stat(self.s), (0, 0))

    def test_greetings_and_the_lowest_free_index(self):
        s = self.s
        a = connect(s.pop3)
        self.assertEqual(read_line(a), f"+OK {HOST} Merivolant POP3\r\n".encode())
        s.wait_log(r"^2>\+OK ")
        with connect(s.smtp) as c:
            self.assertEqual(read_line(c), f"220 {HOST} Merivolant ESMTP\r\n".encode())
            s.wait_log(r"^3>220 ")   # 3 while 2 is busy
            a.close()
            s.wait_log(r"^Close 2$")
            m = s.mark()
            with session(s.pop3) as b:
                s.wait_log(r"^2>\+OK ", after=m)   # 2 again while 3 is still busy
                b.sendall(b"LIST\r\n")
                self.assertEqual(read_line(b) + read_line(b), b"+OK 0 0\r\n.\r\n")

    def test_junk_and_abrupt_peers(self):
        s = self.s
        junk = b"\x00\xff\xfe\x01\x80binary\x00\x1b[2J\r\n"
        for port, lines, how in ((s.smtp, (junk, b"HELO \x00\xff\r\n"), "reads"), (s.pop3, (junk, b"USER \x00\xff\r\n"), "reads"),
                                 (s.pop3, (b"USER de",), "mid-line"), (s.smtp, (b"MAIL FROM:<a@b",), "mid-line"),
                                 (s.pop3, (b"LIST\r\nRETR 1\r\n",), "resets")):
            with self.subTest(lines=lines, how=how):
                m = s.mark()
                c = self.closing(session(port))
                for line in lines:
                    c.sendall(line)
                    if how == "reads":   # each line answered
                        self.assertTrue(read_line(c).endswith(b"\r\n"))
                linger = 1 if how == "resets" else 0   # linger on with no time: RST, replies unread
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, bytes([linger]) + bytes(7))
                c.close()
                wait_for(lambda: s.count_log(r"^Close \d+$") == s.count_log(r"^ConnectionRequest "), what="every session gone")
                if how == "mid-line":   # the unfinished line is never handed on
                    self.assertEqual(s.count_log(r"^\d+<" + re.escape(lines[0].decode()), after=m), 0)
                self.assert_serving()

    def test_long_lines(self):
        with session(self.s.smtp) as long:
            long.sendall(b"NOOP " + b"A" * 600 + b"\r\n")
            self.assertEqual(read_line(long), b"500 5.5.2 Line too long\r\n")
            with self.assertRaises(OSError):   # no line end in sight: that connection goes
                for _ in range(160):
                    long.sendall(b"A" * 65536)
            self.assert_serving()


class Settings(Case):
    def test_localhost_listens_nowhere_and_bad_ports_or_addresses_stop_start_up(self):
        self.assertEqual(listening(self.s.proc.pid), {self.s.pop3, self.s.smtp})   # set up, for comparison
        with socket.create_server(("127.0.0.1", 0)) as taken:
            for settings, why in (({"Domain": "localhost"}, None), ({"Domain": None}, None), ({"Pop3": "abc"}, "abc"),
                                  ({"SMTP": "abc"}, "abc"), ({"SMTP": taken.getsockname()[1]}, "in use"),
                                  ({"Listen": "127.0.0.2,nowhere"}, 'Listen: "nowhere" is not an IPv4 or IPv6 address'),
                                  ({"Listen": "198.51.100.7"}, "of 198.51.100.7: ")):
                with self.subTest(settings=settings):
                    s = self.server(settings=settings, wait=False)
                    if why:   # with a number and a description
                        self.assertNotEqual(s.wait_exit(), 0)
                        s.wait_log(rf"\b\d+:.*{why}")
                    else:   # only the window
                        s.wait_log("Nothing listens")
                        self.assertEqual(listening(s.proc.pid), set())   # its ports may serve someone else by now
                        self.assertIsNone(s.proc.poll())

    def test_listen_only_where_told(self):
        # 127.0.0.1 holds both ports, bound and not listening: a server that listened on every
        # address could not start, and a connection there is refused.
        held = [self.closing(socket.socket()) for _ in range(2)]
        for h in held:
            h.bind(("127.0.0.1", 0))
        smtp_port, pop3_port = (h.getsockname()[1] for h in held)
        listen = "127.0.0.2"
        with socket.socket(socket.AF_INET6) as v6:   # and IPv6, where this machine has it
            try:
                v6.bind(("::1", 0))
                listen += ", [::1]"
            except OSError:
                pass
        self.server(settings={"Listen": listen, "SMTP": smtp_port, "Pop3": pop3_port})
        for port, greeting in ((smtp_port, b"220 "), (pop3_port, b"+OK ")):
            with socket.create_connection(("127.0.0.2", port), TIMEOUT) as c:
                self.assertTrue(read_line(c).startswith(greeting))
            self.assertRaises(ConnectionRefusedError, connect, port)
