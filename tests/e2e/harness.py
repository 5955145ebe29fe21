"""Runs the real Tandrivel executable in a fresh program folder for end-to-end tests.

Each ServerProcess gets its own program folder (the executable is copied there), its own
settings folder (XDG_CONFIG_HOME) and free loopback ports, and follows the server's log
on standard output.
"""
import os
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


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


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
        threading.Thread(target=self._read, daemon=True).start()
        if wait:
            self.wait_log(r"^Tandrivel serving ")

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.log.append(line)
            self.lines.put(line)

    def wait_log(self, pattern, timeout=10.0, after=0):
        """Waits for a log line matching `pattern` (a regex) among lines[after:]; returns it."""
        rx = re.compile(pattern)
        deadline = time.time() + timeout
        while time.time() < deadline:
            for line in list(self.log[after:]):
                if rx.search(line):
                    return line
            if self.proc.poll() is not None and self.lines.empty():
                time.sleep(0.1)
                for line in list(self.log[after:]):
                    if rx.search(line):
                        return line
                raise AssertionError(f"server exited ({self.proc.returncode}) before a log line matched {pattern!r}")
            time.sleep(0.02)
        raise AssertionError(f"no log line matched {pattern!r} in {timeout}s; last lines: {self.log[-15:]}")

    def mailbox(self, box="demo"):
        return os.path.join(self.folder, "Users", box)

    def messages(self, box="demo", ext=".eml"):
        return sorted(n for n in os.listdir(self.mailbox(box)) if n.endswith(ext))

    def put_message(self, content, box="demo", name=None):
        """Places a message file as delivery would; returns its name."""
        if name is None:
            existing = self.messages(box) + self.messages(box, ".del")
            name = "250302-090507%02d.eml" % len(existing)
        with open(os.path.join(self.mailbox(box), name), "wb") as f:
            f.write(content)
        return name

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.tmp.cleanup()


def connect(port, host="127.0.0.1", timeout=10):
    s = socket.create_connection((host, port), timeout=timeout)
    return s


def read_line(sock, timeout=10):
    """Reads up to and including the next CR LF."""
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data
