"""Relaying many recipients: those of one message at one domain in one transaction, each refused one settled
alone, connections to an exchanger carried on to the next message, at most RelayPerDomain of them at once (one
recipient's dialogue is the relay's unit table). Exchangers on port 25 of loopback addresses; needs root."""
import email
import unittest

from harness import ROOT, Case, message, real_exchanger, send, wait_for


@unittest.skipUnless(ROOT, "needs root: exchangers on port 25")
class RelayMany(Case):
    SERVER = None

    def test_a_domain_gets_one_transaction_and_keeps_its_connection(self):
        (one, ones), (two, twos) = real_exchanger(self, hold=1), real_exchanger(self)
        s = self.server(domain_mx=[("one.test", one, "10"), ("two.test", two, "10")], settings={"RelayPerDomain": 1})
        send(s, message("first"), to=["a@one.test", "x@two.test", "b@one.test", "demo@example.test", "c@one.test"])
        s.wait_log(r"<c@one\.test>: attempt 1 to ")
        send(s, message("second"), to=["d@one.test"])   # waits for the one connection to one.test
        wait_for(lambda: ones.quits and twos.quits, what="QUIT")
        self.assertEqual([d[1] for d in ones + twos], [["a@one.test", "b@one.test", "c@one.test"], ["d@one.test"], ["x@two.test"]])
        self.assertEqual((len({d[6] for d in ones}), ones.quits), (1, 1), "one.test's connection was not kept")
        # The copy for several names none of them in its trace line; the one for one names it.
        self.assertRegex(ones[0][2], rb"^Received: from [^\r]*\r\n\tby [^\r;]*; [^\r]*\r\nFrom: ")
        self.assertIn(b"\r\n\tfor <d@one.test>; ", ones[1][2])
        self.assertEqual(s.count_log(r"^\d+>Transfer one\.test$"), 1)

    def test_at_most_relay_per_domain_connections(self):
        one, ones = real_exchanger(self, hold=0.3)
        s = self.server(domain_mx=[("one.test", one, "10")], settings={"RelayPerDomain": 3})
        for n in range(12):
            send(s, message(f"m{n}"), to=[f"r{n}@one.test"])
        wait_for(lambda: len(ones) == 12, what=lambda: f"12 deliveries, not {len(ones)}")
        self.assertLessEqual(ones.most, 3)
        self.assertLessEqual(len({d[6] for d in ones}), 3)

    def test_refused_recipients_are_settled_alone(self):
        one, ones = real_exchanger(self, rcpt={"gone": ["550 5.1.1 no such user"], "busy": ["450 4.2.1 mailbox busy"]})
        s = self.server(domain_mx=[("one.test", one, "10")], settings={"RelayRetry": 1})
        said = {"ok": "delivered", "gone": r"bounced \(550 5\.1\.1 no such user\)", "busy": r"deferred \(450 4\.2\.1 mailbox busy\)"}
        send(s, message("several"), to=[f"{r}@one.test" for r in said], sender="demo@example.test")
        for r, what in said.items():
            s.wait_log(rf"<{r}@one\.test>: {what}")
        wait_for(lambda: len(ones) == 2, what="the retried delivery")
        self.assertEqual([d[1] for d in ones], [["ok@one.test"], ["busy@one.test"]])
        self.assertEqual(ones.asked[:3], [f"{r}@one.test" for r in said])   # all of them in the first transaction
        # The refused one gets a notice of its own, naming it alone.
        wait_for(lambda: len(s.messages()) == 1, what="the notice")
        notice = email.message_from_bytes(s.files()[0])
        self.assertEqual([v for part in notice.walk() for k, v in part.items() if k == "Final-Recipient"], ["rfc822; gone@one.test"])


if __name__ == "__main__":
    unittest.main()
