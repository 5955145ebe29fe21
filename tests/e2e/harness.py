"""Runs the real Tandrivel executable in a fresh program folder for end-to-end tests.

Each ServerProcess gets its own program folder (the executable is copied there), its own
settings folder (XDG_CONFIG_HOME) and free loopback ports, and follows the server's log
on standard output. Everything talks to loopback addresses only.
"""
import os
import poplib
import queue
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

# Generous: the machine is shared and may be busy.
TIMEOUT = 20.0


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def escaped(data):
    """A protocol text as the log shows it: CR and LF written as \\r and \\n."""
    if isinstance(data, bytes):
        data = data.decode("utf-8", "replace")
    return data.replace("\r", "\\r").replace("\n", "\\n")


class ServerProcess:
    """A running server. Use as a context manager; `log` holds the stdout lines so far."""

    def __init__(self, domain="example.test", users=(("demo", "secret", "demo"),), mailboxes=None,
                 pop3=None, smtp=None, domain_mx=(), settings=None, getmx=None, start=True):
        self.tmp = tempfile.TemporaryDirectory(prefix="tandrivel-e2e-")
        self.folder = os.path.join(self.tmp.name, "prog")
        self.config = os.path.join(self.tmp.name, "config")
        os.makedirs(os.path.join(self.folder, "Users"))
        os.makedirs(os.path.join(self.config, "Merivolant"))
        shutil.copy(EXE, os.path.join(self.folder, "Tandrivel"))
        script = getmx if getmx is not None else os.path.join(SOURCE, "relay", "GetMX.sh")
        shutil.copy(script, os.path.join(self.folder, "GetMX.sh"))
        os.chmod(os.path.join(self.folder, "GetMX.sh"), 0o755)
        with open(os.path.join(self.folder, "Users.txt"), "w", newline="") as f:
            f.write("UserName,Password,MailID\n")
            for row in users:
                f.write(",".join(row) + "\n")
        with open(os.path.join(self.folder, "DomainMX.txt"), "w", newline="") as f:
            f.write("Domain,MX,Priority\n")
            for row in domain_mx:
                f.write(",".join(row) + "\n")
        for box in (mailboxes if mailboxes is not None else [u[2] for u in users]):
            os.makedirs(os.path.join(self.folder, "Users", box), exist_ok=True)
        self.pop3 = pop3 or free_port()
        self.smtp = smtp or free_port()
        values = {"Domain": domain, "Pop3": str(self.pop3), "SMTP": str(self.smtp)}
        if settings is not None:
            values = settings
        with open(os.path.join(self.config, "Merivolant", "Tandrivel.conf"), "w") as f:
            f.write("[General]\n")
            for k, v in values.items():
                f.write(f"{k}={v}\n")
        self.log = []
        self.stderr = b""
        self.lines = queue.Queue()
        self.proc = None
        if start:
            self.start()

    def env(self):
        env = dict(os.environ)
        env.update(QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=self.config, XDG_RUNTIME_DIR=self.tmp.name)
        return env

    def start(self, wait=True):
        self.proc = subprocess.Popen([os.path.join(self.folder, "Tandrivel")], cwd=self.folder, env=self.env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._readers = [threading.Thread(target=self._read, daemon=True),
                         threading.Thread(target=self._read_err, daemon=True)]
        for t in self._readers:
            t.start()
        if wait:
            self.wait_log(r"^Tandrivel serving ")

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.log.append(line)
            self.lines.put(line)

    def _read_err(self):
        for raw in self.proc.stderr:
            self.stderr += raw

    def mark(self):
        """Position in the log; pass it as `after` to look only at later lines."""
        return len(self.log)

    def wait_log(self, pattern, timeout=TIMEOUT, after=0):
        """Waits for a log line matching `pattern` (a regex) among lines[after:]; returns it."""
        rx = re.compile(pattern)
        deadline = time.time() + timeout
        seen = after
        while True:
            # The process may end right after its last line: read the pipe out first.
            exited = self.proc.poll() is not None
            if exited:
                self._readers[0].join(5)
            upto = len(self.log)
            for line in self.log[seen:upto]:
                if rx.search(line):
                    return line
            seen = upto
            if exited:
                raise AssertionError(f"server exited ({self.proc.returncode}) before a log line matched {pattern!r}")
            if time.time() > deadline:
                raise AssertionError(f"no log line matched {pattern!r} in {timeout}s; last lines: "
                                     f"{[l[:200] for l in self.log[-15:]]}")
            time.sleep(0.01)

    def count_log(self, pattern, after=0):
        rx = re.compile(pattern)
        return sum(1 for line in self.log[after:] if rx.search(line))

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

    def put_message(self, content, box="demo", name=None):
        """Places a message file as delivery would; returns its name."""
        if name is None:
            existing = self.messages(box) + self.messages(box, ".del")
            name = "250302-090507%02d.eml" % len(existing)
        with open(os.path.join(self.mailbox(box), name), "wb") as f:
            f.write(content)
        return name

    def files(self):
        """Every file under the test's folder, as paths relative to it."""
        found = set()
        for root, _, names in os.walk(self.tmp.name):
            for n in names:
                found.add(os.path.relpath(os.path.join(root, n), self.tmp.name))
        return found

    def pop3_login(self, user="demo", password="secret"):
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=TIMEOUT)
        p.user(user)
        p.pass_(password)
        return p

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            for t in self._readers:
                t.join(5)
            self.proc.stdout.close()
            self.proc.stderr.close()
        return self.proc.returncode if self.proc else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.tmp.cleanup()


def connect(port, host="127.0.0.1", timeout=TIMEOUT):
    s = socket.create_connection((host, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_line(sock, timeout=TIMEOUT):
    """Reads up to and including the next CR LF."""
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def wait_for(predicate, timeout=TIMEOUT, what="condition"):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.01)


_handed_out = set()


def bind_loopback(port, listen=True):
    """A socket bound to `port` on a loopback address of its own (127.0.0.N, N >= 2).

    Relay tests need port 25 on an address of their own; binding is the only sure test
    that it is free. Addresses handed out once are not offered again in this process."""
    for n in range(2, 255):
        addr = f"127.0.0.{n}"
        if addr in _handed_out:
            continue
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((addr, port))
        except OSError:
            s.close()
            continue
        _handed_out.add(addr)
        if listen:
            s.listen(16)
        return s
    raise RuntimeError(f"no loopback address with port {port} free")


def loopback_for_port(port):
    """A loopback address whose `port` is free, for a server that binds it itself."""
    s = bind_loopback(port, listen=False)
    addr = s.getsockname()[0]
    s.close()
    return addr
