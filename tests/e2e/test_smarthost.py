"""Sending through a relay host (RelayHost), as from a home line or a cloud machine without port 25: every foreign
copy goes to it over STARTTLS with the login, several on one connection; a wrong password is retried and never
logged; RelayHostTls=verify refuses a certificate it cannot check. The relay host is Postfix with SASL through a
Dovecot auth service, or aiosmtpd with AUTH and STARTTLS."""
import base64
import logging
import os
import pathlib
import re
import shutil
import smtplib
import tempfile
import unittest

from harness import CERTS, ROOT, TIMEOUT, Case, Postfix, free_port, make_cert, message, real_exchanger, server_context, spawn, wait_for

USER, PASSWORD = "me@home.test", "s3cret pass"
logging.getLogger("mail.log").setLevel(logging.CRITICAL)   # refused handshakes are expected here
DOVECOT = shutil.which("dovecot") or "/usr/sbin/dovecot"


# The relay host's certificates: self-signed, signed by the test CA for 127.0.0.1, or by it for another name only.
CERTIFICATES = {"self": ("relay.test", None), "signed": ("relay-signed", "IP:127.0.0.1"), "elsewhere": ("relay-elsewhere", "DNS:elsewhere.test")}
CA = os.path.join(CERTS.name, "ca.pem")


def aiosmtpd_relay(test, cert="self"):
    """aiosmtpd as a relay host on 127.0.0.1: STARTTLS required, AUTH required inside TLS. Its port, the deliveries
    (as harness.real_exchanger has them) and the logins (mechanism, user, accepted, under TLS) it took."""
    from aiosmtpd.smtp import AuthResult, LoginPassword
    logins, port = [], free_port()

    def authenticator(server, session, envelope, mechanism, data):
        user = data.login.decode() if isinstance(data, LoginPassword) else None
        logins.append((mechanism, user, user == USER and data.password.decode() == PASSWORD, bool(session.ssl)))
        # A refusal that repeats what it was given, as some hosts do.
        echo = " ".join(base64.b64encode(v).decode() for v in (b"\0" + data.login + b"\0" + data.password, data.password))
        return AuthResult(success=logins[-1][2], handled=False, message=None if logins[-1][2] else f"535 5.7.8 refused {echo}")
    deliveries = real_exchanger(test, server_context(*CERTIFICATES[cert]), address="127.0.0.1", port=port, require_starttls=True,
                                auth_required=True, auth_require_tls=True, authenticator=authenticator)[1]
    return port, deliveries, logins


# Called only if the server looked up an MX: with a relay host it never should.
GETMX = '#!/bin/sh\necho "$1" >> getmx-calls.txt\n'


def relaying(test, host, password=PASSWORD, mode=0o600, **settings):   # a server for `host` over TLS encrypt unless told
    secret = pathlib.Path(test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-relayhost-")), "relay-password")
    secret.write_text(password + "\nnot the password\n")
    secret.chmod(mode)
    return test.server(getmx=GETMX, settings={"RelayHost": host, "RelayHostUser": USER, "RelayHostPasswordFile": secret,
                                              "RelayHostTls": "encrypt", "RelayRetry": 1, **settings})


class RelayHost(Case):
    SERVER = None   # each test lays out its own server

    def assert_no_password(self, s, password=PASSWORD):   # nor in the queue files, which the listing and notices show
        queued = [p.read_text() for p in pathlib.Path(s.folder, "Queue").rglob("*") if p.is_file()]
        for secret in (password, base64.b64encode(password.encode()).decode(), base64.b64encode(f"\0{USER}\0{password}".encode()).decode()):
            self.assertFalse([line for line in s.log + queued if secret in line], "the password is in the log or the queue")

    def test_every_foreign_copy_goes_to_the_relay_host(self):
        port, deliveries, logins = aiosmtpd_relay(self)
        s = relaying(self, f"127.0.0.1:{port}")
        s.wait_log(rf"^Relay host: every foreign recipient goes to 127\.0\.0\.1:{port} \(TLS encrypt: .*; login {re.escape(USER)}\)$")
        # Ten messages for as many domains, and a local one, sent one after the other.
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
            for n in range(10):
                c.sendmail("demo@example.test", [f"r{n}@far{n}.test"] + (["demo@example.test"] if n == 0 else []), message(f"m{n}"))
        wait_for(lambda: len(deliveries) == 10, what=lambda: f"ten deliveries, not {len(deliveries)}")
        self.assertEqual(sorted(d[1][0] for d in deliveries), sorted(f"r{n}@far{n}.test" for n in range(10)))
        self.assertTrue(all(d[0] == "demo@example.test" and d[4] and d[4].startswith("TLSv1.") for d in deliveries), deliveries)
        self.assertTrue(all(f"Subject: m{d[1][0][1:].split('@')[0]}\r\n".encode() in d[2] for d in deliveries))
        # One login per connection, each right and inside TLS; fewer connections than messages.
        self.assertTrue(all(l[1:] == (USER, True, True) for l in logins), logins)
        connections = s.count_log(r"^Connect \d+$")
        self.assertEqual(len(logins), connections)
        self.assertLess(connections, 10)
        print(f"\n10 messages through the relay host on {connections} connections", end=" ")
        self.assertEqual(s.count_log(r": attempt 1 to relay host .* on connection \d+ kept open$"), 10 - connections)
        self.assertEqual(len(s.messages()), 1)
        self.assertFalse(os.path.exists(os.path.join(s.folder, "getmx-calls.txt")), "an MX was looked up")
        self.assert_no_password(s)

    # RelayHostTls with the host's certificate: the system's store (which a test leaves alone) knows neither of
    # the test's certificates, so only RelayHostCaFile makes one trusted; the name must match RelayHost.
    TLS = [  # RelayHostTls, the host's certificate, RelayHostCaFile, what the log says of the copy
        ("verify", "self", None, r"deferred by relay host 127\.0\.0\.1:\d+ \(TLS failed: .*self-signed.*\)"),
        ("encrypt", "self", None, r"delivered to "),
        ("verify", "signed", CA, r"delivered to "),
        ("verify", "elsewhere", CA, r"deferred by relay host 127\.0\.0\.1:\d+ \(TLS failed: .*host name did not match.*\)"),
        ("verify", "signed", None, r"deferred by relay host 127\.0\.0\.1:\d+ \(TLS failed: .*issuer certificate.*\)"),
    ]

    def test_tls_policy(self):
        for tls, cert, ca, logged in self.TLS:
            with self.subTest(tls=tls, cert=cert, ca=ca):
                port, deliveries, logins = aiosmtpd_relay(self, cert)
                s = relaying(self, f"127.0.0.1:{port}", RelayHostTls=tls, RelayHostCaFile=ca)
                with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
                    c.sendmail("demo@example.test", ["far@away.test"], message("tls"))
                s.wait_log(r"<far@away\.test>: " + logged)
                self.assertEqual(len(deliveries), int("delivered" in logged))
                if not deliveries:   # nothing went out in clear: not even the login
                    self.assertEqual(logins, [])
                    self.assertTrue(os.listdir(os.path.join(s.folder, "Queue")))
                s.stop()

    def test_wrong_password_is_retried_and_never_logged(self):
        port, deliveries, logins = aiosmtpd_relay(self)
        s = relaying(self, f"127.0.0.1:{port}", password="not it")
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
            c.sendmail("demo@example.test", ["far@away.test"], message("wrong password"))
        rx = rf"<far@away\.test>: deferred by relay host 127\.0\.0\.1:{port} \(login refused: 535 5\.7\.8 .*\); next attempt "
        wait_for(lambda: s.count_log(rx) >= 2, what=lambda: f"two deferrals: {s.log[-20:]}")
        self.assertEqual(deliveries, [])
        self.assertTrue(len(logins) >= 2 and all(l[1:] == (USER, False, True) for l in logins), logins)
        self.assertEqual(s.count_log(r"bounced|notice"), 0)
        self.assert_no_password(s, "not it")
        self.assertTrue(s.count_log(r"^\d+>AUTH PLAIN \*{8}$"))
        # Put right and started again, the waiting copy goes.
        s.stop()
        pathlib.Path(s.settings["RelayHostPasswordFile"]).write_text(PASSWORD + "\n")
        s.start()
        wait_for(lambda: len(deliveries) == 1, what="the delivery after the password was put right")

    def test_password_file_others_may_read(self):
        port, deliveries, logins = aiosmtpd_relay(self)
        s = relaying(self, f"127.0.0.1:{port}", mode=0o644)
        s.wait_log(r"^Relay host: .*; not used, mail waits in the queue: password file \S+ may be read by others \(mode 0644\)")
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
            c.sendmail("demo@example.test", ["far@away.test"], message("kept"))
        s.wait_log(r"<far@away\.test>: deferred by relay host \S+ \(relay host not used: password file .* may be read by others")
        self.assertEqual((deliveries, logins), ([], []))
        self.assert_no_password(s)


DOVECOT_CONF = """\
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
protocols = none
listen = 127.0.0.1
ssl = no
auth_mechanisms = plain login
disable_plaintext_auth = no
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={d}
}}
service auth {{
  unix_listener {d}/auth {{
    mode = 0666
  }}
}}
"""


class TlsPostfix(Postfix):   # its smtpd offers STARTTLS, which needs the TLS manager
    DAEMONS = Postfix.DAEMONS + ["tlsmgr unix - - n 1000? 1 tlsmgr"]


@unittest.skipUnless(ROOT, "needs root: Postfix and Dovecot run as root")
@unittest.skipUnless(os.path.exists(DOVECOT), "needs dovecot-core (scripts/install-deps.sh)")
class PostfixRelayHost(Case):
    SERVER = None

    def dovecot(self):   # a private auth service: its socket
        d = self.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-dovecot-"))
        os.chmod(d, 0o755)
        pathlib.Path(d, "passwd").write_text(f"{USER}:{{PLAIN}}{PASSWORD}\n")
        pathlib.Path(d, "dovecot.conf").write_text(DOVECOT_CONF.format(d=d))
        spawn(self, [DOVECOT, "-F", "-c", f"{d}/dovecot.conf"], lambda: os.path.exists(f"{d}/auth"), logs=[f"{d}/dovecot.log"])
        return f"{d}/auth"

    def test_postfix_with_dovecot_sasl(self):
        # Postfix takes mail only from a login (loopback is not among its networks) and hands it on to a plain
        # aiosmtpd that records it.
        onward, deliveries = real_exchanger(self)
        cert, key = make_cert(*CERTIFICATES["signed"])
        postfix = TlsPostfix(self, dict(myhostname="relay.test", mydestination="", mynetworks="192.0.2.1/32",
                                     smtpd_tls_cert_file=cert, smtpd_tls_key_file=key, smtpd_tls_security_level="may", smtpd_tls_loglevel=1,
                                     smtpd_tls_auth_only="yes", smtpd_sasl_auth_enable="yes", smtpd_sasl_type="dovecot",
                                     smtpd_sasl_path=self.dovecot(), smtpd_relay_restrictions="permit_sasl_authenticated, reject",
                                     relayhost=f"[{onward}]:25", smtp_tls_security_level="none"),
                          listen=lambda: f"127.0.0.1:{free_port()}")
        s = relaying(self, f"{postfix.host}:{postfix.port}", RelayHostTls=None, RelayHostCaFile=CA)
        with smtplib.SMTP("127.0.0.1", s.smtp, timeout=TIMEOUT) as c:
            for n in range(10):
                c.sendmail("demo@example.test", [f"r{n}@far{n}.test"], message(f"p{n}"))
        wait_for(lambda: len(deliveries) == 10, timeout=60, what=lambda: f"ten deliveries, not {len(deliveries)}: {postfix.maillog()}")
        self.assertEqual(sorted(d[1][0] for d in deliveries), sorted(f"r{n}@far{n}.test" for n in range(10)))
        log = pathlib.Path(postfix.dir, "maillog").read_text(errors="replace")
        logins = re.findall(r"sasl_method=(\w+), sasl_username=(\S+)", log)
        connections = len(re.findall(r"smtpd\[\d+\]: connect from ", log))
        self.assertEqual(logins, [("PLAIN", USER)] * 10)   # every message is logged with its login
        self.assertLess(connections, 10)
        self.assertEqual(len(re.findall(r"Anonymous TLS connection established|Trusted TLS connection established|"
                                        r"Untrusted TLS connection established", log)), connections)
        print(f"\n10 messages through Postfix on {connections} connections", end=" ")
        s.wait_log(r"^\d+-TLS TLSv1\.3 ")
        # Postfix may pass a message on before its 250 to us is read here.
        wait_for(lambda: s.count_log(r"delivered to 127\.0\.0\.1") == 10, what="ten deliveries logged")
