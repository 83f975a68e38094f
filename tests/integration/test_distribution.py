"""Distribution of the inbound queue by the running server: mail sent with swaks reaches the
mailboxes and outbound queues, a queued item from another writer is distributed on request from
the line console, and a server killed at random moments while it distributes loses nothing."""

import glob
import os
import random
import signal
import subprocess
import time
import unittest

from harness import BINARY, Home, queue_item, read_ini, wait_for
from test_smtp import free_port, listening

ACCOUNTS = ("alice", "bob", "carol")


def make_accounts(home, names):
    with open(home.path("mailbox.cfg"), "w", newline="") as f:
        f.write("".join("%s:*:0\r\n" % n for n in ("master",) + tuple(names)))
    for user in ("master",) + tuple(names):
        os.makedirs(home.path("MAILIN", user), exist_ok=True)
        with open(home.path("MAILIN", user, "MEMBERS.INI"), "w", newline="") as f:
            f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % user)


def mailbox(home, account):
    out = []
    for path in sorted(glob.glob(home.path("MAILIN", account, "[mM]*.[mM][iI][mM]"))):
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def queued(home):
    return glob.glob(home.path("INQUEUE", "[mM]*.[tT][mM][pP]"))


class EndToEndTest(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=3600\r\n"
                    "[Domain]\r\nn=1\r\n0=partner.test:mx.partner.test:partner_test.000\r\n")
        make_accounts(self.home, ("alice",))
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port)))

    def tearDown(self):
        self.home.close()

    def test_swaks_mail_reaches_the_mailbox_and_the_route_queue_and_the_console_asks_for_a_run(self):
        # No Message-Id and no Date: the server adds both on the way into the mailbox.
        r = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
             "--from", "zoe@far.test", "--to", "alice@example.test,ghost@example.test,pat@partner.test",
             "--data", "From: zoe@far.test\r\nTo: alice@example.test\r\nSubject: e2e\r\n\r\nhello\r\n"],
            capture_output=True, text=True, timeout=30)
        # An unknown local user is refused while the client is still there to hear it.
        self.assertIn("550 ghost@example.test... Unknown user", r.stdout)
        self.assertIn("250 OK", r.stdout)
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice") and not queued(self.home)))
        [text] = mailbox(self.home, "alice")
        header = text.split(b"\r\n\r\n", 1)[0]
        self.assertRegex(header, rb"\r\nMessage-Id: <[^>\r\n]+>")
        self.assertRegex(header, rb"\r\nDate: \w{3}, \d{1,2} \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}")
        self.assertIn(b"\r\nSubject: e2e\r\n", header)
        self.assertIn(b"\r\n\r\nhello\r\n", text)
        outbound = glob.glob(self.home.path("OUTQUEUE", "partner_test.000", "M*.MIM"))
        self.assertEqual(len(outbound), 1)
        envelope = os.path.join(os.path.dirname(outbound[0]), "I" + os.path.basename(outbound[0])[1:])
        self.assertEqual(read_ini(envelope, "TO", "n"), "1")
        self.assertEqual(read_ini(envelope, "TO", "0"), "pat@partner.test")
        self.assertEqual(read_ini(envelope, "FROM", "From"), "zoe@far.test")

        # An item written into INQUEUE by another writer for a user who has no account: the
        # console asks the server for a run (DeliveryDelay is an hour away), and the postmaster
        # gets the notice with the whole message.
        queue_item(self.home, 500000,
                   b"X-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: lost\r\n\r\nbody\r\n",
                   b"[From]\r\nFrom=zoe@far.test\r\nSubject=lost\r\n[To]\r\nn=1\r\n0=ghost@example.test\r\n")
        console = subprocess.run([BINARY, "-setup"], input="distribute\nexit\n", env=self.home.env(),
                                 capture_output=True, text=True, timeout=30)
        self.assertIn("Distribution started", console.stdout + console.stderr, console.stdout + console.stderr)
        self.assertTrue(wait_for(lambda: any(b"Invalid local address" in m for m in mailbox(self.home, "master"))
                                 and not queued(self.home)), console.stdout + console.stderr + str(os.listdir(self.home.path("INQUEUE"))))
        [notice] = [m for m in mailbox(self.home, "master") if b"Invalid local address" in m]
        self.assertIn(b"\r\nSubject: [MAILER-DAEMON] Invalid local address [ghost@example.test]\r\n", notice)
        self.assertIn(b"\r\n\r\nX-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: lost\r\n\r\nbody\r\n", notice)
        self.assertEqual(glob.glob(self.home.path("INQUEUE", "[bBmMrR]*")), [])


class CrashSafetyTest(unittest.TestCase):
    """200 queued messages for three accounts; the server is killed (SIGKILL) at random moments
    while it distributes them and started again. Every message must reach every mailbox, whole,
    at least once, and the queue must end empty. Duplicates are allowed and counted."""

    MESSAGES = 200

    def message(self, i):
        return (b"X-IStatus:00000000000000000003\r\nMessage-Id: <crash-%d@far.test>\r\n"
                b"Date: Sun, 6 Dec 2026 10:00:00 +0000\r\nFrom: zoe@far.test\r\n"
                b"To: alice@example.test\r\nSubject: crash %d\r\n\r\n" % (i, i) +
                (b"line %d of a body that makes the message about four kilobytes long\r\n" % i) * 55)

    def test_killed_while_distributing_loses_nothing(self):
        rng = random.Random(int(os.environ.get("CRASH_SEED", "20261206")))
        home = Home(smtp_port=0)
        try:
            with open(home.path("NEXUM2.INI"), "a", newline="") as f:
                f.write("DeliveryDelay=1\r\n")
            make_accounts(home, ACCOUNTS)
            os.makedirs(home.path("INQUEUE"))
            for i in range(self.MESSAGES):
                with open(home.path("INQUEUE", "M%07d.TMP" % i), "wb") as f:
                    f.write(self.message(i))
                with open(home.path("INQUEUE", "R%07d.TMP" % i), "wb") as f:
                    f.write(b"[From]\r\nFrom=zoe@far.test\r\nSubject=crash %d\r\n[To]\r\nn=3\r\n" % i +
                            b"".join(b"%d=%s@example.test\r\n" % (k, a.encode()) for k, a in enumerate(ACCOUNTS)))
            with open(home.path("INQUEUE", "useqf"), "w") as f:
                f.write("%d" % self.MESSAGES)

            # Each start distributes after about a second (DeliveryDelay); kill within the run:
            # once it has stored something, after a random moment.
            def stored():
                return sum(len(mailbox(home, a)) for a in ACCOUNTS)
            kills, left = 0, []
            for round_ in range(8):
                if not queued(home):
                    break
                before = stored()
                server = home.start("-server")
                wait_for(lambda: stored() > before or not queued(home), timeout=60, step=0.01)
                time.sleep(rng.uniform(0.0, 0.15))
                server.send_signal(signal.SIGKILL)
                server.wait(timeout=10)
                kills += 1
                left.append(len(queued(home)))
            self.assertGreater(kills, 1)
            server = home.start("-server")
            self.assertTrue(wait_for(lambda: home.published("srvthread") == server.pid))
            self.assertTrue(wait_for(lambda: not queued(home), timeout=120), "INQUEUE not emptied")
            server.terminate()
            self.assertEqual(server.wait(timeout=20), 0)

            expected = {self.message(i): i for i in range(self.MESSAGES)}
            duplicates = 0
            for account in ACCOUNTS:
                seen = {}
                for text in mailbox(home, account):
                    self.assertIn(text, expected, "a partial or altered message in %s" % account)
                    seen[expected[text]] = seen.get(expected[text], 0) + 1
                self.assertEqual(sorted(seen), list(range(self.MESSAGES)), "missing in %s" % account)
                duplicates += sum(n - 1 for n in seen.values())
                leftovers = [n for n in os.listdir(home.path("MAILIN", account))
                             if n[0] in "bB~." or n.endswith(".part")]
                self.assertEqual(leftovers, [], "markers or temporary files left in %s" % account)
            self.assertEqual(glob.glob(home.path("INQUEUE", "[bBrR~]*")), [])
            print("\ncrash test: %d kills (items left after each: %s), %d duplicate copies of %d"
                  % (kills, left, duplicates, 3 * self.MESSAGES))
        finally:
            home.close()


if __name__ == "__main__":
    unittest.main()
