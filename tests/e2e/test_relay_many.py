"""Relaying many recipients: those of one message at one domain in one transaction, each refused one settled
alone, connections to an exchanger carried on to the next message after RSET, at most RelayPerDomain of them at
once (one recipient's dialogue is the relay's unit table). Exchangers on port 25 of loopback addresses; needs root."""
import email
import re
import threading
import time
import unittest

from harness import ROOT, Case, bind_loopback, message, send, wait_for


class Sink:
    """An exchanger on port 25 of its own loopback address that keeps every line each connection sent, the
    message text as one entry. `rcpt` maps a local part to its RCPT reply (a list: one a time, then 250);
    `hold` seconds pass before the reply to the end of data."""

    def __init__(self, test, rcpt=None, hold=0):
        self.rcpt, self.hold = {k: list(v) for k, v in (rcpt or {}).items()}, hold
        self.connections, self.open, self.most = [], 0, 0
        self.taken = []   # per message taken, the local parts its RCPTs were accepted for
        self.lock = threading.Lock()
        self.sock = bind_loopback(25)
        self.address = self.sock.getsockname()[0]
        self.sock.listen(64)
        test.addCleanup(self.sock.close)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(c,), daemon=True).start()

    def serve(self, c):
        lines = []
        with self.lock:
            self.connections.append(lines)
            self.open += 1
            self.most = max(self.most, self.open)
        f = c.makefile("rb")
        accepted = []
        try:
            c.sendall(b"220 sink.test ESMTP\r\n")
            while line := f.readline():
                lines.append(line)
                word = line[:4].upper()
                if word == b"EHLO":
                    c.sendall(b"250-sink.test\r\n250 SIZE 100000000\r\n")
                elif word == b"RCPT":
                    local = re.search(rb"<([^@>]*)", line)[1].decode()
                    answers = self.rcpt.get(local, [])
                    answer = answers.pop(0) if answers else "250 2.1.5 Ok"
                    if answer.startswith("250"):
                        accepted.append(local)
                    c.sendall(answer.encode() + b"\r\n")
                elif word == b"DATA":
                    c.sendall(b"354 go ahead\r\n")
                    text = b""
                    while (part := f.readline()) not in (b".\r\n", b""):
                        text += part
                    lines.append(text)
                    time.sleep(self.hold)
                    with self.lock:
                        self.taken.append(accepted)
                    c.sendall(b"250 2.0.0 queued\r\n")
                elif word == b"QUIT":
                    c.sendall(b"221 bye\r\n")
                    break
                else:   # MAIL, RSET
                    accepted = []
                    c.sendall(b"250 Ok\r\n")
        finally:
            with self.lock:
                self.open -= 1
            c.close()

    def commands(self):   # per connection, without the texts
        return [[l.decode().rstrip("\r\n") for l in ls if l.endswith(b"\r\n") and l.count(b"\r\n") == 1 and not l.startswith(b"Received")]
                for ls in self.connections]


def delivered(s, n):
    wait_for(lambda: s.count_log(r": delivered to ") >= n, what=lambda: f"{n} deliveries: {s.log[-8:]}")


@unittest.skipUnless(ROOT, "exchangers on port 25 need root")
class RelayMany(Case):
    def setUp(self):   # each test lays out its own server
        pass

    def test_a_domain_gets_one_transaction_and_keeps_its_connection(self):
        one, two = Sink(self, hold=1), Sink(self)
        s = self.server(domain_mx=[("one.test", one.address, "10"), ("two.test", two.address, "10")], settings={"RelayPerDomain": 1})
        send(s, message("first"), to=["a@one.test", "x@two.test", "b@one.test", "demo@example.test", "c@one.test"])
        s.wait_log(r"<c@one\.test>: attempt 1 to ")
        send(s, message("second"), to=["d@one.test"])   # waits for the one connection to one.test
        delivered(s, 5)
        wait_for(lambda: one.open == 0 and two.open == 0, what="QUIT")
        mail = "MAIL FROM:<a@example.org> SIZE="
        [c] = one.commands()
        self.assertEqual([l if not l.startswith(mail) else mail for l in c[1:]],
                         [mail, "RCPT TO:<a@one.test>", "RCPT TO:<b@one.test>", "RCPT TO:<c@one.test>", "DATA",
                          "RSET", mail, "RCPT TO:<d@one.test>", "DATA", "QUIT "])
        [c] = two.commands()
        self.assertEqual(c[2:], ["RCPT TO:<x@two.test>", "DATA", "QUIT "])
        # The copy for several names none of them in its trace line; the one for one names it.
        first, second = [l for l in one.connections[0] if l.startswith(b"Received: ")]
        self.assertRegex(first, rb"^Received: from [^\r]*\r\n\tby [^\r;]*; [^\r]*\r\nFrom: ")
        self.assertIn(b"\r\n\tfor <d@one.test>; ", second)
        self.assertEqual(s.count_log(r"^\d+>Transfer one\.test$"), 1)

    def test_at_most_relay_per_domain_connections(self):
        one = Sink(self, hold=0.3)
        s = self.server(domain_mx=[("one.test", one.address, "10")], settings={"RelayPerDomain": 3})
        for n in range(12):
            send(s, message(f"m{n}"), to=[f"r{n}@one.test"])
        delivered(s, 12)
        self.assertLessEqual(one.most, 3)
        self.assertLessEqual(len(one.connections), 3)
        self.assertEqual(sum(c.count(b"RSET\r\n") for c in one.connections), 12 - len(one.connections))

    def test_refused_recipients_are_settled_alone(self):
        # (RCPT replies by local part, what each recipient's log says, who is delivered in which transaction)
        rows = [
            ({"gone": ["550 5.1.1 no such user"], "busy": ["450 4.2.1 mailbox busy"]},
             {"ok": "delivered", "gone": r"bounced \(550 5\.1\.1 no such user\)", "busy": r"deferred \(450 4\.2\.1 mailbox busy\)"},
             [["ok"], ["busy"]]),
        ]
        for rcpt, said, transactions in rows:
            with self.subTest(rcpt=rcpt):
                one = Sink(self, rcpt=rcpt)
                s = self.server(domain_mx=[("one.test", one.address, "10")], settings={"RelayRetry": 1})
                send(s, message("several"), to=[f"{r}@one.test" for r in said], sender="demo@example.test")
                for r, what in said.items():
                    s.wait_log(rf"<{r}@one\.test>: {what}")
                delivered(s, sum(map(len, transactions)))
                self.assertEqual(one.taken, transactions)
                first = [l.decode()[9:-3].split("@")[0] for l in one.connections[0] if l.startswith(b"RCPT TO:<")]
                self.assertEqual(first[:len(said)], list(said))   # all of them in the first transaction
                # Each refused recipient gets its own notice, naming it alone.
                refused = [r for r, what in said.items() if what.startswith("bounced")]
                wait_for(lambda: len(s.messages()) == len(refused), what="the notices")
                for text in s.files():
                    m = email.message_from_bytes(text)
                    finals = [v for part in m.walk() for k, v in part.items() if k == "Final-Recipient"]
                    self.assertEqual(len(finals), 1)
                    self.assertIn(finals[0].split("; ")[1].split("@")[0], refused)
                s.stop()


if __name__ == "__main__":
    unittest.main()
