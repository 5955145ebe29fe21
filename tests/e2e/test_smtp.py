"""Round trips (smtplib, poplib, curl): stored and fetched byte for byte as sent, under the trace headers."""
import os

from harness import Case, curl, message, send, session, read_line, stuffed, untraced, wait_for

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

