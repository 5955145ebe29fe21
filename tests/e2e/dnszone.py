"""A private DNS server (Debian's unbound) on a loopback address of its own, port 53, serving
only the records a test gives it: every other name is NXDOMAIN, nothing is asked outside."""
import os
import socket
import subprocess
import tempfile
import time
import unittest

UNBOUND = "/usr/sbin/unbound"
_next = [0]


def available():   # None, or why a test that needs it must skip
    if not os.path.exists(UNBOUND):
        return "needs Debian's unbound (scripts/install-deps.sh test)"
    if os.geteuid() != 0:
        return "needs root: a DNS server listens on port 53"
    return None


def _quote(record):   # a TXT record's text as unbound's local-data writes it: strings of at most 255
    data = record.encode() if isinstance(record, str) else record
    pieces = [data[i:i + 255] for i in range(0, len(data), 255)] or [b""]
    return " ".join('"' + p.decode("latin-1").replace("\\", "\\\\").replace('"', '\\"') + '"' for p in pieces)


class Zone:
    """records: (name, type, data) rows, e.g. ("example.org", "TXT", "v=spf1 -all"),
    ("mx.example.org", "A", "127.0.0.5"); refused: zones whose every query is answered REFUSED
    (a server failure); silent: zones whose queries are dropped (a time-out)."""

    def __init__(self, test, records, refused=(), silent=()):
        why = available()
        if why:
            raise unittest.SkipTest(why)
        self.folder = tempfile.TemporaryDirectory(prefix="tandrivel-dns-")
        test.addCleanup(self.folder.cleanup)
        lines = ["server:", "  port: 53", "  do-daemonize: no", '  username: ""', '  chroot: ""',
                 f'  directory: "{self.folder.name}"', '  pidfile: ""', "  use-syslog: no", "  verbosity: 0",
                 "  do-ip6: no", "  access-control: 127.0.0.0/8 allow", '  module-config: "iterator"',
                 "  num-threads: 1", "  so-reuseport: no", "  minimal-responses: yes",
                 '  local-zone: "." static']
        lines += [f'  local-zone: "{name}." refuse' for name in refused]
        lines += [f'  local-zone: "{name}." deny' for name in silent]
        for name, rtype, data in records:
            rtype = rtype.upper()
            value = _quote(data) if rtype == "TXT" else data
            lines.append(f"  local-data: '{name}. 60 IN {rtype} {value}'")
        lines += ["remote-control:", "  control-enable: no"]
        self.lines = lines
        self.address = None
        self.process = None
        for _ in range(20):   # an address no other test's server holds
            _next[0] += 1
            address = f"127.0.53.{(os.getpid() * 7 + _next[0]) % 250 + 2}"
            if self._start(address):
                self.address = address
                break
        if not self.address:
            raise AssertionError("no loopback address free for the DNS server")
        test.addCleanup(self.stop)

    def _start(self, address):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind((address, 53))
            except OSError:
                return False
        config = os.path.join(self.folder.name, "unbound.conf")
        with open(config, "w") as f:
            f.write("\n".join(self.lines[:1] + [f"  interface: {address}"] + self.lines[1:]) + "\n")
        log = open(os.path.join(self.folder.name, "unbound.log"), "wb")
        self.process = subprocess.Popen([UNBOUND, "-d", "-c", config], stdout=log, stderr=subprocess.STDOUT)
        log.close()
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.process.poll() is not None:
                return False
            if self._answers(address):
                return True
            time.sleep(0.05)
        self.process.kill()
        return False

    @staticmethod
    def _answers(address):   # a query for the root's SOA gets any reply at all
        query = bytes.fromhex("abcd01000001000000000000") + b"\x00" + b"\x00\x06\x00\x01"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            try:
                s.sendto(query, (address, 53))
                return s.recv(512)[:2] == b"\xab\xcd"
            except OSError:
                return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def log(self):
        with open(os.path.join(self.folder.name, "unbound.log"), "rb") as f:
            return f.read().decode(errors="replace")
