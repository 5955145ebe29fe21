"""Relaying to other domains: real SMTP peers on port 25 of loopback addresses of their
own (aiosmtpd, and small scripted peers that refuse at each step), the mail-exchanger
script, and peers that must not hold up anyone else. Needs root for port 25."""
import csv
import os
import re
import smtplib
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import (HOST, TIMEOUT, ServerProcess, bind_loopback, connect, loopback_for_port,  # noqa: E402
                     read_line, wait_for)

from aiosmtpd.controller import Controller  # noqa: E402

# Lines aiosmtpd accepts (under 1000 bytes), one starting with ".", 8-bit bytes and NUL.
TRICKY = (b"From: sender@example.test\r\nTo: alice@remote.test\r\nSubject: relay\r\n\r\n"
          b".leading dot\r\n.\r\ncaf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"r" * 900 + b"\r\n\r\nlast\r\n")


def stuffed(message):
    return re.sub(rb"(?m)^\.", b"..", message)


class Recorder:
    """aiosmtpd handler that keeps every delivery."""

    def __init__(self):
        self.deliveries = []

    async def handle_DATA(self, server, session, envelope):
        self.deliveries.append(dict(mail_from=envelope.mail_from, rcpt_tos=list(envelope.rcpt_tos),
                                    content=envelope.original_content, mail_options=list(envelope.mail_options)))
        return "250 OK queued"


def start_recorder(test):
    recorder = Recorder()
    addr = loopback_for_port(25)
    controller = Controller(recorder, hostname=addr, port=25, server_hostname="mx.remote.test",
                            ready_timeout=TIMEOUT)
    controller.start()
    test.addCleanup(controller.stop)
    return addr, recorder


class ScriptedPeer(threading.Thread):
    """A small SMTP server on port 25 of its own loopback address that refuses at one step
    ("greeting", "EHLO", "MAIL", "RCPT", "DATA", "end" after the message) or at none, and
    records every line it hears."""

    REFUSAL = {"greeting": b"554 not today", "EHLO": b"502 no EHLO", "MAIL": b"550 sender refused",
               "RCPT": b"550 no such user", "DATA": b"554 no data", "end": b"550 message refused"}

    def __init__(self, refuse_at=None):
        super().__init__(daemon=True)
        self.refuse_at = refuse_at
        self.listener = bind_loopback(25)
        self.addr = self.listener.getsockname()[0]
        self.received = []
        self.done = threading.Event()
        self.start()

    def run(self):
        self.listener.settimeout(TIMEOUT * 2)
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        finally:
            self.listener.close()
        with conn:
            conn.settimeout(TIMEOUT * 2)
            send = lambda text: conn.sendall(text + b"\r\n")  # noqa: E731
            send(self.REFUSAL["greeting"] if self.refuse_at == "greeting" else b"220 peer ready")
            in_data = False
            for line in conn.makefile("rb"):
                self.received.append(line)
                if in_data:
                    if line == b".\r\n":
                        in_data = False
                        send(self.REFUSAL["end"] if self.refuse_at == "end" else b"250 queued")
                    continue
                verb = line[:4].upper().decode("ascii", "replace")
                if verb == "QUIT":
                    send(b"221 bye")
                    break
                if verb == self.refuse_at:
                    send(self.REFUSAL[verb])
                elif verb == "EHLO":
                    # The reply comes in two pieces; the MAIL line must wait for the second.
                    conn.sendall(b"250-peer\r\n250-PIPELINING\r\n")
                    time.sleep(0.2)
                    send(b"250 SIZE")
                elif verb == "DATA":
                    send(b"354 go ahead")
                    in_data = True
                else:
                    send(b"250 ok")
        self.done.set()


def relay_indexes(server, domain, count=1, after=0):
    """Socket indexes of the relays to `domain`, from the Transfer log lines; waits for `count`."""
    rx = re.compile(rf"^(\d+)>Transfer {re.escape(domain)}$")
    found = []

    def enough():
        found[:] = [int(m.group(1)) for m in map(rx.match, server.log[after:]) if m]
        return len(found) >= count

    wait_for(enough, what=f"{count} relay(s) to {domain}")
    return found


@unittest.skipUnless(os.geteuid() == 0, "port 25 needs root")
class RelayToRealServer(unittest.TestCase):
    def setUp(self):
        self.mx, self.recorder = start_recorder(self)
        self.server = ServerProcess(domain_mx=[("remote.test", self.mx, " 10"), ("Example.test", self.mx, " 10")])
        self.addCleanup(self.server.__exit__)

    def send(self, recipients, message):
        m = smtplib.SMTP("127.0.0.1", self.server.smtp, timeout=TIMEOUT)
        m.sendmail("sender@example.test", recipients, message)
        m.quit()

    def test_message_arrives_as_sent(self):
        s = self.server
        m = s.mark()
        self.send(["alice@remote.test"], TRICKY)
        wait_for(lambda: self.recorder.deliveries, what="the delivery")
        d = self.recorder.deliveries[0]
        self.assertEqual(d["mail_from"], "sender@example.test")
        self.assertEqual(d["rcpt_tos"], ["alice@remote.test"])
        self.assertEqual(d["content"], TRICKY)
        # SIZE counts the text as stored, without its last line end
        self.assertEqual(d["mail_options"], [f"SIZE={len(stuffed(TRICKY)) - 2}"])
        [i] = relay_indexes(s, "remote.test", after=m)
        s.wait_log(rf"^Connect {i}$", after=m)
        s.wait_log(rf"^{i}>EHLO {re.escape(HOST)}$", after=m)
        s.wait_log(rf"^{i}>QUIT $", after=m)
        s.wait_log(rf"^Close {i}$", after=m)

    def test_each_recipient_gets_its_own_delivery(self):
        s = self.server
        m = s.mark()
        # The served domain in other letters is another domain.
        rcpts = ["a@remote.test", "demo@example.test", "b@remote.test", "demo@Example.test", "c@remote.test"]
        self.send(rcpts, b"Subject: fan out\r\n\r\nhello\r\n")
        relay_indexes(s, "remote.test", 3, after=m)
        relay_indexes(s, "Example.test", after=m)
        wait_for(lambda: len(self.recorder.deliveries) >= 4, what="four deliveries")
        self.assertEqual(sorted(d["rcpt_tos"] for d in self.recorder.deliveries),
                         [["a@remote.test"], ["b@remote.test"], ["c@remote.test"], ["demo@Example.test"]])
        for d in self.recorder.deliveries:
            self.assertEqual(d["content"], b"Subject: fan out\r\n\r\nhello\r\n")
        self.assertEqual(s.count_log(r"^\d+>Transfer ", after=m), 4)
        self.assertEqual(len(s.messages()), 1)


@unittest.skipUnless(os.geteuid() == 0, "port 25 needs root")
class Refusals(unittest.TestCase):
    def test_every_refusal_ends_with_quit(self):
        stages = [None, "greeting", "EHLO", "MAIL", "RCPT", "DATA", "end"]
        peers = {stage: ScriptedPeer(stage) for stage in stages}
        domain = {stage: f"{stage or 'accept'}.test".lower() for stage in stages}
        nobody = loopback_for_port(25)   # nothing listens there
        rows = [(domain[st], p.addr, " 10") for st, p in peers.items()] + [("closed.test", nobody, " 10")]
        message = b"Subject: refusals\r\n\r\nbody\r\n.dot\r\n"
        with ServerProcess(domain_mx=rows) as s:
            m = s.mark()
            client = smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT)
            client.sendmail("sender@example.test", [f"u@{domain[st]}" for st in stages] + ["u@closed.test"], message)
            client.quit()
            for stage, peer in peers.items():
                with self.subTest(stage=stage):
                    self.assertTrue(peer.done.wait(TIMEOUT), f"{stage}: heard {peer.received}")
                    heard = peer.received
                    self.assertEqual(heard[-1], b"QUIT \r\n")
                    self.assertEqual(heard.count(b"QUIT \r\n"), 1)
                    steps = [line[:4] for line in heard[:-1]]
                    expect = {"greeting": [], "EHLO": [b"EHLO"], "MAIL": [b"EHLO", b"MAIL"],
                              "RCPT": [b"EHLO", b"MAIL", b"RCPT"], "DATA": [b"EHLO", b"MAIL", b"RCPT", b"DATA"]}
                    if stage in expect:
                        self.assertEqual(steps, expect[stage])
                    else:
                        # The whole dialogue, exactly as it goes on the wire.
                        self.assertEqual(heard, [f"EHLO {HOST}\r\n".encode(),
                                                 b"MAIL FROM:<sender@example.test> SIZE=%d\r\n" % (len(stuffed(message)) - 2),
                                                 f"RCPT TO:<u@{domain[stage]}>\r\n".encode(), b"DATA\r\n",
                                                 *stuffed(message).splitlines(keepends=True), b".\r\n", b"QUIT \r\n"])
                    [i] = relay_indexes(s, domain[stage], after=m)
                    s.wait_log(rf"^{i}>QUIT $", after=m)
                    s.wait_log(rf"^Close {i}$", after=m)
            # A refused connection is logged and released.
            [i] = relay_indexes(s, "closed.test", after=m)
            s.wait_log(rf"^{i}-ErrorEvent \d+", after=m)
            s.wait_log(rf"^Close {i}$", after=m)
            p = s.pop3_login()   # and the server goes on
            self.assertEqual(p.stat(), (0, 0))
            p.quit()


@unittest.skipUnless(os.geteuid() == 0, "port 25 needs root")
class LookupScript(unittest.TestCase):
    def server_with_script(self, body):
        path = os.path.join(self.tmp, "GetMX.sh")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n# records each call, then answers through the pipe\n"
                    'printf "%s %s\\n" "$1" "$#" >> getmx-calls.txt\n' + body)
        s = ServerProcess(getmx=path)
        self.addCleanup(s.__exit__)
        return s

    def setUp(self):
        t = tempfile.TemporaryDirectory()
        self.addCleanup(t.cleanup)
        self.tmp = t.name

    def calls(self, s):
        try:
            with open(os.path.join(s.folder, "getmx-calls.txt")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def test_no_mail_exchanger(self):
        s = self.server_with_script(': > "$2"\n')
        for attempt in (1, 2):
            m = s.mark()
            client = smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT)
            client.sendmail("sender@example.test", ["x@nomx.test", "demo@example.test"], b"Subject: no mx\r\n\r\nx\r\n")
            client.quit()
            [i] = relay_indexes(s, "nomx.test", after=m)
            s.wait_log(rf"^{i}-\w+ x@nomx\.test", after=m)
            s.wait_log(rf"^Close {i}$", after=m)
            # An empty answer is not kept: the next message asks again.
            self.assertEqual(self.calls(s), ["nomx.test 2"] * attempt)
        with open(os.path.join(s.folder, "DomainMX.txt")) as f:
            self.assertEqual(f.read().strip(), "Domain,MX,Priority")
        self.assertEqual(len(s.messages()), 2)
        p = s.pop3_login()
        self.assertEqual(p.stat()[0], 2)
        p.quit()

    def test_records_are_used_and_kept(self):
        mx, recorder = start_recorder(self)
        s = self.server_with_script(
            'printf "%s\\tMX preference = 20, mail exchanger = 127.0.0.254\\r\\n'
            '%s\\tMX preference = 10, mail exchanger = ' + mx + '\\r\\n" "$1" "$1" > "$2"\n')
        for n in (1, 2):
            client = smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT)
            client.sendmail("sender@example.test", ["x@found.test"], b"Subject: found\r\n\r\nx\r\n")
            client.quit()
            wait_for(lambda: len(recorder.deliveries) == n, what=f"delivery {n}")
        # The second message was answered from the table.
        self.assertEqual(self.calls(s), ["found.test 2"])
        with open(os.path.join(s.folder, "DomainMX.txt"), newline="") as f:
            rows = [tuple(r) for r in csv.reader(f)]
        self.assertEqual(sorted(rows[1:]), sorted([("found.test", "127.0.0.254", " 20"), ("found.test", mx, " 10")]))


@unittest.skipUnless(os.geteuid() == 0, "port 25 needs root")
class SilentPeer(unittest.TestCase):
    def test_silent_peer_blocks_nobody(self):
        listener = bind_loopback(25)
        self.addCleanup(listener.close)
        held = []
        accepted = threading.Event()

        def accept():
            conn, _ = listener.accept()
            held.append(conn)
            accepted.set()

        threading.Thread(target=accept, daemon=True).start()
        with ServerProcess(domain_mx=[("silent.test", listener.getsockname()[0], " 10")]) as s:
            m = s.mark()
            client = smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT)
            client.sendmail("sender@example.test", ["x@silent.test"], b"Subject: silent\r\n\r\nx\r\n")
            client.quit()
            self.assertTrue(accepted.wait(TIMEOUT))
            [i] = relay_indexes(s, "silent.test", after=m)
            s.wait_log(rf"^Connect {i}$", after=m)
            # Others are served at once while the relay waits for a greeting.
            started = time.time()
            client = smtplib.SMTP("127.0.0.1", s.smtp, timeout=5)
            client.sendmail("sender@example.test", ["demo@example.test"], b"Subject: local\r\n\r\nx\r\n")
            client.quit()
            p = s.pop3_login()
            self.assertEqual(p.stat()[0], 1)
            p.quit()
            with connect(s.pop3) as c:
                self.assertTrue(read_line(c).startswith(b"+OK "))
            self.assertLess(time.time() - started, 5)
            self.assertEqual(s.count_log(rf"^Close {i}$", after=m), 0)
            # When the peer gives up, the relay is released.
            held[0].close()
            s.wait_log(rf"^Close {i}$", after=m)


if __name__ == "__main__":
    unittest.main()
