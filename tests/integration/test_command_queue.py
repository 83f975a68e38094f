"""The command queue through the real program: `quorvale -command` against a running server, the
queue file written by other writers, account commands seen at once by SMTP (swaks) and POP3
(poplib), generated messages decoded by Python's email package, and bad input refused."""

import base64
import email
import email.policy
import glob
import os
import poplib
import subprocess
import threading
import time
import unittest

from harness import Home, wait_for
from test_smtp import free_port, listening

DELAY = 3  # seconds between unprompted queue checks
# Generous bounds for a loaded machine; each is far above what the program promises.
SLACK = 30


class CommandQueueTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.smtp_port, cls.pop3_port = free_port(), free_port()
        cls.home = Home(smtp_port=cls.smtp_port, pop3_port=cls.pop3_port)
        with open(cls.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=1\r\n"
                    "[Command]\r\nDelay=%d\r\nLogging=1\r\nEmailFeedback=0\r\n"
                    "AdminAddress=master@example.test\r\n" % DELAY)
        with open(cls.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("master:*:0\r\n")
        cls.server = None
        cls.start_server()

    @classmethod
    def start_server(cls):
        cls.server = cls.home.start("-server")
        assert wait_for(lambda: listening(cls.smtp_port) and listening(cls.pop3_port),
                        timeout=SLACK), "no listener"
        assert wait_for(lambda: cls.home.published("srvthread") == cls.server.pid, timeout=SLACK)

    @classmethod
    def stop_server(cls):
        cls.server.terminate()
        cls.server.wait(timeout=SLACK)

    @classmethod
    def tearDownClass(cls):
        if cls.server.poll() is None:
            cls.stop_server()
        cls.home.close()

    # Helpers ----------------------------------------------------------------------------------

    def command(self, *lines, stdin=None):
        args = [os.environ.get("QUORVALE_BIN", "quorvale"), "-command", *lines]
        env = self.home.env()
        env["QUORVALE_COMMAND_WAIT"] = str(4 * SLACK)
        return subprocess.run(args, env=env, input=stdin, capture_output=True,
                              timeout=8 * SLACK)

    def command_log(self):
        try:
            with open(self.home.path("COMMAND", "COMMAND.LOG"), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def append_queue(self, data):
        """A writer that appends to the queue file by itself, without a signal."""
        with open(self.home.path("COMMAND", "COMMAND.TXT"), "ab") as f:
            f.write(data)

    def rcpt_accepted(self, address):
        r = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.smtp_port, "--helo",
                            "client.test", "--from", "zoe@far.test", "--to", address,
                            "--quit-after", "RCPT"], capture_output=True, timeout=30)
        return r.returncode == 0

    def pop3_login(self, user, password):
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        try:
            pop.user(user)
            pop.pass_(password)
            return True
        except poplib.error_proto:
            return False
        finally:
            try:
                pop.quit()
            except (poplib.error_proto, OSError):
                pass

    def mailbox(self, account):
        # Messages only: a busy marker "b<n>.mim" is there while a message is written.
        return sorted(p for p in glob.glob(self.home.path("MAILIN", account, "*"))
                      if os.path.basename(p).lower().startswith("m")
                      and p.lower().endswith(".mim"))

    def messages(self, account):
        out = []
        for path in self.mailbox(account):
            with open(path, "rb") as f:
                out.append(email.message_from_bytes(f.read(), policy=email.policy.compat32))
        return out

    # Tests ------------------------------------------------------------------------------------

    def test_results_are_printed_and_a_failure_sets_the_exit_status(self):
        r = self.command("adduser carl pw-carl", "bogus x", "# a note", "listmailbox")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout.decode().splitlines(),
                         ["OK\tadduser carl pw-carl", "ERR-99\tbogus x", "OK\tlistmailbox"])
        r = self.command("LISTMAILBOX")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.home.path("COMMAND", "MBOXLIST.TXT"), "rb") as f:
            self.assertIn(b"carl\r\n", f.read())
        # Lines from standard input; an existing account gives -1 and is recorded.
        r = self.command("-", stdin=b"adduser carl other\r\npassword carl 123456789012345\n")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode().splitlines(),
                         ["ERR-1\tadduser carl other", "OK\tpassword carl 123456789012345"])
        with open(self.home.path("COMMAND", "USERLIST.ERR"), "rb") as f:
            self.assertIn(b"carl\r\n", f.read())
        r = self.command("password carl 1234567890123456")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(), "ERR-2\tpassword carl 1234567890123456\n")

    def test_account_commands_change_what_smtp_and_pop3_accept_at_once(self):
        self.assertFalse(self.rcpt_accepted("dora@example.test"))
        self.assertEqual(self.command("adduser dora first dora2@example.test").returncode, 0)
        self.assertTrue(self.rcpt_accepted("dora@example.test"))
        self.assertTrue(self.rcpt_accepted("dora2@example.test"))
        self.assertTrue(self.pop3_login("dora", "first"))
        self.assertEqual(self.command("password dora second").returncode, 0)
        self.assertFalse(self.pop3_login("dora", "first"))
        self.assertTrue(self.pop3_login("dora", "second"))
        self.assertEqual(self.command("deluser dora").returncode, 0)
        self.assertFalse(self.rcpt_accepted("dora@example.test"))
        self.assertFalse(self.pop3_login("dora", "second"))
        self.assertEqual(self.command("deluser dora").returncode, 0)  # unknown: no error

    def test_a_batch_runs_within_delay_without_a_signal(self):
        self.append_queue(b"logmessage unprompted-line\r\n")
        start = time.monotonic()
        self.assertTrue(wait_for(lambda: "\r\nunprompted-line\r\n" in "\r\n" + self.command_log(),
                                 timeout=DELAY + SLACK))
        # Bounded by the period (and the load of this machine), not by a signal.
        self.assertLess(time.monotonic() - start, DELAY + SLACK)
        self.assertFalse(os.path.exists(self.home.path("COMMAND", "COMMAND.TXT")))

    def test_lines_after_end_are_not_run(self):
        self.append_queue(b"logmessage before-end\r\nend\r\nlogmessage after-end\r\n")
        # Taken without a signal, as a batch of its own.
        self.assertTrue(wait_for(lambda: "before-end" in self.command_log(), timeout=DELAY + SLACK))
        self.assertEqual(self.command("logmessage next-batch").returncode, 0)
        log = self.command_log()
        self.assertIn("before-end\r\n", log)
        self.assertIn("next-batch\r\n", log)
        self.assertNotIn("after-end", log)
        # The client does not queue what would never run.
        r = self.command("logmessage client-before", "END", "logmessage client-after")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"not queued", r.stderr)
        self.assertNotIn("client-after", self.command_log())

    def test_bad_input_gets_a_clear_result_and_changes_nothing(self):
        def files():  # lock files come and go with any load or save
            return sorted(n for n in os.listdir(self.home.home) if not n.upper().endswith(".LCK"))

        before = files()
        mailin = sorted(os.listdir(self.home.path("MAILIN")))
        lines = [b"frobnicate now", b"adduser onlyname", b"deluser a b", b"logmessage \"open",
                 b"deluser " + b"y" * 5000, b"deluser nul\0byte", b"adduser ../evil pw",
                 b"adduser a/b pw", b"adduser ..\\x pw", b"LoadUser ../../etc"]
        self.append_queue(b"\r\n".join(lines) + b"\r\n")
        r = self.command("logmessage after-bad-input")
        self.assertEqual(r.returncode, 0, r.stderr)
        log = self.command_log()
        for expected in ["ERR-99\tfrobnicate now", "ERR-99\tadduser onlyname", "ERR-99\tdeluser a b",
                         "ERR-99\tlogmessage \"open", "ERR-99\tdeluser yyy",
                         "ERR-99\tdeluser nul\\x00byte", "ERR-1\tadduser ../evil pw",
                         "ERR-1\tadduser a/b pw", "ERR-1\tadduser ..\\x pw",
                         "ERR-1\tLoadUser ../../etc"]:
            self.assertIn(expected, log)
        # The 5,000 characters were one refused line, not five commands.
        self.assertEqual(log.count("deluser yyy"), 1)
        self.assertNotIn("\tyyyy", log)
        self.assertEqual(sorted(os.listdir(self.home.path("MAILIN"))), mailin)
        self.assertEqual(files(), before)
        self.assertFalse(os.path.exists(os.path.join(self.home.root, "evil")))
        # The client refuses what the queue cannot carry, and queues nothing.
        for bad in (["logmessage " + "z" * 1014], ["logmessage a\nb"]):
            r = self.command(*bad)
            self.assertEqual(r.returncode, 2)
            self.assertIn(b"Nothing was queued", r.stderr)
        r = self.command("-", stdin=b"logmessage nul\0here\n")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(self.command("logmessage " + "z" * 1013).returncode, 0)  # 1024 characters
        self.assertNotIn("nul", self.command_log().split("after-bad-input")[1])

    def test_two_writers_lose_no_line_and_none_runs_twice(self):
        def writer(tag, results):
            for batch in range(25):
                lines = ["logmessage %s-%03d" % (tag, batch * 20 + i) for i in range(20)]
                r = self.command(*lines)
                # Every line's own result, read once its batch had run.
                results.append((r.returncode, r.stdout.decode().count("OK\tlogmessage %s-" % tag)))

        results = {"w1": [], "w2": []}
        threads = [threading.Thread(target=writer, args=(t, results[t])) for t in results]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=600)
        self.assertEqual(results["w1"] + results["w2"], [(0, 20)] * 50)
        log = self.command_log().split("\r\n")
        for tag in results:
            for i in range(500):
                text = "%s-%03d" % (tag, i)
                self.assertEqual(log.count(text), 1, text)  # the message itself
                self.assertEqual(sum(1 for l in log if l.endswith(":\tlogmessage " + text)), 1, text)

    def test_list_files_are_never_seen_half_written(self):
        names = ["l%03d" % i for i in range(40)]
        r = self.command("-", stdin="".join("adduser %s pw %s-x@example.test\n" % (n, n)
                                            for n in names).encode())
        self.assertEqual(r.returncode, 0, r.stdout)
        path = self.home.path("COMMAND", "USERLIST.TXT")
        seen, bad, stop = [0], [], threading.Event()

        def reader():
            while not stop.is_set():
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                except FileNotFoundError:
                    continue
                seen[0] += 1
                if not data.endswith(b"\r\n") or data.count(b"\tl039-x@example.test") != 1:
                    bad.append(len(data))

        t = threading.Thread(target=reader)
        t.start()
        try:
            for _ in range(15):
                self.assertEqual(self.command("listuser").returncode, 0)
        finally:
            stop.set()
            t.join()
        self.assertGreater(seen[0], 0)
        self.assertEqual(bad, [])
        with open(path, "rb") as f:
            self.assertIn(b"l000\tl000@example.test\tl000-x@example.test\r\n", f.read())

    def test_sendmessage_and_sendfile_reach_the_mailbox_and_decode(self):
        self.assertEqual(self.command("adduser erin pw").returncode, 0)
        text = "First line\x01\x01Second line with words " + "word " * 30 + "end"
        r = self.command("sendmessage erin@example.test sender@far.test \"Plain text\" \"%s\"" % text)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertTrue(wait_for(lambda: len(self.mailbox("erin")) == 1, timeout=SLACK))
        msg = self.messages("erin")[0]
        self.assertEqual(msg["Subject"], "Plain text")
        body = msg.get_payload(decode=True).replace(b"\r\n", b"\n")
        self.assertTrue(body.startswith(b"First line\nSecond line with words word"), body)
        self.assertTrue(all(len(l) <= 82 for l in body.split(b"\n")))
        self.assertEqual(body.split(), text.replace("\x01\x01", " ").encode().split())

        data = bytes(range(256)) * 8 + b"trailing text line\r\n"
        attachment = os.path.join(self.home.root, "payload.bin")
        with open(attachment, "wb") as f:
            f.write(data)
        textfile = os.path.join(self.home.root, "notes.txt")
        notes = b"Line one = with equals\r\n\tTabbed line\r\n" + b"long " * 40 + b"\r\n"
        with open(textfile, "wb") as f:
            f.write(notes)
        cases = [("Binary", attachment, data), ("B64", attachment, data),
                 ("Uuencode", attachment, data), ("QP", textfile, notes), ("ascii", textfile, notes)]
        for i, (encoding, path, original) in enumerate(cases):
            r = self.command("sendfile %s att%d.dat erin@example.test s@far.test \"File %d\" %s"
                             % (path, i, i, encoding))
            self.assertEqual(r.returncode, 0, (encoding, r.stdout))
        self.assertTrue(wait_for(lambda: len(self.mailbox("erin")) == 1 + len(cases), timeout=SLACK))
        by_subject = {m["Subject"]: m for m in self.messages("erin")}
        for i, (encoding, path, original) in enumerate(cases):
            msg = by_subject["File %d" % i]
            parts = [p for p in msg.walk() if p.get_filename()]
            self.assertEqual(len(parts), 1, encoding)
            self.assertEqual(parts[0].get_filename(), "att%d.dat" % i)
            self.assertEqual(parts[0].get_payload(decode=True), original, encoding)
        r = self.command("sendfile %s att erin@example.test s@far.test Bad Base32" % attachment)
        self.assertEqual(r.returncode, 1)

    def queue_listing(self):
        r = subprocess.run([os.environ.get("QUORVALE_BIN", "quorvale"), "-queue"],
                           env=self.home.env(), capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def test_queue_listing_flush_and_a_queue_file_of_the_wrong_kind(self):
        r = self.command("sendmessage bob@far.test listing@example.test \"For the listing\" hi")
        self.assertEqual(r.returncode, 0, r.stdout)
        # The server's message goes through INQUEUE to the outbound queue; both are listed.
        self.assertTrue(wait_for(lambda: "OUTQUEUE/" in self.queue_listing(), timeout=SLACK))
        listing = self.queue_listing()
        self.assertIn(" bob@far.test\n", listing)
        # Not attempted yet, or attempted once (no DNS server here) and due again in 30 minutes.
        self.assertRegex(listing, r"attempts (0, next -|1, next \d\d/\d\d/\d{4} \d\d:\d\d:\d\d)\n")
        self.assertRegex(listing, r"-- [1-9][0-9]* items, [0-9]+ Kbytes in [1-9] queues\.\n$")
        r = subprocess.run([os.environ.get("QUORVALE_BIN", "quorvale"), "-flush"],
                           env=self.home.env(), capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        queue = self.home.path("COMMAND", "COMMAND.TXT")
        wait_for(lambda: not os.path.exists(queue), timeout=SLACK)
        os.mkdir(queue)
        try:
            r = self.command("logmessage into-a-directory")
            self.assertEqual(r.returncode, 2)
            self.assertIn(b"Cannot append", r.stderr)
            self.assertTrue(wait_for(lambda: "is not a file" in self.home.message_log(),
                                     timeout=DELAY + SLACK))
            self.assertIsNone(self.server.poll())
        finally:
            os.rmdir(queue)
        self.assertEqual(self.command("logmessage after-directory").returncode, 0)

    def test_zz_without_a_server_commands_wait_for_the_next_start(self):
        self.stop_server()
        try:
            r = self.command("logmessage queued-while-stopped")
            self.assertEqual(r.returncode, 0)
            self.assertIn(b"will run when the server starts", r.stdout)
            r = subprocess.run([os.environ.get("QUORVALE_BIN", "quorvale"), "-flush"],
                               env=self.home.env(), capture_output=True, timeout=30)
            self.assertEqual(r.returncode, 1)
            self.assertNotIn("queued-while-stopped", self.command_log())
        finally:
            self.start_server()
        self.assertTrue(wait_for(lambda: "queued-while-stopped" in self.command_log(),
                                 timeout=SLACK))
        # The exit command stops the server quietly.
        r = self.command("exit")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.server.wait(timeout=SLACK), 0)


if __name__ == "__main__":
    unittest.main()
