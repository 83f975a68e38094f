"""Local distribution never loops, never duplicates and never rewrites what it delivered: the
running server with auto-replies, vacations, forwards, a home without postmaster, attachments and
very long lines, driven by swaks and Python's smtplib and poplib.

A loop shows only over time, so each test first waits for the expected state and then proves
that further distribution runs change nothing: it sends probe messages and waits until each has
been distributed (every run serves all queued items), twice over, while the timer runs the
distribution every second as well."""

import email
import email.policy
import glob
import os
import poplib
import re
import smtplib
import subprocess
import tempfile
import unittest

from harness import Home, queue_item, read_ini, wait_for
from test_smtp import free_port, listening

ATTACHMENT_WRITER = os.environ.get("QV_ATTACHMENT_WRITER", "attachment_writer")


def files(home, *parts):
    return sorted(glob.glob(home.path(*parts)))


class DistributionRulesTest(unittest.TestCase):
    ACCOUNTS = {}  # name -> extra SETUP lines of MAILBOX.INI
    MASTER = True

    def setUp(self):
        self.port, self.pop3 = free_port(), free_port()
        self.home = Home(smtp_port=self.port, pop3_port=self.pop3)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=1\r\n"
                    "[Domain]\r\nn=1\r\n0=partner.test:mx.partner.test:partner_test.000\r\n")
        accounts = dict(self.ACCOUNTS)
        accounts.setdefault("probe", "")
        if self.MASTER:
            accounts.setdefault("master", "")
        with open(self.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("".join("%s:*:0\r\n" % n for n in accounts))
        for name, setup in accounts.items():
            self.add_account(name, setup)
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port) and listening(self.pop3), timeout=30))

    def tearDown(self):
        self.home.close()

    def add_account(self, name, setup):
        box = self.home.path("MAILIN", name)
        os.makedirs(box, exist_ok=True)
        with open(os.path.join(box, "MAILBOX.INI"), "w", newline="") as f:
            f.write("[SETUP]\r\nname=%s\r\n%s" % (name, setup))
        with open(os.path.join(box, "MEMBERS.INI"), "w", newline="") as f:
            f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % name)
        for text in ("reply.txt", "vacation.txt"):
            with open(os.path.join(box, text), "w", newline="") as f:
                f.write("%s from %s\r\n" % (text, name))

    # Helpers ---------------------------------------------------------------------------------

    def box(self, account):
        out = []
        for path in files(self.home, "MAILIN", account, "[mM]*.[mM][iI][mM]"):
            with open(path, "rb") as f:
                out.append(f.read())
        return out

    def outbound(self, queue="MAILHUB"):
        out = []
        for path in files(self.home, "OUTQUEUE", queue, "[mM]*.[mM][iI][mM]"):
            with open(path, "rb") as f:
                text = f.read()
            name = os.path.basename(path)
            envelope = os.path.join(os.path.dirname(path), ("I" if name[0] == "M" else "i") + name[1:])
            out.append((read_ini(envelope, "TO", "0"), text))
        return out

    def queued(self):
        return files(self.home, "INQUEUE", "[mM]*.[tT][mM][pP]")

    def swaks(self, sender, to, data):
        r = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
                            "--from", sender, "--to", to, "--data", data],
                           capture_output=True, text=True, timeout=60)
        self.assertIn("250 OK", r.stdout, r.stdout + r.stderr)

    def settle(self):
        """Waits for two more complete distributions: a probe is stored only by a run that
        served every item queued before it."""
        for _ in range(2):
            before = len(self.box("probe"))
            with smtplib.SMTP("127.0.0.1", self.port, timeout=30) as s:
                s.sendmail("zoe@far.test", ["probe@example.test"], b"Subject: probe\r\n\r\nprobe\r\n")
            self.assertTrue(wait_for(lambda: len(self.box("probe")) > before, timeout=60), "probe not distributed")


class RespondersTest(DistributionRulesTest):
    ACCOUNTS = {
        "ping": "AutoReply=1\r\nAutoReplyFilename=reply.txt\r\n",
        "pong": "AutoReply=1\r\nAutoReplyFilename=reply.txt\r\n",
        "echo": "AutoReply=1\r\nAutoReplyFilename=reply.txt\r\nVacation=1\r\n",
        "sun": "Vacation=1\r\n",
        "sea": "Vacation=1\r\n",
    }

    def test_two_auto_repliers_and_an_account_writing_to_itself_answer_once_at_most(self):
        self.swaks("pong@example.test", "ping@example.test",
                   "From: pong@example.test\r\nTo: ping@example.test\r\nSubject: hi\r\n\r\nhello\r\n")
        self.swaks("echo@example.test", "echo@example.test",
                   "From: echo@example.test\r\nTo: echo@example.test\r\nSubject: me\r\n\r\nnote\r\n")
        self.assertTrue(wait_for(lambda: self.box("pong"), timeout=60))
        self.settle()
        self.assertEqual(len(self.box("ping")), 1)
        [reply] = self.box("pong")
        self.assertIn(b"\r\nSubject: Re: hi\r\nAuto-Submitted: auto-replied\r\n\r\nreply.txt from ping\r\n", reply)
        self.assertEqual(len(self.box("echo")), 1)  # its own message; no reply to itself
        # The last probe's item goes right after its copy is stored.
        self.assertTrue(wait_for(lambda: not self.queued(), timeout=30), self.queued())
        self.assertEqual(self.outbound(), [])

    def test_two_vacations_answer_each_other_once_and_one_sender_once(self):
        self.swaks("sea@example.test", "sun@example.test",
                   "From: sea@example.test\r\nTo: sun@example.test\r\nSubject: beach\r\n\r\nx\r\n")
        self.assertTrue(wait_for(lambda: self.box("sea"), timeout=60))
        for i in range(3):
            self.swaks("zoe@far.test", "sun@example.test",
                       "From: Zoe <zoe@far.test>\r\nTo: sun@example.test\r\nSubject: %d\r\n\r\nx\r\n" % i)
        self.settle()
        self.assertEqual(len(self.box("sun")), 4)
        [answer] = self.box("sea")
        self.assertIn(b"Auto-Submitted: auto-replied\r\n\r\nvacation.txt from sun\r\n", answer)
        replies = self.outbound()
        self.assertEqual([to for to, _ in replies], ["zoe@far.test"])
        self.assertIn(b"\r\nSubject: Re: 0\r\nAuto-Submitted: auto-replied\r\n", replies[0][1])
        with open(self.home.path("MAILIN", "sun", "vacation.sent"), "rb") as f:  # sun's memory
            remembered = f.read().split(b"\r\n")
        self.assertEqual(sorted(re.sub(rb"^\d+ ", b"", e) for e in remembered), [b"", b"sea@example.test", b"zoe@far.test"])
        # The last probe's item goes right after its copy is stored.
        self.assertTrue(wait_for(lambda: not self.queued(), timeout=30), self.queued())

    def test_automatic_and_bulk_mail_from_outside_gets_no_answer(self):
        for header in (b"Auto-Submitted: auto-replied", b"Precedence: bulk", b"List-Id: <l.far.test>"):
            self.swaks("robot@far.test", "echo@example.test",
                       (b"From: robot@far.test\r\n%s\r\nSubject: auto\r\n\r\nx\r\n" % header).decode())
        with smtplib.SMTP("127.0.0.1", self.port, timeout=30) as s:  # the null sender
            s.sendmail("", ["ping@example.test"], b"From: someone@far.test\r\nSubject: bounce\r\n\r\nx\r\n")
        self.settle()
        self.assertEqual(len(self.box("echo")), 3)
        self.assertEqual(len(self.box("ping")), 1)
        self.assertEqual(self.outbound(), [])
        self.assertFalse(os.path.exists(self.home.path("MAILIN", "echo", "vacation.sent")))


class ForwardTest(DistributionRulesTest):
    ACCOUNTS = {
        "fwd": "AutoCopy=1\r\nAutoForwardAddress=nobody@example.test, pat@partner.test\r\n",
    }

    def test_one_bad_forward_target_is_the_only_thing_tried_again(self):
        self.swaks("zoe@far.test", "fwd@example.test", "From: zoe@far.test\r\nSubject: fw\r\n\r\nforwarded\r\n")
        self.assertTrue(wait_for(lambda: self.box("fwd") and self.outbound("partner_test.000"), timeout=60))
        self.settle()
        self.assertEqual(len(self.box("fwd")), 1)
        self.assertEqual([to for to, _ in self.outbound("partner_test.000")], ["pat@partner.test"])
        [item] = self.queued()
        envelope = os.path.join(os.path.dirname(item), "R" + os.path.basename(item)[1:])
        self.assertEqual(read_ini(envelope, "To", "n"), "1")
        self.assertEqual(read_ini(envelope, "To", "0"), "fwd@example.test")
        self.assertEqual(read_ini(envelope, "Steps", "0"), "forward nobody@example.test")

        # The target gets an account: the next run serves it alone, and the item is done.
        with open(self.home.path("mailbox.cfg"), "a", newline="") as f:
            f.write("nobody:*:0\r\n")
        self.add_account("nobody", "")
        self.home.post(self.server.pid, 1, 1008)
        self.assertTrue(wait_for(lambda: self.box("nobody") and not self.queued(), timeout=60))
        self.settle()
        [copy] = self.box("nobody")
        self.assertIn(b"\r\n\r\nforwarded\r\n", copy)
        self.assertEqual(len(self.box("fwd")), 1)
        self.assertEqual(len(self.outbound("partner_test.000")), 1)
        self.assertEqual(self.queued(), [])


class NoPostmasterTest(DistributionRulesTest):
    ACCOUNTS = {"alice": ""}
    MASTER = False

    def test_a_notice_without_postmaster_is_logged_and_dropped(self):
        self.assertTrue(wait_for(lambda: "postmaster account (master) does not exist" in self.home.message_log()),
                        self.home.message_log())
        queue_item(self.home, 700000,
                   b"From: zoe@far.test\r\nSubject: lost and found\r\n\r\nbody\r\n",
                   b"[From]\r\nFrom=zoe@far.test\r\nSubject=lost\r\n[To]\r\nn=2\r\n"
                   b"0=ghost@example.test\r\n1=alice@example.test\r\n")
        self.assertTrue(wait_for(lambda: self.box("alice") and not self.queued(), timeout=60))
        self.settle()
        [stored] = self.box("alice")
        self.assertIn(b"Subject: lost and found\r\n", stored)
        self.assertEqual(self.queued(), [])
        self.assertEqual(glob.glob(self.home.path("INQUEUE", "[bBmMrR]*")), [])
        with open(self.home.path("error.log"), encoding="latin-1") as f:
            log = f.read()
        self.assertEqual(log.count("Notice to the postmaster dropped"), 1, log)
        self.assertIn("Invalid local address [ghost@example.test]", log)
        self.assertEqual(files(self.home, "MAILIN", "master", "*"), [])


class FilesTest(DistributionRulesTest):
    ACCOUNTS = {"alice": "Password=open sesame\r\n"}

    def fetch(self, user, password):
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=30)
        try:
            p.user(user)
            p.pass_(password)
            return [b"\r\n".join(p.retr(i + 1)[1]) + b"\r\n" for i in range(p.stat()[0])]
        finally:
            p.quit()

    def test_a_clear_text_password_is_scrambled_at_load(self):
        with open(self.home.path("MAILIN", "alice", "MAILBOX.INI"), encoding="latin-1") as f:
            ini = f.read()
        self.assertNotIn("open sesame", ini)
        self.assertNotRegex(ini, r"(?im)^password\s*=")
        self.assertRegex(ini, r"(?m)^pwd=2[A-P]+\r?$")
        self.assertEqual(self.fetch("alice", "open sesame"), [])  # the scrambled password works

    def check_attachment(self, raw, data, tmp):
        """The message has CR LF lines only, and its uuencoded part decodes to `data` with the
        email package and with sharutils' uudecode."""
        self.assertIsNone(re.search(rb"[^\r]\n", raw), "a bare LF in the message")
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        parts = [p for p in message.walk() if p.get_filename() == "data.bin"]
        self.assertEqual(len(parts), 1)
        self.assertEqual(parts[0].get("Content-Transfer-Encoding").lower(), "x-uuencode")
        self.assertEqual(parts[0].get_payload(decode=True), data)
        encoded = os.path.join(tmp, "part.uu")
        with open(encoded, "wb") as f:
            f.write(parts[0].get_payload(decode=False).encode("latin-1"))
        decoded = os.path.join(tmp, "decoded.bin")
        r = subprocess.run(["uudecode", "-o", decoded, encoded], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(decoded, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_a_uuencoded_attachment_decodes_with_uudecode_and_the_email_package(self):
        data = bytes((i * 7 + 3) % 256 for i in range(10000))
        with tempfile.TemporaryDirectory() as tmp:
            source = os.path.join(tmp, "data.bin")
            with open(source, "wb") as f:
                f.write(data)
            # To a remote address the item goes straight into the route's queue, as it will be sent.
            for recipient in ("alice", "pat@far.test"):
                r = subprocess.run([ATTACHMENT_WRITER, self.home.home, "example.test", recipient, source, "uu",
                                    "Here it is."], capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.settle()
            [(to, outbound)] = self.outbound()  # the relay host's queue: far.test has no record
            self.assertEqual(to, "pat@far.test")
            self.check_attachment(outbound, data, tmp)
            [fetched] = self.fetch("alice", "open sesame")  # through the mailbox and POP3
            self.check_attachment(fetched, data, tmp)

    def test_a_line_of_one_and_a_half_mebibytes_is_copied_intact(self):
        # Such a line cannot come over SMTP (RFC 5321 4.5.3.1.6); it comes from a writer of
        # INQUEUE such as the UUCP gateway. The mailbox copy, the outbound copy and the
        # postmaster's notice about the unknown recipient each hold it whole.
        line = (b"0123456789abcdef" * (1536 * 1024 // 16)) + b"!"
        message = b"From: zoe@far.test\r\nTo: alice@example.test\r\nSubject: long\r\n\r\n" + line + b"\r\nend\r\n"
        queue_item(self.home, 700001, message,
                   b"[From]\r\nFrom=zoe@far.test\r\n[To]\r\nn=3\r\n0=alice@example.test\r\n"
                   b"1=pat@partner.test\r\n2=ghost@example.test\r\n")
        self.settle()
        self.assertTrue(wait_for(lambda: self.box("alice") and self.outbound("partner_test.000")
                                 and self.box("master") and not self.queued(), timeout=60))
        for copy in (self.box("alice")[0], self.outbound("partner_test.000")[0][1], self.box("master")[0]):
            self.assertIn(b"\r\n\r\n" + line + b"\r\nend\r\n", copy)

if __name__ == "__main__":
    unittest.main()
