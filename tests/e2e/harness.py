"""Runs the real executable in a program folder of its own, on free loopback ports."""
import base64
import collections
import contextlib
import os
import pathlib
import poplib
import re
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

EXE = os.environ.get("TANDRIVEL_EXE", os.path.join(os.path.dirname(__file__), "../../build/Tandrivel"))
SOURCE = os.environ.get("TANDRIVEL_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))


def _machine_name():   # as the server names itself without HostName: fully qualified, else the short name
    short = socket.gethostname()
    try:
        canonical = socket.getaddrinfo(short, None, type=socket.SOCK_STREAM, flags=socket.AI_CANONNAME)[0][3]
    except OSError:
        return short
    return canonical if "." in canonical else short


HOST = _machine_name()
TIMEOUT = 20.0   # generous: the machine is shared and may be busy
ROOT = os.geteuid() == 0
SANITIZED = b"__asan_init" in pathlib.Path(EXE).read_bytes()   # memory figures of such a build say nothing
USERS = (("demo", "secret", "demo"), ("alice", "wonder", "alice"), ("bob", "hunter2", "bob"))

# Under scripts/test.sh (TANDRIVEL_PEERS=all) every peer the tests use is installed: a skip for a missing one
# is then a failure. Skips about the machine rather than a package stay skips; their reasons start so.
MACHINE = ("needs root", "a sanitizer build", "not a sanitizer build", "not permitted here")
if os.environ.get("TANDRIVEL_PEERS") == "all":
    _skip = unittest.TestResult.addSkip

    def _missing_peer(result, test, reason):
        if reason.startswith(MACHINE):
            return _skip(result, test, reason)
        result.addFailure(test, (AssertionError, AssertionError(f"skipped, but scripts/test.sh installs every peer: {reason}"), None))
    unittest.TestResult.addSkip = _missing_peer


# Ports handed out here were free when chosen, but anyone may take one before it is listened on
# (CTest runs tests side by side, and every client's source port comes from the same range):
# whoever listens on one of these chooses another when it is taken by then. Never one twice:
# the system may offer a port again once its probe is closed.
_chosen = set()


def free_port():
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _chosen:
            _chosen.add(port)
            return port


def retry_taken(attempt, what, tries=5):   # attempt(): False when a port it chose was taken by then
    for _ in range(tries):
        if attempt():
            return
    raise AssertionError(f"{what}: its ports were taken {tries} times over")


def wait_for(predicate, timeout=TIMEOUT, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError(f"timed out waiting for {what() if callable(what) else what}")
        time.sleep(0.01)


def answers(address):   # ("host", port) or a unix socket path: whether a connection there is taken
    with contextlib.closing(socket.socket(socket.AF_UNIX if isinstance(address, str) else socket.AF_INET)) as s:
        try:
            s.connect(address)
            return True
        except OSError:
            return False


def spawn(test, argv, ready, timeout=TIMEOUT, logs=(), kill=False, **popen):
    """A peer, stopped when `test` ends (killed with `kill`), once ready() holds. Should it end first or not get there in
    time, the failure shows its own output and the tails of `logs`, the files it writes."""
    out = tempfile.TemporaryFile()
    proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, **popen)

    def stop():
        proc.kill() if kill else proc.terminate()
        try:
            proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        out.close()
    test.addCleanup(stop)
    deadline = time.time() + timeout
    while not ready():
        if proc.poll() is not None or time.time() > deadline:
            out.seek(0)
            tails = [out.read().decode(errors="replace")] + [f"--- {p}:\n" + pathlib.Path(p).read_text(errors="replace")
                                                           for p in logs if os.path.exists(p)]
            state = f"ended with {proc.returncode}" if proc.poll() is not None else f"not ready after {timeout} s"
            raise AssertionError(f"{' '.join(argv)[:300]} {state}:\n" + "\n".join(tail[-3000:] for tail in tails))
        time.sleep(0.05)
    return proc


def memory_kb(pid, field="VmRSS"):   # VmHWM: the peak so far
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def listening(pid):   # the TCP ports a process listens on, whoever else may hold the same numbers
    sockets = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):   # closed meanwhile
            sockets.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for row in pathlib.Path(table).read_text().splitlines()[1:]:
            local, state, inode = (row.split()[i] for i in (1, 3, 9))
            if state == "0A" and f"socket:[{inode}]" in sockets:
                ports.add(int(local.rsplit(":", 1)[1], 16))
    return ports


def dkim_key(path, kind="rsa"):   # an RSA 2048 or Ed25519 key made by openssl at `path`, its owner's alone; its TXT record
    opts = ["-pkeyopt", "rsa_keygen_bits:2048"] if kind == "rsa" else []
    subprocess.run(["openssl", "genpkey", "-algorithm", kind.upper(), *opts, "-out", path], check=True, capture_output=True)
    os.chmod(path, 0o600)
    der = subprocess.run(["openssl", "pkey", "-in", path, "-pubout", "-outform", "DER"], check=True, capture_output=True).stdout
    return f"v=DKIM1; k={kind}; p={base64.b64encode(der if kind == 'rsa' else der[-32:]).decode()}"   # Ed25519: the bare key (RFC 8463)


CERTS = tempfile.TemporaryDirectory(prefix="tandrivel-certs-")
EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=TIMEOUT)


def make_cert(name, signed_for=None):
    """(cert, key) for `name`: self-signed for it and 127.0.0.1, so clients can check it; with `signed_for`
    (a subjectAltName) signed by the test CA, CERTS/ca.pem."""
    d = CERTS.name
    cert, key = f"{d}/{name}.pem", f"{d}/{name}.key"
    if os.path.exists(cert):
        return cert, key
    if not signed_for:
        openssl("req", "-x509", *EC_KEY, "-subj", f"/CN={name}", "-addext", f"subjectAltName=DNS:{name},IP:127.0.0.1",
                "-keyout", key, "-out", cert)
        return cert, key
    if not os.path.exists(f"{d}/ca.pem"):
        openssl("req", "-x509", *EC_KEY, "-subj", "/CN=Tandrivel test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign", "-keyout", f"{d}/ca.key", "-out", f"{d}/ca.pem")
    openssl("req", "-new", *EC_KEY[:4], "-nodes", "-subj", f"/CN={name}", "-keyout", key, "-out", f"{d}/{name}.csr")
    pathlib.Path(d, f"{name}.ext").write_text(f"subjectAltName={signed_for}\n")
    openssl("x509", "-req", "-in", f"{d}/{name}.csr", "-CA", f"{d}/ca.pem", "-CAkey", f"{d}/ca.key", "-CAcreateserial", "-days", "2",
            "-extfile", f"{d}/{name}.ext", "-out", cert)
    return cert, key


def ca():   # what clients trust: the server's own certificate
    return make_cert(HOST)[0]


def client_context(version=None):
    ctx = ssl.create_default_context(cafile=ca())
    if version:   # lowered security level, or the client would not even offer TLS 1.1
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.minimum_version = ctx.maximum_version = version
    return ctx


def server_context(name="mx.remote.test", signed_for=None):   # for a peer that offers TLS
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(*make_cert(name, signed_for))
    return ctx


def message(subject, body=b"x\r\n"):
    return b"From: a@example.org\r\nSubject: " + subject.encode() + b"\r\n\r\n" + body


def megabytes(n, subject="big"):   # a message of about n MB, in lines of 80
    return message(subject, (b"y" * 78 + b"\r\n") * ((n << 20) // 80))


def stuffed(text):   # as it travels and is stored
    return re.sub(rb"(?m)^\.", b"..", text)


def subjects(texts):
    return collections.Counter(s.decode() for t in texts for s in re.findall(rb"(?m)^Subject: (.*?)\r?$", t))


def smtp(server, source="127.0.0.1", tls=None, timeout=TIMEOUT):   # after EHLO; `tls`: a context for STARTTLS
    m = smtplib.SMTP("127.0.0.1", server.smtp, local_hostname="client.test", timeout=timeout, source_address=(source, 0))
    if tls:
        m.starttls(context=tls)
    m.ehlo()
    return m


def send(server, msg, to=("demo@example.test",), timeout=TIMEOUT, sender="a@example.org"):
    with smtp(server, timeout=timeout) as m:
        m.sendmail(sender, list(to), msg)


def pop3_login(server, user="demo", password="secret"):
    p = poplib.POP3("127.0.0.1", server.pop3, timeout=TIMEOUT)
    p.user(user)
    p.pass_(password)
    return p


def pop3_stat(server, user="demo", password="secret"):
    p = pop3_login(server, user, password)
    stat = p.stat()
    p.quit()
    return stat


POSTFIX = shutil.which("postfix") or "/usr/sbin/postfix"


class Postfix:
    """A Postfix of its own in a fresh folder (needs root): main.cf is `settings` over a base that looks up no DNS
    and keeps its log in the folder; its smtpd listens on the "address:port" `listen()` gives, asked again when
    Postfix finds that taken at start. Stopped when the test ends."""
    DAEMONS = ["rewrite unix - - n - - trivial-rewrite", "cleanup unix n - n - 0 cleanup", "qmgr unix n - n 300 1 qmgr",
               "smtp unix - - n - - smtp", "scache unix - - n - 1 scache", "anvil unix - - n - 1 anvil",
               "postlog unix-dgram n - n - 1 postlogd", "error unix - - n - - error", "retry unix - - n - - error",
               "discard unix - - n - - discard", "proxymap unix - - n - - proxymap", "verify unix - - n - 1 verify",
               "flush unix n - n 1000? 0 flush", "showq unix n - n - - showq"] + [
               f"{name} unix - - n - 0 bounce" for name in ("bounce", "defer", "trace")]

    def __init__(self, test, settings, listen):
        self.dir = test.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-postfix-"))
        os.chmod(self.dir, 0o755)   # its daemons run as the postfix user
        os.mkdir(f"{self.dir}/queue", 0o755)
        base = dict(compatibility_level="3.6", queue_directory=f"{self.dir}/queue", data_directory=f"{self.dir}/data",
                    mail_owner="postfix", inet_protocols="ipv4", smtp_host_lookup="native", smtp_dns_support_level="disabled",
                    maillog_file=f"{self.dir}/maillog", maillog_file_prefixes=self.dir, alias_maps="", alias_database="")
        pathlib.Path(self.dir, "main.cf").write_text("".join(f"{k} = {v}\n" for k, v in {**base, **settings}.items()))

        def start():
            self.host, self.port = listen().rsplit(":", 1)
            pathlib.Path(self.dir, "master.cf").write_text(
                "\n".join([f"{self.host}:{self.port} inet n - n - - smtpd"] + self.DAEMONS) + "\n")
            self.run("check")   # makes the queue and data folders
            return self.run("start", taken=rf"fatal: bind {re.escape(self.host)} port {self.port}: Address already in use")
        retry_taken(start, "Postfix")
        test.addCleanup(self.stop)

    def run(self, command, taken=None):   # False when it failed with `taken` in its log
        r = subprocess.run([POSTFIX, "-c", self.dir, command], capture_output=True, timeout=60)
        if r.returncode and taken and re.search(taken, self.maillog()):
            return False
        assert r.returncode == 0, f"postfix {command}: {r.stdout + r.stderr}\n{self.maillog()}"
        return True

    def stop(self):
        pid = int(pathlib.Path(self.dir, "queue/pid/master.pid").read_text())
        self.run("stop")
        wait_for(lambda: not os.path.exists(f"/proc/{pid}"), what="Postfix stopped")

    def maillog(self):
        path = pathlib.Path(self.dir, "maillog")
        return path.read_text(errors="replace")[-3000:] if path.exists() else ""

    def queued(self):
        return sum(len(files) for d in ("incoming", "active", "deferred", "hold") for _, _, files in os.walk(f"{self.dir}/queue/{d}"))


CURL = ["curl", "-sS", "--max-time", str(int(TIMEOUT)), "-u", "demo:secret"]


def curl(*args):
    return subprocess.run(CURL + list(args), capture_output=True, check=True).stdout


PORTS = ("Pop3", "SMTP", "Pop3s", "Smtps", "Submission", "Imap", "Imaps")   # the settings that are ports


class ServerProcess:
    """A running server; `log` holds the lines it wrote so far, stderr among them."""

    def __init__(self, domain="example.test", users=USERS, domain_mx=(), settings=(), getmx=None, wait=True):
        self.tmp = tempfile.TemporaryDirectory(prefix="tandrivel-e2e-")
        self.folder = os.path.join(self.tmp.name, "prog")
        self.config = os.path.join(self.folder, "config")   # where the service keeps it
        for d in [os.path.join(self.config, "Merivolant"), self.mailbox("")] + [self.mailbox(u[2]) for u in users]:
            os.makedirs(d, exist_ok=True)
        shutil.copy(EXE, os.path.join(self.folder, "Tandrivel"))
        pathlib.Path(self.folder, "GetMX.sh").write_text(getmx or pathlib.Path(SOURCE, "relay", "GetMX.sh").read_text())
        os.chmod(os.path.join(self.folder, "GetMX.sh"), 0o755)
        for name, header, rows in (("Users.txt", "UserName,Password,MailID", users), ("DomainMX.txt", "Domain,MX,Priority", domain_mx)):
            pathlib.Path(self.folder, name).write_text("".join(",".join(r) + "\n" for r in ((header,), *rows)))
        # Over the defaults; None leaves a key out. Tests open many connections from one address.
        # The checks on mail from outside ask no name server off this machine: by default one on a
        # loopback address where nothing answers (dnszone's servers never take .1).
        settings = {"Domain": domain, "Pop3": free_port(), "SMTP": free_port(), "MaxPerAddress": 100000, "DnsServer": "127.0.53.1",
                    **dict(settings)}
        self.settings = {k: v for k, v in settings.items() if v is not None}
        self.settings_file().write_text("[General]\n" + "".join(f"{k}={v}\n" for k, v in self.settings.items()))
        self.log = []
        if wait is not None:   # None: laid out, not started
            self.start(wait)

    pop3, smtp, pop3s, smtps, submission, imap, imaps = (property(lambda self, k=k: self.settings.get(k)) for k in PORTS)

    def settings_file(self):
        return pathlib.Path(self.config, "Merivolant", "Tandrivel.conf")

    def start(self, wait=True):   # wait=False: until it serves, shows only its window, or ends; True: until it serves
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=self.config, XDG_RUNTIME_DIR=self.tmp.name)
        started = self.mark()

        def attempt():
            self.proc = subprocess.Popen([os.path.join(self.folder, "Tandrivel")], cwd=self.folder, env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self._reader = threading.Thread(target=self._read, daemon=True)
            self._reader.start()
            wait_for(lambda: self.proc.poll() is not None or self.count_log(r"^Tandrivel serving |Nothing listens", started),
                     what=lambda: f"the server's start; last: {self.log[-15:]}")
            if self.proc.poll() is None:
                return True
            self._reader.join(5)
            taken = [m for m in map(re.compile(r"Cannot listen on (\w+) port (\d+): .*in use").search, self.log[started:]) if m]
            if not taken or self.settings.get(taken[0][1]) not in _chosen:
                return True   # the test's to judge
            # Fresh ports for all it was given here (the older a choice, the likelier it is gone too),
            # and a log as if this start never happened.
            print(f"{taken[0][1]} port {taken[0][2]} was taken by then; choosing again", file=sys.stderr)
            text = self.settings_file().read_text()
            for key in [k for k in PORTS if self.settings.get(k) in _chosen]:
                port = free_port()
                text = re.sub(rf"(?m)^{key}={self.settings[key]}$", f"{key}={port}", text)
                self.settings[key] = port
            self.settings_file().write_text(text)
            del self.log[started:]
            return False

        retry_taken(attempt, "Tandrivel")
        if wait:
            self.wait_log(r"^Tandrivel serving ", after=started)

    def _read(self):
        with self.proc.stdout as pipe:
            for raw in pipe:
                self.log.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def mark(self):   # a position in the log, to pass as `after`
        return len(self.log)

    def wait_log(self, pattern, timeout=TIMEOUT, after=0):
        def seen():
            if self.proc.poll() is not None:   # it may end right after its last line: read the pipe out first
                self._reader.join(5)
                assert self.count_log(pattern, after), f"server exited ({self.proc.returncode}) before a log line matched {pattern!r}"
            return self.count_log(pattern, after)
        wait_for(seen, timeout, lambda: f"a log line matching {pattern!r}; last: {[x[:200] for x in self.log[-15:]]}")
        return next(line for line in self.log[after:] if re.search(pattern, line))

    def count_log(self, pattern, after=0):
        return sum(1 for line in self.log[after:] if re.search(pattern, line))

    def wait_exit(self, timeout=TIMEOUT):
        rc = self.proc.wait(timeout)
        self._reader.join(5)
        return rc

    def mailbox(self, box="demo"):
        return os.path.join(self.folder, "Users", box)

    def messages(self, box="demo", ext=".eml"):
        return sorted(n for n in os.listdir(self.mailbox(box)) if n.endswith(ext))

    def files(self, box="demo"):
        return [pathlib.Path(self.mailbox(box), n).read_bytes() for n in self.messages(box)]

    def put_message(self, content, box="demo"):   # as delivery would; returns the name
        name = "250302-090507%02d.eml" % len(self.messages(box) + self.messages(box, ".del"))
        pathlib.Path(self.mailbox(box), name).write_bytes(content)
        return name

    pop3_login = pop3_login

    def stop(self):
        self.proc.terminate()
        try:
            return self.wait_exit(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.wait_exit()


class Case(unittest.TestCase):
    SERVER = {}   # settings of the server each test gets as self.s; None: each test starts its own

    def setUp(self):
        if self.SERVER is not None:
            self.s = self.server(**self.SERVER)

    def server(self, **settings):
        s = ServerProcess(**settings)
        self.addCleanup(s.tmp.cleanup)
        self.addCleanup(s.stop)
        return s

    def figure(self, text):   # what a case measured, for the run's output
        print(f"\n{self.id().split('.')[-1]}: {text}", file=sys.stderr)

    def closing(self, sock):   # closed when the test ends
        self.addCleanup(sock.close)
        return sock


def relay_index(server, domain, after=0):   # of the latest relay to `domain`; waits for one
    rx = re.compile(rf"^(\d+)>Transfer {re.escape(domain)}$")
    wait_for(lambda: server.count_log(rx, after), what=f"a relay to {domain}")
    return [m[1] for m in map(rx.match, server.log[after:]) if m][-1]


def untraced(text):   # without the trace headers the server put on top
    # A copy for several recipients names none of them.
    m = re.match(rb"(Return-Path: <[^>]*>\r\n)?Received: from [^\r\n]*\r\n\tby [^\r\n;]*(\r\n\tfor <[^>]*>)?; [^\r\n]*\r\n", text)
    assert m, f"no trace headers: {text[:200]!r}"
    return text[m.end():]


def connect(port, timeout=TIMEOUT):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def read_line(sock, timeout=TIMEOUT):   # up to and including CR LF, less when the peer closes first
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n") and (chunk := sock.recv(1)):
        data += chunk
    return data


def reply(sock):   # the last line of a whole SMTP reply, or a POP3 one
    while (line := read_line(sock))[3:4] == b"-":
        pass
    return line


def until_closed(sock, pace=None):   # all the server sent; `pace`: bytes a second taken at most
    sock.settimeout(TIMEOUT)
    data, start = b"", time.monotonic()
    while chunk := sock.recv(65536):
        data += chunk
        if pace:
            time.sleep(max(0.0, len(data) / pace - (time.monotonic() - start)))
    return data


def session(port, timeout=TIMEOUT):   # connected and greeted
    s = connect(port, timeout)
    read_line(s)
    return s


_loopback = iter(range(2, 255))   # 127.0.0.N never handed out twice: relay peers need port 25 to themselves


def bind_loopback(port):   # bound, not listening: a connection to it is refused
    for n in _loopback:
        s = socket.socket()
        try:
            s.bind((f"127.0.0.{n}", port))
            return s
        except OSError:
            s.close()
    raise RuntimeError(f"no loopback address with port {port} free")


def real_exchanger(test, tls_context=None, answers=(), address=None, rcpt=None, hold=0, port=25, rset=None, **options):
    """aiosmtpd on `port` of its own address (offering STARTTLS with `tls_context`): that address, and the list of
    deliveries (from, to, content, options, TLS version or None, TLS session resumed, the client's address and port) it
    took. Its answers to RCPT are the `rcpt` lists of its local part in turn, then 250; to the end of data, after `hold`
    seconds, `answers` in turn, then "250 OK queued"; only a 250 counts. The list's `quits` counts QUITs, `asked` holds
    every RCPT address in order and `most` the most messages taken at once; `rset`: its answer to RSET, when not 250.
    `options` go to aiosmtpd's Controller."""
    import asyncio
    from aiosmtpd.controller import Controller

    class Deliveries(list):
        quits = most = busy = 0
    deliveries, answers, rcpt = Deliveries(), list(answers), rcpt or {}
    deliveries.asked = []

    class Recorder:
        async def handle_QUIT(self, server, session, envelope):
            deliveries.quits += 1
            return "221 Bye"

        async def handle_RSET(self, server, session, envelope):
            return rset or "250 OK"

        async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
            deliveries.asked.append(address)
            answer = (rcpt.get(address.split("@")[0]) or ["250 OK"]).pop(0)
            if answer.startswith("250"):
                envelope.rcpt_tos.append(address)
            return answer

        async def handle_DATA(self, server, session, envelope):
            deliveries.busy += 1
            deliveries.most = max(deliveries.most, deliveries.busy)
            await asyncio.sleep(hold)
            deliveries.busy -= 1
            answer = answers.pop(0) if answers else "250 OK queued"
            if answer.startswith("250"):
                tls = session.ssl and session.ssl["ssl_object"]
                deliveries.append((envelope.mail_from, envelope.rcpt_tos, envelope.original_content, envelope.mail_options,
                                   tls and tls.version(), bool(tls) and tls.session_reused, session.peer))
            return answer

    if address is None:
        with bind_loopback(25) as free:
            address = free.getsockname()[0]
    controller = Controller(Recorder(), hostname=address, port=port, server_hostname="mx.remote.test", ready_timeout=TIMEOUT,
                            tls_context=tls_context, **options)
    controller.start()
    test.addCleanup(controller.stop)
    return address, deliveries
