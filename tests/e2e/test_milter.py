"""Milter against real filters on loopback: a pymilter filter (libmilter underneath) that answers every way
a filter can and makes every change; rspamd in milter mode (GTUBE refused in its own words, its headers on a
clean message); opendkim signing as a second filter behind rspamd; clamav-milter over clamd refusing the
EICAR test file; a filter that goes silent (451 after MilterTimeout, other sessions served meanwhile) and one
that is not running (451, or passed per MilterDefault).
Mail from 127.0.0.2 comes from outside (RelayNetworks is 127.0.0.1); 127.0.0.1 is trusted."""
import base64
import concurrent.futures
import contextlib
import glob
import hashlib
import json
import os
import pathlib
import shutil
import smtplib
import subprocess
import tempfile
import time
import unittest

from harness import ROOT, TIMEOUT, USERS, Case, answers, free_port, memory_kb, pop3_login, spawn, untraced

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
RSPAMD = shutil.which("rspamd") or "/usr/bin/rspamd"
OPENDKIM = "/usr/sbin/opendkim"
DNSMASQ = shutil.which("dnsmasq")
CLAMD, CLAMAV_MILTER = "/usr/sbin/clamd", "/usr/sbin/clamav-milter"
EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
GTUBE = b"XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
OUTSIDE = "127.0.0.2"

try:
    import Milter  # noqa: F401  (pymilter: the peer needs it)
    PYMILTER = True
except ImportError:
    PYMILTER = False


def mail(subject, body=b"Hello.\r\n.A line with a dot.\r\n", extra=b""):
    return (b"From: ann@out.test\r\nTo: demo@example.test\r\nSubject: " + subject.encode() + b"\r\n"
            b"Message-ID: <" + subject.replace(" ", ".").encode() + b"@out.test>\r\n" + extra + b"\r\n" + body)


def submit(server, msg, to=("demo@example.test",), source=OUTSIDE, sender="ann@out.test"):
    """The reply to the end of DATA as (code, text); RCPT refusals of a pipelining client count as smtplib has them."""
    with smtplib.SMTP("127.0.0.1", server.smtp, local_hostname="client.out.test", timeout=TIMEOUT * 3,
                      source_address=(source, 0)) as m:
        try:
            m.sendmail(sender, list(to), msg)
            return 250, b""
        except smtplib.SMTPDataError as e:
            return e.smtp_code, e.smtp_error
        except smtplib.SMTPRecipientsRefused as e:
            return 550, repr(e.recipients).encode()


def peer(test, port=None):
    """The pymilter filter on a free port; returns its setting and the file its records go to."""
    port = port or free_port()
    record = os.path.join(test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-milterpeer-")), "seen.jsonl")
    spawn(test, [PYTHON, os.path.join(HERE, "milterpeer.py"), f"inet:{port}@127.0.0.1", record], lambda: answers(("127.0.0.1", port)), kill=True)
    return f"inet:127.0.0.1:{port}", record


def records(path):
    return [json.loads(line) for line in pathlib.Path(path).read_text().splitlines()] if os.path.exists(path) else []


class Rspamd:
    """A private rspamd: Debian's configuration with ours over it, its proxy worker in milter mode on a unix
    socket, no other worker, in a network namespace of its own that has only loopback (unshare), so none
    of its lookups (fuzzy servers, maps, RBLs) can leave the machine. Its name server there is a dnsmasq
    that answers NXDOMAIN to every question at once: waiting for answers that never come would make
    rspamd's time-outs the measure of the filter. Needs root."""

    def __init__(self, test):
        self.dir = test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-rspamd-"))
        os.chmod(self.dir, 0o755)   # a Postfix beside us (bench/milter.py) reaches the socket as its own user
        self.socket = f"{self.dir}/milter.sock"
        d = pathlib.Path(self.dir)
        (d / "local.d").mkdir()
        (d / "override.d").mkdir()
        (d / "local.d/options.inc").write_text(
            'dns { nameserver = ["127.0.0.1:53"]; timeout = 0.2s; retransmits = 1; }\n'
            "disable_hyperscan = true;\ndisable_monitoring = true;\n")
        (d / "local.d/logging.inc").write_text('type = "console";\nlevel = "notice";\n')
        # Loopback clients count as local, whose mail gets no headers unless told otherwise.
        (d / "local.d/milter_headers.conf").write_text('use = ["x-spamd-result", "x-spam-status"];\nskip_local = false;\n')
        # A rule of our own, so that a message can score for the "add header" action (X-Spam: Yes).
        (d / "rspamd.local.lua").write_text(
            "rspamd_config.TANDRIVEL_TEST = { callback = function(task) local s = task:get_subject()\n"
            "  return s ~= nil and s:find('add%-header%-test') ~= nil end, score = 8.0, group = 'local',\n"
            "  description = 'tests of Tandrivel' }\n")
        (d / "override.d/worker-normal.inc").write_text("enabled = false;\n")
        (d / "override.d/worker-controller.inc").write_text("enabled = false;\n")
        (d / "override.d/fuzzy_check.conf").write_text("enabled = false;\n")
        (d / "override.d/worker-proxy.inc").write_text(
            f'bind_socket = "{self.socket} mode=0666";\nmilter = yes;\ntimeout = 120s;\ncount = 1;\n'
            'upstream "local" { default = yes; self_scan = yes; }\nspam_header = "X-Spam";\n')
        variables = [f"--var={k}={self.dir}" for k in ("LOCAL_CONFDIR", "RUNDIR", "DBDIR", "LOGDIR")]
        self.dns_pid = f"{self.dir}/dnsmasq.pid"
        dns = (f"{DNSMASQ} --conf-file=/dev/null --no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces "
               f"--port=53 --address=/#/ --user=root --pid-file={self.dns_pid} && " if DNSMASQ else "")
        test.addCleanup(self.stop_dns)
        # It compiles its rules at start: slow on a busy machine.
        spawn(test, ["unshare", "-n", "sh", "-c", f'ip link set lo up && {dns}exec "$@"', "sh", RSPAMD, "-f", "-i", "-c",
                     "/etc/rspamd/rspamd.conf", *variables], lambda: answers(self.socket), timeout=240)
        self.setting = f"unix:{self.socket}"

    def stop_dns(self):
        with contextlib.suppress(OSError, ValueError):
            os.kill(int(pathlib.Path(self.dns_pid).read_text()), 15)


class Opendkim:
    """opendkim signing mail of out.test (a key of its own; signing asks no DNS), as a header-adding filter."""

    def __init__(self, test):
        d = test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-opendkim-"))
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", f"{d}/key.pem"],
                       check=True, capture_output=True)
        port = free_port()
        pathlib.Path(d, "opendkim.conf").write_text(
            f"Mode s\nSocket inet:{port}@127.0.0.1\nDomain out.test\nSelector s1\nKeyFile {d}/key.pem\n"
            f"InternalHosts 127.0.0.0/8\nRequireSafeKeys no\nPidFile {d}/pid\nSyslog no\n")
        spawn(test, [OPENDKIM, "-f", "-x", f"{d}/opendkim.conf"], lambda: answers(("127.0.0.1", port)))
        self.setting = f"inet:127.0.0.1:{port}"


class Clamav:
    """clamd and clamav-milter of their own. The virus database cannot be fetched here (freshclam needs the
    internet), so clamd reads one of ours: the EICAR test file's MD5 as a hash signature, under the name the
    real database gives it."""

    def __init__(self, test):
        d = test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-clamav-"))
        os.mkdir(f"{d}/db")
        pathlib.Path(d, "db/eicar.hdb").write_text(f"{hashlib.md5(EICAR).hexdigest()}:{len(EICAR)}:Eicar-Test-Signature\n")
        pathlib.Path(d, "clamd.conf").write_text(
            f"LocalSocket {d}/clamd.sock\nDatabaseDirectory {d}/db\nForeground yes\nLogFile {d}/clamd.log\n")
        spawn(test, [CLAMD, "-c", f"{d}/clamd.conf"], lambda: answers(f"{d}/clamd.sock"), 120, [f"{d}/clamd.log"])
        port = free_port()
        pathlib.Path(d, "milter.conf").write_text(
            f"MilterSocket inet:{port}@127.0.0.1\nClamdSocket unix:{d}/clamd.sock\nForeground yes\nOnInfected Reject\n"
            f"OnFail Defer\nAddHeader Replace\nLogFile {d}/milter.log\n")
        spawn(test, [CLAMAV_MILTER, "-c", f"{d}/milter.conf"], lambda: answers(("127.0.0.1", port)), logs=[f"{d}/milter.log"])
        self.setting = f"inet:127.0.0.1:{port}"


def server_settings(milters, **more):   # no SPF, DKIM or DMARC checks: their DNS questions would leave the machine
    return {"RelayNetworks": "127.0.0.1/32", "AuthChecks": "no", "Milters": milters, "MilterTimeout": 3, **more}


@unittest.skipUnless(PYMILTER, "needs python3-milter (scripts/install-deps.sh test)")
class Dialogues(Case):
    """Every answer and change of a libmilter filter, as the client and the mailbox see it."""
    SERVER = None

    def setUp(self):
        self.milter, self.record = peer(self)
        self.s = self.server(users=USERS + (("refused", "x", "refused"),), settings=server_settings(self.milter))

    def stored(self, box, subject):
        return [f for f in self.s.files(box) if b"Message-ID: <" + subject.replace(" ", ".").encode() + b"@out.test>" in f]

    def test_answers(self):
        # subject, recipients, the reply, the boxes that get a copy, a log line; every other answer is a row of
        # tests/unit/test_milter.cpp
        rows = [
            ("plain", ["demo@example.test"], (250, b""), ["demo"], r"-Milter inet:127\.0\.0\.1:\d+: accept$"),
            ("reject", ["demo@example.test"], (554, b"5.7.1 First line\n5.7.1 Second line"), [],
             r"-Milter inet:\S+: reject 554-5\.7\.1 First line 554 5\.7\.1 Second line$"),
            ("quarantine", ["demo@example.test"], (250, b""), ["demo"], r"-Milter \S+: accept \(quarantined \(looks bad\)\)$"),
            ("one refused", ["refused@example.test", "demo@example.test"], (250, b""), ["demo"],
             r"-Milter \S+: reject 550 5\.1\.1 No such user here for <refused@example\.test>$"),
        ]
        for subject, to, reply, boxes, log in rows:
            with self.subTest(subject):
                mark = self.s.mark()
                self.assertEqual(submit(self.s, mail(subject), to), reply)
                self.s.wait_log(log, after=mark)
                for box in ("demo", "refused"):
                    self.assertEqual(len(self.stored(box, subject)), box in boxes, box)
        quarantined = self.stored("demo", "quarantine")[0]
        self.assertTrue(untraced(quarantined).startswith(b"X-Spam-Flag: YES\r\nFrom: ann@out.test\r\n"), quarantined[:300])
        # What the filter was told at connect, HELO, MAIL and RCPT (the headers and the body: tests/unit/test_milter.cpp).
        seen = {r["subject"]: r for r in records(self.record)}
        plain = seen["plain"]
        for name, value in {"j": self.s.wait_log(r"^Host name: ").split()[2], "{daemon_name}": "Tandrivel",
                            "_": f"unknown [{OUTSIDE}]", "{mail_addr}": "ann@out.test", "{rcpt_addr}": "demo@example.test"}.items():
            self.assertEqual(plain["macros"].get(name), value, name)
        self.assertRegex(plain["macros"]["i"], r"^[0-9A-F]+$")
        self.assertEqual(plain["client"], [f"[{OUTSIDE}]", OUTSIDE])
        self.assertEqual((plain["helo"], plain["sender"], plain["rcpts"]), ("client.out.test", "<ann@out.test>", ["<demo@example.test>"]))
        self.assertEqual(seen["one refused"]["rcpts"], ["<demo@example.test>"])

    def test_changes(self):
        """Headers added, inserted, changed, deleted; sender and recipients changed; the body replaced: stored so."""
        mark = self.s.mark()
        msg = mail("edit", extra=b"X-Drop: gone\r\n")
        self.assertEqual(submit(self.s, msg, ["demo@example.test", "bob@example.test"]), (250, b""))
        self.s.wait_log(r"-Milter \S+: accept \(\+2 headers, ~1 header, -1 header, sender <changed@out\.test>, "
                        r"\+rcpt <alice@example\.test>, -rcpt <bob@example\.test>, body replaced\)$", after=mark)
        self.assertEqual(self.s.files("bob"), [])
        for box in ("demo", "alice"):
            [stored] = self.s.files(box)
            self.assertTrue(stored.startswith(b"Return-Path: <changed@out.test>\r\n"), stored[:100])
            self.assertEqual(untraced(stored.split(b"\r\n", 1)[1]),
                             b"X-Peer-Top: top\r\nFrom: ann@out.test\r\nTo: demo@example.test\r\nSubject: edited by the peer\r\n"
                             b"Message-ID: <edit@out.test>\r\nX-Peer-Added: one\r\n\ttwo\r\n\r\nReplaced body.\r\n..A line with a dot.\r\n")
        p = pop3_login(self.s, "alice", "wonder")
        self.assertIn(b".A line with a dot.", p.retr(1)[1])
        p.quit()

    def test_added_recipients(self):
        """Recipients a filter adds are held to the rules of RCPT for the client that sent the message."""
        s = self.server(settings=server_settings(self.milter, MilterOutgoing="yes", MaxRecipients=2))
        host = s.wait_log(r"^Host name: ").split()[2]
        for source, refused in ((OUTSIDE, "554 5.7.1 Relay access denied"), ("127.0.0.1", "550 5.7.1 Relaying to this host is not allowed")):
            with self.subTest(source):
                mark = s.mark()
                self.assertEqual(submit(s, mail("recipients"), source=source), (250, b""))
                for to, why in (("root@localhost", refused), (r"x@\[127\.0\.0\.1\]", refused), (f"postmaster@{host}", refused),
                                ("a{256}", "bad address"), ("far@foreign.test", refused if source == OUTSIDE else "too many recipients"),
                                ("bob@example.test", "too many recipients")):
                    s.wait_log(rf"-Milter: \+rcpt <{to}> left out: {why}$", after=mark)
        self.assertEqual((len(s.files("alice")), s.files("bob"), glob.glob(os.path.join(s.folder, "Queue", "*"))), (2, [], []))

    def test_trusted_clients(self):
        """Mail of a trusted client passes unfiltered; with MilterOutgoing=yes it is filtered too."""
        self.assertEqual(submit(self.s, mail("reject"), source="127.0.0.1"), (250, b""))
        self.assertEqual(records(self.record), [])
        s = self.server(settings=server_settings(self.milter, MilterOutgoing="yes"))
        self.assertEqual(submit(s, mail("reject"), source="127.0.0.1")[0], 554)


@unittest.skipUnless(PYMILTER, "needs python3-milter (scripts/install-deps.sh test)")
class Failures(Case):
    """A filter that goes silent or is not there: 451 4.7.1 (never a silent drop), or passed per MilterDefault; one whose
    new body would take the server past its memory budget: 452 4.3.1."""
    SERVER = None

    def test_silent_filter(self):
        milter, _ = peer(self)
        s = self.server(settings=server_settings(milter, MilterTimeout=2))
        start = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            stalled = pool.submit(submit, s, mail("stall"))
            time.sleep(0.5)
            other = time.monotonic()   # meanwhile another client is served at once
            self.assertEqual(submit(s, mail("other"), source="127.0.0.1"), (250, b""))
            self.assertLess(time.monotonic() - other, 1.5)
            self.assertEqual(stalled.result(TIMEOUT), (451, b"4.7.1 Service unavailable - try again later"))
        self.assertGreaterEqual(time.monotonic() - start, 2)
        s.wait_log(r"-Milter \S+: tempfail 451 4\.7\.1 \(no reply in 2 s\)$")
        self.assertEqual(len(s.files()), 1)

    def test_new_body_past_the_budget(self):
        milter, _ = peer(self)
        s = self.server(settings=server_settings(milter, MemoryBudget=64 << 20, MilterTimeout=10))
        rest = memory_kb(s.proc.pid) << 10
        self.assertEqual(submit(s, mail("flood")), (452, b"4.3.1 Insufficient system storage"))
        s.wait_log(r"-Milter \S+: tempfail 452 4\.3\.1 Insufficient system storage \(the memory budget is spent\)$")
        self.assertEqual(s.files(), [])
        peak = memory_kb(s.proc.pid, "VmHWM") << 10
        self.figure(f"a new body of 100 MB against a 64 MB budget: VmHWM {peak >> 20} MB ({rest >> 20} MB at rest)")
        self.assertLess(peak, rest + (64 << 20))

    def test_filter_not_running(self):
        for default, reply, stored, log in (("tempfail", (451, b"4.7.1 Service unavailable - try again later"), 0,
                                             r"-Milter \S+: tempfail 451 4\.7\.1 \(connect: Connection refused\)$"),
                                            ("accept", (250, b""), 1, r"-Milter \S+: not used \(connect: Connection refused\), passed per MilterDefault$")):
            with self.subTest(default):
                s = self.server(settings=server_settings(f"inet:127.0.0.1:{free_port()}", MilterDefault=default))
                self.assertEqual(submit(s, mail("nobody")), reply)
                s.wait_log(log)
                self.assertEqual(len(s.files()), stored)


@unittest.skipUnless(ROOT, "needs root: rspamd runs in a network namespace of its own")
@unittest.skipUnless(os.path.exists(RSPAMD), "needs rspamd (scripts/install-deps.sh test)")
class RealEngines(Case):
    """rspamd in milter mode; opendkim behind it as a second filter."""
    SERVER = None

    @classmethod
    def setUpClass(cls):
        cls.holder = unittest.TestCase()
        cls.rspamd = Rspamd(cls.holder)

    @classmethod
    def tearDownClass(cls):
        cls.holder.doCleanups()

    def setUp(self):
        pass

    def test_gtube_refused_clean_marked(self):
        s = self.server(settings=server_settings(self.rspamd.setting, MilterTimeout=30))
        code, text = submit(s, mail("gtube", body=GTUBE + b"\r\n"))
        self.assertEqual(code, 554, text)
        self.assertIn(b"Gtube pattern", text)   # rspamd's own words
        s.wait_log(r"-Milter unix:\S+: reject 554 5\.7\.1 Gtube pattern$")
        self.assertEqual(s.files(), [])
        self.assertEqual(submit(s, mail("clean")), (250, b""))
        [stored] = s.files()
        self.assertRegex(untraced(stored), rb"(?m)^X-Spamd-Result: default: False \[")
        self.assertRegex(untraced(stored), rb"(?m)^X-Spam-Status: No, score=")
        s.wait_log(r"-Milter unix:\S+: accept \(\+\d+ headers?")
        self.assertEqual(submit(s, mail("add-header-test")), (250, b""))
        marked = next(f for f in s.files() if b"add-header-test" in f)
        self.assertRegex(untraced(marked), rb"(?m)^X-Spam: Yes\r$")
        self.assertRegex(untraced(marked), rb"(?m)^X-Spamd-Result: default: False \[[\d.]+ / 15\.00\];\r\n(\t.*\r\n)*?\tTANDRIVEL_TEST\(8\.00\)")

    @unittest.skipUnless(os.path.exists(OPENDKIM), "needs opendkim (scripts/install-deps.sh test)")
    def test_two_filters(self):
        dkim = Opendkim(self)
        s = self.server(settings=server_settings(f"{self.rspamd.setting},{dkim.setting}", MilterTimeout=30))
        self.assertEqual(submit(s, mail("two filters")), (250, b""))
        [stored] = s.files()
        head = untraced(stored).split(b"\r\n\r\n")[0]
        self.assertRegex(head, rb"(?m)^X-Spamd-Result: ")
        self.assertRegex(head, rb"(?m)^DKIM-Signature: v=1; a=rsa-sha256; c=simple/simple; d=out\.test;")
        self.assertRegex(head, rb"(?m)^\th=From:To:Subject;")
        s.wait_log(r"-Milter unix:\S+: accept")
        s.wait_log(r"-Milter inet:\S+: (continue|accept) \(\+1 header\)$")
        self.assertEqual(submit(s, mail("gtube", body=GTUBE + b"\r\n"))[0], 554)   # the first one's refusal ends it


@unittest.skipUnless(os.path.exists(CLAMD) and os.path.exists(CLAMAV_MILTER), "needs clamav-daemon and clamav-milter (scripts/install-deps.sh test)")
class Viruses(Case):
    """clamav-milter over clamd refuses a message with the EICAR test file attached and marks a clean one."""
    SERVER = None

    def test_eicar_refused(self):
        clam = Clamav(self)
        s = self.server(settings=server_settings(clam.setting, MilterTimeout=30))
        attached = (b"--b1\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n--b1\r\n"
                    b"Content-Type: application/octet-stream; name=eicar.com\r\nContent-Transfer-Encoding: base64\r\n"
                    b"Content-Disposition: attachment; filename=eicar.com\r\n\r\n" + base64.b64encode(EICAR) + b"\r\n--b1--\r\n")
        head = b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b1\r\n"
        self.assertEqual(submit(s, mail("virus", body=attached, extra=head)), (550, b"5.7.1 Command rejected"))
        s.wait_log(r"-Milter inet:\S+: reject 550 5\.7\.1 Command rejected$")
        self.assertEqual(s.files(), [])
        self.assertEqual(submit(s, mail("clean")), (250, b""))
        [stored] = s.files()
        self.assertRegex(untraced(stored), rb"(?m)^X-Virus-Scanned: clamav-milter .*\r\nX-Virus-Status: Clean\r$")
