"""Relaying many recipients: 1,000 messages of 10 recipients each, two at each of 5 domains, sent to
Tandrivel and to Postfix in the same run; both relay them to the same 5 SMTP sinks on port 25 of
loopback addresses of their own. The sinks greet nobody until every message is taken, then all at once:
the figures are recipient deliveries per second from that moment to the last delivery, and the
connections the sinks saw opened. 3 runs, the two servers in turns, medians.

    sudo /usr/bin/python3 bench/relay_many.py --exe build/Tandrivel [--runs 3] [--messages 1000]

Root for port 25. No DNS: Tandrivel's DomainMX.txt names the sinks, Postfix's transport map names them
as [address]:25 with DNS lookups off.
"""
import argparse
import asyncio
import multiprocessing as mp
import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import peers  # noqa: E402
from loadlib import BenchError, Server, make_message, parallel, smtp_send  # noqa: E402

DOMAINS = [f"d{i}.test" for i in range(5)]


async def _session(reader, writer, counts, open_):
    counts["connections"] += 1
    pending = 0   # RCPTs of the transaction under way: every one is accepted
    await open_.wait()   # no greeting while the sinks are held
    writer.write(b"220 sink ESMTP\r\n")
    try:
        while line := await reader.readline():
            word = line[:4].upper()
            if word == b"EHLO":
                writer.write(b"250-sink\r\n250-PIPELINING\r\n250 SIZE 100000000\r\n")
            elif word == b"RCPT":
                pending += 1
                writer.write(b"250 2.1.5 Ok\r\n")
            elif word == b"DATA":
                writer.write(b"354 go ahead\r\n")
                await writer.drain()
                while await reader.readline() not in (b".\r\n", b""):
                    pass
                counts["deliveries"] += pending
                counts["last"] = time.time()
                pending = 0
                writer.write(b"250 2.0.0 queued\r\n")
            elif word == b"QUIT":
                writer.write(b"221 bye\r\n")
                await writer.drain()
                break
            else:   # MAIL, RSET, NOOP
                pending = 0
                writer.write(b"250 Ok\r\n")
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    writer.close()


def _sinks_main(hosts, conn):
    counts = {"connections": 0, "deliveries": 0, "last": 0.0}

    async def main():
        open_ = asyncio.Event()
        open_.set()
        for h in hosts:
            await asyncio.start_server(lambda r, w: _session(r, w, counts, open_), h, 25, backlog=1024, limit=1 << 20)
        conn.send("listening")
        while True:
            await asyncio.sleep(0.01)
            if conn.poll():
                request = conn.recv()
                if request == "stop":
                    break
                if request == "hold":
                    open_.clear()
                elif request == "release":
                    open_.set()
                conn.send(dict(counts))

    asyncio.run(main())


class Sinks:
    def __init__(self):
        hosts = []
        for n in range(20, 250):
            s = socket.socket()
            try:
                s.bind((f"127.0.0.{n}", 25))
                hosts.append(f"127.0.0.{n}")
            except OSError:
                pass
            finally:
                s.close()
            if len(hosts) == len(DOMAINS):
                break
        self.hosts = hosts
        mine, theirs = mp.get_context("fork").Pipe()
        self.proc = mp.get_context("fork").Process(target=_sinks_main, args=(hosts, theirs), daemon=True)
        self.proc.start()
        if not (mine.poll(10) and mine.recv() == "listening"):
            raise BenchError("the sinks could not listen")
        self.conn = mine

    def counts(self, request="count"):   # "hold": greet nobody until "release"
        self.conn.send(request)
        return self.conn.recv()

    def cpu(self):   # seconds of CPU the sinks' process has used
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.conn.send("stop")
        self.proc.join(10)


def relaying_postfix(sinks):
    p = peers.Postfix()
    transport = os.path.join(p.etc, "transport")
    with open(transport, "w") as f:
        f.writelines(f"{d} smtp:[{h}]:25\n" for d, h in zip(DOMAINS, sinks.hosts))
    with open(os.path.join(p.etc, "main.cf"), "a") as f:
        f.write(f"transport_maps = texthash:{transport}\nsmtp_dns_support_level = disabled\n")
    return p


def one_run(peer, sinks, messages, clients):
    """The mail is all taken while the sinks greet nobody; the clock runs from their release to the last
    delivery, so the figure is the relaying alone, not the intake (four fsyncs a message or so for both)."""
    rcpts = [f"r{k}@{d}".encode() for d in DOMAINS for k in range(2)]
    text = make_message(1024)
    before = sinks.counts("hold")
    share = [messages // clients + (i < messages % clients) for i in range(clients)]
    _, intake, _ = parallel(_sender, [(peer.smtp, text, rcpts, n) for n in share])
    time.sleep(1)   # the last message reaches the queue manager
    cpu0, sink0 = peer.cpu(), sinks.cpu()
    t0 = time.time()
    sinks.counts("release")
    want = before["deliveries"] + messages * len(rcpts)
    while True:
        now = sinks.counts()
        if now["deliveries"] >= want:
            break
        if time.time() - t0 > 600:
            raise BenchError(f"the sinks took {now['deliveries'] - before['deliveries']} of {want - before['deliveries']}")
        time.sleep(0.05)
    cpu, sink = peer.cpu() - cpu0, sinks.cpu() - sink0
    time.sleep(3)   # connections left open close, and are counted
    after = sinks.counts()
    wall = now["last"] - t0
    return (want - before["deliveries"]) / wall, after["connections"] - before["connections"], wall, intake, cpu, sink


def _sender(port, text, rcpts, n):
    for _ in range(n):
        smtp_send(port, text, rcpts)


def take_turns(exe, sinks, runs, messages, clients, per_domain=None, postfix=True):
    """Each run of Tandrivel, then of Postfix (when installed and wanted), in turns; "peer": the Postfix."""
    figures = {"Tandrivel": [], "Postfix": []}
    srv = Server(exe, domain_mx=[(d, h, "10") for d, h in zip(DOMAINS, sinks.hosts)])
    if per_domain:
        with open(os.path.join(srv.config, "Merivolant", "Tandrivel.conf"), "a") as f:
            f.write(f"RelayPerDomain={per_domain}\n")
    pf = None if peers.missing("postfix") or not postfix else relaying_postfix(sinks)
    try:
        srv.start()
        if pf:
            pf.start()
        for run in range(runs):   # in turns, so both see the same machine
            for name, peer in (("Tandrivel", srv), ("Postfix", pf)):
                if peer is None:
                    continue
                r = one_run(peer, sinks, messages, clients)
                figures[name].append(r)
                print(f"run {run + 1} {name}: {r[0]:,.0f} deliveries/s, {r[1]} connections, {r[2]:.1f} s "
                      f"(taken in {r[3]:.1f} s before; CPU while relaying {r[4]:.1f} s, the sinks' {r[5]:.1f} s)", file=sys.stderr)
    finally:
        srv.stop()
        if pf:
            pf.stop()
    figures["peer"] = pf
    return figures


def rows(exe, runs, messages, clients=4, postfix=True):
    """bench.py's row: deliveries/s beside Postfix's, the connections each opened in the notes."""
    sinks = Sinks()
    try:
        figures = take_turns(exe, sinks, runs, messages, clients, postfix=postfix)
    finally:
        sinks.stop()
    pf, t, f = figures["peer"], figures["Tandrivel"], figures["Postfix"]
    conns = lambda xs: f"{statistics.median(x[1] for x in xs):,.0f}"  # noqa: E731
    return [{"name": f"relay {messages:,} msg x 10 rcpts -> 5 domains", "unit": "deliv/s", "target": ">= 2x Postfix",
             "ours": [x[0] for x in t], "peer": pf.label if pf else peers.missing("postfix") or "–",
             "theirs": [x[0] for x in f], "cpu": [x[4] / x[2] for x in t],
             "notes": [f"connections: Tandrivel {conns(t)}" + (f", Postfix {conns(f)}" if f else "")]}]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", default=os.path.join(os.path.dirname(__file__), "../build/Tandrivel"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--messages", type=int, default=1000)
    p.add_argument("--clients", type=int, default=4)
    p.add_argument("--no-postfix", action="store_true")
    p.add_argument("--per-domain", type=int, help="Tandrivel's RelayPerDomain (default: its own, 20)")
    a = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("port 25 needs root")
    sinks = Sinks()
    print(f"sinks on {', '.join(sinks.hosts)} port 25", file=sys.stderr)
    try:
        figures = take_turns(os.path.abspath(a.exe), sinks, a.runs, a.messages, a.clients, a.per_domain, not a.no_postfix)
    finally:
        sinks.stop()
    pf = figures["peer"]
    label = pf.label if pf else "Postfix (missing)"
    print(f"| relay {a.messages} msg x 10 rcpts, 5 domains | deliveries/s | min – max | connections | {label}: deliveries/s | min – max | connections | ratio deliveries/s | ratio connections |")
    print("|---|---|---|---|---|---|---|---|---|")
    t, f = figures["Tandrivel"], figures["Postfix"]
    med = lambda xs, i: statistics.median(x[i] for x in xs)  # noqa: E731
    span = lambda xs, i: f"{min(x[i] for x in xs):,.0f} – {max(x[i] for x in xs):,.0f}"  # noqa: E731
    row = f"| {len(t)} runs | {med(t, 0):,.0f} | {span(t, 0)} | {med(t, 1):,.0f} |"
    if f:
        row += f" {med(f, 0):,.0f} | {span(f, 0)} | {med(f, 1):,.0f} | {med(t, 0) / med(f, 0):.2f}× | {med(t, 1) / med(f, 1):.2f}× |"
    else:
        row += " – | | – | – | – |"
    print(row)
    print(f"load average at end {os.getloadavg()[0]:.2f}", file=sys.stderr)


if __name__ == "__main__":
    main()
