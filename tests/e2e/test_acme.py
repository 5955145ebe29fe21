"""Certificates from Debian's pebble (an ACME server) over HTTP-01, with unbound answering its
questions; our MTA-STS policy served on 443 with that certificate."""
import contextlib
import json
import os
import shutil
import smtplib
import socket
import ssl
import tempfile
import time
import unittest
import urllib.request

import dnszone
from harness import Case, TIMEOUT, answers, free_port, make_cert, message, spawn, wait_for

DOMAIN, HOST = "acme.test", "mx.acme.test"
OBTAINED = r"^ACME: certificate for mx\.acme\.test, mta-sts\.acme\.test obtained"


def own_address():   # a loopback address whose port 443 is free
    for n in range(2, 255):
        with socket.socket() as s:
            try:
                s.bind((f"127.0.44.{n}", 443))
                return f"127.0.44.{n}"
            except OSError:
                continue
    raise AssertionError("no loopback address with port 443 free")


@unittest.skipUnless(shutil.which("pebble"), "needs Debian's pebble (scripts/install-deps.sh test)")
class Acme(Case):
    SERVER = None

    def start(self, validity=3600, answered=True, **settings):
        """pebble, whose validation reaches our challenge port when `answered`, and the server; its address."""
        address = own_address()
        zone = dnszone.Zone(self, [(HOST, "A", address), (f"mta-sts.{DOMAIN}", "A", address)])
        cert, key = make_cert("pebble")
        self.pebble_ca = cert
        api, self.management, challenge = free_port(), free_port(), free_port()
        folder = tempfile.TemporaryDirectory(prefix="tandrivel-pebble-")
        self.addCleanup(folder.cleanup)
        config = os.path.join(folder.name, "pebble.json")
        with open(config, "w") as f:
            json.dump({"pebble": {"listenAddress": f"127.0.0.1:{api}", "managementListenAddress": f"127.0.0.1:{self.management}",
                                  "certificate": cert, "privateKey": key, "httpPort": challenge if answered else free_port(),
                                  "tlsPort": free_port(), "ocspResponderURL": "", "externalAccountBindingRequired": False,
                                  "certificateValidityPeriod": validity}}, f)
        spawn(self, ["pebble", "-config", config, "-dnsserver", f"{zone.address}:53"], lambda: answers(("127.0.0.1", api)),
              env=dict(os.environ, PEBBLE_VA_NOSLEEP="1"))
        self.s = self.server(domain=DOMAIN, settings={
            "HostName": HOST, "Listen": address, "Smtps": free_port(), "AcmeDirectory": f"https://127.0.0.1:{api}/dir",
            "AcmeEmail": f"postmaster@{DOMAIN}", "AcmeHttpPort": challenge, "TlsCaFile": cert, "MtaStsMode": "enforce", **settings})
        return address

    def trusting_pebble(self):   # a client context that trusts what pebble issues
        with urllib.request.urlopen(f"https://127.0.0.1:{self.management}/roots/0", timeout=TIMEOUT,
                                    context=ssl.create_default_context(cafile=self.pebble_ca)) as r:
            return ssl.create_default_context(cadata=r.read().decode())

    def served(self, address, trust):   # the certificate Smtps shows, checked for HOST
        with socket.create_connection((address, self.s.smtps), timeout=TIMEOUT) as raw, \
                trust.wrap_socket(raw, server_hostname=HOST) as tls:
            return tls.getpeercert()

    def get(self, address, trust, path):   # status line, headers and body of an HTTPS GET on 443
        with socket.create_connection((address, 443), timeout=TIMEOUT) as raw, \
                trust.wrap_socket(raw, server_hostname=f"mta-sts.{DOMAIN}") as tls:
            tls.sendall(f"GET {path} HTTP/1.1\r\nHost: mta-sts.{DOMAIN}\r\n\r\n".encode())
            data = b""
            while chunk := tls.recv(4096):
                data += chunk
            return data

    def test_certificate_served_renewed_and_policy(self):
        address = self.start(validity=12)
        serving = time.monotonic()
        self.s.wait_log(OBTAINED)
        issued = time.monotonic()
        self.figure(f"certificate for two names obtained {issued - serving:.2f} s after the server began serving")
        for name in ("acme-account.pem", "acme-key.pem", "acme-certificate.pem"):
            self.assertEqual(os.stat(os.path.join(self.s.folder, name)).st_mode & 0o777, 0o600, name)
        trust = self.trusting_pebble()
        with smtplib.SMTP(address, self.s.smtp, timeout=TIMEOUT) as m:
            m._host = HOST   # the name STARTTLS checks; the address was for connecting
            m.starttls(context=trust)
            self.assertEqual(m.ehlo()[0], 250)
        first = self.served(address, trust)["serialNumber"]

        policy = self.get(address, trust, "/.well-known/mta-sts.txt")
        head, body = policy.split(b"\r\n\r\n", 1)
        self.assertTrue(head.startswith(b"HTTP/1.1 200 "), head)
        self.assertIn(b"\r\nContent-Type: text/plain\r\n", head)
        self.assertEqual(body, b"version: STSv1\r\nmode: enforce\r\nmx: mx.acme.test\r\nmax_age: 604800\r\n")
        self.assertTrue(self.get(address, trust, "/other").startswith(b"HTTP/1.1 404 "))
        with socket.create_connection((address, 443), timeout=TIMEOUT) as clear, contextlib.suppress(ConnectionResetError):
            clear.sendall(b"GET / HTTP/1.1\r\n\r\n")   # no TLS: turned away, and the server goes on (below)
            self.assertIn(clear.recv(100)[:1], (b"", b"\x15"))   # nothing, or a TLS alert

        # A third of twelve seconds left, not before: a new one, taken by the TLS ports without a restart.
        wait_for(lambda: self.s.count_log(OBTAINED) == 2, TIMEOUT + 12, "the renewal")
        self.assertGreaterEqual(time.monotonic() - issued, 6)
        wait_for(lambda: self.served(address, trust)["serialNumber"] != first, what="the renewed certificate on Smtps")

    def test_failed_order_retried_while_mail_flows(self):
        address = self.start(answered=False, AcmeRetrySeconds=1)
        failed = r"^ACME: authorization of (mx|mta-sts)\.acme\.test failed: urn:ietf:params:acme:error:connection: .*; trying again in {} s$"
        self.s.wait_log(failed.format(1))
        with smtplib.SMTP(address, self.s.smtp, timeout=TIMEOUT) as m:
            m.sendmail("a@example.org", ["demo@acme.test"], message("during"))
        self.s.wait_log(failed.format(2))
        wait_for(lambda: len(self.s.messages()) == 1, what="the message delivered")


if __name__ == "__main__":
    unittest.main()
