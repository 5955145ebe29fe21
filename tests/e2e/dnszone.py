"""A private DNS server (Debian's unbound) on a loopback address of its own, port 53, serving
only the records a test gives it: every other name is NXDOMAIN, nothing is asked outside."""
import contextlib
import os
import socket
import tempfile
import threading
import unittest

from harness import spawn

UNBOUND = "/usr/sbin/unbound"
_next = [0]


def available():   # None, or why a test that needs it must skip
    if not os.path.exists(UNBOUND):
        return "needs Debian's unbound (scripts/install-deps.sh test)"
    return None if os.geteuid() == 0 else "needs root: a DNS server listens on port 53"


def _quote(record):   # a TXT record's text as unbound's local-data writes it: strings of at most 255
    data = record.encode() if isinstance(record, str) else record
    pieces = [data[i:i + 255] for i in range(0, len(data), 255)] or [b""]
    return " ".join('"' + p.decode("latin-1").replace("\\", "\\\\").replace('"', '\\"') + '"' for p in pieces)


def _answers(address):   # a query for the root's SOA gets any reply at all
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        try:
            s.sendto(bytes.fromhex("abcd01000001000000000000") + b"\x00\x00\x06\x00\x01", (address, 53))
            return s.recv(512)[:2] == b"\xab\xcd"
        except OSError:
            return False


class Zone:
    """records: (name, type, data) rows, e.g. ("example.org", "TXT", "v=spf1 -all"),
    ("mx.example.org", "A", "127.0.0.5"); refused: zones whose every query is answered REFUSED
    (a server failure); silent: zones whose queries are dropped (a time-out)."""

    def __init__(self, test, records, refused=(), silent=()):
        if why := available():
            raise unittest.SkipTest(why)
        folder = tempfile.TemporaryDirectory(prefix="tandrivel-dns-")
        test.addCleanup(folder.cleanup)
        lines = ["  port: 53", "  do-daemonize: no", '  username: ""', '  chroot: ""', f'  directory: "{folder.name}"', '  pidfile: ""',
                 "  use-syslog: no", "  verbosity: 0", "  do-ip6: no", "  access-control: 127.0.0.0/8 allow", '  module-config: "iterator"',
                 "  num-threads: 1", "  so-reuseport: no", "  minimal-responses: yes", '  local-zone: "." static']
        lines += [f'  local-zone: "{name}." refuse' for name in refused] + [f'  local-zone: "{name}." deny' for name in silent]
        lines += [f"  local-data: '{name}. 60 IN {t.upper()} {_quote(data) if t.upper() == 'TXT' else data}'" for name, t, data in records]
        for _ in range(20):   # an address no other test's server holds
            _next[0] += 1
            self.address = f"127.0.53.{(os.getpid() * 7 + _next[0]) % 250 + 2}"
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                try:
                    probe.bind((self.address, 53))
                except OSError:
                    continue
            config = os.path.join(folder.name, "unbound.conf")
            with open(config, "w") as f:
                f.write("\n".join(["server:", f"  interface: {self.address}"] + lines + ["remote-control:", "  control-enable: no"]) + "\n")
            try:
                spawn(test, [UNBOUND, "-d", "-c", config], lambda: _answers(self.address), 10)
                return
            except AssertionError as e:   # taken meanwhile: another address
                if "already in use" not in str(e):
                    raise
        raise AssertionError("no loopback address free for the DNS server")


def cut_short(test, answer=None):
    """A hostile name server on a loopback address of its own: every UDP reply is cut short (TC), as if
    it had to be asked again over TCP, where it takes the connection and never answers, or with `answer`
    replies answer(query). Its address."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root: a DNS server listens on port 53")
    for n in range(2, 252):
        udp, tcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            udp.bind((f"127.0.54.{n}", 53))
            tcp.bind((f"127.0.54.{n}", 53))
            break
        except OSError:
            udp.close()
            tcp.close()
    tcp.listen()
    test.addCleanup(tcp.close)
    test.addCleanup(udp.close)

    def cut():   # the query itself turned into a reply: QR and TC set, no records
        with contextlib.suppress(OSError):
            while True:
                query, peer = udp.recvfrom(512)
                udp.sendto(query[:2] + bytes([query[2] | 0x82, 0]) + query[4:], peer)

    def talk(c):
        with c, contextlib.suppress(OSError):
            while len(size := c.recv(2, socket.MSG_WAITALL)) == 2:
                reply = answer(c.recv(int.from_bytes(size, "big"), socket.MSG_WAITALL))
                c.sendall(len(reply).to_bytes(2, "big") + reply)

    def accept():
        with contextlib.suppress(OSError):
            while True:
                threading.Thread(target=talk, args=(tcp.accept()[0],), daemon=True).start()
    threading.Thread(target=cut, daemon=True).start()
    if answer:
        threading.Thread(target=accept, daemon=True).start()
    return udp.getsockname()[0]
