"""Faults of the machine and of peers: serving goes on, no part of a message is readable, nothing written is lost."""
import contextlib
import os
import pathlib
import re
import signal
import subprocess

from harness import Case, connect, megabytes, message, pop3_stat, read_line, send, session, untraced, wait_for


def drain(sock):   # reads the replies until the server closes the connection
    with contextlib.suppress(OSError):
        sock.makefile("rb").read()


class KilledWhileWriting(Case):
    def test_sigkill_during_delivery_leaves_only_whole_messages(self):
        s, box = self.s, self.s.mailbox()
        send(s, message("before"))
        [before] = s.messages()
        body = megabytes(64)
        with session(s.smtp, timeout=120) as c:
            c.sendall(b"MAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\nDATA\r\n")
            for _ in range(3):
                read_line(c)
            c.sendall(body + b".\r\n")
            # Killed while its copy is written, before the message is acknowledged.
            wait_for(lambda: any(n.startswith(".incoming-") for n in os.listdir(box)), timeout=120, what="a delivery in progress")
            s.proc.send_signal(signal.SIGKILL)
            s.wait_exit()
        temporary = [n for n in os.listdir(box) if n.startswith(".incoming-")]
        self.assertEqual(len(temporary), 1, "the kill came after the copy was written")
        self.assertEqual(sorted(os.listdir(box)), sorted([before] + temporary), "a file neither whole nor temporary")
        # At the next start the leftover goes, with a line, and the message before it stays as it was.
        s.start()
        s.wait_log(rf"^Removed unfinished delivery Users/demo/{re.escape(temporary[0])} ")
        self.assertEqual(os.listdir(box), [before])
        self.assertEqual([untraced(m) for m in s.files()], [message("before")])
        self.assertEqual(pop3_stat(s)[0], 1)


class BrokenUsersTable(Case):
    def test_logged_and_put_right_while_serving(self):
        s, table = self.s, os.path.join(self.s.folder, "Users.txt")
        s.put_message(message("for bob"), box="bob")
        malformed = 'UserName,Password,MailID\n"never closed,x\nshort,line\nbob,hunter2,bob\n'
        for n, (why, damage, bob_sees, logged) in enumerate((
                ("missing", os.remove, 0, r"^Login of bob failed: 53:Table file not found"),
                # Root reads any file: a folder in its place is what cannot be read.
                ("unreadable", lambda t: os.remove(t) or os.mkdir(t), 0, r"^Login of bob failed: 70:Cannot read table file"),
                ("malformed lines cost only themselves", lambda t: pathlib.Path(t).write_text(malformed), 1, r"^Users\.txt line 3: "))):
            with self.subTest(why):
                damage(table)
                self.assertEqual(pop3_stat(s, "bob", "hunter2")[0], bob_sees)   # a failed login just sees no mail
                s.wait_log(logged)
                send(s, message("smtp works"))
                self.assertEqual(len(s.messages()), n + 1)
                if os.path.isdir(table):
                    os.rmdir(table)
                pathlib.Path(table).write_text("UserName,Password,MailID\nbob,hunter2,bob\n")
                self.assertEqual(pop3_stat(s, "bob", "hunter2")[0], 1)


class Peers(Case):
    def test_recipients_are_bounded(self):
        # 1,000 RCPT lines for one mailbox wrote 1,000 files: now 100 are taken, the rest get 452,
        # and the one mailbox gets one copy.
        s = self.s
        with session(s.smtp, timeout=120) as c:
            c.sendall(b"MAIL FROM:<a@example.org>\r\n" + b"RCPT TO:<demo@example.test>\r\n" * 1000 + b"DATA\r\n")
            replies = [read_line(c)[:3] for _ in range(1002)]
            c.sendall(message("amplified") + b".\r\n")
            self.assertEqual(read_line(c)[:3], b"250")
        self.assertEqual([replies.count(code) for code in (b"250", b"452", b"354")], [101, 900, 1])
        self.assertEqual(len(s.messages()), 1)

    def test_out_of_descriptors_new_connections_wait(self):
        # A failed accept was retried at once: the event loop spun at full speed until someone left.
        s, room = self.s, 40
        subprocess.run(["prlimit", f"--pid={s.proc.pid}", f"--nofile={room + 256}:{room + 256}"], check=True)
        greeted = [self.closing(connect(s.pop3)) for _ in range(room)]
        self.assertTrue(all(read_line(c).startswith(b"+OK ") for c in greeted))
        s.wait_log(r"^Descriptors: .*new connections wait$")
        waiting = [self.closing(connect(s.pop3)) for _ in range(20)]
        m = s.mark()
        for c in greeted[:20]:
            c.close()
        s.wait_log(r"^Descriptors: accepting again$", after=m)
        self.assertTrue(all(read_line(c).startswith(b"+OK ") for c in waiting))
        for c in greeted[20:] + waiting:
            c.close()
        wait_for(lambda: s.count_log(r"^Close \d+$", after=m) == 60, what="every connection released")
        self.assertEqual(pop3_stat(s), (0, 0))
