#!/usr/bin/python3
"""The server's own processor time for a message over STARTTLS with clients that resume, against the same
over plain SMTP: utime+stime from /proc/<pid>/stat over COUNT connections, each sending one message.
Also POP3 RETR of 100 KB messages over STLS, in messages a second. Usage: bench/tls_cpu.py [COUNT]"""
import os
import poplib
import smtplib
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../tests/e2e"))
import harness   # noqa: E402
from harness import HOST, client_context, make_cert, message   # noqa: E402

COUNT = int(sys.argv[1]) if len(sys.argv) > 1 else 150
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_ms(pid):   # utime + stime so far
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / TICKS


class Starttls(smtplib.SMTP):   # wraps with the session of the last connection, keeps the new one
    session, reused = None, 0

    def starttls(self, context=None):
        self.ehlo_or_helo_if_needed()
        code, reply = self.docmd("STARTTLS")
        if code != 220:
            raise smtplib.SMTPResponseException(code, reply)
        self.sock = context.wrap_socket(self.sock, server_hostname=HOST, session=Starttls.session)
        self.file = None
        self.helo_resp = self.ehlo_resp = None
        self.esmtp_features = {}
        self.does_esmtp = False
        self.ehlo()
        return code, reply

    def keep(self):
        Starttls.reused += self.sock.session_reused
        Starttls.session = self.sock.session


def run_smtp(server, tls):
    ctx, text = client_context(), message("cpu", b"x" * 2000 + b"\r\n")
    Starttls.session, Starttls.reused = None, 0
    before, start = cpu_ms(server.proc.pid), time.monotonic()
    for _ in range(COUNT):
        with Starttls("127.0.0.1", server.smtp, timeout=harness.TIMEOUT) as c:
            c.ehlo("client.test")
            if tls:
                c.starttls(context=ctx)
            c.sendmail("a@example.org", ["demo@example.test"], text)
            if tls:
                c.keep()
    return (cpu_ms(server.proc.pid) - before) / COUNT, Starttls.reused, (time.monotonic() - start) * 1000 / COUNT


def run_retr(server, count=100):
    body = (b"y" * 78 + b"\r\n") * 1280   # 100 KB
    for _ in range(count):
        server.put_message(message("big", body))
    c = poplib.POP3("127.0.0.1", server.pop3, timeout=harness.TIMEOUT)
    c.stls(client_context())
    c.user("demo")
    c.pass_("secret")
    start = time.monotonic()
    for i in range(1, count + 1):
        c.retr(i)
    rate = count / (time.monotonic() - start)
    c.quit()
    return rate


def main():
    cert, key = make_cert(HOST)
    server = harness.ServerProcess(settings=dict(TlsCertificate=cert, TlsKey=key))
    try:
        plain, _, plain_wall = run_smtp(server, False)
        tls, reused, tls_wall = run_smtp(server, True)
        print(f"server CPU a message: plain {plain:.2f} ms, STARTTLS resumed {tls:.2f} ms "
              f"({reused}/{COUNT} resumed): {tls / plain:.2f}x")
        print(f"a connection from start to end (smtplib, Nagle on): plain {plain_wall:.1f} ms, STARTTLS resumed {tls_wall:.1f} ms")
        print(f"POP3 RETR 100 KB over STLS: {run_retr(server):.0f} msg/s")
    finally:
        server.stop()
        server.tmp.cleanup()


if __name__ == "__main__":
    main()
