"""The POP3 client of the running server against Dovecot's POP3 server on 127.0.0.4:110 (in the
private network namespace of run_isolated.sh): remote mailboxes collected into local mailboxes
with delete on and off, the shared collection of $default into INQUEUE and on to the accounts
named in To/Cc, a refused password, foreign-only mail, a two-dot line, an over-long line, and
two runs for one account started at once. Dovecot is started by the test and stopped by its
process id."""

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from harness import Home, wait_for
from peers import open_way_for_others
from test_smtp import free_port, listening

PEER_CONF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dovecot-pop3-peer.conf")
ADDR = "127.0.0.4"
SLACK = 60  # seconds: far above what a collection of a few messages needs on a loaded machine


def scramble(password, r=0x5C):
    """The account files' password scramble "2": a random byte, then each byte XOR the random
    byte and the key (0x5A + i) XOR (0x33 + i), each byte as two letters "A" + nibble."""
    def put(b):
        return chr(ord("A") + (b >> 4)) + chr(ord("A") + (b & 0x0F))
    out = "2" + put(r)
    for i, ch in enumerate(password.encode("latin-1")):
        out += put(ch ^ r ^ (((0x5A + i) & 0xFF) ^ ((0x33 + i) & 0xFF)))
    return out


def accepting(address, port):
    try:
        socket.create_connection((address, port), timeout=1).close()
        return True
    except OSError:
        return False


class Dovecot:
    """Dovecot's POP3 server with one Maildir per remote user, in a directory of its own."""

    def __init__(self, users):
        self.dir = tempfile.mkdtemp(prefix="qvdove.")
        open_way_for_others(self.dir)
        for d in ("run", "state"):
            os.makedirs(os.path.join(self.dir, d))
        with open(os.path.join(self.dir, "users"), "w") as f:
            for user, password in users.items():
                f.write("%s:{PLAIN}%s\n" % (user, password))
                for sub in ("new", "cur", "tmp"):
                    os.makedirs(os.path.join(self.dir, "mail", user, "Maildir", sub))
        with open(PEER_CONF) as f:
            conf = f.read()
        conf = conf.replace("@D@", self.dir).replace("@ADDR@", ADDR).replace("@PORT@", "110")
        with open(os.path.join(self.dir, "dovecot.conf"), "w") as f:
            f.write(conf)
        self.count = 0
        self.proc = None

    def put(self, user, message):
        """Drops `message` (bytes, CR LF lines) into the user's Maildir; messages get numbers in
        the order they are put."""
        self.count += 1
        name = "%d.M%dP1.peer" % (1000000000 + self.count, self.count)
        path = os.path.join(self.dir, "mail", user, "Maildir", "new", name)
        with open(path, "wb") as f:
            f.write(message)

    def start(self):
        subprocess.run(["chown", "-R", "nobody:nogroup", os.path.join(self.dir, "mail")], check=True)
        if accepting(ADDR, 110):
            raise RuntimeError("%s:110 is taken already" % ADDR)
        self.proc = subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c",
                                      os.path.join(self.dir, "dovecot.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: accepting(ADDR, 110) or self.proc.poll() is not None, SLACK):
            raise RuntimeError("dovecot did not start")
        if self.proc.poll() is not None:
            raise RuntimeError("dovecot ended at once: " + self.log())

    def remaining(self, user):
        """The messages still in the remote mailbox (new and cur), as stored."""
        out = []
        for sub in ("new", "cur"):
            for path in sorted(glob.glob(os.path.join(self.dir, "mail", user, "Maildir", sub, "*"))):
                with open(path, "rb") as f:
                    out.append(f.read())
        return out

    def log(self):
        try:
            with open(os.path.join(self.dir, "dovecot.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)  # the master stops its children
            try:
                self.proc.wait(timeout=SLACK)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=SLACK)
        shutil.rmtree(self.dir, ignore_errors=True)


def message(to, subject, body, cc=None):
    # With Message-Id and Date, distribution adds nothing: every copy is byte for byte.
    head = (b"Message-Id: <%s@remote.test>\r\nDate: Mon, 7 Dec 2026 08:00:00 +0000\r\n"
            b"From: sender@remote.test\r\nTo: " % subject + to + b"\r\n")
    if cc:
        head += b"Cc: " + cc + b"\r\n"
    return head + b"Subject: " + subject + b"\r\n\r\n" + body


def mailbox(home, account):
    out = []
    for path in sorted(glob.glob(home.path("MAILIN", account, "[mM]*.[mM][iI][mM]"))):
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def after_own_lines(stored):
    """A stored message without the status line and the client's two "Received:" lines."""
    return stored.split(b"\r\n", 3)[3]


class Pop3ClientTest(unittest.TestCase):
    def setUp(self):
        self.dovecot = Dovecot({"ruth": "pw1", "sam": "pw2", "pool": "pw3", "long": "pw4"})
        self.addCleanup(self.dovecot.stop)
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        self.addCleanup(self.home.close)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=1\r\nLocalName=mail.example.test\r\n"
                    "pop3client=1\r\npopclog=1\r\nlowpopclog=1\r\npop3timeout=30\r\n")
        names = ("master", "alice", "bob", "carol")
        with open(self.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("".join("%s:*:0\r\n" % n for n in names))
        for user in names:
            os.makedirs(self.home.path("MAILIN", user), exist_ok=True)
            with open(self.home.path("MAILIN", user, "MEMBERS.INI"), "w", newline="") as f:
                f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % user)
        # alice: ruth with delete on, then a slot with a refused password; bob: sam, delete off;
        # carol: the over-long line; $default: pool, delete on.
        self.slots("alice", ["*1\t*ruth\t*%s\t*%s\t*1" % (scramble("pw1"), ADDR),
                             "*0\t*ruth\t*%s\t*%s\t*1" % (scramble("pw1"), ADDR),
                             "*1\t*ruth\t*%s\t*%s\t*1" % (scramble("wrong"), ADDR)])
        self.slots("bob", ["*1\t*sam\t*%s\t*%s\t*0" % (scramble("pw2"), ADDR)])
        self.slots("carol", ["*1\t*long\t*%s\t*%s\t*1" % (scramble("pw4"), ADDR)])
        self.slots("$default", ["*1\t*pool\t*%s\t*%s\t*1" % (scramble("pw3"), ADDR)])

    def slots(self, account, values):
        os.makedirs(self.home.path("MAILIN", account), exist_ok=True)
        with open(self.home.path("MAILIN", account, "MAILBOX.INI"), "a", newline="") as f:
            f.write("[POP3ACC]\r\n")
            for i, v in enumerate(values):
                f.write("acc%d=%s\r\n" % (i + 1, v))

    def start_server(self):
        self.dovecot.start()
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port), SLACK))
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == self.server.pid, SLACK))

    def command(self, *lines):
        r = subprocess.run([os.environ.get("QUORVALE_BIN", "quorvale"), "-command", *lines],
                           env=self.home.env(), capture_output=True, text=True, timeout=SLACK)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def log(self, name):
        try:
            with open(self.home.path(name), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def test_accounts_collect_with_delete_on_and_off_and_the_shared_collection_distributes(self):
        ruth = [message(b"ruth@remote.test", b"r%d" % i, b"line %d\r\n" % i) for i in (1, 2)]
        ruth.append(message(b"ruth@remote.test", b"dots", b".\r\n..\r\n.x\r\nend\r\n"))
        for m in ruth:
            self.dovecot.put("ruth", m)
        sam = [message(b"sam@remote.test", b"s%d" % i, b"keep %d\r\n" % i) for i in (1, 2)]
        for m in sam:
            self.dovecot.put("sam", m)
        pool = [message(b"\"Alice\" <alice@example.test>, x@far.test", b"p1", b"to both\r\n",
                        cc=b"Bob <bob@example.test>"),
                message(b"x@far.test", b"p2", b"foreign only\r\n", cc=b"y@other.test")]
        for m in pool:
            self.dovecot.put("pool", m)
        self.start_server()

        self.command("GetPop3Mail alice", "GetPop3Mail bob", "GetPop3Mail -")
        # alice: ruth's three, the shared message, the notice; bob: sam's two, the shared one.
        self.assertTrue(wait_for(lambda: len(mailbox(self.home, "alice")) == 5
                                 and len(mailbox(self.home, "bob")) == 3, SLACK),
                        self.log("popclow.log"))
        # Collected last first: in the mailbox's numbering the remote mailbox's last message
        # comes first (the shared message and the notice may come between, by distribution).
        alice = [after_own_lines(m) for m in mailbox(self.home, "alice")]
        self.assertEqual([m for m in alice if m in ruth], ruth[::-1])
        self.assertIn(pool[0], alice)  # through INQUEUE and distribution, unchanged
        # The line "." went over the wire as two dots (RFC 1939 3) and is stored as one again.
        self.assertIn(b"\r\n\r\n.\r\n..\r\n.x\r\nend\r\n", alice[alice.index(ruth[2])])
        self.assertIn(": Received: ..\n", self.log("popclow.log").replace("\r", ""))
        first = mailbox(self.home, "alice")[alice.index(ruth[2])]
        self.assertTrue(first.startswith(b"X-IStatus:00000000000000000003\r\nReceived: from "
                                         b"127.0.0.4 by mail.example.test with POP3 ("), first)
        bob = [after_own_lines(m) for m in mailbox(self.home, "bob")]
        self.assertEqual([m for m in bob if m in sam], sam[::-1])
        self.assertIn(pool[0], bob)
        # Remote state: ruth emptied (delete on), sam kept (delete off), the foreign-only
        # message of the shared collection left on the server.
        self.assertTrue(wait_for(lambda: self.dovecot.remaining("ruth") == [], SLACK))
        self.assertEqual(len(self.dovecot.remaining("sam")), 2)
        self.assertTrue(wait_for(lambda: len(self.dovecot.remaining("pool")) == 1, SLACK))
        self.assertEqual(self.dovecot.remaining("pool")[0].replace(b"\r\n", b"\n"),
                         pool[1].replace(b"\r\n", b"\n"))
        con = self.log("popccon.log")
        self.assertIn("Account pool does not exist. Message from=pool@127.0.0.4 not distributed",
                      con)
        self.assertIn("3 Message(s) received from=ruth@127.0.0.4 to=alice", con)
        self.assertIn("2 Message(s) received from=sam@127.0.0.4 to=bob", con)
        # alice's third slot has a wrong password: one POP3 ERROR line, one notice.
        self.assertEqual(con.count("POP3 ERROR: account=alice, from=ruth@127.0.0.4"), 1, con)
        notices = [m for m in mailbox(self.home, "alice") if b"ERROR checking POP3 account" in m]
        self.assertEqual(len(notices), 1)
        self.assertNotIn("pw1", self.log("popclow.log"))

    def test_overlong_line_drops_the_message_and_stops_the_mailbox(self):
        self.dovecot.put("long", message(b"carol@example.test", b"fine", b"short\r\n"))
        self.dovecot.put("long", message(b"carol@example.test", b"long", b"z" * 2047 + b"\r\n"))
        self.start_server()
        self.command("GetPop3Mail carol")
        self.assertTrue(wait_for(lambda: "thread stop" in self.log("popclow.log"), SLACK))
        self.assertEqual(mailbox(self.home, "carol"), [])
        self.assertEqual(glob.glob(self.home.path("MAILIN", "carol", "[bB~]*")), [])
        low = self.log("popclow.log")
        self.assertIn("Sending: RETR 2", low)
        self.assertNotIn("Sending: RETR 1", low)  # the mailbox stopped at the broken message
        self.assertEqual(len(self.dovecot.remaining("long")), 2)

    def test_two_runs_for_one_account_started_at_once_collect_each_message_once(self):
        sam = [message(b"sam@remote.test", b"s%d" % i, b"once %d\r\n" % i) for i in range(1, 6)]
        for m in sam:
            self.dovecot.put("sam", m)
        self.start_server()
        # One batch: the lines run back to back; the second and the third (the name in
        # another case) find bob's collection running and start nothing.
        self.command("GetPop3Mail bob", "GetPop3Mail bob", "GetPop3Mail BOB")
        self.assertTrue(wait_for(lambda: self.log("popclow.log").count("thread stop") >= 1, SLACK))
        self.assertTrue(wait_for(lambda: len(mailbox(self.home, "bob")) == 5, SLACK))
        self.assertEqual(self.log("popclow.log").count("thread start"), 1)
        self.assertEqual(sorted(after_own_lines(m) for m in mailbox(self.home, "bob")), sorted(sam))
        self.assertEqual(len(self.dovecot.remaining("sam")), 5)  # delete off

    def test_timers_start_the_shared_and_the_users_collections(self):
        # Both periods are due on the first tick after start.
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("pop3clidelay=60\r\npop3usrdelay=60\r\n")
        self.dovecot.put("sam", message(b"sam@remote.test", b"t1", b"timer\r\n"))
        self.dovecot.put("pool", message(b"carol@example.test", b"t2", b"shared\r\n"))
        self.start_server()
        self.assertTrue(wait_for(lambda: len(mailbox(self.home, "bob")) == 1
                                 and len(mailbox(self.home, "carol")) == 1, SLACK),
                        self.log("popclow.log"))
        self.assertEqual(after_own_lines(mailbox(self.home, "carol")[0]),
                         message(b"carol@example.test", b"t2", b"shared\r\n"))

    def collect_many(self, count):
        msgs = [message(b"ruth@remote.test", b"m%03d" % i, b"body %d\r\n" % i * 40)
                for i in range(count)]
        for m in msgs:
            self.dovecot.put("ruth", m)
        self.start_server()
        self.command("GetPop3Mail alice")
        self.assertTrue(wait_for(lambda: len(mailbox(self.home, "alice")) >= 5, SLACK))
        return msgs

    def assert_whole_copies(self, msgs):
        stored = [after_own_lines(m) for m in mailbox(self.home, "alice")]
        for m in stored:
            self.assertIn(m, msgs)  # every visible message is complete
        self.assertEqual(len(set(stored)), len(stored))
        return stored

    def test_stop_while_collecting_ends_after_the_current_message_and_loses_nothing(self):
        msgs = self.collect_many(300)
        self.server.send_signal(signal.SIGTERM)
        self.server.wait(timeout=SLACK)
        stored = self.assert_whole_copies(msgs)
        self.assertLess(len(stored), len(msgs), "the run was not cut short")
        # The server heard QUIT: exactly what was stored is gone from the remote mailbox.
        remote = [m.replace(b"\r\n", b"\n") for m in self.dovecot.remaining("ruth")]
        local = [m.replace(b"\r\n", b"\n") for m in stored]
        self.assertEqual(sorted(remote + local), sorted(m.replace(b"\r\n", b"\n") for m in msgs))
        self.assertEqual(glob.glob(self.home.path("MAILIN", "alice", "[bB~]*")), [])

    def test_killed_while_collecting_leaves_only_whole_messages_and_all_on_the_server(self):
        msgs = self.collect_many(300)
        self.server.send_signal(signal.SIGKILL)
        self.server.wait(timeout=SLACK)
        stored = self.assert_whole_copies(msgs)
        self.assertGreaterEqual(len(stored), 5)
        # No QUIT was sent: the server deletes nothing (RFC 1939 6), so nothing is lost.
        self.assertEqual(len(self.dovecot.remaining("ruth")), len(msgs))
        # A restart clears what the killed writer left (its busy marker and part file).
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == self.server.pid, SLACK))
        self.assertTrue(wait_for(
            lambda: glob.glob(self.home.path("MAILIN", "alice", "[bB~]*")) == [], SLACK))
        self.assert_whole_copies(msgs)


if __name__ == "__main__":
    unittest.main()
