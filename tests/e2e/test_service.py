"""The systemd unit in dist/, run as written by an unprivileged user with its one capability, serves on low ports."""
import collections
import contextlib
import os
import pathlib
import pwd
import re
import shlex
import socket
import subprocess
import unittest

from harness import SOURCE, TIMEOUT, ServerProcess, send, wait_for


def service_section():   # key -> values: keys such as Environment repeat
    values, text = collections.defaultdict(list), pathlib.Path(SOURCE, "dist", "tandrivel.service").read_text()
    for key, value in re.findall(r"(?m)^(\w+)=(.*)$", text.split("\n[Service]\n")[1].split("\n[")[0]):
        values[key].append(value.strip())
    return values


def bindable(port):   # True, or None when taken
    with contextlib.suppress(OSError), socket.create_server(("0.0.0.0", port)):
        return True


class Unit(unittest.TestCase):
    @unittest.skipUnless(os.geteuid() == 0, "needs root: to run it as another user")
    def test_command_line_as_written_serves_mail(self):
        svc = service_section()
        caps = " ".join(svc["AmbientCapabilities"]).split()   # without the one it needs, the low ports below fail
        ports = [p for p in range(600, 1024) if bindable(p)][:2]
        s = ServerProcess(settings={"Pop3": ports[0], "SMTP": ports[1]}, wait=None)   # the program folder, owned by the service's user
        self.addCleanup(s.tmp.cleanup)
        tmp, user = pathlib.Path(s.tmp.name), pwd.getpwnam("nobody")
        (tmp / "run").mkdir(mode=0o700)
        mapped = lambda text: text.replace("/var/lib/tandrivel", s.folder).replace("/run/tandrivel", str(tmp / "run"))  # noqa: E731
        env = {k: mapped(v) for k, v in (a.split("=", 1) for line in svc["Environment"] for a in shlex.split(line))}
        os.chmod(tmp, 0o755)
        for path in tmp.rglob("*"):
            os.chown(path, user.pw_uid, user.pw_gid)

        # The user and capabilities systemd would give it, nothing more.
        cap_names = ",".join("+" + c.lower().removeprefix("cap_") for c in caps)
        with open(tmp / "out.log", "wb") as out:
            proc = subprocess.Popen(["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups",
                                     f"--inh-caps={cap_names}", f"--ambient-caps={cap_names}", "--"]
                                    + [mapped(a) for a in shlex.split(svc["ExecStart"][0])],
                                    cwd=mapped(svc["WorkingDirectory"][0]), env=dict(env, PATH="/usr/sbin:/usr/bin:/sbin:/bin"),
                                    stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        output = lambda: (tmp / "out.log").read_text(errors="replace")  # noqa: E731
        wait_for(lambda: "Tandrivel serving @example.test" in output() or proc.poll() is not None, what="the service")
        self.assertIsNone(proc.poll(), output()[-2000:])

        send(s, b"Subject: service\r\n\r\nrunning\r\n")
        [stored] = pathlib.Path(s.mailbox()).iterdir()
        self.assertEqual(stored.stat().st_uid, user.pw_uid)
        p = s.pop3_login()
        self.assertEqual(p.retr(1)[1][-3:], [b"Subject: service", b"", b"running"])
        p.quit()
        # systemd stops it with SIGTERM: a clean exit, so Restart=on-failure leaves it stopped.
        proc.terminate()
        self.assertEqual(proc.wait(TIMEOUT), 0)

