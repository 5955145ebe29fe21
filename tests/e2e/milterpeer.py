"""A mail filter on Debian's pymilter (libmilter underneath), for tests/e2e/test_milter.py.

    milterpeer.py <socket> <record-file>

What it does to a message depends on its Subject; it refuses the recipient refused@ at RCPT.
Each message it sees is one JSON line in <record-file>: macros, client, envelope and headers as told.
"""
import json
import sys
import time

import Milter

RECORD = sys.argv[2]


class Peer(Milter.Base):
    def __init__(self):
        self.macros, self.headers, self.rcpts = {}, [], []

    def _macros(self, *names):
        for n in names:
            v = self.getsymval(n)
            if v is not None:
                self.macros[n] = v

    def connect(self, hostname, family, hostaddr):
        self.client = [hostname, hostaddr[0] if hostaddr else None]
        self._macros("j", "{daemon_name}", "_")
        return Milter.CONTINUE

    def hello(self, name):
        self.helo = name
        return Milter.CONTINUE

    def envfrom(self, sender, *args):
        self.sender = sender
        self._macros("i", "{mail_addr}", "{auth_authen}")
        return Milter.CONTINUE

    def envrcpt(self, to, *args):
        self._macros("{rcpt_addr}")
        if to.lower().startswith("<refused@"):
            self.setreply("550", "5.1.1", "No such user here")
            return Milter.REJECT
        self.rcpts.append(to)
        return Milter.CONTINUE

    def header(self, name, value):
        self.headers.append([name, value])
        return Milter.CONTINUE

    def eom(self):
        subject = next((v for n, v in self.headers if n.lower() == "subject"), "")
        with open(RECORD, "a") as f:
            f.write(json.dumps({"subject": subject, "macros": self.macros, "headers": self.headers, "client": self.client,
                                "helo": self.helo, "sender": self.sender, "rcpts": self.rcpts}) + "\n")
        if "stall" in subject:
            time.sleep(3600)
        if "reject" in subject:
            self.setreply("554", "5.7.1", "First line", "Second line")
            return Milter.REJECT
        if "quarantine" in subject:
            self.quarantine("looks bad")
        if "edit" in subject:
            self.addheader("X-Peer-Added", "one\n\ttwo")
            self.addheader("X-Peer-Top", "top", 0)
            self.chgheader("Subject", 1, "edited by the peer")
            self.chgheader("X-Drop", 1, "")
            self.chgfrom("<changed@out.test>")
            self.addrcpt("<alice@example.test>")
            self.delrcpt("<bob@example.test>")
            self.replacebody(b"Replaced body.\r\n.A line with a dot.\r\n")
        if "flood" in subject:   # a new body of 100 MB, far past the server's memory budget
            for _ in range(100):
                self.replacebody((b"z" * 78 + b"\r\n") * 13107)
        if "recipients" in subject:   # what RCPT refuses: another host, this one, a long address, one too many
            for to in ("alice@example.test", "root@localhost", "x@[127.0.0.1]", f"postmaster@{self.macros.get('j')}",
                       "a" * 600 + "@example.test", "far@foreign.test", "bob@example.test"):
                self.addrcpt(f"<{to}>")
        return Milter.ACCEPT


Milter.factory = Peer
Milter.set_flags(Milter.ADDHDRS | Milter.CHGHDRS | Milter.ADDRCPT | Milter.DELRCPT | Milter.CHGBODY | Milter.QUARANTINE
                 | Milter.CHGFROM)
Milter.runmilter("milterpeer", sys.argv[1], 600)
