"""The SMTP server, driven by clients nobody here wrote (swaks, Python's smtplib, curl) and by
misbehaving peers. Every message is stored in INQUEUE and distributed at the end of the session:
it must reach the mailboxes and outbound queues byte for byte as sent (after the server's status
and trace lines; the test messages carry their own Message-Id, Date, From and To, so nothing is
added), with a correct envelope; nothing of an unfinished transaction may stay."""

import glob
import os
import shutil
import smtplib
import socket
import subprocess
import threading
import time
import unittest

from harness import Home, converse, read_ini, wait_for

HEADER_LINES = 3  # X-IStatus, "Received: from ..." and its "id ..." continuation


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class SmtpServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.home = Home(smtp_port=cls.port, max_sessions=400)
        os.makedirs(cls.home.path("INQUEUE"))
        with open(cls.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nsmtptimeout=15\r\nlowsmtplog=1\r\n"
                    "[Domain]\r\nn=1\r\n0=partner.test:mx.partner.test:partner_test.000\r\n")
        with open(cls.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("alice:*:0\r\nbob:*:0\r\ndave:*:0\r\n")
        for user in ("alice", "bob", "dave"):
            os.makedirs(cls.home.path("MAILIN", user))
            with open(cls.home.path("MAILIN", user, "MEMBERS.INI"), "w", newline="") as f:
                f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % user)
        cls.server = cls.home.start("-server")
        ok = wait_for(lambda: listening(cls.port), timeout=10)
        assert ok, "the server did not listen"
        # dave's mailbox is gone: his mail stays queued in INQUEUE, with its envelope, for the
        # distribution's next run; that is where the envelope the session wrote can be read.
        shutil.rmtree(cls.home.path("MAILIN", "dave"))

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(timeout=10)
        cls.home.close()

    def setUp(self):
        # A distribution started by the previous test's session may still be working on what that
        # test left in INQUEUE (an undeliverable item is read and its envelope rewritten): the
        # files are removed only once nothing has changed there for half a second.
        self.wait_inqueue_still()
        for pattern in (("INQUEUE", "*"), ("MAILIN", "alice", "*"), ("MAILIN", "bob", "*"),
                        ("OUTQUEUE", "*", "*")):
            for name in glob.glob(self.home.path(*pattern)):
                if os.path.isfile(name) and not name.endswith(("useqf", ".INI")):
                    try:
                        os.remove(name)
                    except FileNotFoundError:  # the server's distribution took it meanwhile
                        pass

    # Helpers ----------------------------------------------------------------------------------

    def wait_inqueue_still(self, quiet=0.5, timeout=30):
        def state():
            out = []
            for p in glob.glob(self.home.path("INQUEUE", "*")):
                try:
                    st = os.stat(p)
                    out.append((p, st.st_size, st.st_mtime_ns))
                except FileNotFoundError:
                    pass
            return sorted(out)
        deadline = time.monotonic() + timeout
        last, since = state(), time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = state()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return

    def strip_server_lines(self, data):
        lines = data.split(b"\r\n", HEADER_LINES)
        self.assertTrue(lines[0].startswith(b"X-IStatus:00000000000000000003"))
        self.assertTrue(lines[1].startswith(b"Received: from 127.0.0.1 by "))
        self.assertTrue(lines[2].startswith(b"          id "))
        return lines[3]

    def mailbox(self, account):
        """The messages of a mailbox, without the server's lines, once distribution is done."""
        wait_for(lambda: not glob.glob(self.home.path("INQUEUE", "M*.TMP")), timeout=30)
        out = []
        for msg in sorted(glob.glob(self.home.path("MAILIN", account, "m*.mim"))):
            with open(msg, "rb") as f:
                out.append(self.strip_server_lines(f.read()))
        return out

    def outbound(self, queue):
        """(message without the server's lines, sender, recipients) of each item of a queue."""
        out = []
        for msg in sorted(glob.glob(self.home.path("OUTQUEUE", queue, "M*.MIM"))):
            env = os.path.join(os.path.dirname(msg), "I" + os.path.basename(msg)[1:])
            with open(msg, "rb") as f:
                data = self.strip_server_lines(f.read())
            n = int(read_ini(env, "TO", "n", "0"))
            out.append((data, read_ini(env, "FROM", "From"), [read_ini(env, "TO", str(i)) for i in range(n)]))
        return out

    def items(self):
        """(message bytes after the server's lines, envelope dict) for each item left in INQUEUE."""
        out = []
        for msg in sorted(glob.glob(self.home.path("INQUEUE", "M*.TMP"))):
            with open(msg, "rb") as f:
                data = f.read()
            lines = data.split(b"\r\n", HEADER_LINES)
            self.assertTrue(lines[0].startswith(b"X-IStatus:00000000000000000003"))
            self.assertTrue(lines[1].startswith(b"Received: from 127.0.0.1 by "))
            self.assertTrue(lines[2].startswith(b"          id "))
            env = os.path.join(os.path.dirname(msg), "R" + os.path.basename(msg)[1:])
            n = int(read_ini(env, "To", "n", "0"))
            envelope = {"from": read_ini(env, "From", "From"),
                        "subject": read_ini(env, "From", "Subject"),
                        "to": [read_ini(env, "To", str(i)) for i in range(n)]}
            out.append((lines[3], envelope))
        return out

    def leftovers(self):
        return sorted(os.path.basename(p) for p in glob.glob(self.home.path("INQUEUE", "*"))
                      if not os.path.basename(p).startswith("useqf"))

    def raw(self, script, read_greeting=True, timeout=10):
        """Sends lines to the server and returns everything it answered."""
        return converse(self.port, script, read_greeting, timeout)

    def back_to(self, counts):
        """True once the server holds no more descriptors and threads than it did (a session of
        an earlier test may still have been ending when `counts` was taken)."""
        now = self.server_counts()
        return now[0] <= counts[0] and now[1] <= counts[1]

    def server_counts(self):
        pid = self.server.pid
        return (len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid)))

    # Real clients -----------------------------------------------------------------------------

    def test_python_smtplib_delivers_byte_for_byte(self):
        body = (b"Message-Id: <1@client.test>\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                b"From: Bob <bob@remote.test>\r\nTo: alice@example.test\r\nSubject: hello\r\n\r\n"
                b".leading dot\r\n..two dots\r\n" + b"x" * 998 + b"\r\n"
                b"8-bit: \xe9\xe8\xff\r\nlast line\r\n")
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test") as s:
            refused = s.sendmail("bob@remote.test", ["alice@example.test", "carol@partner.test"],
                                 body)
        self.assertEqual(refused, {})
        self.assertEqual(self.mailbox("alice"), [body])
        self.assertEqual(self.outbound("partner_test.000"),
                         [(body, "bob@remote.test", ["carol@partner.test"])])
        self.assertEqual(self.leftovers(), [])  # distributed: INQUEUE is empty

    def test_the_session_writes_the_envelope_from_the_header(self):
        # The envelope's reply, receipt and error addresses are the header's mailbox addresses:
        # comments and display names are no part of an address to send to.
        body = (b"Message-Id: <2@client.test>\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                b"From: Eve <eve@remote.test>\r\nTo: dave@example.test\r\n"
                b"Subject:   what  it is about  \r\nReply-To: answers@remote.test (Answers desk)\r\n"
                b"Return-Receipt-To: <receipts@remote.test> (receipts)\r\n"
                b"Sender: \"List, owner\" <list@remote.test> (bounces)\r\n\r\nx\r\n")
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test") as s:
            self.assertEqual(s.sendmail("eve@remote.test", ["dave@example.test"], body), {})
        # dave's mailbox is missing: the item stays queued. Distribution runs again at every tick
        # and rewrites its envelope through "recipien.tmp", so take a listing between two runs.
        def settled():
            names = self.leftovers()
            return names if len(names) == 2 and all(n[0] in "MR" for n in names) else None
        leftovers = wait_for(settled)
        self.assertIsNotNone(leftovers)
        [(data, env)] = self.items()
        self.assertEqual(data, body)
        self.assertEqual(env["from"], "eve@remote.test")
        self.assertEqual(env["subject"], "what  it is about")
        self.assertEqual(env["to"], ["dave@example.test"])
        [message, envelope] = leftovers  # the item's two files, and nothing else
        self.assertRegex(message, r"^M\d{7}\.TMP$")
        self.assertEqual(envelope, "R" + message[1:])
        r = os.path.join(self.home.path("INQUEUE"), envelope)
        self.assertEqual(read_ini(r, "From", "ReplyTo"), "answers@remote.test")
        self.assertEqual(read_ini(r, "From", "Receipt"), "receipts@remote.test")
        self.assertEqual(read_ini(r, "From", "ErrorTo"), "list@remote.test")

    def test_swaks_delivers_and_unknown_users_are_refused(self):
        msg = self.home.path("swaks.eml")
        body = (b"Message-Id: <3@client.test>\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                b"From: sender@remote.test\r\nTo: bob@example.test\r\n"
                b"Subject: from swaks\r\n\r\nline one\r\n.dot line")
        with open(msg, "wb") as f:
            f.write(body)
        body += b"\r\n"  # swaks ends the data with CR LF "." CR LF
        r = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
                            "--from", "sender@remote.test", "--to", "bob@example.test",
                            "--data", msg], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(self.mailbox("bob"), [body])

        r = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
                            "--from", "sender@remote.test", "--to", "nobody@example.test"],
                           capture_output=True, text=True, timeout=30)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("550 nobody@example.test... Unknown user", r.stdout)

    def test_curl_delivers_an_empty_body(self):
        msg = self.home.path("curl.eml")
        body = (b"Message-Id: <4@client.test>\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                b"From: c@remote.test\r\nTo: alice@example.test\r\nSubject: empty body\r\n\r\n")
        with open(msg, "wb") as f:
            f.write(body)
        r = subprocess.run(["curl", "-sS", "--url", "smtp://127.0.0.1:%d/client.test" % self.port,
                            "--mail-from", "c@remote.test", "--mail-rcpt", "alice@example.test",
                            "--mail-rcpt", "someone@elsewhere.test", "--upload-file", msg],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.mailbox("alice"), [body])
        # A recipient in a domain of its own is accepted for relaying: the relay host's queue.
        self.assertEqual(self.outbound("MAILHUB"), [(body, "c@remote.test", ["someone@elsewhere.test"])])

    # The protocol's edge cases ----------------------------------------------------------------

    def test_command_edge_cases(self):
        out = self.raw([b"HELO client.test\r\n", b"DATA\r\n", b"\r\n", b"NOOP\r\n",
                        b"A" * 3000 + b"\r\n", b"quit\r\n"])
        lines = out.split("\r\n")
        self.assertTrue(lines[0].startswith("220 SMTP Varnel ready at example.test (Version "))
        self.assertEqual(lines[1], "250 Hello, pleased to meet you")
        self.assertEqual(lines[2], "503 Illegal Command in this context")  # DATA before RCPT
        # The empty line gets no reply; NOOP is unknown; the long line is two commands.
        self.assertEqual(lines[3:6], ["500 Command Unrecognized"] * 3)
        self.assertEqual(lines[6], "221 Closing connection")

    def test_only_a_lone_dot_ends_the_data(self):
        body = b"Subject: dots\r\n\r\n. \r\n.\r\r\n..x\r\n.\tx\r\nlast\r\n"
        out = self.raw([b"HELO c\r\nMAIL FROM:<a@remote.test>\r\nRCPT TO:<bob@example.test>\r\n"
                        b"DATA\r\n", body + b".\r\n", b"QUIT\r\n"])
        self.assertEqual(out.count("250 OK"), 1, out)
        self.assertIn("221 Closing connection", out)
        self.assertTrue(wait_for(lambda: any(b"Subject: dots" in m for m in self.mailbox("bob"))))
        stored = [m for m in self.mailbox("bob") if b"Subject: dots" in m][0]
        self.assertTrue(stored.endswith(b"\r\n\r\n. \r\n.\r\r\n.x\r\n.\tx\r\nlast\r\n"), stored[-80:])

    def test_an_over_long_data_line_is_refused_and_leaves_nothing(self):
        out = self.raw([b"HELO c\r\nMAIL FROM:<a@remote.test>\r\nRCPT TO:<alice@example.test>\r\n"
                        b"DATA\r\n", b"Subject: x\r\n\r\n" + b"y" * 2100 + b"\r\n.\r\n"])
        self.assertIn("450 File System Error: try later", out)
        self.assertEqual(self.leftovers(), [])
        self.assertEqual(self.mailbox("alice"), [])

    def test_a_message_takes_a_thousand_recipients_and_refuses_more(self):
        # dave's mail stays in INQUEUE (his mailbox is gone), where its envelope is read.
        rcpt = b"RCPT TO:<dave@example.test>\r\n"
        out = self.raw([b"HELO c\r\nMAIL FROM:<a@remote.test>\r\n", rcpt * 1002,
                        b"DATA\r\n", b"Subject: many\r\n\r\nx\r\n.\r\n",
                        b"MAIL FROM:<a@remote.test>\r\n", rcpt, b"QUIT\r\n"], timeout=60)
        self.assertEqual(out.count("250 dave@example.test... Recipient OK"), 1001, out[-300:])
        self.assertEqual(out.count("452 Too many recipients"), 2)
        self.assertEqual(out.count("250 OK\r\n"), 1)
        self.assertTrue(out.endswith("250 dave@example.test... Recipient OK\r\n"
                                     "221 Closing connection\r\n"), out[-300:])
        items = [e for body, e in self.items() if e["subject"] == "many"]
        self.assertEqual(len(items), 1)
        self.assertEqual(items[0]["to"], ["dave@example.test"] * 1000)

    # Bad peers --------------------------------------------------------------------------------

    def test_vanishing_silent_and_garbage_peers_leave_nothing_behind(self):
        fds, threads = self.server_counts()
        # Vanishes in the middle of DATA.
        self.raw([b"HELO c\r\nMAIL FROM:<a@remote.test>\r\nRCPT TO:<alice@example.test>\r\n"
                  b"DATA\r\n", b"Subject: cut\r\n\r\nhalf a mess"])
        # Says nothing: the session times out (smtptimeout=15) with 421.
        s = socket.create_connection(("127.0.0.1", self.port), timeout=60)
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        s.close()
        self.assertIn(b"421 Communication error. Reset connection...", data)
        # Binary garbage.
        self.raw([bytes(range(256)) * 20, b"\x00\xff\r\n" * 50])
        # A transaction without data.
        self.raw([b"HELO c\r\nMAIL FROM:<a@remote.test>\r\nRCPT TO:<alice@example.test>\r\nQUIT\r\n"])
        self.assertTrue(wait_for(lambda: self.back_to((fds, threads)), timeout=30),
                        "descriptors or threads leaked: %r -> %r" % ((fds, threads), self.server_counts()))
        self.assertEqual(self.leftovers(), [])
        # The server still serves.
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test") as s:
            self.assertEqual(s.sendmail("a@remote.test", ["bob@example.test"], b"Subject: ok\r\n\r\nok\r\n"), {})

    def test_three_hundred_concurrent_connections(self):
        fds, threads = self.server_counts()
        socks = []
        for _ in range(300):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=120)
            socks.append(s)
        greeted = 0
        for s in socks:
            if s.recv(512).startswith(b"220 "):
                greeted += 1
        self.assertEqual(greeted, 300)
        # All of them send a message at once.
        errors = []

        def send(s, i):
            try:
                f = s.makefile("rb")
                for line in (b"HELO c\r\n", b"MAIL FROM:<a@remote.test>\r\n",
                             b"RCPT TO:<alice@example.test>\r\n", b"DATA\r\n"):
                    s.sendall(line)
                    f.readline()
                s.sendall(b"Subject: %d\r\n\r\nbody %d\r\n.\r\n" % (i, i))
                if not f.readline().startswith(b"250 OK"):
                    errors.append(i)
                s.sendall(b"QUIT\r\n")
                f.readline()
            except OSError as e:
                errors.append((i, e))
            finally:
                s.close()

        workers = [threading.Thread(target=send, args=(s, i)) for i, s in enumerate(socks)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        self.assertEqual(errors, [])
        self.assertTrue(wait_for(lambda: len(self.mailbox("alice")) == 300, timeout=30))
        self.assertTrue(wait_for(lambda: self.back_to((fds, threads)), timeout=60),
                        "%r -> %r" % ((fds, threads), self.server_counts()))


if __name__ == "__main__":
    unittest.main()


class LogSizeWatchTest(unittest.TestCase):
    """After each session the log sizes are checked; a log above LogMaxSize makes one warning
    mail to the postmaster, queued like any server-made message."""

    def test_one_warning_mail_for_oversize_logs(self):
        port = free_port()
        home = Home(smtp_port=port)
        try:
            with open(home.path("NEXUM2.INI"), "a", newline="") as f:
                f.write("IPaddress=127.0.0.1\r\nlowsmtplog=1\r\nLogMaxSize=1\r\n")
            with open(home.path("mailbox.cfg"), "w", newline="") as f:
                f.write("master:*:0\r\n")
            server = home.start("-service")
            self.assertTrue(wait_for(lambda: os.path.isdir(home.path("INQUEUE"))))
            self.assertTrue(wait_for(lambda: listening(port)))
            for i in range(4):  # each session writes well over 1 KB of low-level log
                with smtplib.SMTP("127.0.0.1", port, local_hostname="client.test") as s:
                    s.sendmail("a@remote.test", ["master@example.test"], b"Subject: %d\r\n\r\n" % i + b"x" * 500 + b"\r\n")

            # The warning is queued after a session and distributed by the next run (the next
            # session's end or the tick) into the postmaster's mailbox.
            def warnings():
                found = []
                for path in glob.glob(home.path("INQUEUE", "m*.tmp")) + \
                        glob.glob(home.path("MAILIN", "master", "m*.mim")):
                    try:  # the distributor may move the item between listing and reading
                        with open(path, "rb") as f:
                            text = f.read()
                    except FileNotFoundError:
                        continue
                    if b"Subject: [Mail Server]. Warning!\r\n" in text:
                        found.append(text)
                return found
            self.assertTrue(wait_for(lambda: len(warnings()) == 1))
            time.sleep(0.5)
            [text] = warnings()
            self.assertIn(b"To: master@example.test\r\n", text)
            self.assertIn(b"At least one Mail Server log-file became larger than 1 Kbytes!", text)
            server.terminate()
            self.assertEqual(server.wait(timeout=10), 0)
        finally:
            home.close()
