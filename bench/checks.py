"""What the checks on arriving mail and DKIM signing cost: SMTP 1 KB x 10 sessions against three
servers side by side, taking turns within each run.

    /usr/bin/python3 bench/checks.py [--exe build-bench/Tandrivel] [--runs 3] [--count 2000]

  plain    a client from outside, AuthChecks=no
  checks   the same client, AuthChecks=yes: SPF, one DKIM signature (rsa-sha256, signed by python3-dkim)
           and DMARC, the answers from a private unbound on a loopback address (as a local resolver)
  signing  a trusted client sending as the served domain, DkimKey set (rsa-sha256, 2048 bits)

The message is the same 1 KB text in all three (DKIM-signed once, before the runs). The ratios are
medians of the ratios of runs taken side by side; `together` is the cost of a message checked and
signed both (its extra time over plain, added), as a share of plain throughput. Needs root (unbound
listens on port 53) and python3-dkim."""
import argparse
import base64
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import dnszone  # noqa: E402
from loadlib import DOMAIN, Server, empty_trash, make_message  # noqa: E402
from bench import Holder, smtp_rate  # noqa: E402

CLIENT = "bench.client"   # the sender's domain: MAIL FROM load@bench.client


def rsa_key(path):
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", path],
                   check=True, capture_output=True)
    os.chmod(path, 0o600)
    der = subprocess.run(["openssl", "pkey", "-in", path, "-pubout", "-outform", "DER"], check=True, capture_output=True).stdout
    return "v=DKIM1; k=rsa; p=" + base64.b64encode(der).decode()




def measure(exe, runs, count):
    """msg/s of each run of the three servers, in turns."""
    import dkim
    holder = Holder()
    work = Server(exe)   # only for a folder of the run's own
    client_key = os.path.join(work.tmp, "client.pem")
    record = rsa_key(client_key)
    zone = dnszone.Zone(holder, [(CLIENT, "TXT", "v=spf1 ip4:127.0.0.0/8 -all"), (f"_dmarc.{CLIENT}", "TXT", "v=DMARC1; p=reject"),
                                 (f"sel._domainkey.{CLIENT}", "TXT", record)])
    plain = make_message(1024)
    with open(client_key, "rb") as f:
        signature = dkim.sign(plain, b"sel", CLIENT.encode(), f.read(), include_headers=[b"from", b"to", b"subject"])
    checked = signature + plain   # a little over 1 KB with the signature
    ours = checked.replace(f"From: load@{CLIENT}".encode(), f"From: load@{DOMAIN}".encode())
    outside = "RelayNetworks=10.0.0.0/8\n"
    servers = {"plain": (outside + "AuthChecks=no\n", checked), "checks": (outside + f"AuthChecks=yes\nDnsServer={zone.address}\n", checked),
               "signing": ("DkimKey=signing.pem\n", ours)}
    figures = {name: [] for name in servers}
    try:
        for name, (settings, _) in servers.items():
            srv = Server(exe)
            rsa_key(os.path.join(srv.folder, "signing.pem"))
            with open(os.path.join(srv.config, "Merivolant", "Tandrivel.conf"), "a") as f:
                f.write(settings)
            srv.start()
            servers[name] = (srv, servers[name][1])
        for r in range(runs):
            for name, (srv, message) in servers.items():
                figures[name].append(smtp_rate(srv, message, count))
            print(f"run {r + 1}: " + ", ".join(f"{n} {figures[n][-1]:.0f} msg/s" for n in figures), file=sys.stderr, flush=True)
        with open(servers["checks"][0].log, "rb") as f:
            log = f.read()
        assert b"-DKIM pass d=bench.client" in log and b"-DMARC pass" in log and b"-SPF pass" in log, "the checks did not pass"
        with open(servers["signing"][0].log, "rb") as f:
            assert b"-DKIM signed d=" in f.read(), "nothing was signed"
    finally:
        for value in servers.values():
            if isinstance(value[0], Server):
                value[0].stop()
        holder.doCleanups()
    return figures


def rows(exe, runs, count):
    """bench.py's rows: each server's msg/s, and the share of plain throughput in the notes."""
    figures = measure(exe, runs, count)
    plain = statistics.median(figures["plain"])
    out = [{"name": "smtp 1KB x10 from outside, no checks", "unit": "msg/s", "target": "", "ours": figures["plain"]}]
    for name, what in (("checks", "SPF, DKIM, DMARC checked"), ("signing", "DKIM-signed as sent")):
        ratio = statistics.median(a / b for a, b in zip(figures[name], figures["plain"]))
        out.append({"name": f"smtp 1KB x10 {what}", "unit": "msg/s", "target": "", "ours": figures[name],
                    "notes": [f"{ratio:.2f} of plain ({plain:,.0f} msg/s)"]})
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--exe", default=os.path.join(os.path.dirname(__file__), "..", "build-bench", "Tandrivel"))
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--count", type=int, default=2000)
    args = p.parse_args()
    try:
        figures = measure(args.exe, args.runs, args.count)
    finally:
        empty_trash()
    ratio = {n: statistics.median(a / b for a, b in zip(figures[n], figures["plain"])) for n in ("checks", "signing")}
    together = statistics.median(1 - 1 / (1 + (b / a - 1) + (b / c - 1))
                                 for a, b, c in zip(figures["checks"], figures["plain"], figures["signing"]))
    print(f"\nSMTP 1 KB x 10, {args.count} messages, {args.runs} runs (median msg/s; ratio to plain, median of side-by-side runs)")
    for n in figures:
        print(f"  {n:8} {statistics.median(figures[n]):7.0f} msg/s" + (f"  {ratio[n]:.2f} of plain" if n in ratio else ""))
    print(f"  cost of checks and signing together: {together * 100:.0f} % of plain throughput")


if __name__ == "__main__":
    main()
