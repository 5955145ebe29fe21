"""MTA-STS for relayed mail: policies found through unbound and fetched from an HTTPS server of the test's own
(a private CA trusted through TlsCaFile), exchangers on port 25 of loopback addresses; one server start for the
verdicts of enforce and testing, a restart for the policies kept. Needs root."""
import http.server
import os
import ssl
import threading
import time
import unittest

import dnszone
from harness import CERTS, ROOT, Case, bind_loopback, make_cert, message, real_exchanger, send, server_context, wait_for

POLICY = "version: STSv1\nmode: {mode}\nmx: {mx}\nmax_age: 86400\n"
POLICIES = {   # domain: (its policy, its exchanger)
    "ok": (POLICY.format(mode="enforce", mx="*.ok.test"), "good"),
    "other": (POLICY.format(mode="enforce", mx="mx.ok.test"), "good"),
    "bad": (POLICY.format(mode="enforce", mx="mx.bad.test"), "self"),
    "plain": (POLICY.format(mode="enforce", mx="mx.plain.test"), "plain"),
    "testing": (POLICY.format(mode="testing", mx="mx.testing.test"), "self"),
    "hang": (POLICY.format(mode="enforce", mx="nowhere.test"), "self"),
    # cut off after 64 KiB: read whole, it would send the mail nowhere
    "huge": (POLICY.format(mode="enforce", mx="nowhere.test") + "#" * 70000, "self"),
}
HANG_SECONDS = 40


def policy_server(test, policies):
    """An HTTPS server on port 443 of a loopback address of its own serving policies[host]; its address and the
    hosts asked, in order."""
    names = ",".join(f"DNS:mta-sts.{d}.test" for d in POLICIES)
    cert, key = make_cert("mta-sts.test", signed_for=names)
    asked = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            host = self.headers["Host"]
            asked.append(host)
            if host == "mta-sts.hang.test":
                time.sleep(HANG_SECONDS)
            body = policies[host].encode()
            self.send_response(200 if self.path == "/.well-known/mta-sts.txt" else 404)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    with bind_loopback(443) as free:
        address = free.getsockname()[0]
    httpd = http.server.ThreadingHTTPServer((address, 443), Handler)
    httpd.daemon_threads = True
    httpd.handle_error = lambda *_: None   # the hanging answer finds its client gone
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    test.addCleanup(httpd.server_close)
    test.addCleanup(httpd.shutdown)
    return address, asked


@unittest.skipUnless(ROOT, "needs root: exchangers on port 25, the policies on 443")
class MtaSts(Case):
    SERVER = None

    def zone(self, https, exchangers, ids):
        records = [(f"_mta-sts.{d}.test", "TXT", f"v=STSv1; id={ids.get(d, 1)}") for d in POLICIES]
        records += [(f"mta-sts.{d}.test", "A", https) for d in POLICIES]
        records += [(f"mx.{d}.test", "A", exchangers[kind]) for d, (_, kind) in POLICIES.items()]
        return dnszone.Zone(self, records)

    def test_enforce_testing_and_the_policies_kept(self):
        policies = {f"mta-sts.{d}.test": p for d, (p, _) in POLICIES.items()}
        https, asked = policy_server(self, policies)
        (good, goods), (self_signed, selfs), (plain, plains) = (
            real_exchanger(self, server_context("mx.ok.test", signed_for="DNS:mx.ok.test,DNS:mx.other.test")),
            real_exchanger(self, server_context("mx.self.test")), real_exchanger(self))
        exchangers = {"good": good, "self": self_signed, "plain": plain}
        s = self.server(domain_mx=[(f"{d}.test", f"mx.{d}.test", "10") for d in POLICIES],
                        settings={"DnsServer": self.zone(https, exchangers, {}).address, "TlsCaFile": f"{CERTS.name}/ca.pem"})
        started = time.monotonic()
        for d in POLICIES:
            send(s, message(d), to=[f"r@{d}.test"])
        for d, why in (("other", r"MTA-STS: mx\.other\.test is not an exchanger the policy of other\.test names"),
                       ("bad", r"MTA-STS: TLS with mx\.bad\.test failed: certificate-"),
                       ("plain", r"MTA-STS: mx\.plain\.test offers no STARTTLS, and the policy requires TLS")):
            s.wait_log(rf"<r@{d}\.test>: deferred \({why}")
        s.wait_log(r"<r@huge\.test>: delivered to mx\.huge\.test")
        s.wait_log(r"<r@hang\.test>: delivered to mx\.hang\.test", timeout=HANG_SECONDS + 20)
        self.assertGreaterEqual(time.monotonic() - started, 30, "the hanging fetch was not waited for")
        self.assertEqual([(d[1], bool(d[4])) for d in goods], [(["r@ok.test"], True)])
        self.assertEqual(sorted(d[1][0] for d in selfs), ["r@hang.test", "r@huge.test", "r@testing.test"])
        self.assertEqual(plains, [])
        self.assertEqual(asked.count("mta-sts.ok.test"), 1)

        # Kept across a restart while the TXT record's id stays; a new id fetches the policy again.
        s.stop()
        policies["mta-sts.other.test"] = POLICY.format(mode="enforce", mx="mx.other.test")
        zone = self.zone(https, exchangers, {"other": 2})
        s.settings_file().write_text(s.settings_file().read_text().replace(s.settings["DnsServer"], zone.address))
        s.start()
        send(s, message("again"), to=["again@ok.test", "again@other.test"])
        wait_for(lambda: len(goods) == 3, what="the deliveries after the restart")
        self.assertEqual((asked.count("mta-sts.ok.test"), asked.count("mta-sts.other.test")), (1, 2))


if __name__ == "__main__":
    unittest.main()
