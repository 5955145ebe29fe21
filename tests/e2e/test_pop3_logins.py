"""POP3 as mail clients see it: messages fetched one after another without waiting on delayed ACKs,
and, with Pop3LoginErrors, a wrong password that fetchmail reports as one instead of "No mail"."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import Case, TIMEOUT, message

MESSAGES = 20
BODY = b"x" * 76 + b"\r\n"
BODY *= 100 * 1024 // len(BODY)   # 100 KB


class Pop3Clients(Case):
    SERVER = dict(settings={"Pop3LoginErrors": "yes", "LoginDelay": 1})

    def test_retr_does_not_wait_for_delayed_acks(self):
        # The last segment of a reply waited for the client's delayed ACK, 40 ms a message.
        for i in range(MESSAGES):
            self.s.put_message(message(f"m{i}", BODY))
        p = self.s.pop3_login()
        start = time.monotonic()
        for i in range(1, MESSAGES + 1):
            self.assertGreater(len(p.retr(i)[1]), 1000)
        elapsed = time.monotonic() - start
        p.quit()
        self.assertLess(elapsed, MESSAGES * 0.010, "RETR waited for the client's delayed ACKs")   # 2-3 ms each, 20-40 ms before

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
