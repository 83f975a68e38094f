"""Least privilege: what the server writes is its own alone whatever the umask, files that others
can read are named at start-up and closed by -tighten, and a server started by root with a service
user binds ports 25 and 110, becomes that user, and still takes and serves mail."""

import fcntl
import glob
import os
import poplib
import stat
import subprocess
import unittest

from harness import Home, converse, wait_for
from test_smtp import free_port, listening

NOBODY = 65534  # Debian's nobody and nogroup


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)


def add_alice(home, password=None):
    os.makedirs(home.path("MAILIN", "alice"), exist_ok=True)
    write(home.path("MAILIN", "alice", "MEMBERS.INI"),
          "[ALIAS]\r\nn=1\r\n0=*\talice@example.test\r\n[END_ALIAS]\r\n")
    if password:
        write(home.path("MAILIN", "alice", "MAILBOX.INI"), "[SETUP]\r\nPassword=%s\r\n" % password)


def swaks(port, to, subject, wait=True, sender="zoe@far.test"):
    args = ["swaks", "--server", "127.0.0.1:%d" % port, "--helo", "client.test",
            "--from", sender, "--to", to,
            "--data", "From: %s\r\nTo: %s\r\nSubject: %s\r\n\r\nhello\r\n" % (sender, to, subject)]
    if not wait:
        return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    r = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    return r


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def status_ids(pid):
    """The Uid, Gid and Groups lines of /proc/<pid>/status."""
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("Uid", "Gid", "Groups"):
                out[key] = value.split()
    return out


class PrivateModesTest(unittest.TestCase):
    """The home is made, and the server started, under umask 000."""

    def setUp(self):
        self.old_umask = os.umask(0)
        self.port, self.pop3 = free_port(), free_port()
        self.home = Home(smtp_port=self.port, pop3_port=self.pop3)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nsmtplog=1\r\npoplog=1\r\n")
        # The account list only as passwd: start-up converts it and saves every account file.
        write(self.home.path("passwd"), "alice:::::alice\r\n")
        add_alice(self.home)
        # What the test made (inodes, and names that the server may replace). Each stays open,
        # so that no file the server makes can get the inode number of a removed one.
        self.made, self.made_names, self.held = set(), set(), []
        for top, dirs, files in os.walk(self.home.root):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                self.held.append(os.open(name, os.O_RDONLY))
                self.made.add(os.fstat(self.held[-1]).st_ino)
                self.made_names.add(name)
        self.assertEqual(mode(self.home.path("passwd")), 0o666)
        self.assertEqual(mode(self.home.home), 0o777)

    def tearDown(self):
        os.umask(self.old_umask)
        for fd in self.held:
            os.close(fd)
        self.home.close()

    def check_private(self, path):
        st = os.lstat(path)
        if stat.S_ISDIR(st.st_mode):
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o700, path)
        elif stat.S_ISSOCK(st.st_mode):
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o660, path)  # the signal socket
        else:
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600, path)

    def test_every_kind_of_file_the_server_writes_is_private(self):
        server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port) and listening(self.pop3)))
        seen = {}  # kind -> paths checked while they existed

        # Mid-DATA: the busy marker and the message under its temporary name.
        import socket
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        try:
            f = s.makefile("rb")
            f.readline()
            for line in (b"HELO client.test", b"MAIL FROM:<zoe@far.test>",
                         b"RCPT TO:<alice@example.test>", b"DATA"):
                s.sendall(line + b"\r\n")
                f.readline()
            s.sendall(b"Subject: half\r\n\r\nfirst lines\r\n")
            inqueue = lambda: glob.glob(self.home.path("INQUEUE", "*"))
            self.assertTrue(wait_for(lambda: any("B" == os.path.basename(p)[0] for p in inqueue())))
            for p in inqueue():
                self.check_private(p)
                seen.setdefault(os.path.basename(p)[0], []).append(p)
            s.sendall(b".\r\nQUIT\r\n")
            self.assertTrue(f.readline().startswith(b"250"))
        finally:
            s.close()
        self.assertIn("B", seen)  # busy marker
        self.assertTrue({"M", "~"} & set(seen), seen)  # the message being written

        # The item under its final names: the test holds alice's numbering lock, so the
        # distribution waits (up to five seconds) and the message and its envelope stay queued.
        # The lock appears already locked (made and locked under another name, then renamed),
        # as the server's own do: an unlocked one would be taken for a dead writer's.
        box = lambda: glob.glob(self.home.path("MAILIN", "alice", "[mM]*.[mM][iI][mM]"))
        self.assertTrue(wait_for(lambda: len(box()) == 1, timeout=30))
        hidden = self.home.path("MAILIN", "alice", ".test-lock")
        lock = os.open(hidden, os.O_CREAT | os.O_RDWR, 0o600)
        fcntl.flock(lock, fcntl.LOCK_EX)
        os.rename(hidden, self.home.path("MAILIN", "alice", "useqf.tri"))
        try:
            sender = swaks(self.port, "alice@example.test", "queued", wait=False)
            items = lambda: [p for p in glob.glob(self.home.path("INQUEUE", "*"))
                             if os.path.basename(p)[0] in "MR"]
            self.assertTrue(wait_for(lambda: {os.path.basename(p)[0] for p in items()} >= {"M", "R"},
                                     timeout=20, step=0.01))
            for p in items():
                self.check_private(p)
        finally:
            os.unlink(self.home.path("MAILIN", "alice", "useqf.tri"))
            os.close(lock)
        sender.wait(timeout=60)

        # Outbound queue item with its envelope; mailbox messages; a POP3 session for its log.
        swaks(self.port, "pat@elsewhere.test", "out", sender="alice@example.test")
        outq = lambda: glob.glob(self.home.path("OUTQUEUE", "MAILHUB", "*"))
        self.assertTrue(wait_for(lambda: {os.path.basename(p)[0].upper() for p in outq()} >= {"M", "I"}))
        self.assertTrue(wait_for(lambda: len(box()) == 2, timeout=30))
        self.assertIn("+OK", converse(self.pop3, [b"USER alice\r\n", b"PASS wrong\r\n", b"QUIT\r\n"]))
        self.assertTrue(wait_for(lambda: os.path.exists(self.home.path("popcon.log"))))

        server.terminate()
        server.wait(timeout=30)

        # Every entry the server made, whichever kind, and the kinds that must be there.
        checked = set()
        for top, dirs, files in os.walk(self.home.home):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                if os.lstat(name).st_ino in self.made or name in checked:
                    continue  # the test's own file (or a backup link to it)
                checked.add(name)
                if name in self.made_names:
                    # A file of the test that the server replaced: the group keeps its part.
                    self.assertEqual(mode(name) & 0o007, 0, name)
                else:
                    self.check_private(name)
        names = {os.path.relpath(p, self.home.home) for p in checked}
        for want in ("INQUEUE", "OUTQUEUE", "OUTQUEUE/MAILHUB", "COMMAND", "mailbox.cfg", "passwd",
                     "aliases", "MAILIN/alice/MAILBOX.INI", "MAILIN/alice/MEMBERS.INI",
                     "smtpcon.log", "popcon.log", "message.log", "QUORVALE.INI"):
            self.assertIn(want, names)
        kinds = lambda d: {n.split("/")[-1][0].upper() for n in names if n.startswith(d + "/")}
        self.assertLessEqual({"M", "I"}, kinds("OUTQUEUE/MAILHUB"))
        self.assertIn("M", kinds("MAILIN/alice"))
        # The test's own files, made under umask 000, were named once at start-up.
        log = self.home.message_log()
        self.assertEqual(log.count("can be read by every user of this machine"), 1, log)
        self.assertIn(self.home.path("NEXUM2.INI"), log)
        self.assertIn(self.home.home + ",", log)  # the home directory itself

    def test_tighten_closes_what_others_can_read_and_the_next_start_is_quiet(self):
        r = self.home.run("-tighten")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("private", r.stdout + r.stderr)
        self.assertEqual(mode(self.home.home), 0o770)  # the group keeps its part
        self.assertEqual(mode(self.home.path("passwd")), 0o660)
        self.assertEqual(mode(self.home.path("MAILIN", "alice", "MEMBERS.INI")), 0o660)
        server = self.home.start("-service")
        self.assertTrue(wait_for(lambda: "Server started" in self.home.message_log(), timeout=30))
        server.terminate()
        server.wait(timeout=30)
        self.assertNotIn("can be read by every user", self.home.message_log())


@unittest.skipUnless(os.geteuid() == 0, "needs root")
class ServiceUserTest(unittest.TestCase):
    """Started as root: ports 25 and 110 in this private network namespace are free."""

    def setUp(self):
        self.home = Home(smtp_port=25, pop3_port=110)
        os.chmod(self.home.root, 0o755)  # the service user must reach its home below it

    def tearDown(self):
        self.home.close()

    def locator(self, extra):
        write(os.path.join(self.home.windir, "TORVIK.INI"),
              "[Settings]\r\nHomeDir=%s\r\n%s" % (self.home.home, extra))

    def test_root_binds_ports_below_1024_then_runs_as_the_service_user_and_serves_mail(self):
        self.locator("ServiceUser=nobody\r\nServiceGroup=nogroup\r\n")
        write(self.home.path("mailbox.cfg"), "alice:*:0\r\n")
        add_alice(self.home, password="secret")
        for top, dirs, files in os.walk(self.home.home):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                os.chown(name, NOBODY, NOBODY)
        server = self.home.start("-service")
        self.assertTrue(wait_for(lambda: listening(25) and listening(110), timeout=30))
        ids = status_ids(server.pid)
        self.assertEqual(ids["Uid"], [str(NOBODY)] * 4)
        self.assertEqual(ids["Gid"], [str(NOBODY)] * 4)
        self.assertEqual(ids["Groups"], [])

        swaks(25, "alice@example.test", "as nobody")
        box = lambda: glob.glob(self.home.path("MAILIN", "alice", "[mM]*.[mM][iI][mM]"))
        # Complete once its busy marker is gone: until then POP3 does not offer it.
        marked = lambda: glob.glob(self.home.path("MAILIN", "alice", "[bB]*"))
        self.assertTrue(wait_for(lambda: len(box()) == 1 and not marked(), timeout=30))
        st = os.stat(box()[0])
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (NOBODY, NOBODY, 0o600))
        p = poplib.POP3("127.0.0.1", 110, timeout=20)
        p.user("alice")
        p.pass_("secret")
        _, lines, _ = p.retr(1)
        p.quit()
        self.assertIn(b"Subject: as nobody", lines)
        self.assertEqual(status_ids(server.pid)["Uid"], [str(NOBODY)] * 4)
        self.assertIn("Running as the service user nobody (uid 65534, gid 65534)",
                      self.home.message_log())
        server.terminate()
        self.assertEqual(server.wait(timeout=30), 0)

    def test_a_switch_that_cannot_be_made_ends_the_start_and_root_without_a_user_is_named(self):
        # An unknown user, and a home the service user cannot write: no start, no port, no file.
        for extra, reason in (("ServiceUser=no-such-user-qv\r\n", "does not exist"),
                              ("ServiceUser=nobody\r\n", "cannot write into the home directory")):
            self.locator(extra)
            r = self.home.run("-service", timeout=60)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(reason, r.stderr)
            self.assertFalse(listening(25))
            self.assertFalse(os.path.exists(self.home.path("message.log")))
        # Root without a service user: it runs, and says so.
        self.locator("")
        server = self.home.start("-service")
        self.assertTrue(wait_for(lambda: "Server started" in self.home.message_log(), timeout=30))
        self.assertIn("Running as root: no service user is named", self.home.message_log())
        self.assertEqual(status_ids(server.pid)["Uid"], ["0"] * 4)
        server.terminate()
        server.wait(timeout=30)


if __name__ == "__main__":
    unittest.main()
