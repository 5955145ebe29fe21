"""POP3 as mail clients see it: replies that do not wait on delayed ACKs,
and, with Pop3LoginErrors, a wrong password that fetchmail reports as one instead of "No mail"."""
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

from harness import Case, TIMEOUT


class Pop3Clients(Case):
    SERVER = dict(settings={"Pop3LoginErrors": "yes", "LoginDelay": 1})

    def test_replies_do_not_wait_for_delayed_acks(self):
        # With Nagle's algorithm on an accepted socket the end of every RETR waited for the client's
        # delayed ACK, 40 ms a message (the figures are bench/'s): a connection must have it off.
        trace = os.path.join(self.s.tmp.name, "setsockopt.log")
        tracer = subprocess.Popen(["strace", "-o", trace, "-e", "trace=setsockopt", "-p", str(self.s.proc.pid)],
                                  stderr=subprocess.PIPE, text=True)
        self.assertIn("attached", tracer.stderr.readline())
        self.s.pop3_login().quit()
        tracer.terminate()
        tracer.wait(TIMEOUT)
        self.assertRegex(pathlib.Path(trace).read_text(), r"setsockopt\(\d+, SOL_TCP, TCP_NODELAY, \[1\], 4\) = 0")

    @unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
    def test_fetchmail_reports_a_wrong_password(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="tandrivel-fetch-"))
        rc = os.path.join(tmp, "fetchmailrc")
        with open(os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(f"set no syslog\npoll 127.0.0.1 service {self.s.pop3} protocol pop3:\n"
                    f"  user \"demo\" there with password \"wrong\" sslproto '' keep mda \"cat > /dev/null\"\n")
        r = subprocess.run(["fetchmail", "-f", rc, "--nodetach", "--pidfile", rc + ".pid", "--idfile", rc + ".ids"],
                           env=dict(os.environ, FETCHMAILHOME=tmp), capture_output=True, timeout=TIMEOUT * 3, text=True)
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)   # PS_AUTHFAIL, where "No mail" was 1
        self.assertIn("Authorization failure", r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
