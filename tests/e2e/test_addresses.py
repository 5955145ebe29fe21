"""Addresses and names as real software uses them: Postmaster and recipients without a domain (msmtp, smtplib),
domains that do not exist or take no mail bounced at once (the lookup script, a table row, or GetMX.sh as shipped
asking a private unbound with dig), and the host name the server gives itself, which an exchanger that wants a fully
qualified one (Postfix) takes or refuses."""
import email
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import unittest

import dnszone
import harness
from harness import HOST, POSTFIX, ROOT, TIMEOUT, Case, bind_loopback, message, send, subjects, wait_for


def msmtp(server, recipients, text):
    if not shutil.which("msmtp"):
        raise unittest.SkipTest("msmtp is not installed")
    config = pathlib.Path(server.tmp.name, "msmtprc")   # none of the system's or the user's
    config.write_text("")
    config.chmod(0o600)
    subprocess.run(["msmtp", "-C", str(config), "--host=127.0.0.1", f"--port={server.smtp}", "--domain=client.test",
                    "--from=a@example.org", "--"] + recipients, input=text, check=True, capture_output=True, timeout=TIMEOUT)


def notices(server, box="demo"):   # the delivery status notices in a mailbox: {recipient: (report fields, whole notice)}
    found = {}
    for text in server.files(box):
        m = email.message_from_bytes(text)
        if m.get_content_type() == "multipart/report":
            per_message, per_recipient = m.get_payload()[1].get_payload()
            found[per_recipient["Final-Recipient"].split("; ", 1)[1]] = ({**per_message, **per_recipient}, m)
    return found


class Recipients(Case):   # how they are read and whom Postmaster reaches are tests/unit/test_smtp.cpp's rows
    def test_postmaster_and_addresses_without_a_domain(self):
        bob = self.server(settings={"Postmaster": "bob"})
        # server, client, the recipients as the client is given them, the mailbox they reach (no folder is named postmaster)
        for server, client, recipients, box in (
                (self.s, msmtp, ["alice"], "alice"),   # as `msmtp alice` sends it: RCPT TO:<alice>
                (self.s, msmtp, ["postmaster"], "demo"),   # the first account of Users.txt
                (bob, lambda s, to, text: send(s, text, to), ["<Postmaster>"], "bob"),   # the setting names the mailbox
                (bob, msmtp, ["postmaster@example.test"], "bob")):
            with self.subTest(recipients=recipients, box=box):
                m = server.mark()
                before = {b: len(server.messages(b)) for b in ("demo", "alice", "bob")}
                client(server, recipients, message(f"to {recipients[0]}"))
                rcpt = re.escape(recipients[0].strip("<>"))
                server.wait_log(rf"(?i)^\d+<.*RCPT TO:<{rcpt}>", after=m)   # as the client was given it
                got = {b: len(server.messages(b)) - n for b, n in before.items()}
                self.assertEqual(got, {b: int(b == box) for b in before})
                self.assertEqual(subjects(server.files(box)[-1:]), {f"to {recipients[0]}": 1})


LOOKUP = ('#!/bin/sh\necho "$1" >> lookups.txt\ncase "$1" in\n'
          'gone.test) printf "%s\\tNXDOMAIN\\r\\n" "$1" ;;\n'
          'nomail.test) printf "%s\\tMX preference = 0, mail exchanger = .\\r\\n" "$1" ;;\nesac > "$2"\n')
# GetMX.sh as shipped, its dig asking the test's own DNS server (bin/dig).
SHIPPED = '#!/bin/sh\nhere=$(dirname "$0")\nPATH="$here/bin:$PATH" exec sh "$here/shipped-GetMX.sh" "$@"\n'
GONE = ("5.1.2", "550 5.1.2 Domain gone.test does not exist")


def null_mx(domain):
    return ("5.1.10", f"556 5.1.10 Domain {domain} accepts no mail (null MX)")


class Bounces(Case):
    SERVER = None   # each test lays out its own

    def bounced_at_once(self, s, cases):   # cases: {recipient: (Status, the reply the notice quotes)}
        start = time.monotonic()
        send(s, message("nowhere"), to=list(cases) + ["alice@example.test"], sender="demo@example.test")
        wait_for(lambda: len(notices(s)) == len(cases), 10, lambda: f"{len(cases)} notices at once; log: {s.log[-10:]}")
        print(f"\n{self.id()}: {len(cases)} notices in {time.monotonic() - start:.2f} s", file=sys.stderr)
        self.assertEqual(s.count_log(r": deferred \("), 0)
        self.assertEqual(subjects(s.files("alice")), {"nowhere": 1})   # the local copy is not held up
        for rcpt, (fields, notice) in notices(s).items():
            with self.subTest(rcpt=rcpt):
                status, reply = cases[rcpt]
                self.assertEqual((notice["Return-Path"], notice["To"]), ("<>", "<demo@example.test>"))
                self.assertEqual((fields["Action"], fields["Status"], fields["Diagnostic-Code"]), ("failed", status, f"smtp; {reply}"))
                self.assertEqual(fields["Reporting-MTA"], "dns; mail.example.test")
                self.assertIn("Subject: nowhere", notice.get_payload()[2].as_string())

    def test_the_lookup_script_or_a_row_says_so(self):   # no exchanger is ever reached
        s = self.server(getmx=LOOKUP, domain_mx=[("listed.test", ".", "0")], settings={"HostName": "mail.example.test"})
        self.bounced_at_once(s, {"x@gone.test": GONE,
                                 "y@nomail.test.": null_mx("nomail.test"),   # the final dot dropped before the lookup
                                 "z@listed.test.": null_mx("listed.test")})   # and before the row is matched
        self.assertEqual(sorted(pathlib.Path(s.folder, "lookups.txt").read_text().split()), ["gone.test", "nomail.test"])   # asked side by side

    @unittest.skipUnless(shutil.which("dig"), "needs dig (dnsutils)")
    def test_dns_says_so(self):
        zone = dnszone.Zone(self, [("nomail.test", "MX", "0 .")])   # any other name does not exist
        s = self.server(getmx=SHIPPED, settings={"HostName": "mail.example.test"}, wait=None)
        shutil.copy(os.path.join(harness.SOURCE, "relay", "GetMX.sh"), os.path.join(s.folder, "shipped-GetMX.sh"))
        os.mkdir(os.path.join(s.folder, "bin"))
        dig = pathlib.Path(s.folder, "bin", "dig")
        dig.write_text(f'#!/bin/sh\nexec {shutil.which("dig")} @{zone.address} "$@"\n')
        dig.chmod(0o755)
        s.start()
        self.bounced_at_once(s, {"x@gone.test": GONE, "y@NoMail.test.": null_mx("NoMail.test")})


class Names(Case):
    SERVER = None   # a server for each name

    def test_the_name_in_trace_and_log(self):
        qualified = "" if "." in HOST else " (not fully qualified: exchangers may refuse it; set HostName)"
        for setting, name, note in ((None, HOST, qualified), ("mail.example.test", "mail.example.test", ""),
                                    ("vm", "vm", " (not fully qualified: exchangers may refuse it; set HostName)")):
            with self.subTest(setting=setting):
                s = self.server(settings={"HostName": setting})
                self.assertEqual(s.count_log(f"^Host name: {re.escape(name + note)}$"), 1)   # greetings: test_spine.py, test_commands.py
                send(s, message("traced"))
                self.assertRegex(s.files()[0], rb"\r\n\tby " + re.escape(name.encode()) + rb" with ESMTP\r\n")


@unittest.skipUnless(ROOT, "needs root: port 25")
@unittest.skipUnless(os.path.exists(POSTFIX), "needs postfix (scripts/install-deps.sh test)")
class NameCheckingExchanger(Case):
    SERVER = None

    def test_postfix_takes_a_qualified_name_and_refuses_a_bare_one(self):
        def address():
            with bind_loopback(25) as free:
                return f"{free.getsockname()[0]}:25"
        postfix = harness.Postfix(self, dict(myhostname="mx.far.test", mydestination="far.test", inet_interfaces="loopback-only",
                                             local_recipient_maps="", local_transport="discard:", smtpd_helo_required="yes",
                                             smtpd_helo_restrictions="reject_non_fqdn_helo_hostname"), address)
        for name, outcome in (("mail.example.test", "delivered"), ("vm", "bounced")):
            with self.subTest(name=name):
                s = self.server(domain_mx=[("far.test", postfix.host, "10")], settings={"HostName": name})
                send(s, message("to Postfix"), to=["x@far.test"], sender="demo@example.test")
                line = s.wait_log(r"<x@far\.test>: (delivered to|bounced|deferred) ")
                self.assertIn(f": {outcome} ", line)
                if outcome == "bounced":
                    self.assertIn("504 5.5.2 <vm>: Helo command rejected: need fully-qualified hostname", line)
                    wait_for(lambda: notices(s), what="the notice")
                    self.assertEqual(notices(s)["x@far.test"][0]["Status"], "5.5.2")
                else:
                    taken = r"/discard\[\d+\]: \w+: to=<x@far\.test>, .* status=sent "
                    wait_for(lambda: re.search(taken, postfix.maillog()), what=lambda: f"Postfix to take it\n{postfix.maillog()}")
                    self.assertEqual(notices(s), {})
