"""IMAP against the real server: mail sent over SMTP read, flagged, searched, copied, moved and expunged with imaplib,
what POP3 and IMAP each do seen by the other, two sessions and IDLE told of each other's changes, and hostile input
answered while another client is served."""
import imaplib
import re
import socket
import time

from harness import TIMEOUT, Case, free_port, message, read_line, send, stuffed, wait_for


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
