"""Debian's Postfix (SMTP) and Dovecot (POP3) as peers: a private instance of each in a temporary
folder, on a free loopback port, with the surface of loadlib.Server that the workloads use (ports,
mailbox, count, clear, fill, files, cpu, start, stop), so the same clients measure them.

Nothing of the system's own configuration is read or changed: each instance has its own
configuration, queue or base folder, log file and Maildirs, and stops with the benchmark.
Mail is kept as user `nobody`, which both deliver as. bench/peers.sh installs the packages.
"""
import os
import pwd
import shutil
import signal
import subprocess
import time

from loadlib import DOMAIN, HOST, BenchError, Conn, bench_cert, discard, free_port, make_message, numbered_tag, workdir

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
POSTFIX_BIN = ("/usr/sbin/postfix", "/usr/sbin/postconf", "/usr/lib/postfix/sbin/master", "/usr/lib/postfix/sbin/virtual")
DOVECOT_BIN = ("/usr/sbin/dovecot", "/usr/lib/dovecot/pop3")
DOVECOT_IMAP_BIN = ("/usr/sbin/dovecot", "/usr/lib/dovecot/imap")


def missing(kind):
    """Why a peer cannot run here, or None when it can."""
    binaries = {"postfix": POSTFIX_BIN, "dovecot": DOVECOT_BIN, "dovecot-imap": DOVECOT_IMAP_BIN}[kind]
    if not all(os.path.exists(b) for b in binaries):
        return f"{kind.capitalize()} not installed (sh bench/peers.sh)"
    if os.geteuid() != 0:
        return f"{kind.capitalize()} needs root"
    return None


def version(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.split()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "?"


def tree(pid):
    """pid and all its descendants that are alive now."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


class Peer:
    """Maildirs under a temporary folder that the peer's mail user can reach."""
    name = ""

    def __init__(self, accounts=("bench",)):
        self.accounts = list(accounts)
        self.tmp = workdir(f"{self.name.lower()}-")
        os.chmod(self.tmp, 0o755)
        user = pwd.getpwnam("nobody")
        self.uid, self.gid = user.pw_uid, user.pw_gid
        self.mail = os.path.join(self.tmp, "mail")
        os.makedirs(self.mail)
        os.chown(self.mail, self.uid, self.gid)
        for a in self.accounts:
            self.make_maildir(a)
        self.pid = None

    def maildir(self, account):
        return os.path.join(self.mail, account)

    def make_maildir(self, account):
        for sub in ("", "cur", "new", "tmp"):
            path = os.path.join(self.maildir(account), sub)
            os.makedirs(path, exist_ok=True)
            os.chown(path, self.uid, self.gid)

    def files(self, account="bench"):
        """Message files, whatever their state."""
        return sum(len(os.listdir(os.path.join(self.maildir(account), s))) for s in ("cur", "new"))

    def clear(self, account="bench"):
        discard(self.maildir(account))
        self.make_maildir(account)

    def cpu(self):
        """User + system CPU seconds of the instance: the live processes, and through the
        master's children fields those it has already reaped."""
        total = 0
        for p in tree(self.pid):
            try:
                with open(f"/proc/{p}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            total += sum(int(x) for x in fields[11:15])
        return total / CLOCK_TICKS

    def processes(self):
        return tree(self.pid)

    def wait_ready(self, port, greeting, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                c = Conn(port, timeout=timeout)
                line = c.line()
                c.close()
                if line.startswith(greeting):
                    return
            except (OSError, BenchError):
                pass
            time.sleep(0.1)
        raise BenchError(f"no answer on port {port}: {self.log_tail()}")

    def log_tail(self):
        try:
            with open(self.log, errors="replace") as f:
                return " / ".join(f.read().splitlines()[-3:])
        except OSError:
            return "no log"

    def kill_rest(self, pids):
        """The processes still there after a graceful stop (bounded wait)."""
        deadline = time.time() + 10
        while time.time() < deadline and any(os.path.exists(f"/proc/{p}") for p in pids):
            time.sleep(0.1)
        for p in pids:
            try:
                os.kill(p, signal.SIGKILL)
            except OSError:
                pass

    def run(self, cmd, timeout):
        """A control command; its output goes to a file, since the daemons it starts keep it open."""
        with open(os.path.join(self.tmp, "control.out"), "w+") as out:
            r = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            return r.returncode, out.read().strip()[-200:]

    def read_pid(self):
        try:
            with open(self.pid_file) as f:
                self.pid = int(f.read())
        except (OSError, ValueError):
            pass
        return self.pid

    def stop(self):
        try:
            if self.pid or self.read_pid():
                pids = tree(self.pid)
                self.shut_down()
                self.kill_rest(pids)
                self.pid = None
        finally:
            discard(self.tmp)


class Postfix(Peer):
    """SMTP on a free loopback port; bench.test delivered by the virtual agent to Maildirs."""
    name = "Postfix"

    def __init__(self, accounts=("bench",), tls=False, **_):
        super().__init__(accounts)
        self.label = "Postfix " + version([POSTFIX_BIN[1], "-dh", "mail_version"])
        self.etc = os.path.join(self.tmp, "etc")
        queue, data = os.path.join(self.tmp, "queue"), os.path.join(self.tmp, "data")
        os.makedirs(self.etc)
        os.makedirs(queue)
        os.makedirs(data, mode=0o700)
        os.chown(data, pwd.getpwnam("postfix").pw_uid, -1)
        self.log = os.path.join(self.tmp, "postfix.log")
        self.smtp = free_port()
        self.pid_file = os.path.join(queue, "pid", "master.pid")
        with open(os.path.join(self.etc, "vmailbox"), "w") as f:
            f.writelines(f"{a}@{DOMAIN} {a}/\n" for a in self.accounts)   # the slash: a Maildir
        # Debian's defaults but for where things are kept and what is delivered where.
        settings = {
            "compatibility_level": "3.6", "queue_directory": queue, "data_directory": data,
            "maillog_file": self.log, "maillog_file_prefixes": self.tmp,
            "myhostname": "peer." + DOMAIN, "mydestination": "", "alias_maps": "", "alias_database": "",
            "inet_interfaces": HOST, "inet_protocols": "ipv4", "mynetworks": "127.0.0.0/8", "relayhost": "",
            "virtual_mailbox_domains": DOMAIN, "virtual_mailbox_base": self.mail,
            "virtual_mailbox_maps": "texthash:" + os.path.join(self.etc, "vmailbox"),
            "virtual_uid_maps": f"static:{self.uid}", "virtual_gid_maps": f"static:{self.gid}",
        }
        self.smtps = free_port() if tls else None
        if tls:   # the same certificate as ours, STARTTLS offered (Debian's tlsmgr keeps the session cache and ticket keys)
            cert, key = bench_cert()
            settings.update(smtpd_tls_cert_file=cert, smtpd_tls_key_file=key, smtpd_tls_security_level="may",
                            smtpd_tls_session_cache_database="btree:" + os.path.join(data, "smtpd_scache"))
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.writelines(f"{k} = {v}\n" for k, v in settings.items())
        # Debian's master.cf with our listener for its SMTP service and nothing chrooted (the
        # queue folder is private and holds none of the files a chroot needs).
        with open("/etc/postfix/master.cf") as f, open(os.path.join(self.etc, "master.cf"), "w") as out:
            for line in f:
                words = line.split()
                if line[:1].isalnum() and len(words) >= 8:
                    if words[:2] == ["smtp", "inet"]:
                        words[0] = f"{HOST}:{self.smtp}"
                    words[4] = "n"
                    line = " ".join(words) + "\n"
                out.write(line)
            if tls:   # TLS from the first byte as well
                out.write(f"{HOST}:{self.smtps} inet n - n - - smtpd -o smtpd_tls_wrappermode=yes\n")

    def mailbox(self, account="bench"):
        return os.path.join(self.maildir(account), "new")

    def count(self, account="bench"):
        return len(os.listdir(self.mailbox(account)))

    def start(self, timeout=60):
        rc, out = self.run([POSTFIX_BIN[0], "-c", self.etc, "start"], timeout)
        if rc != 0 or not self.read_pid():
            raise BenchError(f"postfix start: {out} {self.log_tail()}")
        self.wait_ready(self.smtp, b"220", timeout)

    def shut_down(self):
        self.run([POSTFIX_BIN[0], "-c", self.etc, "stop"], 30)


class Dovecot(Peer):
    """POP3 only, on a free loopback port, without TLS; a passwd-file of the accounts."""
    name = "Dovecot"
    protocol, greeting, flags = "pop3", b"+OK", "S"   # flags of the filled messages: seen, as POP3 left them
    limits = ""   # settings beyond the folders, ports and accounts

    def __init__(self, accounts=("bench",), tls=False, **_):
        super().__init__(accounts)
        self.label = "Dovecot " + version([DOVECOT_BIN[0], "--version"])
        plain, secure = self.protocol, self.protocol + "s"
        setattr(self, plain, free_port())
        setattr(self, secure, free_port() if tls else 0)
        ssl = "ssl = yes\nssl_cert = <{}\nssl_key = <{}".format(*bench_cert()) if tls else "ssl = no"
        self.conf = os.path.join(self.tmp, "dovecot.conf")
        self.log = os.path.join(self.tmp, "dovecot.log")
        run = os.path.join(self.tmp, "run")
        self.pid_file = os.path.join(run, "master.pid")
        users = os.path.join(self.tmp, "users")
        with open(users, "w") as f:
            f.writelines(f"{a}:{{PLAIN}}pw-{a}:{self.uid}:{self.gid}::{self.maildir(a)}\n" for a in self.accounts)
        os.chmod(users, 0o644)
        with open(self.conf, "w") as f:
            f.write(f"""# Dovecot's defaults but for the folders, the ports, TLS with our certificate or none, and these accounts.
instance_name = {os.path.basename(self.tmp)}
base_dir = {run}
state_dir = {os.path.join(self.tmp, "state")}
protocols = {self.protocol}
listen = {HOST}
{ssl}
disable_plaintext_auth = no
log_path = {self.log}
mail_location = maildir:{self.mail}/%u
{self.limits}
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {users}
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {users}
}}
service {plain}-login {{
  inet_listener {plain} {{
    address = {HOST}
    port = {getattr(self, plain)}
  }}
  inet_listener {secure} {{
    address = {HOST}
    port = {getattr(self, secure)}
  }}
}}
""")

    def mailbox(self, account="bench"):
        return os.path.join(self.maildir(account), "cur")

    def count(self, account="bench"):
        return len(os.listdir(self.mailbox(account)))

    def fill(self, account, count, size, numbered=False):
        """Messages named as Dovecot's own delivery names them, with their size, so that neither
        server has to read a file to learn it; in cur/ and marked seen, as a client that fetched
        them before left them, so that a RETR renames no file and the folder stays as it was."""
        msg = make_message(size, account)
        folder = self.mailbox(account)
        for i in range(count):
            path = os.path.join(folder, f"{1735689600 + i}.M{i}P1.bench,S={size},W={size}:2,{self.flags}")
            with open(path, "wb") as f:
                f.write(make_message(size, numbered_tag(account, i)) if numbered else msg)
            os.chown(path, self.uid, self.gid)
        return msg

    def start(self, timeout=60):
        rc, out = self.run([DOVECOT_BIN[0], "-c", self.conf], timeout)
        deadline = time.time() + timeout
        while rc == 0 and not self.read_pid() and time.time() < deadline:
            time.sleep(0.05)
        if rc != 0 or not self.pid:
            raise BenchError(f"dovecot: {out} {self.log_tail()}")
        self.wait_ready(getattr(self, self.protocol), self.greeting, timeout)

    def shut_down(self):
        os.kill(self.pid, signal.SIGTERM)


class DovecotImap(Dovecot):
    """IMAP only. The filled messages carry no flag, as new mail in Tandrivel's INBOX. Debian's
    defaults allow 10 connections a user and address and 1,000 clients of a service such as the log:
    the idle workloads hold 1,000 connections of one user."""
    protocol, greeting, flags = "imap", b"* OK", ""
    limits = "mail_max_userip_connections = 2000\ndefault_client_limit = 4000\n"

    def deliver(self, message):
        """A message as a local delivery agent leaves it (written in tmp/, renamed into new/);
        returns the moment of the rename."""
        name = f"{time.time():.6f}.push.bench"
        tmp = os.path.join(self.maildir("bench"), "tmp", name)
        with open(tmp, "wb") as f:
            f.write(message)
        os.chown(tmp, self.uid, self.gid)
        os.rename(tmp, os.path.join(self.maildir("bench"), "new", name))
        return time.perf_counter()


PEERS = {"postfix": Postfix, "dovecot": Dovecot, "dovecot-imap": DovecotImap}
