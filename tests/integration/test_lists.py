"""Mailing lists through the running server and real clients: subscription by mail with the
confirmation round trip (swaks to send, poplib to fetch, the reply quoted as a mail program
quotes it), posts to every active member with the rewritten header (read with Python's email
package), moderated and read-only lists, files by mail in each encoding decoded back by Python,
and the command queue's subscribe."""

import email
import email.policy
import email.utils
import glob
import os
import poplib
import re
import subprocess
import unittest

from harness import Home, Terminal, wait_for
from test_smtp import free_port, listening

# Generous: distribution runs every second here, but the machine may be busy.
DEADLINE = 60

PEOPLE = ("master", "mod", "ann", "bob", "cat")
DOCS_TEXT = ("Line one with a trailing blank \r\n"
             "Caf\xe9 cr\xe8me = br\xfbl\xe9e, a line longer than seventy-six characters so that "
             "it must be broken\r\n\tTabbed\r\n").encode("latin-1")
DOCS_BINARY = bytes((i * 37 + 11) % 256 for i in range(5000))


def mailbox_setup(password):
    return "[SETUP]\r\nPassword=%s\r\n" % password


class ListTest(unittest.TestCase):
    def setUp(self):
        self.port, self.pop3 = free_port(), free_port()
        self.home = Home(smtp_port=self.port, pop3_port=self.pop3)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=1\r\n"
                    "[Command]\r\nDelay=1\r\n")
        self.docs = self.home.path("docs")
        os.makedirs(self.docs)
        with open(os.path.join(self.docs, "text.txt"), "wb") as f:
            f.write(DOCS_TEXT)
        with open(os.path.join(self.docs, "data.bin"), "wb") as f:
            f.write(DOCS_BINARY)
        lists = {
            # name: (LIST options, members as (name, address, state))
            "news": ("MailListSubsConf=1\r\nMailListSubsCmd=1\r\nHasFiles=1\r\nIsPublicFiles=1\r\n"
                     "DocsPath=%s\r\n" % self.docs,
                     [("Bob", "bob@example.test", 0), ("", "cat@example.test", 2)]),
            "modl": ("Moderated=1\r\n", [("", "ann@example.test", 0), ("", "bob@example.test", 0)]),
            "notes": ("ReadOnly=1\r\n", [("", "ann@example.test", 0), ("", "bob@example.test", 0)]),
            "bad": ("SubscribeSender=1\r\nModerated=1\r\n", []),
        }
        with open(self.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("".join("%s:*:0\r\n" % n for n in PEOPLE + tuple(lists)))
        for name in PEOPLE:
            self.account(name, mailbox_setup("pw-" + name), ["%s@example.test" % name])
        for name, (options, members) in lists.items():
            self.account(name, "[SETUP]\r\nMailingList=1\r\n[LIST]\r\nversion=2\r\n"
                         "MailListAddress=%s@example.test\r\nModerator=mod@example.test\r\n%s"
                         % (name, options),
                         ["%s@example.test" % name, "%s-request@example.test" % name], members)
        self.server = self.home.start("-server")
        self.terminals = []
        self.probes = 0
        self.assertTrue(wait_for(lambda: listening(self.port) and listening(self.pop3), timeout=30))

    def tearDown(self):
        for t in self.terminals:
            t.close()
        self.home.close()

    def account(self, name, mailbox_ini, aliases, members=None):
        box = self.home.path("MAILIN", name)
        os.makedirs(box, exist_ok=True)
        with open(os.path.join(box, "MAILBOX.INI"), "w", newline="") as f:
            f.write(mailbox_ini)
        text = "[ALIAS]\r\nn=%d\r\n" % len(aliases)
        text += "".join("%d=*\t%s\r\n" % (i, a) for i, a in enumerate(aliases)) + "[END_ALIAS]\r\n"
        if members is not None:
            text += "[MEMBERS]\r\nn=%d\r\n" % len(members)
            text += "".join("%d=%s\t%s\t%d\r\n" % (i, n or "*", a, s) for i, (n, a, s) in enumerate(members))
            text += "[END_MEMBERS]\r\n"
        with open(os.path.join(box, "MEMBERS.INI"), "w", newline="") as f:
            f.write(text)

    # Clients ---------------------------------------------------------------------------------

    def swaks(self, sender, to, data):
        r = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
                            "--from", sender, "--to", to, "--data", data],
                           capture_output=True, text=True, timeout=60)
        self.assertIn("250 OK", r.stdout, r.stdout + r.stderr)

    def fetch(self, user):
        """Every message of the mailbox, parsed; the mailbox is left as it is. The session before
        may still hold the mailbox for a moment after its QUIT: then it is asked again."""
        raws = []

        def session():
            p = poplib.POP3("127.0.0.1", self.pop3, timeout=30)
            try:
                p.user(user)
                try:
                    p.pass_("pw-" + user)
                except poplib.error_proto as e:
                    if "busy" in str(e):
                        return False
                    raise
                raws[:] = [b"\r\n".join(p.retr(i + 1)[1]) + b"\r\n" for i in range(p.stat()[0])]
                return True
            finally:
                p.quit()

        self.assertTrue(wait_for(session, timeout=DEADLINE), "%s stays busy" % user)
        return [email.message_from_bytes(r, policy=email.policy.compat32) for r in raws]

    def wait_message(self, user, subject):
        """The first message of the mailbox whose subject begins with `subject`."""
        found = []

        def arrived():
            found[:] = [m for m in self.fetch(user) if (m["Subject"] or "").startswith(subject)]
            return bool(found)

        self.assertTrue(wait_for(arrived, timeout=DEADLINE), "%s never got %r" % (user, subject))
        return found[0]

    def stored(self, account):
        return sorted(glob.glob(self.home.path("MAILIN", account, "[mM]*.[mM][iI][mM]")))

    def members(self, name):
        with open(self.home.path("MAILIN", name, "MEMBERS.INI"), encoding="latin-1") as f:
            text = f.read()
        block = text[text.index("[MEMBERS]"):text.index("[END_MEMBERS]")]
        return {m.group(2).lower(): (m.group(1), int(m.group(3)))
                for m in re.finditer(r"(?m)^\d+=([^\t]*)\t([^\t]*)\t(\d+)\r?$", block)}

    def settle(self, user):
        """Waits until a probe sent now reached `user`: everything queued before it is done."""
        self.probes += 1
        subject = "probe %d" % self.probes
        self.swaks("probe@far.test", "%s@example.test" % user, "Subject: %s\r\n\r\nprobe\r\n" % subject)
        self.wait_message(user, subject)

    # Tests -----------------------------------------------------------------------------------

    def test_subscription_round_trip_then_a_post_reaches_every_active_member(self):
        # Ann asks from another address of hers: the list asks the subscribed address to confirm.
        self.swaks("ann@far.test", "news-request@example.test",
                   'Subject: join\r\n\r\nsubscribe ann@example.test "Ann Lee"\r\n')
        request = self.wait_message("ann", "Please confirm your subscription")
        self.assertEqual(email.utils.parseaddr(request["From"])[1], "news-request@example.test")
        self.assertEqual(self.members("news")["ann@example.test"], ("Ann Lee", 2))
        body = request.get_payload()
        self.assertTrue(body.startswith('confirm-subscription ann@example.test "Ann Lee"\r\n'), body)
        token = body.split("\r\n")[1]
        self.assertRegex(token, r"^[0-9a-f]{32}$")
        # A guessed token does not confirm.
        self.swaks("ann@example.test", "news-request@example.test",
                   'Subject: Re\r\n\r\nconfirm-subscription ann@example.test "Ann Lee"\r\n%s\r\n' % ("0" * 32))
        self.wait_message("ann", "[List] Confirmation")
        self.assertNotIn("ann@example.test", self.members("news"))
        # Again, and this time the mail program's reply: every line quoted with "> ".
        self.swaks("ann@far.test", "news-request@example.test",
                   'Subject: join\r\n\r\nsubscribe ann@example.test "Ann Lee"\r\n')
        self.assertTrue(wait_for(lambda: len([m for m in self.fetch("ann") if m["Subject"].startswith(
            "Please confirm")]) == 2, timeout=DEADLINE))
        request = [m for m in self.fetch("ann") if m["Subject"].startswith("Please confirm")][-1]
        reply = email.message.EmailMessage(policy=email.policy.SMTP)
        reply["From"] = "Ann Lee <ann@example.test>"
        reply["To"] = request["From"]
        reply["Subject"] = "Re: " + request["Subject"]
        reply["In-Reply-To"] = request["Message-Id"]
        reply.set_content("".join("> %s\n" % line for line in request.get_payload().splitlines()))
        self.swaks("ann@example.test", "news-request@example.test", reply.as_string())
        self.wait_message("ann", "[List] Subscription")
        self.assertEqual(self.members("news")["ann@example.test"], ("Ann Lee", 0))

        # Ann posts: Bob and Ann get it with the list's header; Cat, still waiting, does not.
        archived = len(self.stored("news"))
        self.swaks("ann@example.test", "news@example.test",
                   "From: Ann Lee <ann@example.test>\r\nReply-To: ann@elsewhere.test\r\n"
                   "Sender: agent@far.test\r\nSubject: Hello list\r\n\r\nFirst line\r\nsecond\r\n")
        for user in ("bob", "ann"):
            post = self.wait_message(user, "[List] Hello list")
            self.assertEqual(post["Subject"], "[List] Hello list")
            self.assertEqual(email.utils.parseaddr(post["From"]),
                             ("ann@example.test via news@example.test", "news@example.test"))
            self.assertEqual(post.get_all("Sender"), ["Ann Lee <ann@example.test>"])
            self.assertEqual(post.get_all("Reply-To"), ["news@example.test"])
            # (swaks ends its data with an empty line of its own)
            self.assertEqual(post.get_payload().rstrip("\r\n"), "Ann Lee at ann@example.test wrote:\r\n\r\nFirst line\r\nsecond")
        self.assertEqual(self.stored("cat"), [])
        self.assertTrue(wait_for(lambda: len(self.stored("news")) == archived + 1, timeout=DEADLINE))
        with open(self.stored("news")[-1], "rb") as f:
            self.assertIn(b"Subject: Hello list\r\n", f.read())  # archived as received

    def test_moderated_and_read_only_lists(self):
        self.swaks("ann@example.test", "modl@example.test", "From: ann@example.test\r\nSubject: mod me\r\n\r\nx\r\n")
        post = self.wait_message("mod", "[List] mod me")
        self.assertEqual(post.get_payload().rstrip("\r\n"), "ann@example.test wrote:\r\n\r\nx")
        self.settle("bob")
        self.settle("ann")
        self.assertEqual([m["Subject"] for m in self.fetch("bob")], ["probe 1"])
        self.assertEqual([m["Subject"] for m in self.fetch("ann")], ["probe 2"])

        self.swaks("ann@example.test", "notes@example.test", "From: ann@example.test\r\nSubject: ro\r\n\r\ny\r\n")
        refusal = self.wait_message("ann", "[List] Error. Undelivered message")
        self.assertEqual(email.utils.parseaddr(refusal["From"])[1], "MAILER-DAEMON@example.test")
        self.assertIn('Sorry. You cannot send a message to "notes@example.test". \r\n'
                      "This mailing list is read-only.", refusal.get_payload())
        self.assertTrue(wait_for(lambda: len(self.stored("notes")) == 1, timeout=DEADLINE))  # archived still
        self.settle("bob")
        self.assertEqual([m["Subject"] for m in self.fetch("bob")], ["probe 1", "probe 3"])

    def test_files_by_mail_in_each_encoding(self):
        self.swaks("ann@example.test", "news-request@example.test",
                   "Subject: files\r\n\r\ngetfile data.bin b64.bin\r\ngetfile data.bin uu.bin uuencode\r\n"
                   "getfile text.txt qp.txt QP\r\n")
        wanted = {"b64.bin": ("base64", DOCS_BINARY), "uu.bin": ("x-uuencode", DOCS_BINARY),
                  "qp.txt": ("quoted-printable", DOCS_TEXT)}
        parts = {}

        def all_there():
            for m in self.fetch("ann"):
                for p in m.walk():
                    if p.get_filename() in wanted:
                        parts[p.get_filename()] = p
            return len(parts) == len(wanted)

        self.assertTrue(wait_for(all_there, timeout=DEADLINE), sorted(parts))
        for name, (encoding, data) in wanted.items():
            self.assertEqual(parts[name]["Content-Transfer-Encoding"].lower(), encoding, name)
            self.assertEqual(parts[name].get_payload(decode=True), data, name)
        # Names that leave the documents path are refused; nothing of the home directory is sent.
        self.swaks("ann@example.test", "news-request@example.test",
                   "Subject: files\r\n\r\ngetfile ../NEXUM2.INI a.txt\r\n")
        self.wait_message("ann", "[List] Error. Unprocessed command")
        for m in self.fetch("ann"):
            self.assertNotIn("smtpport", m.as_string())

    def test_the_command_queue_subscribes_and_unsubscribes(self):
        with open(self.home.path("COMMAND", "COMMAND.TXT"), "ab") as f:
            f.write(b'subscribe news ann@example.test "Ann Lee"\r\nunsubscribe news bob@example.test\r\n')
        self.assertTrue(wait_for(lambda: "ann@example.test" in self.members("news")
                                 and "bob@example.test" not in self.members("news"), timeout=DEADLINE))
        self.assertEqual(self.members("news")["ann@example.test"], ("Ann Lee", 0))
        self.swaks("mod@example.test", "news@example.test", "From: mod@example.test\r\nSubject: news\r\n\r\nz\r\n")
        self.wait_message("ann", "[List] news")

    def test_the_console_checks_a_list_and_deletes_pending_registrations(self):
        console = Terminal(["-setup"], self.home.env())
        self.terminals.append(console)
        self.assertTrue(console.expect("Server running (process %d)" % self.server.pid), console.drain())
        console.type("list bad")
        self.assertTrue(console.expect("An auto-subscribe list must not be moderated (and must be Read-only)..."),
                        console.drain())
        console.type("list news")
        self.assertTrue(console.expect("The mailing list news can be saved (owner mod@example.test)"),
                        console.drain())
        console.type("list news pending")
        self.assertTrue(console.expect("Are you sure you want to delete all pending registrations?"),
                        console.drain())
        console.type("n")
        console.type("status")
        self.assertTrue(console.expect("Server running"), console.drain())
        self.assertIn("cat@example.test", self.members("news"))
        console.type("list news pending")
        self.assertTrue(console.expect("Are you sure you want to delete all pending registrations?"),
                        console.drain())
        console.type("y")
        self.assertTrue(console.expect("Deleted 1 pending registrations of news"), console.drain())
        self.assertEqual(self.members("news"), {"bob@example.test": ("Bob", 0)})


if __name__ == "__main__":
    unittest.main()
