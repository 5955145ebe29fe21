"""What a milter costs: SMTP 1 KB x 10 sessions with rspamd as the mail filter and without, for
Tandrivel and for Postfix, all four side by side and taking turns within each run.

    /usr/bin/python3 bench/filters.py [--exe build-bench/Tandrivel] [--runs 3] [--count 1000]

  tandrivel          a client from outside (RelayNetworks=10.0.0.0/8), no filter
  tandrivel+rspamd   the same, Milters=unix:<rspamd's milter socket>
  postfix            Debian's Postfix (bench/peers.py), no filter
  postfix+rspamd     the same, smtpd_milters = the same socket

One rspamd serves both (tests/e2e/test_milter.py's private instance: its proxy worker in milter mode,
self-scanning, in a network namespace with only loopback). The ratios are medians of the ratios of
runs taken side by side. Needs root (Postfix, the namespace) and rspamd."""
import argparse
import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from loadlib import Server, empty_trash, make_message  # noqa: E402
from bench import Holder, smtp_rate  # noqa: E402
import peers  # noqa: E402
from test_milter import Rspamd  # noqa: E402




def measure(exe, runs, count):
    """msg/s of each run of the four, in turns."""
    holder = Holder()
    rspamd = Rspamd(holder)
    message = make_message(1024)
    servers = {}
    try:
        for name, milters in (("tandrivel", ""), ("tandrivel+rspamd", rspamd.setting)):
            srv = Server(exe)
            with open(os.path.join(srv.config, "Merivolant", "Tandrivel.conf"), "a") as f:
                f.write(f"RelayNetworks=10.0.0.0/8\nAuthChecks=no\nMilters={milters}\n")
            srv.start()
            servers[name] = srv
        for name, milter in (("postfix", False), ("postfix+rspamd", True)):
            srv = peers.Postfix()
            if milter:
                with open(os.path.join(srv.etc, "main.cf"), "a") as f:
                    f.write(f"smtpd_milters = {rspamd.setting}\nmilter_default_action = tempfail\nmilter_protocol = 6\n")
            srv.start()
            servers[name] = srv
        figures = {name: [] for name in servers}
        for r in range(runs):
            for name, srv in servers.items():
                figures[name].append(smtp_rate(srv, message, count))
            print(f"run {r + 1}: " + ", ".join(f"{n} {figures[n][-1]:.0f} msg/s" for n in figures), file=sys.stderr, flush=True)
        for name in ("tandrivel+rspamd", "postfix+rspamd"):   # the filter really saw them
            srv = servers[name]
            path = os.path.join(srv.mailbox(), sorted(os.listdir(srv.mailbox()))[0])
            with open(path, "rb") as f:
                assert b"X-Spamd-Result:" in f.read(), f"{name}: no X-Spamd-Result in {path}"
    finally:
        for srv in servers.values():
            srv.stop()
        holder.doCleanups()
    return figures


def rows(exe, runs, count):
    """bench.py's row: through rspamd, beside Postfix through the same rspamd; each one's share of
    its own throughput without the filter in the notes."""
    if peers.missing("postfix") or not shutil.which("rspamd"):
        return []
    figures = measure(exe, runs, count)
    share = lambda mta: statistics.median(a / b for a, b in zip(figures[mta + "+rspamd"], figures[mta]))  # noqa: E731
    return [{"name": "smtp 1KB x10 through rspamd (milter)", "unit": "msg/s", "target": "", "ours": figures["tandrivel+rspamd"],
             "peer": "Postfix+rspamd", "theirs": figures["postfix+rspamd"],
             "notes": [f"of throughput without it: Tandrivel {share('tandrivel'):.2f}, Postfix {share('postfix'):.2f}"]}]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", default=os.path.join(os.path.dirname(__file__), "..", "build-bench", "Tandrivel"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--count", type=int, default=1000)
    args = p.parse_args()
    if peers.missing("postfix"):
        sys.exit(peers.missing("postfix"))
    try:
        figures = measure(args.exe, args.runs, args.count)
    finally:
        empty_trash()
    print(f"\nSMTP 1 KB x 10, {args.count} messages, {args.runs} runs (median msg/s; ratio with rspamd to without, median of side-by-side runs)")
    for n in figures:
        print(f"  {n:17} {statistics.median(figures[n]):7.0f} msg/s")
    for mta in ("tandrivel", "postfix"):
        ratio = statistics.median(a / b for a, b in zip(figures[mta + "+rspamd"], figures[mta]))
        print(f"  {mta:9} with rspamd: {ratio:.2f} of without")
    print(f"  Tandrivel+rspamd / Postfix+rspamd: {statistics.median(a / b for a, b in zip(figures['tandrivel+rspamd'], figures['postfix+rspamd'])):.2f}")


if __name__ == "__main__":
    main()
