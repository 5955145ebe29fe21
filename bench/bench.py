"""Runs every workload against a fresh Tandrivel server, and where a peer is named and
installed, against a private Postfix or Dovecot beside it, and prints one table.

    /usr/bin/python3 bench/bench.py [--exe build-bench/Tandrivel] [--runs 3] [--only smtp,pop3] [--scale 1]
                                    [--peers auto|none] [--quick]

Each workload gets its own server (fresh program folder and ports), runs `--runs` times, and
reports the median with min and max. Runs against Tandrivel and its peer take turns, and the
ratio is the median of the ratios of runs taken side by side, so load from elsewhere on a
shared machine weighs on both. `cpu srv` / `cpu peer` / `cpu cli` are CPU seconds over wall
seconds of the measured part (100 % = one core), so a client that is the bottleneck shows.
`peak RSS` is Tandrivel's VmHWM at the end of the workload.
"""
import argparse
import contextlib
import multiprocessing as mp
import os
import re
import resource
import selectors
import shlex
import signal
import socket
import statistics
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import imap  # noqa: E402
import peers  # noqa: E402
from loadlib import (DOMAIN, HOST, LIMIT, BenchError, Server, Sink, empty_trash, free_port, make_message, mode,  # noqa: E402
                     parallel, pop_list, pop_login, pop_quit, pop_retr, pop_top, smtp_send)

KB, MB = 1024, 1024 * 1024
IDLE_LIMIT = 15.0   # seconds to wait for 1,000 greetings


def split(total, n):
    return [total // n + (1 if i < total % n else 0) for i in range(n)]


# --- client bodies run in worker processes -----------------------------------------------

def smtp_worker(port, message, count, tls=False):
    deadline = time.perf_counter() + LIMIT
    sent = 0
    while sent < count and time.perf_counter() < deadline:
        smtp_send(port, message, [b"bench@" + DOMAIN.encode()], tls=tls)
        sent += 1
    return sent


def pop_retr_all(port, account, expect, tls=False):
    c = pop_login(port, account, tls)
    sizes = pop_list(c)
    if len(sizes) != expect:
        raise BenchError(f"{account}: LIST shows {len(sizes)} messages, {expect} were placed")
    t0 = time.perf_counter()
    n = 0
    for i in range(1, len(sizes) + 1):
        if pop_retr(c, i) != sizes[i - 1]:
            raise BenchError(f"{account}: RETR {i} size differs from LIST")
        n += 1
    t1 = time.perf_counter()
    pop_quit(c)
    return n, t1 - t0


# Passes over the mailbox with TOP (and with RETR in the C client's rows): one pass of 300 took 40 ms, too short
# a time for a steady figure.
TOP_PASSES = 5


def pop_top_all(port, account, expect, lines):
    c = pop_login(port, account)
    if len(pop_list(c)) != expect:
        raise BenchError(f"{account}: LIST does not show the {expect} messages placed")
    t0 = time.perf_counter()
    for _ in range(TOP_PASSES):
        for i in range(1, expect + 1):
            pop_top(c, i, lines)
    t1 = time.perf_counter()
    pop_quit(c)
    return expect * TOP_PASSES, t1 - t0


def pop_session_each(port, account, count, mailbox, tls=False):
    """Up to `count` sessions one after the other (LIMIT seconds at most), each: login, RETR of
    the next message of the `mailbox` there are, QUIT."""
    deadline = time.perf_counter() + LIMIT
    done = 0
    while done < count and time.perf_counter() < deadline:
        c = pop_login(port, account, tls)
        pop_retr(c, done % mailbox + 1)
        pop_quit(c)
        done += 1
    return done


def pop_retr_dele_all(port, account, count):
    c = pop_login(port, account)
    for i in range(1, count + 1):
        pop_retr(c, i)
        c.pop_cmd(b"DELE %d" % i)
    pop_quit(c)
    return count


def warm(srv, account):
    """One login that lists the mailbox, as a client's last visit would have: a peer builds its
    index then, and no server is timed on a mailbox it has never seen."""
    c = pop_login(srv.pop3, account)
    pop_list(c)
    pop_quit(c)


def filled(accounts, count, size):
    def prepare(srv):
        for account in accounts:
            srv.fill(account, count, size)
            warm(srv, account)
    return prepare


def wait_until(done, what, seconds=30):
    """Seconds spent waiting for done() (bounded)."""
    t0 = time.perf_counter()
    while not done():
        if time.perf_counter() - t0 > seconds:
            raise BenchError(what())
        time.sleep(0.01)
    return time.perf_counter() - t0


# --- workloads: each returns (figure, cpu server s, cpu client s, wall s) per run ----------

def run_smtp(srv, size, conc, count, tls=False):
    message = make_message(size)
    srv.clear()
    cpu0 = srv.cpu()
    port = srv.smtps if mode(tls)[0] == "implicit" else srv.smtp
    sent, wall, cli = parallel(smtp_worker, [(port, message, n, tls) for n in split(count, conc)])
    # counted once the files are in the mailbox
    wall += wait_until(lambda: srv.count() >= sum(sent),
                       lambda: f"only {srv.count()} of {sum(sent)} messages reached the mailbox")
    first = sorted(os.listdir(srv.mailbox()))[0]
    # The body under the headers: Postfix adds headers among the message's own and keeps LF.
    body = message.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n")
    with open(os.path.join(srv.mailbox(), first), "rb") as f:
        if not f.read().replace(b"\r\n", b"\n").endswith(body):
            raise BenchError(f"stored message {first} is not the one sent")
    return sum(sent) / wall, srv.cpu() - cpu0, cli, wall


def smtp_rate(srv, message, count, conc=10):
    """Messages a second, `count` sent over `conc` sessions and all stored; the mailbox emptied first."""
    srv.clear()
    sent, wall, _ = parallel(smtp_worker, [(srv.smtp, message, n) for n in split(count, conc)])
    wall += wait_until(lambda: srv.count() >= sum(sent), lambda: f"only {srv.count()} of {sum(sent)} stored", seconds=120)
    return sum(sent) / wall


class Holder(unittest.TestCase):
    """For helpers of the tests (a private DNS server, rspamd) that tie what they start to a test's
    clean-ups: `doCleanups()` stops it."""
    def runTest(self):
        pass


def run_pop_one_session(srv, count, tls=False):
    cpu0 = srv.cpu()
    port = srv.pop3s if mode(tls)[0] == "implicit" else srv.pop3
    [(n, secs)], wall, cli = parallel(pop_retr_all, [(port, "bench", count, tls)])
    return n / secs, srv.cpu() - cpu0, cli, wall


def run_pop_top(srv, count, lines):
    cpu0 = srv.cpu()
    [(n, secs)], wall, cli = parallel(pop_top_all, [(srv.pop3, "bench", count, lines)])
    return n / secs, srv.cpu() - cpu0, cli, wall


CPU_CONNECTIONS = 150


def smtp_cpu_each(srv, tls):
    """The server's CPU (all its threads or processes) a message, ms: CPU_CONNECTIONS connections one
    after the other, one 1 KB message each, counted once all are stored."""
    srv.clear()
    message = make_message(1 * KB)
    cpu0 = srv.cpu()
    [sent], wall, cli = parallel(smtp_worker, [(srv.smtp, message, CPU_CONNECTIONS, tls)])
    wall += wait_until(lambda: srv.count() >= sent, lambda: f"only {srv.count()} of {sent} stored")
    if sent != CPU_CONNECTIONS:
        raise BenchError(f"{sent} of {CPU_CONNECTIONS} messages sent in the time allowed")
    return (srv.cpu() - cpu0) * 1000 / sent, cli, wall


def run_cpu_resumed(srv):
    """Resumed STARTTLS, then plain on the same server: the server's CPU a message of each (the
    fifth value: plain)."""
    tls, cli, wall = smtp_cpu_each(srv, "starttls+resume")
    plain, cli2, wall2 = smtp_cpu_each(srv, False)
    return tls, (tls + plain) * CPU_CONNECTIONS / 1000, cli + cli2, wall + wall2, plain


def cpu_ratio_note(row):
    """Resumed STARTTLS over plain, the median of each run's ratio, for Tandrivel and the peer."""
    def ratio(tls, plain):
        return fmt(statistics.median(t / p for t, p in zip(tls, plain) if p)) + "×" if tls else "–"
    row.notes.append(f"resumed STARTTLS / plain: Tandrivel {ratio(row.figures, row.sub.figures)}, "
                     f"peer {ratio(row.peer_figures, row.sub.peer_figures)}")


def run_pop_sessions(srv, count, mailbox, tls=False):
    cpu0 = srv.cpu()
    port = srv.pop3s if mode(tls)[0] == "implicit" else srv.pop3
    [n], wall, cli = parallel(pop_session_each, [(port, "bench", count, mailbox, tls)])
    return n / wall, srv.cpu() - cpu0, cli, wall


def run_pop_dele(srv, count, size):
    """A fresh mailbox each run: one session RETRs and DELEs every message, then QUIT; counted
    once the files are gone."""
    srv.clear()
    filled(["bench"], count, size)(srv)
    cpu0 = srv.cpu()
    [n], wall, cli = parallel(pop_retr_dele_all, [(srv.pop3, "bench", count)])
    wall += wait_until(lambda: srv.files() == 0, lambda: f"{srv.files()} messages still there after QUIT")
    return n / wall, srv.cpu() - cpu0, cli, wall


# --- the client in C (bench/load.c), where the Python clients would set the pace -------------

LOAD_C = [None]   # the built client's path, once main has built it


def built(source, exe):
    """exe compiled from bench/<source> unless it is there and newer; None when no compiler could."""
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), source)
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        made = subprocess.run(["cc", "-O2", "-Wall", "-o", exe, src], capture_output=True, text=True)
        if made.returncode:
            print(f"{source} not built: {made.stderr.strip()[:300]}", file=sys.stderr)
            return None
    return exe


def run_c(srv, port, *args):
    """One session of the C client: (figure, cpu server s, cpu client s, wall s), the figure from the
    count and seconds of its timed part."""
    if not LOAD_C[0]:
        raise BenchError("no C client (bench/load.c did not build)")
    cpu0 = srv.cpu() if srv else 0.0
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    out = subprocess.run([LOAD_C[0], str(port), "bench", "pw-bench", *map(str, args)], capture_output=True, text=True,
                         timeout=300)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if out.returncode:
        raise BenchError(f"C client: {out.stderr.strip()[:300]}")
    count, secs = out.stdout.split()
    cli = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    return int(count) / float(secs), (srv.cpu() - cpu0) if srv else 0.0, cli, wall


class Floor:
    """bench/floor.c: a responder that does nothing but answer, on its own two ports; `message`:
    the size and number of the messages its POP3 side lists and answers."""

    def __init__(self, exe, message=()):
        self.smtp, self.pop3 = free_port(), free_port()
        self.proc = subprocess.Popen([exe, str(self.smtp), str(self.pop3), *map(str, message)])
        wait_until(self.answers, lambda: "the floor responder did not answer", 10)

    def answers(self):
        try:
            socket.create_connection((HOST, self.pop3), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def floor_smtp(floor, size, conc, count):
    message = make_message(size)
    sent, wall, _ = parallel(smtp_worker, [(floor.smtp, message, n) for n in split(count, conc)])
    return sum(sent) / wall


def floor_dele(floor, count):
    t0 = time.perf_counter()
    [n], _, _ = parallel(pop_retr_dele_all, [(floor.pop3, "bench", count)])
    return n / (time.perf_counter() - t0)


def run_noop_during_logins(srv, sessions, mailbox):
    """While another client logs in again and again to a mailbox of `mailbox` messages (login,
    RETR, QUIT), this one, logged in to a small mailbox, sends NOOP every 2 ms. Returns the
    longest NOOP wait and, as a fifth value, the median one (ms)."""
    pop = pop_login(srv.pop3, "other")
    worker = mp.get_context("fork").Process(target=pop_session_each, args=(srv.pop3, "bench", sessions, mailbox),
                                            daemon=True)
    waits = []
    cpu0 = srv.cpu()
    t0 = time.perf_counter()
    worker.start()
    try:
        while worker.is_alive() and time.perf_counter() - t0 < LIMIT + 10:
            t1 = time.perf_counter()
            pop.pop_cmd(b"NOOP")
            waits.append(time.perf_counter() - t1)
            time.sleep(0.002)
    finally:
        worker.join(10)
        if worker.is_alive():
            worker.terminate()
            worker.join()
    wall = time.perf_counter() - t0
    if worker.exitcode != 0:
        raise BenchError(f"the client logging in ended with {worker.exitcode}")
    pop_quit(pop)
    return max(waits) * 1000, srv.cpu() - cpu0, 0.0, wall, statistics.median(waits) * 1000


def run_pop_concurrent(srv, accounts, count):
    cpu0 = srv.cpu()
    done, wall, cli = parallel(pop_retr_all, [(srv.pop3, a, count) for a in accounts])
    return sum(n for n, _ in done) / wall, srv.cpu() - cpu0, cli, wall


def listen_overflows():
    """The kernel's count of connections dropped because a listen queue was full."""
    with open("/proc/net/netstat") as f:
        lines = [l.split() for l in f if l.startswith("TcpExt:")]
    return int(dict(zip(lines[0], lines[1]))["ListenOverflows"])


def run_idle(srv, n, window, rss_out, notes):
    """Opens n connections, at most `window` of them not yet greeted at a time (None: all at
    once); time until every greeting has come; RSS growth per connection. A connection the
    server has not greeted after IDLE_LIMIT seconds is counted as missing."""
    time.sleep(0.3)
    before = srv.status("VmRSS")
    cpu0, self0 = srv.cpu(), resource.getrusage(resource.RUSAGE_SELF)
    overflows = listen_overflows()
    sel = selectors.DefaultSelector()
    socks = []
    t0 = time.perf_counter()
    greeted, last, late = 0, t0, 0
    while greeted < n and time.perf_counter() - t0 < IDLE_LIMIT:
        while len(socks) < n and (window is None or len(socks) - greeted < window):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex((HOST, srv.smtp))
            sel.register(s, selectors.EVENT_READ)
            socks.append(s)
        for key, _ in sel.select(1.0):
            data = key.fileobj.recv(4096)
            if not data.startswith(b"220"):
                raise BenchError(f"greeting expected, got {data[:60]!r}")
            sel.unregister(key.fileobj)
            greeted += 1
            last = time.perf_counter()
            late += (last - t0) >= 1.0
    self1 = resource.getrusage(resource.RUSAGE_SELF)
    overflows = listen_overflows() - overflows
    if greeted < n:
        notes.append(f"{greeted} of {n} greeted in {IDLE_LIMIT:.0f} s, {overflows} listen-queue overflows")
    elif late:
        notes.append(f"{late} greeted after 1 s")
    time.sleep(0.5)
    during = srv.status("VmRSS")
    rss_out.append((during - before) / max(1, greeted))
    cpu = srv.cpu() - cpu0
    for s in socks:
        s.close()
    sel.close()
    cli = (self1.ru_utime + self1.ru_stime) - (self0.ru_utime + self0.ru_stime)
    return (last - t0 if greeted == n else float("inf")), cpu, cli, last - t0


def run_big(srv, size, phases):
    """One message of `size` bytes in over SMTP, then out over POP3; peak RSS of each part."""
    message = make_message(size)
    srv.clear()
    base = srv.status("VmRSS")
    srv.reset_peak()
    cpu0 = srv.cpu()
    t0 = time.perf_counter()
    smtp_send(srv.smtp, message, [b"bench@" + DOMAIN.encode()])
    t1 = time.perf_counter()
    smtp_peak = srv.status("VmHWM")
    time.sleep(0.2)
    srv.reset_peak()
    kept = srv.status("VmRSS")   # what the server still holds once the message is stored
    c = pop_login(srv.pop3, "bench")
    got = pop_retr(c, 1)
    if not size <= got < size + 4096:   # the message under its trace headers
        raise BenchError(f"the big message came back with {got} bytes, {size} were sent")
    pop_quit(c)
    t2 = time.perf_counter()
    pop_peak = srv.status("VmHWM")
    phases.append((base, smtp_peak, kept, pop_peak, t1 - t0, t2 - t1))
    return max(smtp_peak, pop_peak) * KB / size, srv.cpu() - cpu0, 0.0, t2 - t0


def run_relay(srv, sink, messages, recipients):
    rcpts = [b"r%d@relay.test" % i for i in range(recipients)]
    have, _ = sink.counts()
    cpu0, self0 = srv.cpu(), os.times()
    t0 = time.perf_counter()
    for _ in range(messages):
        smtp_send(srv.smtp, make_message(1 * KB), rcpts)
    self1 = os.times()
    want = have + messages * recipients
    while True:
        n, last = sink.counts()
        if n >= want:
            break
        if time.perf_counter() - t0 > 60:
            raise BenchError(f"the sink got {n - have} of {want - have} relayed messages")
        time.sleep(0.02)
    wall = last - t0
    return (want - have) / wall, srv.cpu() - cpu0, (self1.user + self1.system) - (self0.user + self0.system), wall


def run_mx_block(srv, run):
    """A message to a domain whose MX lookup takes 0.2 s; meanwhile another client sends NOOP after NOOP.
    The figure is the longest any NOOP waited."""
    pop = pop_login(srv.pop3, "bench")
    t0 = time.perf_counter()
    # Another process: a thread of ours would make the NOOPs wait for the interpreter lock.
    sender = mp.Process(target=smtp_send, args=(srv.smtp, make_message(1 * KB), [b"x@slow%d.test" % run]))
    sender.start()
    waits = []
    while time.perf_counter() - t0 < 0.5:
        t1 = time.perf_counter()
        pop.pop_cmd(b"NOOP")
        waits.append(time.perf_counter() - t1)
        time.sleep(0.002)
    sender.join()
    pop_quit(pop)
    return max(waits) * 1000, 0.0, 0.0, time.perf_counter() - t0


# --- the table ---------------------------------------------------------------------------

class Row:
    """One workload: Tandrivel's figures, and its peer's from runs taken beside them."""

    def __init__(self, name, unit, target):
        self.name, self.unit, self.target = name, unit, target
        self.figures, self.cpu_srv, self.cpu_cli, self.peak, self.notes = [], [], [], None, []
        self.peer, self.peer_figures, self.cpu_peer = "–", [], []   # peer: its name, or why it is absent
        self.sub = None   # a row for the fifth value a run returns

    def add(self, result, peer=False):
        figure, srv_cpu, cli_cpu, wall = result[:4]
        cpu = srv_cpu / wall if wall else 0
        if peer:
            self.peer_figures.append(figure)
            self.cpu_peer.append(cpu)
        else:
            self.figures.append(figure)
            self.cpu_srv.append(cpu)
            self.cpu_cli.append(cli_cpu / wall if wall else 0)
        print(f"  {self.name} [{self.peer if peer else 'Tandrivel'}]: {self.show(figure)}  (server cpu {cpu:.0%}, "
              f"client cpu {cli_cpu / wall if wall else 0:.0%})", file=sys.stderr, flush=True)
        if self.sub and len(result) > 4:
            self.sub.peer = self.peer
            self.sub.add((result[4],) + tuple(result[1:4]), peer)

    def show(self, x):
        return fmt(x) if x == float("inf") else f"{fmt(x)} {self.unit}"

    def ratio(self):
        pairs = [t / p for t, p in zip(self.figures, self.peer_figures) if p and p != float("inf")]
        return fmt(statistics.median(pairs)) + "×" if pairs else "–"

    def cells(self):
        f, pf = self.figures, self.peer_figures
        peer = f"{self.peer}: {self.show(statistics.median(pf))}" if pf else self.peer
        share = lambda xs: f"{statistics.median(xs):.0%}" if xs else "–"  # noqa: E731
        return [self.name, self.show(statistics.median(f)), span(f), peer, span(pf), self.ratio(), self.target,
                share(self.cpu_srv), share(self.cpu_peer), share(self.cpu_cli),
                f"{self.peak / KB:.0f} MiB" if self.peak else "–", "; ".join(self.notes)]


def folded(exe, runs, n, with_peers):
    """The workloads of the scripts that have setups of their own (sinks, a resolver, rspamd, the test
    harness), by the name --only knows them by: each gives its rows as dicts."""
    os.environ["TANDRIVEL_EXE"] = exe   # read by the test harness when first imported

    def uploads(count):
        import uploads as u
        return u.rows(runs, count)

    def needs_root(rows):
        return rows if os.geteuid() == 0 else lambda: print("  skipped: needs root", file=sys.stderr) or []

    import checks
    import filters
    import queue_scale
    import relay_many
    recipients = max(1000, round(n(100000), -1))
    return {
        "relay many": needs_root(lambda: relay_many.rows(exe, runs, n(1000), postfix=with_peers)),
        "queue": needs_root(lambda: queue_scale.rows(exe, runs, recipients)),
        "checks": needs_root(lambda: checks.rows(exe, runs, n(2000))),
        "milter": needs_root(lambda: filters.rows(exe, runs, n(1000)) if with_peers else []),
        "uploads": lambda: uploads(2000),   # the memory budget under many: never fewer
    }


def row_of(d):
    r = Row(d["name"], d["unit"], d["target"])
    r.figures, r.peer_figures, r.cpu_srv = list(d["ours"]), list(d.get("theirs", [])), list(d.get("cpu", []))
    r.peer, r.notes = d.get("peer", "–"), list(d.get("notes", []))
    return r


def floor_note(row, floor):
    """How near the floor (what the clients reach against a responder that does nothing) each server came."""
    near = [f"Tandrivel {statistics.median(row.figures) / floor:.0%}"]
    if row.peer_figures:
        near.append(f"{row.peer.split()[0]} {statistics.median(row.peer_figures) / floor:.0%}")
    return f"floor {row.show(floor)}: " + ", ".join(near) + " of it"


def fmt(x):
    if x == float("inf"):
        return "never"
    return f"{x:,.0f}" if x >= 100 else f"{x:,.1f}" if x >= 10 else f"{x:.2f}"


def span(figures):
    return f"{fmt(min(figures))} – {fmt(max(figures))}" if figures else ""


def table(rows):
    head = ["workload", "Tandrivel", "min – max", "peer", "min – max", "Tandrivel / peer", "target",
            "cpu srv", "cpu peer", "cpu cli", "peak RSS", "notes"]
    lines = [head] + [r.cells() for r in rows]
    out = ["| " + " | ".join(l) + " |" for l in lines]
    out.insert(1, "|" + "|".join("---" for _ in head) + "|")
    return "\n".join(out)


# --- main ---------------------------------------------------------------------------------

class W:
    """A workload: its row, Tandrivel's settings, a preparation and one run, both given a server;
    `peer` names the peer that runs it too, `also` the name and unit of a second figure."""

    def __init__(self, name, unit, target, once, kwargs=None, prepare=None, peer=None, also=None, floor=None,
                 finish=None, fresh=False, floor_message=(), quick=True):
        self.name, self.unit, self.target, self.once = name, unit, target, once
        self.kwargs, self.prepare, self.peer, self.also = kwargs or {}, prepare, peer, also
        self.floor = floor   # the same clients against the floor responder, for the notes
        self.floor_message = floor_message   # (size, count) of the messages the floor lists
        self.quick = quick   # in --quick when --only does not name it
        self.finish = finish   # given the row once every run is in
        # A fresh server (and peer) for every run: memory figures never helped by an earlier run.
        self.fresh = fresh or name.startswith(("idle", "big"))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", default=os.path.join(os.path.dirname(__file__), "..", "build-bench", "Tandrivel"))
    p.add_argument("--runs", type=int, default=None, help="3, or 1 with --quick")
    p.add_argument("--quick", action="store_true", help="every row in a few minutes: one run, a tenth of the messages")
    p.add_argument("--only", default="", help="comma-separated workload name prefixes (smtp, pop3, imap, idle, big, relay, mx, relay many, queue, checks, milter, uploads, or a whole name ending in $, "
                                              "'pop3 login+RETR+QUIT, mailbox 200')")
    p.add_argument("--scale", type=float, default=None, help="multiplies message counts (0.1 under valgrind; 0.1 with --quick)")
    p.add_argument("--peers", choices=("auto", "none"), default="auto",
                   help="run Postfix and Dovecot beside Tandrivel where they are installed (root only)")
    p.add_argument("--wrap", default="", help="command that starts the server, e.g. 'valgrind --tool=callgrind'")
    p.add_argument("--perf", default="", help="folder: a `perf record` of the server for each workload")
    p.add_argument("--perf-args", default="-g", help="what --perf passes to perf record (e.g. '--call-graph dwarf')")
    p.add_argument("--callgrind", default="", help="folder: run the server under callgrind, counting only the workload")
    p.add_argument("--log", default="", help="file for the server's log (default: Tandrivel.log in its temporary folder)")
    p.add_argument("--floor", default=os.path.join(os.path.dirname(__file__), "..", "build-bench", "floor"),
                   help="bench/floor.c built: the same clients against a responder that does nothing, in the notes")
    p.add_argument("--load", default=os.path.join(os.path.dirname(__file__), "..", "build-bench", "load"),
                   help="where bench/load.c is built, the client of the rows named '..., C client'")
    a = p.parse_args()
    a.runs = a.runs or (1 if a.quick else 3)
    a.scale = a.scale or (0.1 if a.quick else 1.0)
    exe = os.path.abspath(a.exe)
    if not os.path.exists(exe):
        sys.exit(f"no executable at {exe}; build it with: BUILD_DIR=build-bench BUILD_TYPE=Release scripts/build.sh")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))   # 1,000 idle connections need descriptors
    n = lambda count: max(1, int(count * a.scale))   # noqa: E731
    conc_accounts = [f"pop{i}" for i in range(10)]
    profiling = a.wrap or a.perf or a.callgrind   # the peers would only blur a profile
    absent = {k: "–" if a.peers == "none" or profiling else peers.missing(k) for k in peers.PEERS}

    def c_pop(twin, target, count, size, args=None):
        """The Python row `twin` again with the C client, and the same client against the floor."""
        args = args or ("pop3-retr", count, TOP_PASSES)   # passes: a run of 30 ms would be too short to tell
        return W(twin + ", C client", "msg/s", target, lambda s: run_c(s, s.pop3, *args),
                 prepare=filled(["bench"], count, size), peer="dovecot", floor=lambda f: run_c(None, f.pop3, *args)[0],
                 floor_message=(size, count))

    workloads = [
        W("smtp 1KB x10", "msg/s", ">= 3x Postfix", lambda s: run_smtp(s, 1 * KB, 10, n(2000)), peer="postfix",
          floor=lambda f: floor_smtp(f, 1 * KB, 10, n(2000))),
        W("smtp 100KB x10", "msg/s", ">= 3x Postfix", lambda s: run_smtp(s, 100 * KB, 10, n(1000)), peer="postfix",
          floor=lambda f: floor_smtp(f, 100 * KB, 10, n(1000))),
        W("smtp 1KB x10 STARTTLS", "msg/s", "", lambda s: run_smtp(s, 1 * KB, 10, n(2000), tls=True), {"tls": True},
          peer="postfix"),
        W("smtp 1KB x10 STARTTLS resuming", "msg/s", ">= 2x Postfix",
          lambda s: run_smtp(s, 1 * KB, 10, n(2000), tls="starttls+resume"), {"tls": True}, peer="postfix"),
        W("smtp 1KB x1 STARTTLS", "msg/s", "", lambda s: run_smtp(s, 1 * KB, 1, n(500), tls=True), {"tls": True},
          peer="postfix"),
        W("smtp 1KB x1 STARTTLS resuming", "msg/s", ">= 2x Postfix",
          lambda s: run_smtp(s, 1 * KB, 1, n(500), tls="starttls+resume"), {"tls": True}, peer="postfix"),
        W("smtps 1KB x10", "msg/s", "", lambda s: run_smtp(s, 1 * KB, 10, n(2000), tls="implicit"), {"tls": True},
          peer="postfix"),
        W("smtps 1KB x10 resuming", "msg/s", "", lambda s: run_smtp(s, 1 * KB, 10, n(2000), tls="implicit+resume"),
          {"tls": True}, peer="postfix"),
        W("smtp 1KB x1", "msg/s", ">= 2x Postfix", lambda s: run_smtp(s, 1 * KB, 1, n(500)), peer="postfix",
          floor=lambda f: floor_smtp(f, 1 * KB, 1, n(500))),
        W("smtp 100KB x1", "msg/s", ">= 2x Postfix", lambda s: run_smtp(s, 100 * KB, 1, n(300)), peer="postfix",
          floor=lambda f: floor_smtp(f, 100 * KB, 1, n(300))),
        W("pop3 RETR 2000x1KB, 1 session", "msg/s", ">= 11,000", lambda s: run_pop_one_session(s, n(2000)),
          prepare=filled(["bench"], n(2000), 1 * KB), peer="dovecot"),
        c_pop("pop3 RETR 2000x1KB, 1 session", ">= 11,000", n(2000), 1 * KB),
        W("pop3 RETR 2000x1KB, 1 session, STLS", "msg/s", "", lambda s: run_pop_one_session(s, n(2000), tls=True),
          {"tls": True}, filled(["bench"], n(2000), 1 * KB), peer="dovecot"),
        W("pop3s RETR 2000x1KB, 1 session", "msg/s", ">= 1.5x Dovecot",
          lambda s: run_pop_one_session(s, n(2000), tls="implicit"), {"tls": True}, filled(["bench"], n(2000), 1 * KB),
          peer="dovecot"),
        W("pop3s login+RETR+QUIT, mailbox 10", "sess/s", "", lambda s: run_pop_sessions(s, n(200), 10, tls="implicit"),
          {"tls": True}, filled(["bench"], 10, 1 * KB), peer="dovecot"),
        W("pop3s login+RETR+QUIT, mailbox 10, resuming", "sess/s", "",
          lambda s: run_pop_sessions(s, n(200), 10, tls="implicit+resume"), {"tls": True}, filled(["bench"], 10, 1 * KB),
          peer="dovecot"),
        W("pop3 RETR 300x100KB, 1 session", "msg/s", ">= 2.5x Dovecot", lambda s: run_pop_one_session(s, n(300)),
          prepare=filled(["bench"], n(300), 100 * KB), peer="dovecot"),
        c_pop("pop3 RETR 300x100KB, 1 session", ">= 2.5x Dovecot", n(300), 100 * KB),
        W("pop3 RETR 100x1MB, 1 session", "msg/s", ">= 2x Dovecot", lambda s: run_pop_one_session(s, n(100)),
          prepare=filled(["bench"], n(100), 1 * MB), peer="dovecot"),
        c_pop("pop3 RETR 100x1MB, 1 session", ">= 2x Dovecot", n(100), 1 * MB),
        W("pop3 RETR 10x10MB, 1 session", "msg/s", ">= 1.5x Dovecot", lambda s: run_pop_one_session(s, max(2, n(10))),
          prepare=filled(["bench"], max(2, n(10)), 10 * MB), peer="dovecot"),
        W("pop3 TOP n 20 300x100KB, 1 session", "msg/s", "", lambda s: run_pop_top(s, n(300), 20),
          prepare=filled(["bench"], n(300), 100 * KB), peer="dovecot"),
        c_pop("pop3 TOP n 20 300x100KB, 1 session", "", n(300), 100 * KB, ("pop3-top", n(300), 20, TOP_PASSES)),
        W("smtp server CPU a message, STARTTLS resuming", "ms", "<= 1.5x plain", run_cpu_resumed, {"tls": True},
          peer="postfix", also=("smtp server CPU a message, plain", "ms"), finish=cpu_ratio_note),
        W("pop3 RETR+DELE+QUIT 2000x1KB", "msg/s", ">= 1.5x Dovecot", lambda s: run_pop_dele(s, n(2000), 1 * KB),
          peer="dovecot", floor=lambda f: floor_dele(f, n(2000))),
    ]
    # The mailbox-size sweep: the mailbox keeps its size whatever --scale says, only the number
    # of sessions shrinks.
    for size in (10, 200, 2000, 10000):
        workloads.append(W(f"pop3 login+RETR+QUIT, mailbox {size:,}", "sess/s", ">= 1,000" if size == 10000 else "",
                           lambda s, size=size: run_pop_sessions(s, n(200), size),
                           prepare=filled(["bench"], size, 1 * KB), peer="dovecot"))
    workloads += [
        W("pop3 NOOP while another logs in to 10,000: max", "ms", "<= 5 ms",
          lambda s: run_noop_during_logins(s, n(100), 10000), {"accounts": ["bench", "other"]},
          lambda s: (filled(["bench"], 10000, 1 * KB)(s), filled(["other"], 10, 1 * KB)(s)), peer="dovecot",
          also=("pop3 NOOP while another logs in to 10,000: median", "ms")),
        W("pop3 10 clients x200x1KB", "msg/s", "", lambda s: run_pop_concurrent(s, conc_accounts, n(200)),
          {"accounts": conc_accounts}, filled(conc_accounts, n(200), 1 * KB)),
        W("pop3 10 clients x10x1MB", "msg/s", "", lambda s: run_pop_concurrent(s, conc_accounts, max(1, n(10))),
          {"accounts": conc_accounts}, filled(conc_accounts, max(1, n(10)), 1 * MB)),
    ]
    box = 10000   # the IMAP mailbox keeps its size whatever --scale says
    workloads += [
        W(f"imap login+SELECT, INBOX {box:,}", "sess/s", ">= 2x Dovecot", lambda s: imap.run_sessions(s, n(100), box),
          {"imap": True}, imap.filled(box, 1 * KB), peer="dovecot-imap"),
        W(f"imap FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE), {box:,}", "msg/s", ">= 2x Dovecot",
          lambda s: imap.run_timed(imap.fetch_all, s, box, 1 * KB), {"imap": True}, imap.filled(box, 1 * KB),
          peer="dovecot-imap"),
        W(f"imap FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE), {box:,}, C client", "msg/s", ">= 2x Dovecot",
          lambda s: run_c(s, s.imap, "imap-envelope", box, 1 * KB, max(1, n(10))), {"imap": True},
          # and fetched once: every run finds a peer's cache of envelopes filled, not only the later ones
          lambda s: (imap.filled(box, 1 * KB)(s), run_c(s, s.imap, "imap-envelope", box, 1 * KB, 1)),
          peer="dovecot-imap", quick=False),   # a second fill of 10,000 for a pass of 30 ms
        W("imap FETCH n BODY[] 2000x1KB, 1 session", "msg/s", ">= 2x Dovecot",
          lambda s: imap.run_timed(imap.body_each, s, n(2000), 1 * KB), {"imap": True}, imap.filled(n(2000), 1 * KB),
          peer="dovecot-imap"),
        W("imap FETCH n BODY[] 2000x1KB, 1 session, C client", "msg/s", ">= 2x Dovecot",
          lambda s: run_c(s, s.imap, "imap-body", n(2000), 1 * KB), {"imap": True}, imap.filled(n(2000), 1 * KB),
          peer="dovecot-imap"),
        W(f"imap UID SEARCH SUBJECT, {box:,}", "search/s", ">= 2x Dovecot",
          lambda s: imap.run_timed(imap.search_each, s, n(50), box), {"imap": True}, imap.filled(box, 1 * KB, True),
          peer="dovecot-imap"),
        W(f"imap QRESYNC resync after {imap.CHANGES} changes, {box:,}", "sess/s", ">= 2x Dovecot",
          lambda s: imap.run_resync(s, n(100), box), {"imap": True}, imap.changed(box), peer="dovecot-imap"),
        W("imap APPEND 1KB, 1 session, the end of each in a write of its own", "msg/s", "",
          lambda s: imap.run_timed(imap.append_each, s, n(200), 1 * KB), {"imap": True}, imap.warm(0),
          peer="dovecot-imap"),
        W(f"imap FETCH 1:* BODY[] setting \\Seen, {n(2000):,}x1KB, {imap.IDLERS} others in IDLE", "msg/s", ">= 2x Dovecot",
          lambda s: imap.run_timed(imap.seen_with_idlers, s, n(2000), 1 * KB), {"imap": True}, imap.filled(n(2000), 1 * KB),
          peer="dovecot-imap", also=(f"imap the same: last of {imap.IDLERS} idlers told after", "s")),
        W("imap 1000 in IDLE: memory a connection", "KiB", "<= 16 KiB", lambda s: imap.run_idle_push(s, 1000, 10),
          {"imap": True}, imap.filled(10, 1 * KB), peer="dovecot-imap", fresh=True,
          also=("imap new mail pushed to 1000 idlers: last EXISTS after", "s"), finish=imap.inotify_note),
    ]
    idle_kib, idle_notes, paced_kib, paced_notes, big_phases = [], [], [], [], []
    workloads += [
        W("idle 1000 at once: time to greet all", "s", "<= 1 s", lambda s: run_idle(s, 1000, None, idle_kib, idle_notes)),
        W("idle 1000, 32 in flight: time to greet all", "s", "<= 1 s",
          lambda s: run_idle(s, 1000, 32, paced_kib, paced_notes)),
        W("big 50MB in+out: peak RSS / size", "x", "<= 3x", lambda s: run_big(s, 50 * MB, big_phases)),
    ]
    rows = []
    # Names hold commas too ("10,000", ", 1 session"): a comma before a word starts a new prefix.
    only = re.split(r",(?=[^\s\d])", a.only) if a.only else []
    # A name ending in "$" is that workload alone, not every one it begins.
    selected = [w for w in workloads if not only or any(w.name == o[:-1] if o.endswith("$") else w.name.startswith(o) for o in only)]
    selected = [w for w in selected if w.quick or only or not a.quick]
    if any(w.name.endswith("C client") for w in selected):
        LOAD_C[0] = built("load.c", os.path.abspath(a.load))
    if any(w.floor for w in selected) and not profiling:
        built("floor.c", os.path.abspath(a.floor))   # rebuilt when older than its source
    want_relay = not only or any(o in ("relay", "mx") for o in only)
    if want_relay and os.geteuid() != 0:
        print("relay and MX workloads skipped: the sink needs port 25 (run as root)", file=sys.stderr)
        want_relay = False
    print(f"machine: nproc {os.cpu_count()}, load average at start {os.getloadavg()[0]:.2f}", file=sys.stderr)
    for kind, why in absent.items():
        if why and why != "–":
            print(f"peer {kind}: {why}; its columns stay empty", file=sys.stderr)

    failed = []

    @contextlib.contextmanager
    def going_on(name):
        """A workload that fails is named at the end, after the table of the others."""
        try:
            yield
        except (BenchError, AssertionError, RuntimeError, OSError) as e:
            failed.append(f"{name}: {e}")
            print(f"  {name} failed: {e}", file=sys.stderr, flush=True)

    @contextlib.contextmanager
    def tandrivel(name, kwargs):
        tag = name.split(":")[0].replace(" ", "_").replace(",", "")
        wrap = shlex.split(a.wrap)
        if a.callgrind:
            os.makedirs(a.callgrind, exist_ok=True)
            wrap = ["valgrind", "--tool=callgrind", "--instr-atstart=no",
                    f"--callgrind-out-file={os.path.abspath(a.callgrind)}/{tag}.%p.out"]
        srv = Server(exe, log=a.log or None, wrapper=wrap, **kwargs)
        perf = None
        try:
            srv.start()
            if a.perf:
                os.makedirs(a.perf, exist_ok=True)
                out = os.path.join(a.perf, tag + ".data")
                perf = subprocess.Popen(["perf", "record", *shlex.split(a.perf_args), "-q", "-o", out, "-p", str(srv.proc.pid)])
                time.sleep(0.5)
            yield srv
        finally:
            if perf:
                perf.send_signal(2)
                perf.wait(60)
            srv.stop()

    @contextlib.contextmanager
    def peer_beside(w, row):
        """The workload's peer, started, or None when there is none (the row tells why)."""
        why = absent.get(w.peer, "–")
        peer = None if why else peers.PEERS[w.peer](**w.kwargs)
        try:
            if peer:
                peer.start()
                row.peer = peer.label
        except (BenchError, OSError, subprocess.SubprocessError) as e:
            # A peer that does not start leaves its columns empty; the run goes on.
            row.peer = f"{peer.name} did not start: {str(e)[:160]}"
            print(f"  {row.peer}", file=sys.stderr)
            peer.stop()
            peer = None
        except BaseException:
            peer.stop()
            raise
        else:
            if why:
                row.peer = why
        try:
            yield peer
        finally:
            if peer:
                peer.stop()

    for w in selected:
        with going_on(w.name):
            row = Row(w.name, w.unit, w.target)
            if w.also:
                row.sub = Row(*w.also, "")
            for group in ([[r] for r in range(a.runs)] if w.fresh else [range(a.runs)]):
                with tandrivel(w.name, w.kwargs) as srv, peer_beside(w, row) as peer:
                    both = [srv] + ([peer] if peer else [])
                    if w.prepare:
                        for s in both:
                            w.prepare(s)
                    if a.callgrind:   # start-up and preparation are not counted
                        subprocess.run(["callgrind_control", "-i", "on", str(srv.proc.pid)], check=True, stdout=subprocess.DEVNULL)
                    for run in group:   # taking turns, each first every other run
                        for s in (both if run % 2 == 0 else both[::-1]):
                            row.add(w.once(s), peer=s is peer)
                    row.peak = max(row.peak or 0, srv.status("VmHWM"))
            if w.finish:
                w.finish(row)
            if w.floor and os.access(a.floor, os.X_OK) and not profiling:
                floor = Floor(a.floor, w.floor_message)
                try:
                    figures = [w.floor(floor) for _ in range(a.runs)]
                finally:
                    floor.stop()
                row.notes.append(floor_note(row, statistics.median(figures)))
            rows.append(row)
            if row.sub:
                rows.append(row.sub)
            if w.name.startswith("idle"):
                kib, row.notes = (idle_kib, idle_notes) if "at once" in w.name else (paced_kib, paced_notes)
                r = Row(w.name.split(":")[0] + ": RSS per connection", "KiB", "<= 16 KiB")
                for k in kib:
                    r.figures.append(k)
                    r.cpu_srv.append(0)
                    r.cpu_cli.append(0)
                rows.append(r)
            if w.name.startswith("big"):
                base, sp, kept, pp, ts, tp = max(big_phases, key=lambda p: max(p[1], p[3]))
                row.peak = max(sp, pp)   # VmHWM was reset between the halves
                row.notes = [f"worst run: {base / KB:.0f} MiB before; SMTP in: peak {sp / KB:.0f} MiB ({ts:.1f} s); "
                             f"{kept / KB:.0f} MiB still held after; POP3 out: peak {pp / KB:.0f} MiB ({tp:.1f} s)"]

    for key, rows_of in folded(exe, a.runs, n, a.peers == "auto").items():
        if (not only or any(key.startswith(o) or o.startswith(key) for o in only)) and not profiling:
            print(f"  {key}:", file=sys.stderr, flush=True)
            with going_on(key):
                rows += [row_of(d) for d in rows_of()]

    if want_relay:
        sink = Sink()
        print(f"  relay sink listening on {sink.host}:25", file=sys.stderr)
        mx_script = ("#!/bin/sh\n# A slow stand-in for the MX lookup that always names the local sink.\n"
                     f"sleep 0.2\nprintf '%s\\tMX preference = 10, mail exchanger = {sink.host}\\r\\n' \"$1\" > \"$2\"\n")
        relay = Row("relay 10 rcpts -> sink", "deliv/s", "")
        mx = Row("MX lookup 0.2 s: longest NOOP wait", "ms", "")
        with going_on("relay"), contextlib.ExitStack() as done:
            done.callback(sink.stop)
            with tandrivel("relay", {"domain_mx": [("relay.test", sink.host, "10")], "getmx_text": mx_script}) as srv:
                for _ in range(a.runs):
                    relay.add(run_relay(srv, sink, n(100), 10))
                relay.peak = srv.status("VmHWM")
                for run in range(a.runs):
                    mx.add(run_mx_block(srv, run))
        rows += [r for r in (relay, mx) if r.figures and (not a.only or r.name.split()[0].lower() in a.only.lower())]

    print(f"load average at end {os.getloadavg()[0]:.2f}", file=sys.stderr)
    print(table(rows), flush=True)
    if failed:
        raise BenchError("; ".join(failed))


def interrupted(signum, frame):
    raise KeyboardInterrupt   # so that every server and peer is stopped on the way out


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)   # also when started with SIGINT ignored (in the background)
    try:
        main()
    except BenchError as e:
        sys.exit(f"bench failed: {e}")
    except KeyboardInterrupt:
        sys.exit("bench stopped")
    finally:
        empty_trash()
