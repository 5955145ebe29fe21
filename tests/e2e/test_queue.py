"""Relaying through the queue: byte for byte to a real SMTP server (aiosmtpd); nothing acknowledged is lost,
temporary failures are tried again, refusals and expiries come back as delivery status notices, every MX is
tried, and a slow lookup blocks nobody; needs root."""
import os
import pathlib
import re
import signal
import smtplib
import subprocess
import time
import unittest

from harness import ROOT, TIMEOUT, Case, bind_loopback, message, real_exchanger, send, session, read_line, relay_index, stuffed, untraced, wait_for

# Lines aiosmtpd accepts (under 1000 bytes), lines starting with ".", 8-bit bytes and NUL.
TRICKY = message("relay", b".leading dot\r\n.\r\ncaf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"r" * 900 + b"\r\n\r\nlast\r\n")


# A lookup script that answers after `delay` seconds with the given (preference, host) records.
def getmx(records, delay=0):
    lines = "".join(f'printf "%s\\tMX preference = {p}, mail exchanger = {h}\\r\\n" "$1"\n' for p, h in records)
    return f"#!/bin/sh\nsleep {delay}\n{{\n{lines}}} > \"$2\"\n"


def option(server, name):   # `Tandrivel --queue` / `--flush` beside the running server
    return subprocess.run([os.path.join(server.folder, "Tandrivel"), name], capture_output=True, timeout=TIMEOUT,
                          env=dict(os.environ, QT_QPA_PLATFORM="offscreen")).stdout.decode()


@unittest.skipUnless(ROOT, "needs root: port 25")
class Queue(Case):
    SERVER = None   # each test lays out its own server

    def test_relay_to_a_real_server(self):
        mx, deliveries = real_exchanger(self)
        refusing = self.closing(bind_loopback(25))
        getmx = ('#!/bin/sh\necho "$1" >> getmx-calls.txt\ncase "$1" in\n'
                 f'found.test) printf "%s\\tMX preference = 10, mail exchanger = {mx}\\r\\n" "$1" ;;\nesac > "$2"\n')
        s = self.server(domain_mx=[("refused.test", refusing.getsockname()[0], " 10")], getmx=getmx)
        send(s, TRICKY, to=["a@found.test", "x@nowhere.invalid", "u@refused.test", "demo@example.test", "b@found.test"])
        wait_for(lambda: len(deliveries) == 1, what="the delivery")
        # Both recipients of the domain in one transaction, byte for byte under the trace line; SIZE
        # counts the text as it travels, without its last line end.
        self.assertEqual([(f, r, untraced(c)) for f, r, c, *_ in deliveries], [("a@example.org", ["a@found.test", "b@found.test"], TRICKY)])
        self.assertEqual([d[3] for d in deliveries], [[f"SIZE={len(stuffed(c)) - 2}"] for _, _, c, *_ in deliveries])
        # Every relay is released, also when the connection is refused; a domain without MX is
        # tried at its own address (nowhere.invalid has none), and both wait in the queue.
        for domain in ("found.test", "nowhere.invalid", "refused.test"):
            s.wait_log(rf"^Close {relay_index(s, domain)}$")
        for rcpt in ("x@nowhere.invalid", "u@refused.test"):
            s.wait_log(rf"^Queue \S+ <{rcpt}>: deferred \(.+\); next attempt ")
        self.assertEqual(len(s.messages()), 1)
        # The found exchanger was kept; an empty answer was not, so it is asked again.
        m = s.mark()
        send(s, message("again"), to=["c@found.test", "y@nowhere.invalid"])
        wait_for(lambda: len(deliveries) == 2, what="the second delivery")
        relay_index(s, "nowhere.invalid", after=m)
        self.assertEqual(pathlib.Path(s.folder, "getmx-calls.txt").read_text().split(), ["found.test", "nowhere.invalid", "nowhere.invalid"])
        self.assertRegex(pathlib.Path(s.folder, "DomainMX.txt").read_text(),   # hand-written rows as they were, learned ones marked
                         rf"^Domain,MX,Priority\nrefused\.test,{refusing.getsockname()[0]}, 10\nfound\.test,{mx}, 10 \(from DNS until [0-9TZ:-]+\)\n$")

    def test_killed_after_250_relayed_after_restart(self):
        mx, deliveries = real_exchanger(self)
        s = self.server(getmx=getmx([(10, mx)], delay=3))
        # The lookup the killed server started waits for a reader that is gone.
        self.addCleanup(subprocess.run, ["pkill", "-f", os.path.join(s.folder, "GetMX.sh")])
        c = smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT)
        c.sendmail("demo@example.test", ["far@away.test"], message("survives"))
        s.proc.send_signal(signal.SIGKILL)   # before QUIT, while the lookup still sleeps
        s.wait_exit()
        c.close()
        self.assertEqual(deliveries, [])
        s.start()
        s.wait_log(r"^Queue: 1 messages for 1 recipients read back in \d+ ms$")
        wait_for(lambda: len(deliveries) == 1, what="the delivery after the restart")
        self.assertEqual(deliveries[0][1], ["far@away.test"])
        s.wait_log(r"<far@away\.test>: delivered to ")
        wait_for(lambda: os.listdir(os.path.join(s.folder, "Queue")) == [], what="an empty queue")

    def test_etrn_flush_and_listing(self):
        mx, deliveries = real_exchanger(self, answers=["451 4.3.0 later", "452 4.3.1 full"])
        s = self.server(domain_mx=[("away.test", mx, "10")], settings={"RelayRetry": 3600})
        send(s, message("held"), to=["far@away.test"])
        s.wait_log(r"deferred \(451 4\.3\.0 later\)")
        listing = option(s, "--queue")
        self.assertIn(": 1 messages, 1 recipients", listing)
        self.assertRegex(listing, r"<a@example\.org> -> <far@away\.test>  attempts 1  next \S+ \S+  last: 451 4\.3\.0 later")
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
            c.ehlo("client.test")
            self.assertEqual(c.docmd("ETRN", "away.test"), (250, b"OK, queuing for node away.test started"))
        s.wait_log(r"deferred \(452 4\.3\.1 full\)")
        self.assertIn("trying every deferred recipient now", option(s, "--flush"))
        s.wait_log(r"<far@away\.test>: delivered to ")
        self.assertIn(": 0 messages, 0 recipients", option(s, "--queue"))
        self.assertEqual(len(deliveries), 1)

    def test_refused_and_expired_come_back(self):
        # A notice's fields are test_addresses.py's; a refusal at RCPT is test_relay_many.py's.
        mx, deliveries = real_exchanger(self, answers=["550 5.1.1 no such user"] * 2)
        silent = self.closing(bind_loopback(25))
        silent.listen()   # takes the connection, never greets
        s = self.server(domain_mx=[("refusing.test", mx, "10"), ("silent.test", silent.getsockname()[0], "10")],
                        settings={"RelayExpire": 5})
        for rcpt in ("nobody@refusing.test", "x@silent.test"):
            send(s, message(rcpt), to=[rcpt], sender="demo@example.test")
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:   # a notice itself is never answered
            c.sendmail("", ["nobody@refusing.test"], message("a notice"))
        s.wait_log(r"<nobody@refusing\.test>: no notice: the message is itself a notice")
        s.wait_log(r"<x@silent\.test>: expired after \d+ attempts", timeout=TIMEOUT + 10)
        wait_for(lambda: len(s.messages()) == 2, what="two notices")
        statuses = {re.search(rb"Final-Recipient: rfc822; (\S+)\r\nAction: failed\r\nStatus: (\S+)", t).groups() for t in s.files()}
        self.assertEqual(statuses, {(b"nobody@refusing.test", b"5.1.1"), (b"x@silent.test", b"4.4.7")})
        self.assertEqual(deliveries, [])

    def test_second_exchanger_when_first_refuses(self):
        mx, deliveries = real_exchanger(self)
        refusing = self.closing(bind_loopback(25))
        s = self.server(getmx=getmx([(10, refusing.getsockname()[0]), (20, mx)]))
        send(s, message("second"), to=["far@two.test"])
        wait_for(lambda: len(deliveries) == 1, what="the delivery to the second exchanger")
        s.wait_log(rf"<far@two\.test>: {refusing.getsockname()[0]} .*; trying the next exchanger$")
        s.wait_log(rf"<far@two\.test>: delivered to {mx} ")

    def test_slow_lookup_blocks_nobody(self):
        mx, deliveries = real_exchanger(self)
        s = self.server(getmx=getmx([(10, mx)], delay=3))
        pop = session(s.pop3)
        for line in (b"USER demo\r\n", b"PASS secret\r\n"):
            pop.sendall(line)
            read_line(pop)
        send(s, message("slow"), to=["far@slow.test"])
        waits = []
        while not deliveries and len(waits) < 400:
            start = time.monotonic()
            pop.sendall(b"NOOP\r\n")
            self.assertTrue(read_line(pop).startswith(b"+OK"))
            waits.append(time.monotonic() - start)
            time.sleep(0.01)
        wait_for(lambda: deliveries, what="the delivery after the slow lookup")
        self.assertGreater(len(waits), 50)   # the lookup took its 3 s meanwhile
        # Far below the lookup's 3 s, with room for a machine busy elsewhere.
        self.assertLess(max(waits), 0.5, f"slowest NOOP during the lookup: {max(waits):.3f} s")
        pop.close()


if __name__ == "__main__":
    unittest.main()
