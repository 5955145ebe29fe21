"""Round trips and no mail lost: stored and fetched byte for byte as sent under the trace headers (smtplib, poplib, curl);
a full disk refused; Postfix relays over one reused connection; fetchmail (over STLS) and getmail fetch each once."""
import os
import pathlib
import pwd
import shutil
import smtplib
import subprocess
import tempfile
import unittest

import harness
import test_internet
from harness import HOST, POSTFIX, ROOT, TIMEOUT, Case, ca, curl, free_port, megabytes, message, read_line, send, session, stuffed, subjects, untraced, wait_for

# A line that is only ".", lines starting with dots, 8-bit bytes, NUL, an empty and a long line.
TRICKY = (b"From: a@example.org\r\nSubject: tricky\r\n\r\n.leading dot\r\n.\r\n..two dots\r\n"
          b"caf\xc3\xa9 \xe9\xff \x00 nul\r\n\r\n" + b"z" * 990 + b"\r\ntab\there\r\nlast line\r\n")


class RoundTrip(Case):
    def test_smtplib_to_poplib_and_curl(self):
        s = self.s
        for text in (TRICKY, message("two")):
            send(s, text)
        names, stored = s.messages(), s.files()
        self.assertEqual(untraced(stored[0]), stuffed(TRICKY))
        fetched = stored[0][:-len(stuffed(TRICKY))] + TRICKY   # the trace, then the text as sent
        listing = [b"%d %d" % (i, len(t)) for i, t in enumerate(stored, 1)]
        uidl = [f"{i} {n[:15]}".encode() for i, n in enumerate(names, 1)]
        p = s.pop3_login()
        self.assertEqual((p.list()[1], p.uidl()[1]), (listing, uidl))
        self.assertEqual(b"\r\n".join(p.retr(1)[1]) + b"\r\n", fetched)
        p.quit()
        url = f"pop3://127.0.0.1:{s.pop3}/"
        head = fetched[:fetched.index(b"\r\n\r\n")].split(b"\r\n") + [b""]
        for args, lines in (((url,), listing), (("-X", "UIDL", url), uidl), (("-X", "TOP 1 0", url), head)):
            self.assertEqual(curl(*args), b"".join(line + b"\r\n" for line in lines))
        self.assertEqual(curl(url + "1"), fetched)
        curl("-X", "DELE", "-I", url + "1")
        self.assertEqual(os.listdir(s.mailbox()), names[1:])

    def test_client_that_leaves_right_after_quit(self):
        s = self.s
        for n in range(10):
            with session(s.smtp) as c:
                c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n" + message(f"gone {n}") + b".\r\nQUIT\r\n")
            # The next client may get the same index at once: no goodbye meant for the one that left may reach it.
            with session(s.smtp) as c:
                c.sendall(b"NOOP\r\n")
                self.assertEqual(read_line(c), b"250 OK\r\n")
        wait_for(lambda: len(s.messages()) == 10, what="10 messages")
        self.assertEqual(sorted(untraced(t) for t in s.files()), sorted(message(f"gone {n}") for n in range(10)))




class Smtp(Case):   # a 250 means stored: test_stored.py
    @unittest.skipUnless(ROOT, "needs root: mounting a small file system")
    def test_full_disk(self):
        s = self.s
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tandrivel-full", s.mailbox()], capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("not permitted here: mounting a small file system: " + r.stderr)
        self.addCleanup(subprocess.run, ["umount", "-l", s.mailbox()])
        with self.assertRaises(smtplib.SMTPDataError) as e:
            send(s, megabytes(3, "too big"))
        self.assertEqual(e.exception.smtp_code, 452)
        self.assertEqual(os.listdir(s.mailbox()), [])
        send(s, message("fits"))
        self.assertEqual(subjects(s.files()), {"fits": 1})


class Pop3(test_internet.Case):   # with TLS; whose marks a session takes back is tests/unit/test_pop3.cpp's
    def setUp(self):
        super().setUp()
        for i in range(1, 4):
            self.s.put_message(message(f"put {i}"))

    def fetch_three_times(self, run):
        # run(folder) returns all the client delivered so far: each message once, and it stays.
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-fetch-"))
        want = {f"put {i}": 1 for i in range(1, 4)}
        for n in range(3):
            self.assertEqual(subjects(run(tmp)), want, f"after run {n + 1}")
            send(self.s, message(f"new {n}"))
            want[f"new {n}"] = 1
        self.assertEqual(len(self.s.messages()), 6, "a client that keeps mail removed some")

    @unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
    def test_fetchmail_keep_uidl(self):
        def run(tmp):
            out, rc = os.path.join(tmp, "delivered"), os.path.join(tmp, "fetchmailrc")
            with open(os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
                f.write(f"set no syslog\npoll 127.0.0.1 service {self.s.pop3} protocol pop3 uidl:\n"
                        f"  user \"demo\" there with password \"secret\" sslcertfile \"{ca()}\" sslcommonname \"{HOST}\""
                        f" keep mda \"cat >> {out}\"\n")
            r = subprocess.run(["fetchmail", "-f", rc, "--nodetach", "--keep", "--uidl", "--idfile", os.path.join(tmp, "ids"),
                                "--pidfile", os.path.join(tmp, "pid")], env=dict(os.environ, FETCHMAILHOME=tmp),
                               capture_output=True, timeout=TIMEOUT * 3)
            self.assertIn(r.returncode, (0, 1), r.stdout + r.stderr)   # 1: no new mail
            return [pathlib.Path(out).read_bytes()]
        self.fetch_three_times(run)
        self.assertEqual(self.s.count_log(r"^\d+<STLS\\r\\n$"), 3)   # it insists on TLS, checking the certificate

    @unittest.skipUnless(shutil.which("getmail"), "getmail6 is not installed")
    def test_getmail(self):
        def run(tmp):
            box = os.path.join(tmp, "Maildir")
            os.chmod(tmp, 0o755)
            for d in ("", "cur", "new", "tmp"):
                os.makedirs(os.path.join(box, d), exist_ok=True)
                if ROOT:   # getmail delivers as nobody
                    os.chown(os.path.join(box, d), pwd.getpwnam("nobody").pw_uid, -1)
            rc = (f"[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = {self.s.pop3}\nusername = demo\n"
                  f"password = secret\n[destination]\ntype = Maildir\npath = {box}/\n" + ("user = nobody\n" if ROOT else ""))
            pathlib.Path(tmp, "getmailrc").write_text(rc + "[options]\nread_all = false\ndelete = false\n")
            r = subprocess.run(["getmail", "--getmaildir", tmp, "--rcfile", "getmailrc"], capture_output=True, timeout=TIMEOUT * 3)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            return [p.read_bytes() for p in pathlib.Path(box, "new").iterdir()]
        self.fetch_three_times(run)


@unittest.skipUnless(ROOT, "needs root: Postfix runs as root")
@unittest.skipUnless(os.path.exists(POSTFIX), "needs postfix (scripts/install-deps.sh test)")
class Postfix(Case):
    def test_fifty_messages_relayed_once_over_a_reused_connection(self):
        # A Postfix of its own on a free port, relaying everything to the server, delivering nothing.
        s, nexthop = self.s, f"[127.0.0.1]:{self.s.smtp}"
        postfix = harness.Postfix(self, dict(myhostname="postfix.test", mydestination="", inet_interfaces="127.0.0.1",
                                             mynetworks="127.0.0.0/8", relayhost=nexthop, local_transport="error:no local mail",
                                             smtp_connection_cache_on_demand="yes", smtp_connection_cache_destinations=nexthop,
                                             smtp_destination_concurrency_limit="2", smtp_tls_security_level="none"),
                                  lambda: f"127.0.0.1:{free_port()}")
        with smtplib.SMTP(postfix.host, int(postfix.port), timeout=TIMEOUT) as m:
            for i in range(50):
                m.sendmail("a@example.org", ["demo@example.test"], message(f"relayed {i}"))
        # Postfix keeps a message queued until the server has acknowledged it.
        wait_for(lambda: not postfix.queued(), 120, lambda: f"Postfix to relay: {postfix.queued()} still queued\n{postfix.maillog()}")
        self.assertEqual(subjects(s.files()), {f"relayed {i}": 1 for i in range(50)})
        # Postfix checks a cached connection with RSET and opens a new one unless it gets 250.
        self.assertTrue(s.count_log(r"^\d+<RSET"), "Postfix never reused a connection")
        self.assertLess(s.count_log(r"^ConnectionRequest "), 50)
