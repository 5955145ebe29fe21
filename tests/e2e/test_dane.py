"""DANE for relayed mail: exchangers' TLSA records in zones signed by ldns-signzone, validated by unbound with their
trust anchors; one unsigned zone, one with a broken signature. One server start. Needs root."""
import hashlib
import os
import socket
import ssl
import subprocess
import tempfile
import unittest

from harness import CERTS, ROOT, Case, make_cert, real_exchanger, send, message, server_context, spawn, wait_for
import dnszone


def tlsa_sha256(cert, selector):   # the TLSA data of matching type 1: the certificate (0) or its public key (1)
    der = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"], check=True, capture_output=True).stdout
    if selector == 1:
        key = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"], check=True, capture_output=True).stdout
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key, check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def chained_context(name):   # an exchanger showing its certificate, signed by the test CA, and the CA's after it
    cert, key = make_cert(name, signed_for=f"DNS:{name}")
    chain = os.path.join(CERTS.name, f"{name}.chain.pem")
    with open(chain, "w") as f:
        f.write(open(cert).read() + open(os.path.join(CERTS.name, "ca.pem")).read())
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(chain, key)
    return ctx


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
        exchanger, deliveries = real_exchanger(self, server_context("mx.dane.test"))
        anchored, anchoreds = real_exchanger(self, chained_context("ta.dane.test"))
        good, wrong = tlsa_sha256(make_cert("mx.dane.test")[0], 1), "00" * 32
        host = [("mx", "A", exchanger), ("_25._tcp.mx", "TLSA", f"3 1 1 {good}"),
                ("other", "A", exchanger), ("_25._tcp.other", "TLSA", f"3 1 1 {wrong}"),
                ("ta", "A", anchored), ("_25._tcp.ta", "TLSA", f"2 0 1 {tlsa_sha256(os.path.join(CERTS.name, 'ca.pem'), 0)}")]
        resolver = validating_resolver(self, {
            "dane.test": (host, True, None),
            "plain.test": (host[:1] + [("_25._tcp.mx", "TLSA", f"3 1 1 {wrong}")], False, None),
            "bogus.test": (host[:2], True, (f"A\t{exchanger}", "A\t127.0.0.1")),
        })
        rows = [("ok.test", "mx.dane.test", "10"), ("wrong.test", "other.dane.test", "10"), ("plain.test", "mx.plain.test", "10"),
                ("bogus.test", "mx.bogus.test", "10"), ("ta.test", "ta.dane.test", "10"),
                ("next.test", "other.dane.test", "10"), ("next.test", "mx.dane.test", "20")]   # the second one takes it
        s = self.server(domain_mx=rows, settings={"DnsServer": resolver})
        send(s, message("dane"), to=[f"r@{d}" for d in dict.fromkeys(d for d, _, _ in rows)])
        s.wait_log(r"<r@wrong\.test>: deferred \(DANE: TLS with other\.dane\.test failed: validation-failure\)")
        s.wait_log(r"<r@bogus\.test>: deferred \(DANE: the DNS records of mx\.bogus\.test failed validation\)")
        wait_for(lambda: len(deliveries) == 3 and anchoreds, what="the deliveries")
        self.assertEqual(sorted((d[1][0], bool(d[4])) for d in deliveries + anchoreds),
                         [("r@next.test", True), ("r@ok.test", True), ("r@plain.test", True), ("r@ta.test", True)])


if __name__ == "__main__":
    unittest.main()
