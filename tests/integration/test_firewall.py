"""The firewall rules as SMTP clients meet them: swaks and Python's smtplib from different
loopback addresses (127.0.0.1 trusted, others not), each reject list with its reason letter,
the size limit, a stopped message redirected to the guard's mailbox, and a reload of
FIREWALL.CFG while sessions are sending."""

import glob
import os
import smtplib
import socket
import subprocess
import threading
import unittest

from harness import Home, wait_for
from test_distribution import make_accounts
from test_smtp import free_port, listening

RULES = ("[ACCEPT_HOST_IP]\r\n127.0.0.1\r\n"
         "[SMTP_IP]\r\n127.0.0.9\r\n"
         "[SMTP_HELO]\r\nbad.helo\r\n"
         "[SMTP_FROM]\r\nspammer@*\r\n"
         "[smtp_to]\r\n*@blocked.test\r\n"
         "[Header_To]\r\n*victim*\r\n"
         "[Header_From]\r\n*fraud*\r\n"
         "[Header_Subject]\r\n*viagra*\r\n")


class FirewallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.home = Home(smtp_port=cls.port)
        with open(cls.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=0.0.0.0\r\nsmtplog=1\r\n"
                    "[Firewall]\r\nSPAMLog=1\r\nSMTPLog=1\r\nSMTPSmartLog=1\r\nLowLogging=1\r\n"
                    "SmartTo=guard@example.test\r\nMaxMsgSize=20\r\n")
        with open(cls.home.path("FIREWALL.CFG"), "w", newline="") as f:
            f.write(RULES)
        make_accounts(cls.home, ("alice", "guard"))
        cls.server = cls.home.start("-server")
        assert wait_for(lambda: listening(cls.port)), "no listener"

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(timeout=20)
        cls.home.close()

    def swaks(self, *args, source="127.0.0.1", to="alice@example.test", sender="zoe@far.test",
              data=None):
        cmd = ["swaks", "--server", "127.0.0.1:%d" % self.port, "--local-interface", source,
               "--helo", "client.test", "--from", sender, "--to", to, "--timeout", "20"]
        if data is not None:
            cmd += ["--data", data]
        return subprocess.run(cmd + list(args), capture_output=True, text=True, timeout=60).stdout

    def box(self, account):
        return sorted(glob.glob(self.home.path("MAILIN", account, "m*.mim")))

    def find(self, account, *needles):
        """The first message of the mailbox that holds every needle."""
        for path in self.box(account):
            with open(path, "rb") as f:
                text = f.read()
            if all(n in text for n in needles):
                return text
        return None

    def test_each_list_refuses_with_its_reason(self):
        out = self.swaks(source="127.0.0.9")
        self.assertIn("<** 550 Message REFUSED by peer. Reason: I.", out)
        self.assertNotIn("220 ", out)
        self.assertIn("Reason: H.", self.swaks("--helo", "BAD.HELO"))
        self.assertIn("Reason: F.", self.swaks(sender="spammer@anywhere.test"))
        self.assertIn("Reason: T.", self.swaks(to="x@blocked.test"))
        for header in ("To: the victim <v@far.test>", "From: fraudster@far.test",
                       "Subject: cheap viagra"):
            out = self.swaks(data="%s\r\n\r\nbody\r\n" % header)
            self.assertIn("Reason: L.", out, header)
        # A known client with clean mail passes.
        self.assertIn("250 OK", self.swaks(data="Subject: fine and clean\r\n\r\nbody\r\n"))
        self.assertTrue(wait_for(lambda: self.find("alice", b"Subject: fine and clean\r\n")))
        log = open(self.home.path("firewall.log"), encoding="latin-1").read()
        for line in ("Reject SMTP IP address: 127.0.0.9", "Reject SMTP HELO BAD.HELO",
                     "Reject SMTP MAIL FROM: spammer@anywhere.test", "Reject SMTP RCPT TO: x@blocked.test",
                     "Reject   To: the victim <v@far.test>", "Reject Subject: cheap viagra"):
            self.assertIn(line, log)

    def converse_from(self, source, lines):
        """A raw conversation from `source`: each chunk is sent and its reply read (every line
        of a multi-line reply). Stops when the server closes. Every answer, decoded."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=20, source_address=(source, 0))
        f = s.makefile("rb")

        def reply():
            text = b""
            while True:
                line = f.readline()
                text += line
                if len(line) < 4 or line[3:4] != b"-":
                    return text

        try:
            answers = reply()
            for chunk in lines:
                s.sendall(chunk)
                answer = reply()
                answers += answer
                if not answer:
                    break
        finally:
            f.close()
            s.close()
        return answers.decode("latin-1")

    def test_a_reset_does_not_carry_what_one_message_earned_to_the_next(self):
        # An unknown client names a local recipient (which makes a message known), resets, and
        # then tries to relay from an unknown sender to an unknown domain.
        out = self.converse_from("127.0.0.2", [
            b"HELO c.test\r\n", b"MAIL FROM:<x@unknown.test>\r\n", b"RCPT TO:<alice@example.test>\r\n",
            b"RSET\r\n", b"MAIL FROM:<someone@unknown.test>\r\n", b"RCPT TO:<else@nowhere.test>\r\n",
            b"DATA\r\n", b"Subject: relay after reset\r\n\r\nbody\r\n.\r\n"])
        self.assertIn("250 Reset state", out)
        self.assertIn("550 Message REFUSED by peer. Reason: E.", out)
        self.assertNotIn("250 OK", out)
        self.assertEqual(glob.glob(self.home.path("OUTQUEUE", "*", "M*")), [])
        # The same holds after a stored message: the next one starts from the client alone.
        out = self.converse_from("127.0.0.2", [
            b"HELO c.test\r\n", b"MAIL FROM:<x@unknown.test>\r\n", b"RCPT TO:<alice@example.test>\r\n",
            b"DATA\r\n", b"Subject: a fair one\r\n\r\nbody\r\n.\r\n",
            b"MAIL FROM:<someone@unknown.test>\r\n", b"RCPT TO:<else@nowhere.test>\r\n",
            b"DATA\r\n", b"Subject: relay after a message\r\n\r\nbody\r\n.\r\n"])
        self.assertEqual(out.count("250 OK"), 1, out)
        self.assertIn("Reason: E.", out)
        self.assertEqual(glob.glob(self.home.path("OUTQUEUE", "*", "M*")), [])

    def test_a_source_route_does_not_hide_a_rejected_sender(self):
        out = self.swaks(sender="@relay.test:spammer@x.test")
        self.assertIn("Reason: F.", out)
        out = self.converse_from("127.0.0.1", [b"HELO c.test\r\n", b"MAIL FROM:<@a.test,@b.test:spammer@y.test>\r\n"])
        self.assertIn("Reason: F.", out)
        log = open(self.home.path("firewall.log"), encoding="latin-1").read()
        self.assertIn("Reject SMTP MAIL FROM: spammer@y.test", log)

    def test_a_message_above_the_size_limit_is_refused(self):
        out = self.swaks(data="Subject: big one\r\n\r\n" + ("x" * 70 + "\r\n") * 400)  # 28 KB > 20
        self.assertIn("550 Message cannot exceed 20 Kbytes", out)
        # Not stored; its header goes to the guard like any stopped message.
        self.assertTrue(wait_for(lambda: self.find("guard", b"Subject: big one\r\n")))
        self.assertIsNone(self.find("alice", b"Subject: big one\r\n"))

    def test_unknown_client_sender_and_destination_are_stopped_and_redirected(self):
        out = self.swaks(source="127.0.0.2", sender="someone@unknown.test", to="else@nowhere.test",
                         data="From: someone@unknown.test\r\nSubject: relay me\r\n\r\nsecret body\r\n")
        self.assertIn("550 Message REFUSED by peer. Reason: E.", out)
        log = open(self.home.path("firewall.log"), encoding="latin-1").read()
        self.assertIn("Do not accept message from=someone@unknown.test to=else@nowhere.test."
                      " IP-Client! RCPT! From:!", log)
        # The guard gets the header only.
        text = wait_for(lambda: self.find("guard", b"Subject: [Varnel] Firewall stopped this message.",
                                          b"Subject: relay me\r\n"))
        self.assertTrue(text)
        self.assertNotIn(b"secret body", text)
        self.assertEqual(glob.glob(self.home.path("OUTQUEUE", "*", "M*")), [])
        # The same from the trusted client passes.
        out = self.swaks(sender="someone@unknown.test", to="else@nowhere.test",
                         data="Subject: relay me\r\n\r\nbody\r\n")
        self.assertIn("250 OK", out)

    def test_a_reload_while_twenty_sessions_send_changes_only_new_verdicts(self):
        errors, sent = [], [0]
        stop = threading.Event()

        def sender(i):
            while not stop.is_set():
                try:
                    with smtplib.SMTP("127.0.0.1", self.port, local_hostname="c.test", timeout=30,
                                      source_address=("127.0.0.3", 0)) as s:
                        s.sendmail("z@far.test", ["alice@example.test"], b"Subject: %d\r\n\r\nx\r\n" % i)
                        sent[0] += 1
                    stop.wait(0.1)  # a steady load, not a flood the later tests must wait behind
                except Exception as e:  # noqa: BLE001 - every failure is a finding
                    errors.append(repr(e))
                    return

        threads = [threading.Thread(target=sender, args=(i,)) for i in range(20)]
        for t in threads:
            t.start()
        try:
            self.assertTrue(wait_for(lambda: sent[0] >= 40, timeout=60))
            probe = lambda: self.swaks(source="127.0.0.4", data="Subject: probe\r\n\r\nx\r\n")
            self.assertIn("250 OK", probe())  # from an unknown client to a local account
            for _ in range(5):  # reloads while the sessions run
                with open(self.home.path("FIREWALL.CFG"), "w", newline="") as f:
                    f.write(RULES + "[SMTP_IP]\r\n127.0.0.4\r\n")
                self.home.post(self.server.pid, 1, 1006)
                self.assertTrue(wait_for(lambda: "Reason: I." in probe(), timeout=10))
                with open(self.home.path("FIREWALL.CFG"), "w", newline="") as f:
                    f.write(RULES)
                self.home.post(self.server.pid, 1, 1006)
                self.assertTrue(wait_for(lambda: "250 OK" in probe(), timeout=10))
            count = sent[0]
            self.assertTrue(wait_for(lambda: sent[0] > count + 20, timeout=30))
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=60)
        self.assertEqual(errors, [])
        self.assertIsNone(self.server.poll())
        # Everything sent is delivered before the next test looks into the mailboxes.
        self.assertTrue(wait_for(lambda: not glob.glob(self.home.path("INQUEUE", "M*")), timeout=120))


if __name__ == "__main__":
    unittest.main()
