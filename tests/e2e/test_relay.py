"""Relaying to other domains through real sockets: a real SMTP server (aiosmtpd) on port 25
of a loopback address of its own, the lookup script, a refused connection, and a peer that
never answers. The dialogue line by line is unit-tested. Needs root for port 25."""
import os
import re
import smtplib
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import HOST, TIMEOUT, ServerProcess, bind_loopback, connect, read_line, real_exchanger, untraced, wait_for  # noqa: E402


# Lines aiosmtpd accepts (under 1000 bytes), one starting with ".", 8-bit bytes and NUL.
TRICKY = (b"From: sender@example.test\r\nSubject: relay\r\n\r\n.leading dot\r\n.\r\n"
          b"caf\xc3\xa9 \xe9\xff \x00 nul\r\n" + b"r" * 900 + b"\r\n\r\nlast\r\n")


def send(server, recipients, message):
    with smtplib.SMTP("127.0.0.1", server.smtp, timeout=TIMEOUT) as m:
        m.sendmail("sender@example.test", recipients, message)


def relay_indexes(server, domain, after=0):
    """Socket indexes of the relays to `domain`, from the Transfer log lines; waits for one."""
    rx = re.compile(rf"^(\d+)>Transfer {re.escape(domain)}$")
    wait_for(lambda: server.count_log(rx, after), what=f"a relay to {domain}")
    return [int(m.group(1)) for m in map(rx.match, server.log[after:]) if m]


@unittest.skipUnless(os.geteuid() == 0, "port 25 needs root")
class Relay(unittest.TestCase):
    def test_relay_to_a_real_server(self):
        mx, deliveries = real_exchanger(self)
        refusing = bind_loopback(25, listen=False)   # bound, never listening: the connection is refused
        self.addCleanup(refusing.close)
        script = tempfile.NamedTemporaryFile("w", suffix=".sh", delete=False)
        self.addCleanup(os.unlink, script.name)
        script.write('#!/bin/sh\necho "$1" >> getmx-calls.txt\ncase "$1" in\n'
                     f'found.test) printf "%s\\tMX preference = 10, mail exchanger = {mx}\\r\\n" "$1" ;;\nesac > "$2"\n')
        script.close()

        with ServerProcess(domain_mx=[("refused.test", refusing.getsockname()[0], " 10")], getmx=script.name) as s:
            send(s, ["a@found.test", "x@nomx.test", "u@refused.test", "demo@example.test", "b@found.test"], TRICKY)
            wait_for(lambda: len(deliveries) == 2, what="two deliveries")
            # One delivery per recipient, byte for byte; SIZE counts the text as stored, without its last line end.
            # SIZE counts the text as sent, trace line included, without its last line end.
            self.assertEqual(sorted((f, r, untraced(c)) for f, r, c, _ in deliveries),
                             [("sender@example.test", [f"{r}@found.test"], TRICKY) for r in "ab"])
            for _, _, content, options in deliveries:
                self.assertEqual(options, [f"SIZE={len(re.sub(rb'(?m)^[.]', b'..', content)) - 2}"])
            i = relay_indexes(s, "found.test")[0]
            for line in (rf"^Connect {i}$", rf"^{i}>EHLO {re.escape(HOST)}$", rf"^{i}>QUIT $", rf"^Close {i}$"):
                s.wait_log(line)
            [i] = relay_indexes(s, "nomx.test")   # no mail exchanger: logged and released
            s.wait_log(rf"^{i}-RelayError x@nomx\.test no mail exchanger found$")
            s.wait_log(rf"^Close {i}$")
            [i] = relay_indexes(s, "refused.test")
            s.wait_log(rf"^{i}-ErrorEvent \d+")
            s.wait_log(rf"^Close {i}$")
            self.assertEqual(len(s.messages()), 1)

            # The found exchanger was kept; an empty answer was not, so it is asked again.
            m = s.mark()
            send(s, ["c@found.test", "y@nomx.test"], b"Subject: again\r\n\r\nx\r\n")
            wait_for(lambda: len(deliveries) == 3, what="the third delivery")
            relay_indexes(s, "nomx.test", after=m)
            with open(os.path.join(s.folder, "getmx-calls.txt")) as f:
                self.assertEqual(f.read().split(), ["found.test", "nomx.test", "nomx.test"])
            with open(os.path.join(s.folder, "DomainMX.txt")) as f:
                self.assertEqual(f.read(), f"Domain,MX,Priority\nrefused.test,{refusing.getsockname()[0]}, 10\nfound.test,{mx}, 10\n")

    def test_peer_that_never_answers_blocks_nobody(self):
        listener = bind_loopback(25)
        self.addCleanup(listener.close)
        with ServerProcess(domain_mx=[("silent.test", listener.getsockname()[0], " 10")]) as s:
            send(s, ["x@silent.test"], b"Subject: silent\r\n\r\nx\r\n")
            listener.settimeout(TIMEOUT)
            held, _ = listener.accept()
            [i] = relay_indexes(s, "silent.test")
            s.wait_log(rf"^Connect {i}$")
            # Both ports serve while the relay waits for a greeting.
            send(s, ["demo@example.test"], b"Subject: local\r\n\r\nx\r\n")
            p = s.pop3_login()
            self.assertEqual(p.stat()[0], 1)
            p.quit()
            with connect(s.pop3) as c:
                self.assertTrue(read_line(c).startswith(b"+OK "))
            self.assertEqual(s.count_log(rf"^Close {i}$"), 0)
            held.close()   # when the peer gives up, the relay is released
            s.wait_log(rf"^Close {i}$")


if __name__ == "__main__":
    unittest.main()
