"""TLS sessions resumed: a client that keeps its session (ticket) makes no full handshake on its next
connection, over STARTTLS and on the TLS ports, TLS 1.2 and 1.3; not with TlsResumption=no, and a
ticket of another server process only costs a full handshake (the keys' rotation is tests/unit/test_tlsresume.cpp's).
Relays go over TLS where the exchanger offers it, and the next one resumes."""
import ssl
import time
import unittest

import harness
from harness import HOST, ROOT, client_context, connect, free_port, make_cert, real_exchanger, relay_index, reply, send, server_context
from harness import untraced, wait_for
import test_internet

TEXT = b"From: demo@example.test\r\nSubject: over TLS\r\n\r\n.leading dot\r\nbody\r\n"
# How clients resume: the name, the version, whether they take tickets (else the session ID).
CLIENTS = (("TLS 1.3", ssl.TLSVersion.TLSv1_3, True), ("TLS 1.2 ticket", ssl.TLSVersion.TLSv1_2, True),
           ("TLS 1.2 session ID", ssl.TLSVersion.TLSv1_2, False))


def context(version, tickets):
    ctx = client_context()
    ctx.minimum_version = ctx.maximum_version = version
    if not tickets:
        ctx.options |= ssl.OP_NO_TICKET
    return ctx


def resumed(port, kind, ctx, session):   # whether a connection resumed `session`, its own, and how long QUIT took
    sock = connect(port)   # Nagle on, as most clients leave it
    if kind == "STARTTLS":
        reply(sock)
        sock.sendall(b"EHLO client.test\r\nSTARTTLS\r\n")
        assert reply(sock).startswith(b"250 ") and reply(sock).startswith(b"220 ")
    with ctx.wrap_socket(sock, server_hostname=HOST, session=session) as t:
        if kind != "STARTTLS":
            assert reply(t)[:3] in (b"220", b"+OK")
        start = time.monotonic()
        t.sendall(b"QUIT\r\n")   # the tickets come before its answer
        assert reply(t)[:3] in (b"221", b"+OK")
        return t.session_reused, t.session, time.monotonic() - start


class Resumption(test_internet.Case):
    def test_the_second_connection_resumes(self):
        for kind, port in (("STARTTLS", self.s.smtp), ("Smtps", self.s.smtps), ("Pop3s", self.s.pop3s)):
            for client, *how in CLIENTS:
                with self.subTest(port=kind, client=client):
                    ctx = context(*how)
                    first, session, took = resumed(port, kind, ctx, None)
                    second, session, took2 = resumed(port, kind, ctx, session)
                    third, _, took3 = resumed(port, kind, ctx, session)   # a ticket of a resumed session works too
                    self.assertEqual((first, second, third), (False, True, True))
                    # Our ACK of the client's Finished comes at once: QUIT, held back until then, never
                    # waits for the delayed one (40 ms at least).
                    self.assertLess(min(took, took2, took3), 0.035)

    def test_off_or_a_ticket_of_another_server_is_a_full_handshake(self):
        cert, key = make_cert(HOST)   # the same certificate, other keys
        tls = dict(TlsCertificate=cert, TlsKey=key, Smtps=free_port(), Pop3s=free_port())
        other, off = self.server(settings=tls), self.server(settings=dict(tls, Smtps=free_port(), Pop3s=free_port(), TlsResumption="no"))
        for client, *how in CLIENTS:
            with self.subTest(client=client):
                ctx = context(*how)
                theirs = resumed(other.pop3s, "Pop3s", ctx, None)[1]
                self.assertEqual(resumed(self.s.pop3s, "Pop3s", ctx, theirs)[0], False)
                for kind, port in (("STARTTLS", off.smtp), ("Pop3s", off.pop3s)):
                    self.assertEqual(resumed(port, kind, ctx, resumed(port, kind, ctx, None)[1])[0], False, kind)


class RelayOverTls(harness.Case):
    @unittest.skipUnless(ROOT, "needs root: the exchangers listen on port 25")
    def test_tls_where_the_exchanger_offers_it_and_the_next_relay_resumes(self):
        plain, in_clear = real_exchanger(self)
        for version in (ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_2):
            with self.subTest(version=version.name):
                ctx = server_context()
                ctx.maximum_version = version
                mx, deliveries = real_exchanger(self, ctx)
                s = self.server(domain_mx=[("tls.test", mx, " 10"), ("plain.test", plain, " 10")])
                for n in range(3):
                    send(s, TEXT, to=[f"x{n}@tls.test"])
                    wait_for(lambda: len(deliveries) > n, what=f"relay {n}")
                    wait_for(lambda: deliveries.quits > n, what=f"the end of connection {n}")   # not reused: a new one
                shown = version.name.replace("_", ".")
                self.assertEqual([(d[4], d[5]) for d in deliveries], [(shown, False), (shown, True), (shown, True)])
                self.assertEqual(untraced(deliveries[0][2]), TEXT)
                s.wait_log(rf"^{relay_index(s, 'tls.test')}-TLS {shown}\b")
        send(s, TEXT, to=["y@plain.test"])   # in clear where the exchanger offers no TLS
        wait_for(lambda: in_clear, what="the relay in clear")
        self.assertEqual((untraced(in_clear[0][2]), in_clear[0][4]), (TEXT, None))
        s.wait_log(rf"^{relay_index(s, 'plain.test')}-TLS none\b")


if __name__ == "__main__":
    unittest.main()
