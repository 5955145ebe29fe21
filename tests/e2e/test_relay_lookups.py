"""The relay as exchangers see it: MX rows learned from DNS asked again after their TTL, a lookup script
that hangs stopped, a kept connection whose RSET is refused replaced at once, and every connection
leaving from RelaySourceAddress."""
import contextlib
import pathlib
import re
import unittest

from harness import Case, message, real_exchanger, send, wait_for

SOURCE = "127.0.0.254"
# The answer of each domain is the file answers/<domain>; hang.test never answers.
GETMX = """#!/bin/sh
if [ "$1" = hang.test ]; then sleep 600 & echo $! > hang.pid; wait; fi
cat "answers/$1" > "$2"
"""


def seen(deliveries):   # (client address, subject) of each message an exchanger took
    return [(d[6][0], re.search(rb"(?m)^Subject: (.*?)\r?$", d[2])[1].decode()) for d in deliveries]


class RelayLookups(Case):
    SERVER = dict(getmx=GETMX, settings={"RelaySourceAddress": SOURCE})

    def answer(self, domain, host, ttl=None):
        folder = pathlib.Path(self.s.folder, "answers")
        folder.mkdir(exist_ok=True)
        ttl = f"ttl = {ttl}, " if ttl is not None else ""
        (folder / domain).write_bytes(f"{domain}\tMX preference = 10, {ttl}mail exchanger = {host}\r\n".encode())

    def test_learned_mx_asked_again_after_its_ttl(self):
        (old, old_taken), (new, new_taken) = real_exchanger(self), real_exchanger(self)
        self.answer("moved.test", old, ttl=1)
        send(self.s, message("before"), to=["a@moved.test"])
        wait_for(lambda: old_taken, what="the first message at the old exchanger")
        rows = pathlib.Path(self.s.folder, "DomainMX.txt").read_text()
        self.assertRegex(rows, rf"moved\.test,{re.escape(old)}, 10 \(from DNS until \d{{4}}-\d\d-\d\dT\d\d:\d\d:\d\dZ\)")
        self.answer("moved.test", new, ttl=60)
        self.s.wait_log(r"^\d+-Timeout: nothing for \d+ s; connection closed")   # the kept connection gone, and the TTL past
        send(self.s, message("after"), to=["a@moved.test"])
        wait_for(lambda: new_taken, what="the second message at the new exchanger")
        self.assertEqual(seen(old_taken) + seen(new_taken), [(SOURCE, "before"), (SOURCE, "after")])   # from RelaySourceAddress
        self.assertEqual(pathlib.Path(self.s.folder, "DomainMX.txt").read_text().count("moved.test"), 1)

    def test_hanging_lookup_script_is_stopped(self):
        def stopped(pid):   # gone, or killed and not yet reaped
            with contextlib.suppress(OSError):
                return "State:\tZ" in pathlib.Path(f"/proc/{pid}/status").read_text()
            return True
        send(self.s, message("hang"), to=["a@hang.test"])
        self.s.wait_log(r"GetMX hang\.test: lookup timed out", timeout=30)
        self.s.wait_log(r"<a@hang\.test>: deferred \(lookup failed: lookup timed out\)")
        pid = int(pathlib.Path(self.s.folder, "hang.pid").read_text())
        wait_for(lambda: stopped(pid), what="the script's child stopped")
        # and at the server's stop
        send(self.s, message("hang again"), to=["b@hang.test"])
        wait_for(lambda: pathlib.Path(self.s.folder, "hang.pid").read_text() not in ("", f"{pid}\n"), what="the next lookup")
        pid = int(pathlib.Path(self.s.folder, "hang.pid").read_text())
        self.s.stop()
        self.assertTrue(stopped(pid), "the script's child outlived the server")

    def test_refused_rset_opens_a_fresh_connection_at_once(self):
        address, taken = real_exchanger(self, rset="502 5.5.1 RSET not here")
        self.answer("norset.test", address)
        send(self.s, message("first"), to=["a@norset.test"])
        wait_for(lambda: taken, what="the first message")
        send(self.s, message("second"), to=["a@norset.test"])   # within the 2 s the connection is kept
        self.s.wait_log(r"<a@norset\.test>: RSET failed on a kept connection \(502 5\.5\.1 RSET not here\); on a new connection")
        wait_for(lambda: len(taken) == 2, timeout=10, what="the second message, not a RelayRetry step later")


if __name__ == "__main__":
    unittest.main()
