"""A queue of 100,000: how start-up, memory, `Tandrivel --queue` and a flush grow with the relay queue.

For each size (recipients: messages of 1 KB x 10 recipients, two at each of 5 domains) a fresh program
folder's Queue/ is filled with queue files written as QueueFile writes them: every recipient tried once
and put off for an hour. Then, 3 runs each, medians:

- start: the executable's start until it answers on its SMTP port, and the queue's own figure from its
  log line "Queue: N messages for M recipients read back in X ms" (the event thread does nothing else
  meanwhile); the bench fails unless every message is read back and none is moved aside as damaged;
- VmRSS and VmHWM once it answers;
- `Tandrivel --queue`: wall time, and its count of recipients;
- the flush: `Tandrivel --flush` with the sinks (bench/relay_many.py's, port 25 of loopback addresses of
  their own) greeting at once: the time from the request to the first delivery (the server takes the
  request at its next tick, within a second), deliveries per second from the first to the last, the
  connections opened, Tandrivel's CPU time a delivery (all threads; the figure the machine's other load
  moves least), and the longest wait for a NOOP reply on the SMTP port meanwhile (the event
  thread's longest stall). Every recipient must reach a sink and the queue folder must be empty at the end.

    sudo /usr/bin/python3 bench/queue_scale.py --exe build/Tandrivel [--runs 3] [--sizes 1000,10000,100000]
    sudo /usr/bin/python3 bench/queue_scale.py --exe before=old/Tandrivel --exe after=build/Tandrivel   # in turns

Root for port 25. No DNS: DomainMX.txt names the sinks.
"""
import argparse
import json
import os
import re
import secrets
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
from loadlib import BenchError, Conn, Server, empty_trash, make_message  # noqa: E402
from relay_many import DOMAINS, Sinks  # noqa: E402

RCPTS = [f"r{k}@{d}" for d in DOMAINS for k in range(2)]
READ_BACK = re.compile(rb"Queue: (\d+) messages for (\d+) recipients read back(?: in (\d+) ms)?")


def fill(folder, messages):
    """Queue files as QueueFile::Write and Save leave them (Qt's indented JSON, keys in order)."""
    queue = os.path.join(folder, "Queue")
    os.makedirs(queue)
    text = make_message(1024)
    now = int(time.time())
    stamp = time.strftime("%y%m%d-%H%M%S", time.localtime(now))
    when = time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(now))
    base = secrets.randbelow(1 << 31)
    for i in range(messages):
        ident = f"{stamp}-{base + i:08x}"   # the random part of QueueFile's names, never taken twice
        with open(os.path.join(queue, ident + ".eml"), "wb") as f:
            f.write(text)
        rs = [{"to": to, "head": f"Received: from client ([127.0.0.1])\r\n\tby bench.test with ESMTP\r\n\tfor <{to}>; {when}\r\n",
               "attempts": 1, "next": now + 3600, "reply": "421 4.4.2 sink held"} for to in RCPTS]
        with open(os.path.join(queue, ident + ".json"), "w") as f:
            json.dump({"accepted": now, "from": "load@bench.client", "recipients": rs}, f, indent=4, sort_keys=True)


def tool(srv, option):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=srv.config, XDG_RUNTIME_DIR=srv.tmp)
    t0 = time.time()
    out = subprocess.run([os.path.join(srv.folder, "Tandrivel"), option], cwd=srv.folder, env=env, capture_output=True, check=True).stdout
    return time.time() - t0, out


def read_back(srv, want_messages, deadline=30):
    """The queue's start-up line; the log is written out within a moment of it."""
    end = time.time() + deadline
    while time.time() < end:
        with open(srv.log, "rb") as f:
            log = f.read()
        if m := READ_BACK.search(log):
            if b"cannot be read" in log:
                raise BenchError("queue files were moved aside as damaged")
            if int(m[1]) != want_messages or int(m[2]) != want_messages * len(RCPTS):
                raise BenchError(f"read back {m[1]} messages, {m[2]} recipients of {want_messages}")
            return int(m[3]) if m[3] else None
        time.sleep(0.05)
    raise BenchError("no read-back line in the log")


class Prober(threading.Thread):
    """NOOP after NOOP on one SMTP connection: the longest reply wait is the event thread's longest stall."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.conn = Conn(port)
        self.conn.expect(self.conn.smtp_reply(), b"220")
        self.conn.smtp_cmd(b"EHLO probe", b"250")
        self.worst, self.running = 0.0, True

    def run(self):
        while self.running:
            t0 = time.time()
            self.conn.smtp_cmd(b"NOOP", b"250")
            self.worst = max(self.worst, time.time() - t0)
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.join(30)
        self.conn.close()


def one_run(exe, sinks, recipients, flush=True, per_domain=None):
    messages = recipients // len(RCPTS)
    srv = Server(exe, domain_mx=[(d, h, "10") for d, h in zip(DOMAINS, sinks.hosts)])
    if per_domain:
        with open(os.path.join(srv.config, "Merivolant", "Tandrivel.conf"), "a") as f:
            f.write(f"RelayPerDomain={per_domain}\n")
    try:
        fill(srv.folder, messages)
        os.sync()   # the files are in the page cache, as a restart soon after a stop finds them
        t0 = time.time()
        srv.start()
        ready = time.time() - t0
        read_ms = read_back(srv, messages)
        rss, hwm = srv.status("VmRSS"), srv.status("VmHWM")
        listed, out = tool(srv, "--queue")
        first = out.split(b"\n", 1)[0]
        if f"{messages} messages, {recipients} recipients".encode() not in first:
            raise BenchError(f"--queue says {first!r}")
        if not flush:
            return {"ready": ready, "read": read_ms, "rss": rss / 1024, "hwm": hwm / 1024, "list": listed}
        probe = Prober(srv.smtp)
        probe.start()
        before = sinks.counts()
        cpu0, sink0 = srv.cpu(), sinks.cpu()
        t1 = time.time()
        tool(srv, "--flush")
        want = before["deliveries"] + recipients
        first = None
        while True:
            now = sinks.counts()
            if first is None and now["deliveries"] > before["deliveries"]:
                first = time.time()   # within the sinks' 10 ms poll of the first delivery
            if now["deliveries"] >= want:
                break
            if time.time() - t1 > 900:
                raise BenchError(f"the sinks took {now['deliveries'] - before['deliveries']} of {recipients}")
            time.sleep(0.01)
        wall = now["last"] - t1
        cpu, sink = srv.cpu() - cpu0, sinks.cpu() - sink0
        probe.stop()
        time.sleep(3)   # connections left open close, and are counted
        after = sinks.counts()
        end = time.time() + 30
        while any(n.endswith(".json") for n in os.listdir(os.path.join(srv.folder, "Queue"))):
            if time.time() > end:
                raise BenchError("queue files left after every delivery")
            time.sleep(0.1)
        peak = srv.status("VmHWM")
        return {"ready": ready, "read": read_ms, "rss": rss / 1024, "hwm": hwm / 1024, "list": listed,
                "rate": recipients / (now["last"] - first), "flush": wall, "wait": first - t1, "conns": after["connections"] - before["connections"],
                "stall": probe.worst * 1000, "peak": peak / 1024, "cpu": cpu / recipients * 1e6, "sinkcpu": sink / recipients * 1e6}
    finally:
        srv.stop()


def rows(exe, runs, recipients):
    """bench.py's rows for one queue size: start-up, memory, `--queue` and the flush."""
    sinks = Sinks()
    try:
        got = [one_run(exe, sinks, recipients) for _ in range(runs)]
    finally:
        sinks.stop()
    each = lambda k: [r[k] for r in got]  # noqa: E731
    med = lambda k: statistics.median(each(k))  # noqa: E731
    big = recipients >= 100000   # the targets were set for a queue of 100,000
    head = f"queue {recipients:,} rcpts"
    return [
        {"name": f"{head}: start until SMTP answers", "unit": "s", "target": "read back < 5 s" if big else "",
         "ours": each("ready"), "notes": [f"queue read in {med('read'):,.0f} ms"]},
        {"name": f"{head}: VmRSS after start", "unit": "MB", "target": "< 200 MB" if big else "", "ours": each("rss")},
        {"name": f"{head}: --queue", "unit": "s", "target": "< 2 s" if big else "", "ours": each("list")},
        {"name": f"{head}: flush", "unit": "deliv/s", "target": "", "ours": each("rate"),
         "notes": [f"CPU a delivery {med('cpu'):.0f} µs, longest NOOP wait {med('stall'):.0f} ms, "
                   f"{med('conns'):.0f} connections"]},
    ]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", action="append", help="the executable; given twice or more (NAME=PATH), they take turns, "
                   "so a build before a change and one after it see the same machine")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--sizes", default="1000,10000,100000", help="recipients, multiples of 10")
    p.add_argument("--no-flush", action="store_true", help="start-up, memory and --queue only")
    p.add_argument("--per-domain", type=int, help="Tandrivel's RelayPerDomain (default: its own, 20: 5 x 20 = the 100 attempts "
                   "at once; fewer leaves attempts to spare, and every end of one looks for another)")
    a = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("port 25 needs root")
    exes = []
    for e in a.exe or [os.path.join(os.path.dirname(__file__), "../build/Tandrivel")]:
        name, _, path = e.rpartition("=")
        exes.append((name or "Tandrivel", os.path.abspath(path)))
    sizes = [int(s) for s in a.sizes.split(",")]
    sinks = Sinks()
    print(f"sinks on {', '.join(sinks.hosts)} port 25", file=sys.stderr)
    figures = {(name, n): [] for name, _ in exes for n in sizes}
    try:
        for run in range(a.runs):
            for n in sizes:
                for name, exe in (exes if run % 2 == 0 else exes[::-1]):   # in turns
                    r = one_run(exe, sinks, n, not a.no_flush, a.per_domain)
                    figures[name, n].append(r)
                    if a.no_flush:
                        print(f"run {run + 1} {name} {n:,} recipients: answers after {r['ready']:.2f} s (queue read in {r['read']} ms), "
                              f"RSS {r['rss']:.0f} MB (peak {r['hwm']:.0f}), --queue {r['list']:.2f} s", file=sys.stderr)
                        continue
                    print(f"run {run + 1} {name} {n:,} recipients: answers after {r['ready']:.2f} s (queue read in {r['read']} ms), "
                          f"RSS {r['rss']:.0f} MB (peak {r['hwm']:.0f}), --queue {r['list']:.2f} s, flush done {r['flush']:.1f} s after --flush, "
                          f"first delivery after {r['wait']:.2f} s, then {r['rate']:,.0f} deliveries/s over {r['conns']} connections, "
                          f"longest NOOP wait {r['stall']:.0f} ms, peak RSS after the flush {r['peak']:.0f} MB, "
                          f"CPU a delivery {r['cpu']:.0f} µs (the sinks' {r['sinkcpu']:.0f} µs)", file=sys.stderr)
    finally:
        sinks.stop()
        empty_trash()

    def med(name, n, k):
        xs = [r[k] for r in figures[name, n] if r.get(k) is not None]
        return statistics.median(xs) if xs else float("nan")

    if a.no_flush:
        print("| recipients (messages × 10) | build | start until SMTP answers, s | queue read, ms | VmRSS after start, MB | `--queue`, s |")
        print("|---|---|---|---|---|---|")
        for n in sizes:
            for name, _ in exes:
                print(f"| {n:,} ({n // 10:,}) | {name} | {med(name, n, 'ready'):.2f} | {med(name, n, 'read'):,.0f} | {med(name, n, 'rss'):.0f} "
                      f"| {med(name, n, 'list'):.2f} |")
        return
    print("| recipients (messages × 10) | build | start until SMTP answers, s | queue read, ms | VmRSS after start, MB | VmHWM after start, MB "
          "| `--queue`, s | flush: first delivery after, s | deliveries/s from it | all delivered after, s | connections "
          "| CPU a delivery, µs | longest NOOP wait in the flush, ms | VmHWM after the flush, MB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for n in sizes:
        for name, _ in exes:
            m = lambda k: med(name, n, k)  # noqa: E731
            print(f"| {n:,} ({n // 10:,}) | {name} | {m('ready'):.2f} | {m('read'):,.0f} | {m('rss'):.0f} | {m('hwm'):.0f} | {m('list'):.2f} "
                  f"| {m('wait'):.2f} | {m('rate'):,.0f} | {m('flush'):.1f} | {m('conns'):.0f} | {m('cpu'):.0f} | {m('stall'):.0f} | {m('peak'):.0f} |")
    print(f"{a.runs} runs, medians; load average at end {os.getloadavg()[0]:.2f}", file=sys.stderr)


if __name__ == "__main__":
    main()
