"""Many concurrent uploads against a small MemoryBudget: the server's peak VmRSS, and how the clients were answered.

    /usr/bin/python3 bench/uploads.py [--clients 2000] [--megabytes 1] [--budget-mb 64]

Starts the Tandrivel of build/ (or $TANDRIVEL_EXE) in a fresh program folder through the end-to-end harness,
opens every connection first, then lets all of them send their message at once (asyncio, one process)."""
import argparse
import asyncio
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
os.environ.setdefault("TANDRIVEL_EXE", os.path.join(os.path.dirname(__file__), "..", "build", "Tandrivel"))
os.environ.setdefault("TANDRIVEL_SOURCE", os.path.join(os.path.dirname(__file__), ".."))
from harness import ServerProcess, memory_kb   # noqa: E402


async def upload(port, body, go, results):
    try:
        r, w = await asyncio.open_connection("127.0.0.1", port, limit=1 << 20)
        await r.readline()
        w.write(b"EHLO c\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<demo@example.test>\r\n")
        while (await r.readline())[3:4] == b"-":   # EHLO's reply, however many lines
            pass
        for want in (b"250", b"250"):   # MAIL, RCPT
            line = await r.readline()
            if not line.startswith(want):
                raise OSError(f"{line[:40]!r} where {want.decode()} was due")
        await go.wait()
        w.write(b"DATA\r\n")
        code = (await r.readline())[:3]
        if code == b"354":
            w.write(body + b".\r\n")
            await w.drain()
            code = (await r.readline())[:3]
        results.append(code)
        w.close()
    except (OSError, asyncio.IncompleteReadError) as e:
        results.append(type(e).__name__.encode())


async def measure(clients, megabytes, budget_mb):
    """(VmRSS at rest, peak VmRSS, both KiB; the count of each answer; seconds from the go to the last answer)."""
    s = ServerProcess(settings={"MemoryBudget": budget_mb << 20})
    peak, running = [0], [True]

    def watch():
        while running[0]:
            peak[0] = max(peak[0], memory_kb(s.proc.pid))
            time.sleep(0.05)
    t = threading.Thread(target=watch)
    t.start()
    at_rest = memory_kb(s.proc.pid)
    body = b"Subject: upload\r\n\r\n" + (b"y" * 78 + b"\r\n") * ((megabytes << 20) // 80)
    go, results = asyncio.Event(), []
    tasks = [asyncio.create_task(upload(s.smtp, body, go, results)) for _ in range(clients)]
    await asyncio.sleep(2)
    start = time.monotonic()
    go.set()
    await asyncio.gather(*tasks)
    took = time.monotonic() - start
    running[0] = False
    t.join()
    counts = {c.decode(): results.count(c) for c in set(results)}
    s.stop()
    return at_rest, peak[0], counts, took


def rows(runs, clients, megabytes=1, budget_mb=64):
    """bench.py's row: the peak VmRSS against the budget; each answer's count in the notes. Every
    client must be answered, with 250 or a refusal the budget explains (452, 421); how many of each
    is the server's choice under the load. The executable is
    $TANDRIVEL_EXE, read when this module is first imported."""
    got = [asyncio.run(measure(clients, megabytes, budget_mb)) for _ in range(runs)]
    for _, _, counts, _ in got:
        if sum(counts.get(c, 0) for c in ("250", "452", "421")) != clients:
            raise RuntimeError(f"uploads answered {counts}")
    return [{"name": f"uploads {clients:,} x {megabytes} MB at once, MemoryBudget {budget_mb} MB: peak VmRSS", "unit": "MB",
             "target": "", "ours": [p / 1024 for _, p, _, _ in got],
             "notes": [f"at rest {got[-1][0] / 1024:.0f} MB; answers {got[-1][2]}; {got[-1][3]:.1f} s"]}]


async def main(args):
    at_rest, peak, counts, took = await measure(args.clients, args.megabytes, args.budget_mb)
    print(f"{args.clients} uploads of {args.megabytes} MB, MemoryBudget {args.budget_mb} MB: VmRSS {at_rest >> 10} MB at rest, "
          f"peak {peak >> 10} MB; answers {counts}; {took:.1f} s")

if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--clients", type=int, default=2000)
    p.add_argument("--megabytes", type=int, default=1)
    p.add_argument("--budget-mb", type=int, default=64)
    asyncio.run(main(p.parse_args()))
