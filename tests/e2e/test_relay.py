"""Relaying to a real SMTP server (aiosmtpd), to a domain without MX, to a refused port, to a silent peer; needs root."""
import pathlib
import re
import unittest

from harness import ROOT, TIMEOUT, Case, bind_loopback, message, pop3_stat, real_exchanger, send, stuffed, untraced, wait_for

# Lines aiosmtpd accepts (under 1000 bytes), lines starting with ".", 8-bit bytes and NUL.
TRICKY = message("relay", b".leading dot\r\n.\r\ncaf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"r" * 900 + b"\r\n\r\nlast\r\n")


def relay_index(server, domain, after=0):   # of the latest relay to `domain`; waits for one
    rx = re.compile(rf"^(\d+)>Transfer {re.escape(domain)}$")
    wait_for(lambda: server.count_log(rx, after), what=f"a relay to {domain}")
    return [m[1] for m in map(rx.match, server.log[after:]) if m][-1]


@unittest.skipUnless(ROOT, "port 25 needs root")
class Relay(Case):
    def test_relay_to_a_real_server(self):
        mx, deliveries = real_exchanger(self)
        refusing = self.closing(bind_loopback(25))
        getmx = ('#!/bin/sh\necho "$1" >> getmx-calls.txt\ncase "$1" in\n'
                 f'found.test) printf "%s\\tMX preference = 10, mail exchanger = {mx}\\r\\n" "$1" ;;\nesac > "$2"\n')
        s = self.server(domain_mx=[("refused.test", refusing.getsockname()[0], " 10")], getmx=getmx)
        send(s, TRICKY, to=["a@found.test", "x@localhost", "u@refused.test", "demo@example.test", "b@found.test"])
        wait_for(lambda: len(deliveries) == 2, what="two deliveries")
        # One delivery per recipient, byte for byte under the trace line; SIZE counts the text as
        # it travels, without its last line end.
        self.assertEqual(sorted((f, r, untraced(c)) for f, r, c, *_ in deliveries),
                         [("a@example.org", [f"{r}@found.test"], TRICKY) for r in "ab"])
        self.assertEqual([d[3] for d in deliveries], [[f"SIZE={len(stuffed(c)) - 2}"] for _, _, c, *_ in deliveries])
        # Every relay is released, also when the connection is refused; a domain without MX is
        # tried at its own address (localhost: nothing on port 25 there), and both wait in the queue.
        for domain in ("found.test", "localhost", "refused.test"):
            s.wait_log(rf"^Close {relay_index(s, domain)}$")
        for rcpt in ("x@localhost", "u@refused.test"):
            s.wait_log(rf"^Queue \S+ <{rcpt}>: deferred \(.+\); next attempt ")
        self.assertEqual(len(s.messages()), 1)
        # The found exchanger was kept; an empty answer was not, so it is asked again.
        m = s.mark()
        send(s, message("again"), to=["c@found.test", "y@localhost"])
        wait_for(lambda: len(deliveries) == 3, what="the third delivery")
        relay_index(s, "localhost", after=m)
        self.assertEqual(pathlib.Path(s.folder, "getmx-calls.txt").read_text().split(), ["found.test", "localhost", "localhost"])
        self.assertEqual(pathlib.Path(s.folder, "DomainMX.txt").read_text(),
                         f"Domain,MX,Priority\nrefused.test,{refusing.getsockname()[0]}, 10\nfound.test,{mx}, 10\n")

    def test_peer_that_never_answers_blocks_nobody(self):
        listener = self.closing(bind_loopback(25))
        listener.listen()
        s = self.server(domain_mx=[("silent.test", listener.getsockname()[0], " 10")])
        send(s, message("silent"), to=["x@silent.test"])
        listener.settimeout(TIMEOUT)
        held, _ = listener.accept()
        i = relay_index(s, "silent.test")
        # Both ports serve while the relay waits for a greeting.
        send(s, message("local"))
        self.assertEqual(pop3_stat(s)[0], 1)
        self.assertEqual(s.count_log(rf"^Close {i}$"), 0)
        held.close()   # when the peer gives up, the relay is released
        s.wait_log(rf"^Close {i}$")

