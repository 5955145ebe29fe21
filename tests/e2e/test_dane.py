"""DANE for relayed mail: exchangers' TLSA records in zones signed by ldns-signzone, validated by unbound with their
trust anchors; one unsigned zone, one with a broken signature. One server start. Needs root."""
import hashlib
import os
import socket
import subprocess
import tempfile
import unittest

from harness import ROOT, Case, make_cert, real_exchanger, send, message, server_context, spawn, wait_for
import dnszone


def spki_sha256(cert):   # the TLSA data of "3 1 1" for a certificate
    key = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"], check=True, capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key, check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def free(address):   # whether port 53 of `address` is free
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind((address, 53))
            return True
        except OSError:
            return False


def validating_resolver(test, zones):
    """unbound on a loopback address of its own, serving `zones` ({origin: (records, signed, broken)}) and
    validating the signed ones with their trust anchors; `broken`: a record's data changed after signing."""
    folder = tempfile.TemporaryDirectory(prefix="tandrivel-dane-")
    test.addCleanup(folder.cleanup)
    d = folder.name
    lines = ['  module-config: "validator iterator"', '  local-zone: "." static']
    for origin, (records, signed, broken) in zones.items():
        path = os.path.join(d, origin)
        with open(path, "w") as f:
            f.write(f"$ORIGIN {origin}.\n$TTL 60\n@ IN SOA ns.{origin}. admin.{origin}. 1 3600 600 86400 60\n@ IN NS ns.{origin}.\n")
            f.write("".join(f"{name} IN {kind} {data}\n" for name, kind, data in records))
        if signed:
            keys = [subprocess.run(["ldns-keygen", "-a", "ECDSAP256SHA256", *flag, origin], cwd=d, check=True, capture_output=True,
                                   text=True).stdout.strip() for flag in (["-k"], [])]
            subprocess.run(["ldns-signzone", "-o", origin, path, *keys], cwd=d, check=True, capture_output=True)
            lines.append(f'  trust-anchor-file: "{d}/{keys[0]}.ds"')
            path += ".signed"
            if broken:
                with open(path) as f:
                    text = f.read()
                with open(path, "w") as f:
                    f.write(text.replace(*broken))
        lines += [f'  local-zone: "{origin}." transparent']
        lines += ["auth-zone:", f'  name: "{origin}."', f'  zonefile: "{path}"', "  for-upstream: yes", "  for-downstream: no",
                  "  fallback-enabled: no", "server:"]
    address = next(a for a in (f"127.0.55.{n}" for n in range(2, 252)) if free(a))
    config = os.path.join(d, "unbound.conf")
    with open(config, "w") as f:
        f.write("\n".join(["server:", f"  interface: {address}", "  port: 53", "  do-daemonize: no", '  username: ""', '  chroot: ""',
                           f'  directory: "{d}"', '  pidfile: ""', "  use-syslog: no", "  do-ip6: no",
                           "  access-control: 127.0.0.0/8 allow", *lines, "remote-control:", "  control-enable: no"]) + "\n")
    spawn(test, [dnszone.UNBOUND, "-d", "-c", config], lambda: dnszone._answers(address), 10)
    return address


@unittest.skipUnless(ROOT and not dnszone.available(), "needs root and unbound: exchangers on port 25, a resolver on 53")
class Dane(Case):
    SERVER = None

    def test_tlsa_records_decide(self):
        cert = make_cert("mx.dane.test")[0]
        exchanger, deliveries = real_exchanger(self, server_context("mx.dane.test"))
        good, wrong = spki_sha256(cert), "00" * 32
        host = [("mx", "A", exchanger), ("_25._tcp.mx", "TLSA", f"3 1 1 {good}"),
                ("other", "A", exchanger), ("_25._tcp.other", "TLSA", f"3 1 1 {wrong}")]
        resolver = validating_resolver(self, {
            "dane.test": (host, True, None),
            "plain.test": (host[:1] + [("_25._tcp.mx", "TLSA", f"3 1 1 {wrong}")], False, None),
            "bogus.test": (host[:2], True, (f"A\t{exchanger}", "A\t127.0.0.1")),
        })
        rows = [("ok.test", "mx.dane.test"), ("wrong.test", "other.dane.test"), ("plain.test", "mx.plain.test"), ("bogus.test", "mx.bogus.test")]
        s = self.server(domain_mx=[(d, mx, "10") for d, mx in rows], settings={"DnsServer": resolver})
        send(s, message("dane"), to=[f"r@{d}" for d, _ in rows])
        s.wait_log(r"<r@wrong\.test>: deferred \(DANE: TLS with other\.dane\.test failed: validation-failure\)")
        s.wait_log(r"<r@bogus\.test>: deferred \(DANE: the DNS records of mx\.bogus\.test failed validation\)")
        wait_for(lambda: len(deliveries) == 2, what="the deliveries")
        self.assertEqual(sorted((d[1][0], bool(d[4])) for d in deliveries), [("r@ok.test", True), ("r@plain.test", True)])


if __name__ == "__main__":
    unittest.main()
