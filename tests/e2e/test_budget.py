"""One memory budget that holds: a large message relayed to exchangers that take nothing, large messages
fetched by clients that read nothing, and many messages waiting for their checks keep the server within
MemoryBudget and a fixed overhead, while a bystander is answered at once and new clients are served."""
import concurrent.futures
import smtplib
import socket
import socketserver
import threading
import time
import unittest

import dnszone
from harness import ROOT, SANITIZED, TIMEOUT, Case, bind_loopback, connect, megabytes, memory_kb, message, read_line, send, session, smtp

BUDGET = 64 << 20
# What the server may hold beyond the budget: its own code and tables, Qt's and the kernel's
# buffers per connection, malloc's slack. Measured at 20-30 MB on Debian 12 (see bench/README.md).
OVERHEAD = 48 << 20
# What one connection sending a message holds beyond the budget (Qt's buffers, its share of the heap; README).
UPLOADING = 256 << 10


class Watch:
    """While it runs: the server's peak VmRSS, the longest wait of a logged-in bystander's NOOP, and whether a new
    SMTP and POP3 client was greeted every half second."""

    def __init__(self, test, s):
        self.s, self.peak, self.noop, self.refused, self.running = s, 0, 0.0, [], True
        self.bystander = test.closing(session(s.pop3))
        for line in (b"USER demo\r\n", b"PASS secret\r\n"):
            self.bystander.sendall(line)
            read_line(self.bystander)
        self.thread = threading.Thread(target=self.run)
        self.thread.start()
        test.addCleanup(self.stop)

    def run(self):
        while self.running:
            self.peak = max(self.peak, memory_kb(self.s.proc.pid) << 10)
            start = time.monotonic()
            self.bystander.sendall(b"NOOP\r\n")
            read_line(self.bystander)
            self.noop = max(self.noop, time.monotonic() - start)
            for port in (self.s.smtp, self.s.pop3):
                with connect(port) as c:
                    greeting = read_line(c)
                    if not greeting.startswith((b"220", b"+OK")):
                        self.refused.append(greeting)
            time.sleep(0.2)

    def stop(self):
        self.running = False
        self.thread.join(TIMEOUT)


def upload(server, text):   # from outside, so the checks apply: the reply to the end of DATA, and how long it took
    try:
        with smtp(server, source="127.0.0.2", timeout=120) as m:
            m.mail("a@example.org")
            m.rcpt("demo@example.test")
            if (code := m.docmd("DATA")[0]) != 354:
                return code, 0.0
            m.send(text + b".\r\n")
            start = time.monotonic()
            return m.getreply()[0], time.monotonic() - start
    except (smtplib.SMTPConnectError, smtplib.SMTPServerDisconnected):
        return 421, 0.0


def txt(*strings):   # a TXT record of the name asked, an hour to live
    data = b"".join(bytes([len(x)]) + x for x in strings)
    return b"\xc0\x0c\0\x10\0\x01\0\0\x0e\x10" + len(data).to_bytes(2, "big") + data


# Every TXT answer 60 KB: an SPF record that includes two names under the one asked (ten lookups a check), and padding.
WIDE = [txt(b"v=spf1 include:a.%{d} include:b.%{d} -all")] + [txt(*[b"x" * 255] * 4)] * 58


def wide(query):
    return query[:2] + b"\x84\0\0\1" + len(WIDE).to_bytes(2, "big") + bytes(4) + query[12:query.index(b"\0", 12) + 5] + b"".join(WIDE)


class Silent(socketserver.ThreadingTCPServer):   # an exchanger that says 354 and then never reads
    daemon_threads, request_queue_size, stopped = True, 300, threading.Event()

    def finish_request(self, c, _):
        f = c.makefile("rb")
        c.sendall(b"220 mx.silent.test ESMTP\r\n")
        while (verb := f.readline()[:4].upper()) not in (b"DATA", b""):
            c.sendall(b"250-mx.silent.test\r\n250 SIZE\r\n" if verb == b"EHLO" else b"250 OK\r\n")
        c.sendall(b"354 go ahead\r\n")
        self.stopped.wait()


@unittest.skipIf(SANITIZED, "a sanitizer build: its memory figures say nothing")
class Budget(Case):
    SERVER = None   # each case starts the server it needs

    def check(self, watch, baseline, what):
        watch.stop()
        self.figure(f"{what}: VmRSS {baseline >> 20} MB at rest, peak {watch.peak >> 20} MB (budget {BUDGET >> 20} MB); "
                    f"longest bystander NOOP {watch.noop * 1000:.0f} ms; {len(watch.refused)} new clients turned away")
        self.assertLess(watch.peak, BUDGET + OVERHEAD)
        self.assertLess(watch.noop, 1.0)   # a hang, not a figure: figures go to bench/README.md
        self.assertEqual(watch.refused, [])

    def test_relay_to_a_hundred_exchangers_that_take_nothing(self):
        with bind_loopback(25) as free:
            address = free.getsockname()[0]
        exchanger = Silent((address, 25), None)
        threading.Thread(target=exchanger.serve_forever, daemon=True).start()
        self.addCleanup(lambda: (exchanger.stopped.set(), exchanger.shutdown(), exchanger.server_close()))
        domains = [f"d{i}.test" for i in range(100)]   # a hundred relays at once, not 20 to one domain
        s = self.server(settings={"MemoryBudget": BUDGET}, domain_mx=[(d, address, " 10") for d in domains])
        baseline = memory_kb(s.proc.pid) << 10
        watch = Watch(self, s)
        send(s, megabytes(5, "to a hundred"), to=[f"x@{d}" for d in domains], timeout=120)
        deadline = time.monotonic() + 60
        while s.count_log(r"^\d+>DATA$") < 100 and time.monotonic() < deadline:
            time.sleep(0.5)
        time.sleep(5)   # every relay has written what the exchanger's buffers take
        self.assertEqual(s.count_log(r"^\d+>DATA$"), 100)
        self.check(watch, baseline, "5 MB to 100 exchangers that read nothing")

    def test_five_unread_fetches_of_a_hundred_megabytes(self):
        s = self.server(settings={"MemoryBudget": BUDGET})
        s.put_message(megabytes(100, "big"))
        baseline = memory_kb(s.proc.pid) << 10
        watch = Watch(self, s)
        for _ in range(5):
            c = self.closing(socket.socket())
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 10)
            c.connect(("127.0.0.1", s.pop3))
            read_line(c)
            for line in (b"USER demo\r\n", b"PASS secret\r\n", b"RETR 1\r\n"):
                c.sendall(line)
                read_line(c)
        time.sleep(5)
        self.check(watch, baseline, "five unread RETRs of 100 MB")

    @unittest.skipUnless(ROOT, "needs root: a name server on port 53")
    def test_messages_waiting_for_their_checks(self):
        """A hundred clients from outside at once, each message in one read, their checks asking a name server that
        never answers: the messages taken stay in the budget until they are stored, and each gets its reply within
        the checks' 20 s however many wait for a thread."""
        dns = self.closing(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        dns.bind(("127.0.55.9", 53))
        for clients, size in ((100, 1 << 20), (100, 512 << 10)):   # more than the budget takes; less
            with self.subTest(clients=clients, size=size):
                s = self.server(settings={"MemoryBudget": BUDGET, "RelayNetworks": "127.0.0.1/32", "DnsServer": "127.0.55.9"})
                rest = memory_kb(s.proc.pid) << 10
                text = message("waits", (b"y" * 78 + b"\r\n") * (size // 80))
                with concurrent.futures.ThreadPoolExecutor(clients) as pool:
                    taken = [wait for code, wait in pool.map(lambda _: upload(s, text), range(clients)) if code == 250]
                peak = memory_kb(s.proc.pid, "VmHWM") << 10
                self.figure(f"{clients} x {size >> 10} KiB waiting for their checks: VmHWM {peak >> 20} MB ({rest >> 20} MB at rest), "
                            f"{len(taken)} taken, the last {max(taken, default=0):.0f} s after its text")
                self.assertLess(peak, rest + BUDGET + clients * UPLOADING)
                self.assertLess(max(taken, default=0), 30)   # 20 s, and a query under way then

    def test_a_name_server_of_sixty_kilobyte_answers(self):
        s = self.server(settings={"MemoryBudget": BUDGET, "SpfReject": "yes", "RelayNetworks": "10.0.0.0/8",
                                  "DnsServer": dnszone.cut_short(self, wide)})
        taken = []

        def senders(k):   # MAIL FROM a domain of its own and RSET, over and over
            with smtp(s, timeout=120) as c:
                for i in range(30):
                    taken.append(c.mail(f"a@d{k}-{i}.wide.test")[0])
                    c.rset()
        clients = [threading.Thread(target=senders, args=(k,)) for k in range(4)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()
        peak = memory_kb(s.proc.pid, "VmHWM") << 10
        self.figure(f"120 SPF checks of 60 KB answers: VmHWM {peak >> 20} MB (budget {BUDGET >> 20} MB)")
        self.assertEqual(taken, [250] * 120)
        self.assertLess(peak, BUDGET + OVERHEAD)
