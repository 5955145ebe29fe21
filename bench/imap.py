"""IMAP workloads: the same blocking clients against Tandrivel's IMAP and Dovecot's beside it.

Every reply is checked: tagged OK, EXISTS counts, one FETCH response a message with its size, literal
sizes, SEARCH hits, the FETCH responses of a QRESYNC resync, EXISTS pushed to every idler.
"""
import re
import selectors
import socket
from concurrent.futures import ThreadPoolExecutor
import time

from loadlib import LIMIT, BenchError, Conn, make_message, numbered_tag, parallel

LITERAL = re.compile(rb"\{(\d+)\}$")
LOGINS_AT_ONCE = 32
PUSH_LIMIT = 60.0   # seconds for EXISTS to reach every idler (a server that polls may take 30 s)


class Imap:
    """One client connection: tagged commands, untagged responses with their literals inline."""

    def __init__(self, port):
        self.c = Conn(port)
        self.tag = 0
        Conn.expect(self.c.line(), b"* OK")

    def response(self):
        """One response line with each literal it announces read in (as bytes of its size)."""
        line = self.c.line()
        parts = [line]
        while (m := LITERAL.search(line)):
            parts.append(bytes(self.c.exact(int(m.group(1)))))
            line = self.c.line()
            parts.append(line)
        return parts

    def cmd(self, text, want=b"OK"):
        """The command's untagged responses (each a list: line, literal, rest...); fails unless the
        tagged reply is `want`."""
        self.tag += 1
        tag = b"a%d " % self.tag
        self.c.s.sendall(tag + text + b"\r\n")
        out = []
        while True:
            parts = self.response()
            if parts[0].startswith(tag):
                Conn.expect(parts[0][len(tag):], want)
                return out
            out.append(parts)

    def close(self):
        self.c.close()


def login(port, account="bench"):
    c = Imap(port)
    c.cmd(b"LOGIN %s pw-%s" % (account.encode(), account.encode()))
    return c


def select(c, expect, how=b""):
    """SELECT INBOX (with `how` after it); fails unless it EXISTS with `expect` messages."""
    out = c.cmd(b"SELECT INBOX" + how)
    if [b"* %d EXISTS" % expect] not in out:
        raise BenchError(f"SELECT: no '* {expect} EXISTS' in {[p[0][:60] for p in out[:8]]}")
    return out


def logout(c):
    out = c.cmd(b"LOGOUT")
    if not out or not out[0][0].startswith(b"* BYE"):
        raise BenchError("LOGOUT without BYE")
    c.close()


def code(out, name):
    """The number of a response code ([UIDVALIDITY n], [HIGHESTMODSEQ n]) among untagged responses."""
    for parts in out:
        m = re.search(rb"\[" + name + rb" (\d+)\]", parts[0])
        if m:
            return int(m.group(1))
    raise BenchError(f"no {name.decode()} in SELECT's responses")


def warm(expect):
    """One login that selects INBOX, as a client's earlier visit: each server has its index then."""
    def prepare(srv):
        c = login(srv.imap)
        select(c, expect)
        logout(c)
    return prepare


def filled(count, size, numbered=False):
    def prepare(srv):
        srv.fill("bench", count, size, numbered)
        warm(count)(srv)
    return prepare


# --- client bodies run in worker processes -------------------------------------------------

def sessions(port, count, expect):
    deadline = time.perf_counter() + LIMIT
    done = 0
    while done < count and time.perf_counter() < deadline:
        c = login(port)
        select(c, expect)
        logout(c)
        done += 1
    return done


def fetch_all(port, expect, size):
    c = login(port)
    select(c, expect)
    t0 = time.perf_counter()
    out = c.cmd(b"FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE)")
    t1 = time.perf_counter()
    sized = b"RFC822.SIZE %d" % size
    good = sum(1 for parts in out if b" FETCH (" in parts[0] and sized in b"".join(parts))
    if good != expect:
        raise BenchError(f"FETCH 1:*: {good} of {expect} responses with {sized.decode()}")
    logout(c)
    return expect, t1 - t0


def body_each(port, expect, size):
    c = login(port)
    select(c, expect)
    t0 = time.perf_counter()
    for i in range(1, expect + 1):
        out = c.cmd(b"FETCH %d BODY[]" % i)
        bodies = [p[1] for p in out if len(p) > 1]
        if len(bodies) != 1 or len(bodies[0]) != size:
            raise BenchError(f"FETCH {i} BODY[]: {[len(b) for b in bodies]} bytes, {size} stored")
    t1 = time.perf_counter()
    logout(c)
    return expect, t1 - t0


def search_each(port, count, expect):
    """`count` UID SEARCHes by subject, each matching the 10 numbered messages that share a prefix."""
    c = login(port)
    select(c, expect)
    t0 = time.perf_counter()
    for k in range(count):
        prefix = numbered_tag("bench", (k * 10) % expect)[:-1]
        out = c.cmd(b'UID SEARCH SUBJECT "%s"' % prefix.encode())
        hits = [p[0].split()[2:] for p in out if p[0].startswith(b"* SEARCH")]
        if len(hits) != 1 or len(hits[0]) != 10:
            raise BenchError(f"UID SEARCH SUBJECT {prefix}: {hits[:1]!r:.80}, 10 expected")
    t1 = time.perf_counter()
    logout(c)
    return count, t1 - t0


def resyncs(port, count, expect, uidvalidity, modseq, changed):
    """Sessions that come back after `changed` flag changes: ENABLE QRESYNC, SELECT with what they knew."""
    deadline = time.perf_counter() + LIMIT
    done = 0
    while done < count and time.perf_counter() < deadline:
        c = login(port)
        c.cmd(b"ENABLE QRESYNC")
        out = select(c, expect, b" (QRESYNC (%d %d))" % (uidvalidity, modseq))
        fetched = sum(1 for p in out if b" FETCH (" in p[0])
        if fetched != changed:
            raise BenchError(f"QRESYNC: {fetched} FETCH responses after {changed} changes")
        logout(c)
        done += 1
    return done


# --- workloads: (figure, cpu server s, cpu client s, wall s) per run -------------------------

def append_each(port, count, size):
    """APPEND one message at a time as imaplib sends it: the command, its literal after the
    server's go-ahead, then the command's end in a write of its own (Nagle's algorithm on)."""
    c = login(port)
    c.c.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 0)   # as imaplib leaves it
    text = make_message(size, "append")
    t0 = time.perf_counter()
    for _ in range(count):
        c.tag += 1
        tag = b"a%d " % c.tag
        c.c.s.sendall(tag + b"APPEND INBOX {%d}\r\n" % len(text))
        Conn.expect(c.c.line(), b"+")
        c.c.s.sendall(text)
        c.c.s.sendall(b"\r\n")
        while not (line := c.c.line()).startswith(tag):
            pass
        Conn.expect(line[len(tag):], b"OK")
    t1 = time.perf_counter()
    logout(c)
    return count, t1 - t0


IDLERS = 5


def seen_with_idlers(port, expect, size):
    """FETCH 1:* BODY[], which sets \\Seen on every message, while IDLERS other sessions of the
    account wait in IDLE (a phone, a laptop, ...): (messages, seconds the FETCH took, seconds from
    its start until the last idler had read every one of the flag changes)."""
    c = login(port)
    select(c, expect)
    c.cmd(b"STORE 1:* -FLAGS.SILENT (\\Seen)")   # as new: every run changes every message
    idlers = []
    try:
        for _ in range(IDLERS):
            i = login(port)
            idlers.append(i)
            select(i, expect)
            i.c.s.sendall(b"i IDLE\r\n")
            Conn.expect(i.c.line(), b"+ ")
        t0 = time.perf_counter()
        out = c.cmd(b"FETCH 1:* BODY[]")
        t1 = time.perf_counter()
        bodies = sum(1 for parts in out if len(parts) > 1 and len(parts[1]) == size)
        if bodies != expect:
            raise BenchError(f"FETCH 1:* BODY[]: {bodies} of {expect} bodies of {size} bytes")
        last = wait_lines(idlers, rb"FETCH \(FLAGS \([^)]*\\Seen", expect, t0)
        logout(c)
    finally:
        for i in idlers:
            i.close()
    return expect, t1 - t0, last - t0


def run_sessions(srv, count, expect):
    cpu0 = srv.cpu()
    [n], wall, cli = parallel(sessions, [(srv.imap, count, expect)])
    return n / wall, srv.cpu() - cpu0, cli, wall


def run_timed(body, srv, *args):
    """A one-session body that returns (messages or commands, seconds they took, any further figure)."""
    cpu0 = srv.cpu()
    [(n, secs, *more)], wall, cli = parallel(body, [(srv.imap, *args)])
    return (n / secs, srv.cpu() - cpu0, cli, wall, *more)


CHANGES = 10


def changed(expect):
    """Filled, then CHANGES messages flagged after a client noted UIDVALIDITY and HIGHESTMODSEQ."""
    def prepare(srv):
        filled(expect, 1024)(srv)
        c = login(srv.imap)
        c.cmd(b"ENABLE QRESYNC")
        out = select(c, expect)
        srv.known = code(out, b"UIDVALIDITY"), code(out, b"HIGHESTMODSEQ")
        for i in range(CHANGES):
            c.cmd(b"STORE %d +FLAGS (\\Flagged)" % (i * 7 + 1))
        logout(c)
    return prepare


def run_resync(srv, count, expect):
    cpu0 = srv.cpu()
    [n], wall, cli = parallel(resyncs, [(srv.imap, count, expect, *srv.known, CHANGES)])
    return n / wall, srv.cpu() - cpu0, cli, wall


def memory_kib(srv):
    """Tandrivel: VmRSS. A peer of many processes: the sum of their proportional set sizes, so the
    libraries they share count once."""
    if hasattr(srv, "status"):
        return srv.status("VmRSS")
    total = 0
    for pid in srv.processes():
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                total += next(int(l.split()[1]) for l in f if l.startswith("Pss:"))
        except (OSError, StopIteration):
            pass
    return total


def run_idle_push(srv, n, mailbox):
    """n clients log in and IDLE in INBOX: memory growth a connection (KiB); then one message
    arrives and the fifth value is the time from its arrival (the SMTP 250, or for a peer without
    SMTP the rename into its Maildir) until the last idler has read its EXISTS."""
    time.sleep(0.3)
    before, cpu0 = memory_kib(srv), srv.cpu()
    t0 = time.perf_counter()
    idlers = []

    def idle():
        c = login(srv.imap)
        idlers.append(c)
        select(c, mailbox)
        c.c.s.sendall(b"i IDLE\r\n")
        Conn.expect(c.c.line(), b"+ ")

    try:
        # Logins LOGINS_AT_ONCE at a time: a peer that starts a process for each login takes a while.
        with ThreadPoolExecutor(LOGINS_AT_ONCE) as pool:
            for done in [pool.submit(idle) for _ in range(n)]:
                done.result()
        time.sleep(0.5)
        per = (memory_kib(srv) - before) / n
        arrived = srv.deliver(make_message(1024, "push"))
        last = wait_exists(idlers, mailbox + 1, arrived)
    finally:
        for c in idlers:
            c.close()
    return per, srv.cpu() - cpu0, 0.0, time.perf_counter() - t0, max(0.0, last - arrived)


def wait_exists(idlers, count, since):
    """The moment the last idler read `* count EXISTS`."""
    return wait_lines(idlers, re.escape(b"* %d EXISTS\r\n" % count), 1, since)


def wait_lines(idlers, pattern, count, since):
    """The moment the last idler had read `count` lines matching `pattern`."""
    want = re.compile(pattern)
    sel = selectors.DefaultSelector()
    for c in idlers:
        if len(want.findall(c.c.buf)) < count:
            sel.register(c.c.s, selectors.EVENT_READ, c.c)
    last = time.perf_counter()
    while sel.get_map() and time.perf_counter() - since < PUSH_LIMIT:
        for key, _ in sel.select(1.0):
            conn = key.data
            data = conn.s.recv(1 << 20)
            if not data:
                raise BenchError("an idler's connection closed")
            conn.buf += data
            if len(want.findall(conn.buf)) >= count:
                sel.unregister(conn.s)
                last = time.perf_counter()
    missing = len(sel.get_map())
    sel.close()
    if missing:
        raise BenchError(f"{missing} of {len(idlers)} idlers not told of {count} changes in {PUSH_LIMIT:.0f} s")
    return last


def inotify_note(row):
    """Dovecot hears of new mail through inotify, one instance a process; past the system's limit a
    user's processes look every 30 s (its mailbox_idle_check_interval)."""
    if row.peer_figures:
        with open("/proc/sys/fs/inotify/max_user_instances") as f:
            limit = f.read().strip()
        row.sub.notes.append(f"Dovecot: inotify instances a user limited to {limit} here, its other idlers look every 30 s")
