"""TLS sessions resumed: a client that keeps its session (ticket) makes no full handshake on its next
connection, over STARTTLS and on the TLS ports, TLS 1.2 and 1.3; not with TlsResumption=no, and a
ticket of another server process only costs a full handshake. Relays go over TLS where the exchanger offers it,
and the next one resumes."""
import ssl
import unittest

import harness
from harness import HOST, ROOT, client_context, connect, free_port, make_cert, read_line, real_exchanger, relay_index, send, server_context
from harness import session as greeted, untraced, wait_for
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


def smtp_lines(sock):   # a whole reply
    while True:
        line = read_line(sock)
        if line[3:4] != b"-":
            return line


def starttls(port, ctx, session):
    sock = greeted(port)
    sock.sendall(b"EHLO client.test\r\n")
    smtp_lines(sock)
    sock.sendall(b"STARTTLS\r\n")
    assert smtp_lines(sock).startswith(b"220 ")
    t = ctx.wrap_socket(sock, server_hostname=HOST, session=session)
    t.sendall(b"EHLO client.test\r\nQUIT\r\n")
    assert smtp_lines(t).startswith(b"250 ") and smtp_lines(t).startswith(b"221 ")   # the tickets come before
    return t


def smtps(port, ctx, session):   # TLS from the first byte, then the greeting
    t = ctx.wrap_socket(connect(port), server_hostname=HOST, session=session)
    assert smtp_lines(t).startswith(b"220 ")
    t.sendall(b"QUIT\r\n")
    assert smtp_lines(t).startswith(b"221 ")
    return t


def pop3s(port, ctx, session):
    t = ctx.wrap_socket(connect(port), server_hostname=HOST, session=session)
    assert read_line(t).startswith(b"+OK")
    t.sendall(b"QUIT\r\n")
    assert read_line(t).startswith(b"+OK")
    return t


def resumed(port, dialogue, ctx, session):   # whether the connection resumed `session`, and its own
    t = dialogue(port, ctx, session)
    try:
        return t.session_reused, t.session
    finally:
        t.close()


class Resumption(test_internet.Case):
    def ports(self, s):
        return (("STARTTLS", s.smtp, starttls), ("Smtps", s.smtps, smtps), ("Pop3s", s.pop3s, pop3s))

    def test_the_second_connection_resumes(self):
        for (name, port, dialogue) in self.ports(self.s):
            for client, *how in CLIENTS:
                with self.subTest(port=name, client=client):
                    ctx = context(*how)
                    first, session = resumed(port, dialogue, ctx, None)
                    second, session = resumed(port, dialogue, ctx, session)
                    third, _ = resumed(port, dialogue, ctx, session)   # a ticket of a resumed session works too
                    self.assertEqual((first, second, third), (False, True, True))

    def test_a_ticket_of_another_server_is_a_full_handshake(self):
        cert, key = make_cert(HOST)   # the same certificate, other keys
        other = self.server(settings=dict(TlsCertificate=cert, TlsKey=key, Smtps=free_port(), Pop3s=free_port()))
        for client, *how in CLIENTS:
            with self.subTest(client=client):
                ctx = context(*how)
                _, theirs = resumed(other.pop3s, pop3s, ctx, None)
                self.assertEqual(resumed(self.s.pop3s, pop3s, ctx, theirs)[0], False)
                _, ours = resumed(self.s.smtp, starttls, ctx, None)
                self.assertEqual(resumed(self.s.smtp, starttls, ctx, ours)[0], True)


class Off(test_internet.Case):
    SETTINGS = {"TlsResumption": "no"}

    def test_no_session_is_resumed(self):
        for (name, port, dialogue) in (("STARTTLS", self.s.smtp, starttls), ("Pop3s", self.s.pop3s, pop3s)):
            for client, *how in CLIENTS:
                with self.subTest(port=name, client=client):
                    ctx = context(*how)
                    _, session = resumed(port, dialogue, ctx, None)
                    self.assertEqual(resumed(port, dialogue, ctx, session)[0], False)


class RelayOverTls(harness.Case):
    def test_tls_where_the_exchanger_offers_it_and_the_next_relay_resumes(self):
        if not ROOT:
            self.skipTest("the exchangers listen on port 25 (run as root)")
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
