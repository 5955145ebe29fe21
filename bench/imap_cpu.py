#!/usr/bin/python3
"""The IMAP server's own processor time a command, which no client limits: Tandrivel's process and
Dovecot's imap process of the one session, side by side in each run, over COUNT `FETCH i BODY[]` of
1 KB messages (each sets \\Seen) and over warm `FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE)` of BOX.

CPU is the time on a processor that /proc/<pid>/task/*/schedstat counts (nanoseconds; utime+stime of
/proc/<pid>/stat counts in 10 ms ticks) and is checked against utime+stime. Medians of RUNS runs.
--perf DIR and --strace DIR add a pass of each server under `perf record -g` and `strace -c -f`, not
counted. Hold the bench lock: flock /work/bench.lock bench/imap_cpu.py --exe build-bench/Tandrivel"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import imap   # noqa: E402
import peers   # noqa: E402
from loadlib import CLOCK_TICKS, BenchError, Server, empty_trash   # noqa: E402

SIZE = 1024


def ns(pids):
    """Time on a processor of every thread of `pids` so far, and utime+stime in ns."""
    run = ticks = 0
    for pid in pids:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                run += int(f.read().split()[0])
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])
    return run, ticks * 1_000_000_000 // CLOCK_TICKS


def session_pids(srv):
    """The processes that serve the one open session: Tandrivel's own, or Dovecot's imap process."""
    if isinstance(srv, Server):
        return [srv.proc.pid]
    found = []
    for pid in srv.processes():
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == "imap":
                    found.append(pid)
        except OSError:
            pass
    if len(found) != 1:
        raise BenchError(f"{len(found)} Dovecot imap processes, one expected")
    return found


def body_each(c, count):
    for i in range(1, count + 1):
        out = c.cmd(b"FETCH %d BODY[]" % i)
        if sum(1 for p in out if len(p) > 1 and len(p[1]) == SIZE) != 1:
            raise BenchError(f"FETCH {i} BODY[]: no {SIZE}-byte literal")


def envelopes(c, box):
    out = c.cmd(b"FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE)")
    if sum(1 for p in out if b" FETCH (" in p[0]) != box:
        raise BenchError(f"FETCH 1:*: not {box} responses")


def measure(srv, work, tool=None):
    """(ns a command on a processor, ns of utime+stime) of `work` in a new session on `srv`; under
    `tool` (a command that takes the pid last) when given."""
    c = imap.login(srv.imap)
    imap.select(c, srv.box)
    pids = session_pids(srv)
    watcher = subprocess.Popen(tool + [",".join(map(str, pids))], stderr=subprocess.DEVNULL) if tool else None
    if watcher:
        time.sleep(1.0)   # attached
    (r0, t0) = ns(pids)
    n = work(c)
    (r1, t1) = ns(pids)
    if watcher:
        watcher.send_signal(2)
        watcher.wait(60)
    imap.logout(c)
    return (r1 - r0) / n, (t1 - t0) / n


def start(kind, exe, box):
    srv = peers.DovecotImap() if kind == "dovecot" else Server(exe[kind], imap=True)
    srv.start()
    srv.box = box
    srv.fill("bench", box, SIZE)
    imap.warm(box)(srv)
    return srv


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", default="build-bench/Tandrivel")
    p.add_argument("--count", type=int, default=2000, help="FETCH n BODY[] commands, one a message")
    p.add_argument("--box", type=int, default=10000, help="messages for FETCH 1:* ENVELOPE")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--perf", help="folder for perf.data of each server and workload")
    p.add_argument("--perf-args", default="-g", help="what --perf passes to perf record (e.g. '--call-graph dwarf')")
    p.add_argument("--strace", help="folder for strace -c of each server and workload")
    p.add_argument("--before", help="another build, measured in the same runs (before a change)")
    p.add_argument("--peers", choices=("auto", "none"), default="auto")
    a = p.parse_args()
    exe = {"tandrivel": os.path.abspath(a.exe), "before": a.before and os.path.abspath(a.before)}
    kinds = (["before"] if a.before else []) + ["tandrivel"] + ([] if a.peers == "none" or peers.missing("dovecot-imap") else ["dovecot"])
    loads = {"FETCH n BODY[]": (a.count, lambda c: (body_each(c, a.count), a.count)[1]),
             "FETCH 1:* ENVELOPE, warm": (a.box, lambda c: (envelopes(c, a.box), a.box)[1])}
    try:
        for name, (box, work) in loads.items():
            figures = {k: [] for k in kinds}
            for run in range(a.runs):
                for k in kinds:   # each run a fresh server, so \Seen is set every time
                    srv = start(k, exe, box)
                    try:
                        if name.endswith("warm"):
                            measure(srv, work)   # the envelopes made once
                        figures[k].append(measure(srv, work))
                    finally:
                        srv.stop()
            line = f"{name} ({box:,} messages):"
            for k in kinds:
                run_ns = statistics.median(f[0] for f in figures[k])
                tick_ns = statistics.median(f[1] for f in figures[k])
                line += f"  {k} {run_ns / 1000:.1f} us (utime+stime {tick_ns / 1000:.1f})"
            for k in kinds:
                if k != "tandrivel":
                    ratios = [o[0] / t[0] for t, o in zip(figures["tandrivel"], figures[k])]
                    line += f"  {k}/tandrivel {statistics.median(ratios):.2f}x"
            print(line, flush=True)
            for tool, folder in (("perf", a.perf), ("strace", a.strace)):
                if not folder:
                    continue
                os.makedirs(folder, exist_ok=True)
                for k in kinds:
                    out = os.path.join(folder, f"{k}-{name.split(',')[0].replace(' ', '_').replace(':', '').replace('*', 'all')}")
                    cmd = (["perf", "record", *a.perf_args.split(), "-o", out + ".data", "-p"] if tool == "perf"
                           else ["strace", "-c", "-f", "-o", out + ".strace", "-p"])
                    srv = start(k, exe, box)
                    try:
                        if name.endswith("warm"):
                            measure(srv, work)
                        measure(srv, work, cmd)
                    finally:
                        srv.stop()
    finally:
        empty_trash()


if __name__ == "__main__":
    main()
