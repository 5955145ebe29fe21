"""Runs the real Tandrivel executable for end-to-end tests: each ServerProcess has its own
program folder, settings folder and free loopback ports, and follows the log on stdout."""
import os
import poplib
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

EXE = os.environ.get("TANDRIVEL_EXE", os.path.join(os.path.dirname(__file__), "../../build/Tandrivel"))
SOURCE = os.environ.get("TANDRIVEL_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))
HOST = socket.gethostname()
TIMEOUT = 20.0   # generous: the machine is shared and may be busy


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=TIMEOUT, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


class ServerProcess:
    """A running server. Use as a context manager; `log` holds the stdout lines so far."""

    def __init__(self, domain="example.test", users=(("demo", "secret", "demo"),), pop3=None, smtp=None,
                 domain_mx=(), settings=None, getmx=None, start=True):
        self.tmp = tempfile.TemporaryDirectory(prefix="tandrivel-e2e-")
        self.folder = os.path.join(self.tmp.name, "prog")
        self.config = os.path.join(self.tmp.name, "config")
        for d in [os.path.join(self.config, "Merivolant"), self.mailbox("")] + [self.mailbox(u[2]) for u in users]:
            os.makedirs(d, exist_ok=True)
        shutil.copy(EXE, os.path.join(self.folder, "Tandrivel"))
        shutil.copy(getmx or os.path.join(SOURCE, "relay", "GetMX.sh"), os.path.join(self.folder, "GetMX.sh"))
        os.chmod(os.path.join(self.folder, "GetMX.sh"), 0o755)
        for name, header, rows in (("Users.txt", "UserName,Password,MailID", users), ("DomainMX.txt", "Domain,MX,Priority", domain_mx)):
            with open(os.path.join(self.folder, name), "w", newline="") as f:
                f.write("".join(",".join(r) + "\n" for r in ((header,), *rows)))
        self.pop3, self.smtp = pop3 or free_port(), smtp or free_port()
        if settings is None:
            settings = {"Domain": domain, "Pop3": self.pop3, "SMTP": self.smtp}
        with open(os.path.join(self.config, "Merivolant", "Tandrivel.conf"), "w") as f:
            f.write("[General]\n" + "".join(f"{k}={v}\n" for k, v in settings.items()))
        self.log, self.stderr, self.proc = [], b"", None
        if start:
            self.start()

    def start(self, wait=True):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=self.config, XDG_RUNTIME_DIR=self.tmp.name)
        self.proc = subprocess.Popen([os.path.join(self.folder, "Tandrivel")], cwd=self.folder, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._readers = [threading.Thread(target=self._read, args=(err,), daemon=True) for err in (False, True)]
        for t in self._readers:
            t.start()
        if wait:
            self.wait_log(r"^Tandrivel serving ")

    def _read(self, err):
        with (self.proc.stderr if err else self.proc.stdout) as pipe:
            for raw in pipe:
                if err:
                    self.stderr += raw
                else:
                    self.log.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def mark(self):   # a position in the log, to pass as `after`
        return len(self.log)

    def wait_log(self, pattern, timeout=TIMEOUT, after=0):
        """Waits for a log line matching `pattern` (a regex) among lines[after:]; returns it."""
        rx = re.compile(pattern)

        def seen():
            if self.proc.poll() is not None:   # it may end right after its last line: read the pipe out first
                self._readers[0].join(5)
                if not self.count_log(rx, after):
                    raise AssertionError(f"server exited ({self.proc.returncode}) before a log line matched {pattern!r}")
            return self.count_log(rx, after)

        try:
            wait_for(seen, timeout, f"a log line matching {pattern!r}")
        except AssertionError as e:
            raise AssertionError(f"{e}; last lines: {[line[:200] for line in self.log[-15:]]}") from None
        return next(line for line in self.log[after:] if rx.search(line))

    def count_log(self, pattern, after=0):
        return sum(1 for line in self.log[after:] if re.search(pattern, line))

    def wait_exit(self, timeout=TIMEOUT):
        rc = self.proc.wait(timeout)
        for t in self._readers:
            t.join(5)
        return rc

    def mailbox(self, box="demo"):
        return os.path.join(self.folder, "Users", box)

    def messages(self, box="demo", ext=".eml"):
        return sorted(n for n in os.listdir(self.mailbox(box)) if n.endswith(ext))

    def read_message(self, name, box="demo"):
        with open(os.path.join(self.mailbox(box), name), "rb") as f:
            return f.read()

    def put_message(self, content, box="demo", name=None):   # as delivery would; returns the name
        name = name or "250302-090507%02d.eml" % len(self.messages(box) + self.messages(box, ".del"))
        with open(os.path.join(self.mailbox(box), name), "wb") as f:
            f.write(content)
        return name

    def pop3_login(self, user="demo", password="secret"):
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=TIMEOUT)
        p.user(user)
        p.pass_(password)
        return p

    def stop(self):
        if not self.proc:
            return None
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            return self.wait_exit(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.wait_exit()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.tmp.cleanup()


TRACE = re.compile(rb"^(Return-Path: <[^>]*>\r\n)?Received: from [^\r\n]*\r\n\tby [^\r\n]*\r\n\tfor <[^>]*>; [^\r\n]*\r\n")


def untraced(message):
    """A stored or relayed message without the trace headers the server put on top."""
    m = TRACE.match(message)
    assert m, f"no trace headers: {message[:200]!r}"
    return message[m.end():]


def mount_small(test, path, size="2m"):
    """A small file system at `path` for the rest of `test`, which is skipped where none can be mounted."""
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tandrivel-full", path], capture_output=True)
    if r.returncode != 0:
        test.skipTest("cannot mount a small file system here: " + r.stderr.decode().strip())
    test.addCleanup(subprocess.run, ["umount", "-l", path])


def connect(port, host="127.0.0.1", timeout=TIMEOUT):
    s = socket.create_connection((host, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_line(sock, timeout=TIMEOUT):
    """Reads up to and including the next CR LF (less when the peer closes first)."""
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n") and (chunk := sock.recv(1)):
        data += chunk
    return data


_handed_out = set()


def bind_loopback(port, listen=True):
    """A socket bound to `port` on a loopback address of its own (127.0.0.N, N >= 2), never
    one handed out before in this process: relay peers need port 25 to themselves."""
    for addr in (f"127.0.0.{n}" for n in range(2, 255)):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            if addr not in _handed_out:
                s.bind((addr, port))
                _handed_out.add(addr)
                if listen:
                    s.listen(16)
                return s
        except OSError:
            pass
        s.close()
    raise RuntimeError(f"no loopback address with port {port} free")


class Deliveries(list):
    """What an exchanger received; `tls` holds the TLS version of each one's session (None without)."""
    def __init__(self):
        super().__init__()
        self.tls = []


def real_exchanger(test, tls_context=None):
    """A real SMTP server (aiosmtpd) on port 25 of a loopback address of its own, stopped when
    `test` ends; with `tls_context` it offers STARTTLS. Returns its address and the Deliveries,
    each (mail_from, rcpt_tos, content, options), it received."""
    from aiosmtpd.controller import Controller
    deliveries = Deliveries()

    class Recorder:
        async def handle_DATA(self, server, session, envelope):
            deliveries.tls.append(session.ssl and session.ssl["ssl_object"].version())   # first: tests wait on the list
            deliveries.append((envelope.mail_from, envelope.rcpt_tos, envelope.original_content, envelope.mail_options))
            return "250 OK queued"

    free = bind_loopback(25, listen=False)
    address = free.getsockname()[0]
    free.close()
    controller = Controller(Recorder(), hostname=address, port=25, server_hostname="mx.remote.test", ready_timeout=TIMEOUT,
                            tls_context=tls_context)
    controller.start()
    test.addCleanup(controller.stop)
    return address, deliveries
