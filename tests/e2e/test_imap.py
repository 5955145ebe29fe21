"""IMAP against the real server: mail sent over SMTP read, flagged, searched, copied, moved and expunged with imaplib,
what POP3 and IMAP each do seen by the other, two sessions and IDLE told of each other's changes, an APPEND and
message text in pieces taken without waiting for a delayed ACK, and hostile input answered while another client is
served; curl, fetchmail, getmail6, mbsync, offlineimap3 and mutt as they are."""
import imaplib
import os
import pathlib
import pty
import select
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import test_clients
import test_internet
from harness import HOST, TIMEOUT, Case, ca, curl, free_port, megabytes, message, read_line, reply, send, session, stuffed, wait_for


def login(s, user="demo", password="secret"):
    m = imaplib.IMAP4("127.0.0.1", s.imap, timeout=TIMEOUT)
    m.login(user, password)
    return m


def ok(answer):
    typ, data = answer
    assert typ == "OK", answer
    return data


class Imap(Case):
    SERVER = {"settings": {"Imap": free_port()}}

    def test_read_flag_search_copy_move_expunge(self):
        s = self.s
        send(s, message("one", b".dotted\r\nbody\r\n"))
        send(s, message("two"))
        m = login(s)
        self.assertEqual(ok(m.select("INBOX")), [b"2"])
        stored = s.files()[0]
        fetched = ok(m.fetch("1", "(RFC822.SIZE BODY.PEEK[])"))[0]
        self.assertIn(b"RFC822.SIZE %d" % (len(stored) - 1), fetched[0])   # the stored dot-stuffing undone
        self.assertEqual(stuffed(fetched[1]), stored)
        ok(m.store("1", "+FLAGS", r"(\Seen $Work)"))
        self.assertEqual(ok(m.search(None, "SEEN")), [b"1"])
        self.assertEqual(ok(m.uid("SEARCH", "UNSEEN")), [b"2"])
        typ, data = m.append("INBOX", r"(\Flagged)", None, message("three"))
        uid = re.search(rb"APPENDUID (\d+) (\d+)", data[0])
        self.assertTrue(uid and typ == "OK", data)
        self.assertEqual(len(s.messages()), 3)
        self.assertTrue(all(re.fullmatch(r"\d{6}-\d{8}\.eml", n) for n in s.messages()), s.messages())
        self.assertRegex(ok(m.copy("1:2", "Archive"))[0], rb"COPYUID \d+ 1:2 1:2")
        typ, data = m.uid("MOVE", uid[2].decode(), "Trash")
        self.assertEqual(typ, "OK", data)
        self.assertEqual(ok(m.status("Archive", "(MESSAGES UNSEEN)")), [b"Archive (MESSAGES 2 UNSEEN 1)"])
        ok(m.store("2", "+FLAGS", r"\Deleted"))
        ok(m.expunge())
        p = s.pop3_login()
        self.assertEqual(p.stat()[0], 1)   # POP3 sees INBOX: the moved and the expunged are gone
        p.quit()
        # Flags and keywords outlive the session and the server.
        m.logout()
        s.stop()
        s.start()
        m = login(s)
        m.select("INBOX", readonly=True)
        self.assertEqual(ok(m.fetch("1", "(FLAGS)")), [rb"1 (FLAGS (\Seen $Work))"])
        self.assertIn(b"Archive", b" ".join(ok(m.list())))
        # A folder name in modified UTF-7 is stored in UTF-8, and so shown once UTF-8 is enabled.
        ok(m.create("Entw&APw-rfe"))
        self.assertTrue(os.path.isdir(os.path.join(s.mailbox(), ".imap", "Entwürfe")))
        self.assertIn(b'"/" Entw&APw-rfe', b" ".join(ok(m.list('""', "Entw*"))))
        ok(m.unselect())
        ok(m.enable("UTF8=ACCEPT"))
        self.assertIn('"/" "Entwürfe"'.encode(), b" ".join(ok(m.list('""', "Entw*"))))

    def test_two_sessions_pop3_and_idle(self):
        s = self.s
        for n in range(3):
            send(s, message(f"m{n}"))
        phone, laptop = login(s), login(s)
        phone.select("INBOX")
        laptop.select("INBOX")
        ok(phone.store("1", "+FLAGS", r"\Flagged"))
        ok(laptop.noop())
        self.assertIn(rb"1 (FLAGS (\Flagged))", laptop.untagged_responses.pop("FETCH", []))
        p = s.pop3_login()
        p.dele(3)
        p.quit()
        ok(laptop.fetch("1:*", "(UID)"))   # no expunge during FETCH
        self.assertNotIn("EXPUNGE", laptop.untagged_responses)
        ok(laptop.noop())
        self.assertEqual(laptop.untagged_responses.pop("EXPUNGE", []), [b"3"])
        # IDLE: a delivery, another session's flag change and expunge, each within a second.
        tag = laptop._new_tag()
        laptop.send(tag + b" IDLE\r\n")
        self.assertTrue(laptop.readline().startswith(b"+"))
        for action, expect in ((lambda: send(s, message("pushed")), rb"\* 3 EXISTS"),
                               (lambda: phone.store("2", "+FLAGS", r"\Seen"), rb"\* 2 FETCH \(FLAGS \(\\Seen\)"),
                               (lambda: (phone.store("1", "+FLAGS", r"\Deleted"), phone.expunge()), rb"\* 1 EXPUNGE")):
            started = time.monotonic()
            action()
            line = laptop.readline()
            while b"FETCH" in line and b"FETCH" not in expect:   # the \Deleted before the expunge
                line = laptop.readline()
            self.assertRegex(line, expect)
            self.figure(f"pushed {line.strip()!r} after {time.monotonic() - started:.2f} s")
            self.assertLess(time.monotonic() - started, 1.5)
        laptop.send(b"DONE\r\n")
        self.assertIn(b"OK", laptop.readline())

    def test_what_comes_in_pieces_waits_for_no_delayed_ack(self):
        # imaplib sends an APPEND's literal and the end of its command in two writes, and with
        # Nagle's algorithm on (as it leaves it) the second waits until the first is acknowledged:
        # the delayed ACK made every APPEND 44 ms. So with message text written in pieces.
        s = self.s
        m = login(s)
        smtp = session(s.smtp)
        self.closing(smtp)

        def answer(*writes):
            for w in writes:
                smtp.sendall(w)
            return reply(smtp)

        answer(b"EHLO client.test\r\n")
        took = {"APPEND": [], "message text in pieces": []}
        for n in range(5):
            start = time.monotonic()
            ok(m.append("INBOX", None, None, message(f"a{n}")))
            took["APPEND"].append(time.monotonic() - start)
            for command in (b"MAIL FROM:<a@example.org>", b"RCPT TO:<demo@example.test>", b"DATA"):
                self.assertIn(answer(command + b"\r\n")[:3], (b"250", b"354"))
            start = time.monotonic()
            self.assertTrue(answer(b"Subject: pieces\r\n", b"\r\n", b"one\r\n", b"two\r\n", b".\r\n").startswith(b"250"))
            took["message text in pieces"].append(time.monotonic() - start)
        m.logout()
        for what, times in took.items():   # the first may be acknowledged at once by chance
            median = sorted(times)[len(times) // 2]
            self.figure(f"{what}: median {median * 1000:.1f} ms")
            self.assertLess(median, 0.035, what)

    def test_hostile_input_answered_while_others_are_served(self):
        s = self.s
        send(s, message("one"))
        hostile = socket.create_connection(("127.0.0.1", s.imap), timeout=TIMEOUT)
        self.closing(hostile)
        read_line(hostile)
        hostile.sendall(b"a LOGIN demo secret\r\nb SELECT INBOX\r\n")
        for _ in range(2):
            while not re.match(rb"[ab] OK", read_line(hostile)):
                pass
        other = login(s)
        for line, expect in ((b"c APPEND INBOX {300000000}", rb"c NO \[TOOBIG\]"), (b"d NOOP " + b"(" * 5000 + b")" * 5000, rb"d BAD"),
                             (b"e FETCH 1:4294967295 (FLAGS)", rb"\* 1 FETCH"), (b"f X " + b"x" * 70000, rb"^(\* BYE|$)")):
            hostile.sendall(line + b"\r\n")
            answer = [read_line(hostile)]
            while answer[-1] and not re.match(rb"[a-f] |\* BYE", answer[-1]):
                answer.append(read_line(hostile))
            self.assertRegex(b"".join(answer), expect)
            self.assertEqual(ok(other.select("INBOX")), [b"1"])
        wait_for(lambda: hostile.recv(4096) == b"", what="the connection closed")

    def test_fetch_waits_for_a_client_that_does_not_read(self):
        s = self.s
        count = 24
        for n in range(count):
            send(s, megabytes(1, f"m{n}"))
        slow = socket.socket()
        self.closing(slow)
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect(("127.0.0.1", s.imap))
        slow.settimeout(TIMEOUT)
        slow.sendall(b"x LOGIN demo secret\r\ny SELECT INBOX\r\n")
        while b"y OK" not in read_line(slow):
            pass
        mark = s.mark()
        slow.sendall(b"a FETCH 1:* BODY.PEEK[]\r\nb NOOP\r\n")
        time.sleep(1.5)
        made = s.count_log(r"^\d+>\* \d+ FETCH", mark)   # each response its own stretch
        self.figure(f"{made} of {count} responses of 1 MB made while the client did not read")
        self.assertLess(made, count // 2)
        data = bytearray()   # 24 MB in small pieces: adding to bytes would copy it all each time
        while not re.search(rb"\r\nb OK[^\n]*\n", data[-300:]):
            chunk = slow.recv(1 << 20)
            self.assertTrue(chunk, bytes(data[-200:]))
            data += chunk
        # Every response once and in order, the tagged completion after them, the next command last.
        self.assertEqual(re.findall(rb"\* (\d+) FETCH", data), [b"%d" % (n + 1) for n in range(count)])
        self.assertLess(data.rindex(b" FETCH ("), data.index(b"\r\na OK FETCH completed"))
        self.assertLess(data.index(b"a OK"), data.index(b"b OK"))


class RealClients(test_internet.Case):   # each fetches what is new, once; mbsync carries flags both ways
    SETTINGS = {"Imap": free_port(), "Imaps": free_port()}

    def setUp(self):
        super().setUp()
        self.setUp_messages()

    def setUp_messages(self):
        for i in range(1, 4):
            self.s.put_message(message(f"put {i}"))

    def test_curl(self):
        s = self.s
        url = f"imaps://127.0.0.1:{s.imaps}/INBOX"
        self.assertEqual(stuffed(curl("--cacert", ca(), "-u", "demo:secret", url + "/;UID=2")), s.files()[1])
        self.assertIn(b"(\\HasNoChildren \\Trash) \"/\" Trash", curl("-u", "demo:secret", f"imap://127.0.0.1:{s.imap}/"))

    def test_fetchers(self):
        imap = ("fetchmail", lambda tmp: f"poll 127.0.0.1 service {self.s.imap} protocol imap:\n  user \"demo\" there with password \"secret\""
                f" sslcertfile \"{ca()}\" sslcommonname \"{HOST}\" keep mda \"cat >> {tmp}/delivered\"\n")
        rows = [imap] + [("getmail", lambda tmp, kind=kind, port=port: f"[retriever]\ntype = {kind}\nserver = 127.0.0.1\nport = {port}\n"
                          f"username = demo\npassword = secret\n[destination]\ntype = MDA_external\npath = /bin/sh\n"
                          f"arguments = ('-c', 'cat >> {tmp}/delivered')\nallow_root_commands = true\n"
                          "[options]\nread_all = false\ndelete = false\n")
                         for kind, port in (("SimpleIMAPRetriever", self.s.imap), ("SimpleIMAPSSLRetriever", self.s.imaps))]
        for client, config in rows:
            with self.subTest(client):
                def run(tmp):
                    pathlib.Path(tmp, "delivered").touch()
                    rc = pathlib.Path(tmp, "rc")
                    rc.write_text(config(tmp))
                    rc.chmod(0o600)
                    argv = (["fetchmail", "-f", str(rc), "--nodetach", "--keep", "--pidfile", f"{tmp}/pid"] if client == "fetchmail"
                            else ["getmail", "--getmaildir", tmp, "--rcfile", "rc"])
                    r = subprocess.run(argv, env=dict(os.environ, FETCHMAILHOME=tmp), capture_output=True, timeout=TIMEOUT * 3)
                    self.assertIn(r.returncode, (0, 1), r.stdout + r.stderr)   # fetchmail 1: no new mail
                    return [pathlib.Path(tmp, "delivered").read_bytes()]
                test_clients.Pop3.fetch_three_times(self, run)
                self.s.stop()   # the next row starts from the three messages
                shutil.rmtree(self.s.mailbox())
                os.makedirs(self.s.mailbox())
                self.setUp_messages()
                self.s.start()

    def test_mutt(self):   # through a terminal, after STARTTLS: one message piped out as it is stored, one flagged
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-mutt-"))
        rc = pathlib.Path(tmp, "muttrc")
        rc.write_text(f'set folder="imap://demo:secret@{HOST}:{self.s.imap}/"\nset spoolfile="+INBOX"\nset ssl_ca_certificates_file="{ca()}"\n'
                      'set quit=yes\nset wait_key=no\nset sort=date\nset pipe_decode=no\n'
                      f'push "<first-entry><pipe-message>cat > {tmp}/piped<enter><next-entry><flag-message><sync-mailbox><quit>"\n')
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvpe("mutt", ["mutt", "-n", "-F", str(rc)], dict(os.environ, TERM="vt100", HOME=tmp))
        deadline, screen = time.monotonic() + TIMEOUT * 3, b""
        while time.monotonic() < deadline:
            try:
                if select.select([terminal], [], [], 1)[0] and not (screen := screen[-2000:] + os.read(terminal, 65536)):
                    break
            except OSError:   # the terminal is gone with mutt
                break
        done, status = 0, 0
        while not done and time.monotonic() < deadline + 5:   # the terminal closes just before mutt ends
            done, status = os.waitpid(pid, os.WNOHANG)
            time.sleep(0.05)
        if not done:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        self.assertTrue(done and os.waitstatus_to_exitcode(status) == 0, screen)
        self.assertEqual(stuffed(pathlib.Path(tmp, "piped").read_bytes().replace(b"\n", b"\r\n")), self.s.files()[0])
        m = login(self.s)
        m.select("INBOX", readonly=True)
        self.assertEqual(ok(m.search(None, "FLAGGED")), [b"2"])
        m.logout()

    def test_sync_flags_both_ways(self):
        imap = self.s.imap
        rows = (("mbsync", "-c", lambda tmp: f"IMAPAccount t\nHost 127.0.0.1\nPort {imap}\nUser demo\nPass secret\nSSLType None\n\n"
                 f"IMAPStore remote\nAccount t\n\nMaildirStore local\nPath {tmp}/mail/\nInbox {tmp}/mail/INBOX\n\n"
                 "Channel c\nFar :remote:\nNear :local:\nPatterns INBOX\nCreate Near\nSyncState *\n", ["-a"]),
                ("offlineimap", "-c", lambda tmp: f"[general]\naccounts = t\nmetadata = {tmp}/meta\n[Account t]\nlocalrepository = l\n"
                 f"remoterepository = r\n[Repository l]\ntype = Maildir\nlocalfolders = {tmp}/mail\n[Repository r]\ntype = IMAP\n"
                 f"remotehost = 127.0.0.1\nremoteport = {imap}\nremoteuser = demo\nremotepass = secret\nssl = no\n"
                 "folderfilter = lambda f: f == 'INBOX'\n", ["-o", "-u", "quiet"]))
        for client, option, config, more in rows:
            with self.subTest(client):
                if not shutil.which(client):
                    self.skipTest(f"{client} is not installed (isync, offlineimap3)")
                tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-sync-"))
                os.makedirs(os.path.join(tmp, "mail"))
                pathlib.Path(tmp, "rc").write_text(config(tmp))

                def sync():
                    r = subprocess.run([client, option, f"{tmp}/rc", *more], capture_output=True, timeout=TIMEOUT * 3)
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    return {int(re.search(r",U=(\d+)", p.name)[1]): p for p in pathlib.Path(tmp, "mail", "INBOX").glob("*/*")}
                local = sync()
                self.assertEqual(sorted(local), [1, 2, 3])
                local[1].rename(str(local[1]).split(":2,")[0] + ":2,S")   # read here
                m = login(self.s)
                m.select("INBOX")
                ok(m.store("3", "FLAGS", r"\Flagged"))                    # flagged there
                self.assertTrue(sync()[3].name.endswith("F"))
                self.assertEqual(ok(m.search(None, "SEEN")), [b"1"])
                ok(m.store("1:*", "FLAGS", "()"))
                m.logout()
