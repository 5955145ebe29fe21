"""The systemd unit in dist/: its command line, environment and capability, run as written
(without systemd) by an unprivileged user in a program folder of its own, serve mail on
ports below 1024."""
import os
import poplib
import pwd
import queue
import shlex
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from harness import EXE, SOURCE, TIMEOUT  # noqa: E402

UNIT = os.path.join(SOURCE, "dist", "tandrivel.service")
HOME = "/var/lib/tandrivel"
RUNTIME = "/run/tandrivel"


def unit_service_section(path):
    """Key -> list of values of the [Service] section (keys such as Environment repeat)."""
    values, section = {}, None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]":
                key, _, value = line.partition("=")
                values.setdefault(key.strip(), []).append(value.strip())
    return values


def free_privileged_ports(count):
    ports = []
    for port in range(600, 1024):
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
        ports.append(port)
        if len(ports) == count:
            return ports
    raise unittest.SkipTest("no free ports below 1024")


class Unit(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run the service's command as another user")
        self.service = unit_service_section(UNIT)
        self.tmp = tempfile.TemporaryDirectory(prefix="tandrivel-service-")
        self.addCleanup(self.tmp.cleanup)
        os.chmod(self.tmp.name, 0o755)
        self.user = pwd.getpwnam("nobody")

    def mapped(self, text):
        """Paths of the installed service moved into the test's folder."""
        return text.replace(HOME, os.path.join(self.tmp.name, "home")).replace(RUNTIME, os.path.join(self.tmp.name, "run"))

    def install(self, pop3, smtp):
        # As dist/install-service.sh lays it out, owned by the service's user.
        home = self.mapped(HOME)
        os.makedirs(os.path.join(home, "Users", "demo"))
        os.makedirs(os.path.join(home, "config", "Merivolant"))
        os.makedirs(self.mapped(RUNTIME), mode=0o700)
        shutil.copy(EXE, os.path.join(home, "Tandrivel"))
        shutil.copy(os.path.join(SOURCE, "relay", "GetMX.sh"), os.path.join(home, "GetMX.sh"))
        with open(os.path.join(home, "Users.txt"), "w") as f:
            f.write("UserName,Password,MailID\ndemo,secret,demo\n")
        with open(os.path.join(home, "DomainMX.txt"), "w") as f:
            f.write("Domain,MX,Priority\n")
        with open(os.path.join(home, "config", "Merivolant", "Tandrivel.conf"), "w") as f:
            f.write(f"[General]\nDomain=example.test\nPop3={pop3}\nSMTP={smtp}\n")
        for root, dirs, files in os.walk(self.tmp.name):
            for n in dirs + files:
                os.chown(os.path.join(root, n), self.user.pw_uid, self.user.pw_gid)
        return home

    def test_command_line_as_written_serves_mail(self):
        svc = self.service
        self.assertEqual(svc.get("Restart"), ["on-failure"])
        self.assertNotIn(svc.get("User", ["root"])[0], ("root", "0"))
        caps = " ".join(svc.get("AmbientCapabilities", []))
        self.assertIn("CAP_NET_BIND_SERVICE", caps)
        env = dict(v.split("=", 1) for line in svc.get("Environment", []) for v in shlex.split(line))
        self.assertEqual(env.get("QT_QPA_PLATFORM"), "offscreen")

        pop3, smtp = free_privileged_ports(2)
        home = self.install(pop3, smtp)
        argv = [self.mapped(a) for a in shlex.split(svc["ExecStart"][0])]
        cwd = self.mapped(svc["WorkingDirectory"][0])
        env = {k: self.mapped(v) for k, v in env.items()}
        env["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
        cap_names = ",".join("+" + c.lower().removeprefix("cap_") for c in caps.split())
        # The user and capabilities systemd would give it, nothing more.
        command = ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.user.pw_gid}", "--clear-groups",
                   f"--inh-caps={cap_names}", f"--ambient-caps={cap_names}", "--"] + argv
        proc = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l.decode(errors="replace").rstrip("\n")) for l in proc.stdout],
                         daemon=True).start()
        seen = []
        while not any(l.startswith("Tandrivel serving @example.test") for l in seen):
            try:
                seen.append(lines.get(timeout=TIMEOUT))
            except queue.Empty:
                self.fail(f"the service did not start: {seen[-20:]}")

        m = smtplib.SMTP("127.0.0.1", smtp, timeout=TIMEOUT)
        m.sendmail("a@example.org", ["demo@example.test"], b"Subject: service\r\n\r\nrunning\r\n")
        m.quit()
        box = os.path.join(home, "Users", "demo")
        names = os.listdir(box)
        self.assertEqual(len(names), 1)
        self.assertEqual(os.stat(os.path.join(box, names[0])).st_uid, self.user.pw_uid)
        p = poplib.POP3("127.0.0.1", pop3, timeout=TIMEOUT)
        p.user("demo")
        p.pass_("secret")
        self.assertEqual(p.retr(1)[1][-3:], [b"Subject: service", b"", b"running"])
        p.quit()

        # systemd stops it with SIGTERM: a clean exit, so Restart=on-failure leaves it stopped.
        proc.terminate()
        self.assertEqual(proc.wait(TIMEOUT), 0)


if __name__ == "__main__":
    unittest.main()
