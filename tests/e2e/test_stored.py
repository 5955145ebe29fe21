"""A 250 at the end of DATA means stored: watched with strace while sessions end their messages at the
same moment. Every file the message became was flushed under its temporary name before it was named,
and its folder was flushed after the naming and before the 250 went out, however the flushes of
messages ending together were shared."""
import glob
import os
import pathlib
import re
import shutil
import smtplib
import subprocess
import threading
import unittest

from harness import TIMEOUT, Case, message, wait_for

STRACE = shutil.which("strace")
CALL = re.compile(r"^(\d+\.\d+) (\w+)\((.*)\) += (-?\d+)[^<]*<(\d+\.\d+)>$")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')
FD_PATH = re.compile(r"^\d+<([^>]*)>")

# Who each message is for (demo, alice, bob have mailboxes; far.test is relayed, so it is queued).
MESSAGES = [["demo@example.test"]] * 6 + [["alice@example.test", "bob@example.test"], ["demo@example.test", "x@far.test"],
                                           ["y@far.test"]]


def calls(prefix):   # (name, start, end, arguments) of every call that succeeded, from strace -ff's file a thread
    found = [CALL.match(line) for path in glob.glob(prefix + ".*") for line in pathlib.Path(path).read_text(errors="replace").splitlines()]
    return [(m[2], float(m[1]), float(m[1]) + float(m[5]), m[3]) for m in found if m and m[4] != "-1"]


@unittest.skipUnless(STRACE, "needs strace (Debian package strace)")
class Stored(Case):
    # far.test's exchanger refuses connections: its copies stay queued.
    SERVER = {"domain_mx": [("far.test", "127.0.0.1", " 10")], "settings": {"RelayRetry": 3600}}

    def test_no_250_before_the_files_and_their_names_are_on_disk(self):
        s = self.s
        trace = os.path.join(s.tmp.name, "strace.log")
        tracer = subprocess.Popen([STRACE, "-ff", "-ttt", "-T", "-yy", "-s", "80", "-o", trace, "-p", str(s.proc.pid),
                                   "-e", "trace=fsync,fdatasync,link,rename,write,sendto,sendmsg"],
                                  stderr=subprocess.PIPE, text=True)
        attached = []
        threading.Thread(target=lambda: attached.extend(tracer.stderr), daemon=True).start()
        # "Process N attached with 2 threads" counts both; counted afresh: an idle pool thread may end meanwhile.
        wait_for(lambda: sum(int((re.search(r"with (\d+) threads", a) or [0, 1])[1]) for a in attached if "attached" in a)
                 >= len(os.listdir(f"/proc/{s.proc.pid}/task")), what="strace attached to every thread")

        ports, go, codes = {}, threading.Barrier(len(MESSAGES)), {}

        def send(n, to):
            with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
                c.ehlo("client.example.org")
                ports[c.sock.getsockname()[1]] = n
                c.mail("a@example.org")
                for r in to:
                    c.rcpt(r)
                go.wait()   # every message ends at the same moment
                codes[n] = c.data(message(f"stored {n}"))[0]

        senders = [threading.Thread(target=send, args=(n, to)) for n, to in enumerate(MESSAGES)]
        for t in senders:
            t.start()
        for t in senders:
            t.join(TIMEOUT)
        self.assertEqual(codes, {n: 250 for n in range(len(MESSAGES))})
        tracer.terminate()
        tracer.wait(TIMEOUT)
        done = calls(trace)

        # The time each session's 250 to its DATA went out: its last 250 on that connection.
        answered = {}
        for name, start, _, rest in done:
            sock = re.search(r"->(?:\[[^\]]*\]|[\d.]+):(\d+)\]>", rest)
            text = QUOTED.search(rest)
            if name in ("write", "sendto", "sendmsg") and sock and text and text.group(1).startswith("250 "):
                n = ports.get(int(sock.group(1)))
                if n is not None:
                    answered[n] = start
        self.assertEqual(sorted(answered), list(range(len(MESSAGES))))

        # The files each message became, by its subject.
        files = {}
        for folder in [s.mailbox(u) for u in ("demo", "alice", "bob")] + [os.path.join(s.folder, "Queue")]:
            for f in os.listdir(folder):
                path = os.path.join(folder, f)
                if f.endswith(".eml"):
                    with open(path, "rb") as text:
                        n = int(re.search(rb"Subject: stored (\d+)", text.read()).group(1))
                    files.setdefault(n, []).append(path)
                    if folder.endswith("Queue"):
                        files[n].append(path[:-4] + ".json")
        self.assertEqual(sorted(files), list(range(len(MESSAGES))))

        flushed = [(start, end, FD_PATH.match(rest).group(1)) for name, start, end, rest in done
                   if name in ("fsync", "fdatasync") and FD_PATH.match(rest)]
        for n, paths in files.items():
            for path in paths:
                with self.subTest(message=n, file=os.path.basename(path)):
                    named = [(start, end, QUOTED.findall(rest)) for name, start, end, rest in done
                             if name in ("link", "rename") and QUOTED.findall(rest)[1:2] == [path]]
                    self.assertTrue(named, "named")
                    start, end, (source, _) = min(named)   # the queue's envelope is saved again after the attempt
                    self.assertTrue(any(e <= start and p == source for _, e, p in flushed), "flushed before it was named")
                    folder = os.path.dirname(path)
                    self.assertTrue(any(b >= end and e <= answered[n] and p == folder for b, e, p in flushed),
                                    "its folder flushed after the naming, before the 250")
        print(f"{len(MESSAGES)} messages, {sum(map(len, files.values()))} files, "
              f"{sum(1 for _, _, p in flushed if os.path.isdir(p))} folder flushes", flush=True)


if __name__ == "__main__":
    unittest.main()
