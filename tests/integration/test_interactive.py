"""The program at a terminal, as a new user meets it: each process runs on a pseudo-terminal of
its own. The demo's interactive server listens at once and takes the console's commands from its
terminal; a console on a second terminal reaches a service beside it; the mode question takes its
accelerators; a start that is refused leaves the running server alone."""

import glob
import os
import re
import signal
import smtplib
import subprocess
import tempfile
import shutil
import time
import unittest

from harness import BINARY, Home, Terminal, read_ini, wait_for
from test_smtp import free_port, listening

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
DEMO_SMTP, DEMO_POP3 = 2525, 1110


def mailbox(home_dir, account):
    return sorted(glob.glob(os.path.join(home_dir, "MAILIN", account, "[mM]*.[mM][iI][mM]")))


def queue_item(home_dir, number, to):
    """An inbound item written by another writer, waiting for a distribution run."""
    inqueue = os.path.join(home_dir, "INQUEUE")
    os.makedirs(inqueue, exist_ok=True)
    with open(os.path.join(inqueue, "M%07d.TMP" % number), "wb") as f:
        f.write(b"X-IStatus:00000000000000000003\r\nFrom: zoe@far.test\r\nSubject: typed\r\n\r\nbody\r\n")
    with open(os.path.join(inqueue, "R%07d.TMP" % number), "wb") as f:
        f.write(b"[From]\r\nFrom=zoe@far.test\r\nSubject=typed\r\n[To]\r\nn=1\r\n0=%s\r\n" % to.encode())


class DemoServerTest(unittest.TestCase):
    """The demo installation of scripts/demo_home.sh, served by `quorvale -server` on a terminal."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qvdemo.")
        subprocess.run(["bash", os.path.join(SCRIPTS, "demo_home.sh"), self.root], check=True,
                       timeout=30)
        self.home = os.path.join(self.root, "home")
        with open(os.path.join(self.home, "NEXUM2.INI"), "a", newline="") as f:
            f.write("DeliveryDelay=3600\r\n")  # only the typed command distributes
        self.env = dict(os.environ, WINDIR=os.path.join(self.root, "windir"))
        self.terminals = []

    def tearDown(self):
        for t in self.terminals:
            t.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def terminal(self, *args):
        t = Terminal(args, self.env)
        self.terminals.append(t)
        return t

    def terminal_shell(self, script):
        t = Terminal(["-m", "-c", script], self.env, program="/bin/sh")
        self.terminals.append(t)
        return t

    def published(self, key):
        return int(read_ini(os.path.join(self.home, "QUORVALE.INI"), "data", key, "0") or 0)

    def test_the_demo_server_listens_at_once_and_takes_commands_from_its_terminal(self):
        server = self.terminal("-server")
        # Listening and published within a second of the start, as the README promises.
        ready = wait_for(lambda: listening(DEMO_SMTP) and listening(DEMO_POP3)
                         and self.published("srvthread") == server.pid, timeout=1.0, step=0.02)
        elapsed = time.monotonic() - server.started
        self.assertTrue(ready, server.drain())
        self.assertLess(elapsed, 1.0)

        server.type("status")
        self.assertTrue(server.expect("Server running (process %d)" % server.pid), server.drain())

        queue_item(self.home, 700, "alice@example.test")
        server.type("distribute")
        self.assertTrue(server.expect("Distribution started"), server.drain())
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice")))

        server.type("send")  # nothing to deliver yet: the command is taken all the same
        self.assertTrue(server.expect("Outbound queues started"), server.drain())
        server.type("clear smtpcon.log")
        self.assertTrue(server.expect("Cleared smtpcon.log"), server.drain())
        server.type("frobnicate")
        self.assertTrue(server.expect("Unknown command: frobnicate"), server.drain())

        # exit asks first; No keeps the server running, and so does No after Ctrl-C.
        server.type("exit")
        self.assertTrue(server.expect("Are you sure you want to exit?"), server.drain())
        server.type("n")
        server.type("status")
        self.assertTrue(server.expect("Server running (process %d)" % server.pid), server.drain())
        os.write(server.master, b"\x03")  # after the answer was read: Ctrl-C flushes the input
        self.assertTrue(server.expect("Are you sure you want to exit?"), server.drain())
        server.type("n")
        server.type("status")
        self.assertTrue(server.expect("Server running (process %d)" % server.pid), server.drain())
        self.assertTrue(listening(DEMO_SMTP))

        server.type("exit")
        self.assertTrue(server.expect("Are you sure you want to exit?"), server.drain())
        server.type("y")
        self.assertEqual(server.wait(timeout=10), 0, server.drain())
        self.assertIn("SMTP / POP3 Clients and Servers terminated...", server.drain())
        self.assertEqual(self.published("srvthread"), 0)
        self.assertFalse(listening(DEMO_SMTP))

    def test_the_end_of_the_terminals_input_leaves_the_server_running(self):
        server = self.terminal("-server")
        self.assertTrue(wait_for(lambda: self.published("srvthread") == server.pid, timeout=5))
        os.write(server.master, b"\x04")  # Ctrl-D
        self.assertTrue(server.expect("No more commands from the terminal"), server.drain())
        self.assertIsNone(server.proc.poll())
        self.assertTrue(listening(DEMO_SMTP))
        os.write(server.master, b"\x03")  # Ctrl-C still asks
        self.assertTrue(server.expect("Are you sure you want to exit?"), server.drain())
        server.type("y")
        self.assertEqual(server.wait(timeout=10), 0)

    def test_a_server_sent_to_the_background_of_its_shell_runs_on(self):
        # A job-control shell on the terminal starts the server in the background; what is typed
        # then makes the server's read fail (it is not stopped) and it serves on.
        shell = self.terminal_shell("%s -server & echo started; wait" % BINARY)
        self.assertTrue(shell.expect("started"), shell.drain())
        self.assertTrue(wait_for(lambda: self.published("srvthread") != 0, timeout=5))
        server_pid = self.published("srvthread")
        self.addCleanup(lambda: os.path.exists("/proc/%d" % server_pid)
                        and os.kill(server_pid, signal.SIGKILL))
        shell.type("status")
        self.assertTrue(shell.expect("No more commands from the terminal"), shell.drain())
        with open("/proc/%d/stat" % server_pid) as f:
            self.assertNotIn(f.read().split(") ", 1)[1][0], "Tt")  # not stopped
        self.assertTrue(listening(DEMO_SMTP))
        os.kill(server_pid, signal.SIGTERM)
        self.assertEqual(shell.wait(timeout=10), 0)

    def test_a_second_start_beside_the_interactive_server_touches_nothing(self):
        server = self.terminal("-server")
        self.assertTrue(wait_for(lambda: self.published("srvthread") == server.pid, timeout=5))
        message_log = os.path.join(self.home, "message.log")
        with open(message_log, "w") as f:
            f.write("kept\n")
        second = self.terminal("-server")
        self.assertEqual(second.wait(timeout=10), 0)
        console = self.terminal("-setup")
        self.assertEqual(console.wait(timeout=10), 0)
        self.assertIn("already running in this home directory (process %d)" % server.pid,
                      console.drain())
        with open(message_log) as f:
            self.assertEqual(f.read(), "kept\n")
        self.assertEqual(self.published("srvthread"), server.pid)
        self.assertEqual(self.published("stpthread"), 0)
        server.type("status")
        self.assertTrue(server.expect("Server running (process %d)" % server.pid), server.drain())


class ConsoleBesideServiceTest(unittest.TestCase):
    """`quorvale -setup` on a terminal while `quorvale -service` runs without one."""

    def setUp(self):
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=3600\r\nLogMaxSize=1\r\n")
        with open(self.home.path("mailbox.cfg"), "w", newline="") as f:
            f.write("master:*:0\r\nalice:*:0\r\n")
        for user in ("master", "alice"):
            os.makedirs(self.home.path("MAILIN", user))
            with open(self.home.path("MAILIN", user, "MEMBERS.INI"), "w", newline="") as f:
                f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % user)
        self.service = self.home.start("-service")
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == self.service.pid))
        self.terminals = []

    def tearDown(self):
        for t in self.terminals:
            t.close()
        self.home.close()

    def console(self):
        t = Terminal(["-setup"], self.home.env())
        self.terminals.append(t)
        self.assertTrue(t.expect("Server running (process %d)" % self.service.pid), t.drain())
        self.assertTrue(wait_for(lambda: self.home.published("stpthread") == t.pid))
        return t

    def test_the_console_reaches_the_service(self):
        console = self.console()
        console.type("status")
        self.assertTrue(console.expect("Server running (process %d)" % self.service.pid),
                        console.drain())
        console.type("send")
        self.assertTrue(console.expect("Outbound queues started"), console.drain())
        queue_item(self.home.home, 701, "alice@example.test")
        console.type("distribute")
        self.assertTrue(console.expect("Distribution started"), console.drain())
        self.assertTrue(wait_for(lambda: mailbox(self.home.home, "alice")))

        # The service stops at once, withdraws its id and tells the console.
        started = time.monotonic()
        self.service.send_signal(signal.SIGTERM)
        self.assertEqual(self.service.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertEqual(self.home.published("srvthread"), 0)
        self.assertTrue(console.expect("Server not running"), console.drain())
        console.type("send")
        self.assertTrue(console.expect("Server not running"), console.drain())

        console.type("exit")
        self.assertTrue(console.expect("Are you sure you want to exit?"), console.drain())
        console.type("y")
        self.assertEqual(console.wait(timeout=10), 0)
        self.assertEqual(self.home.published("stpthread"), 0)

    def test_the_end_of_the_terminals_input_ends_the_console_without_a_question(self):
        console = self.console()
        os.write(console.master, b"\x04")  # Ctrl-D: nobody is left to answer
        self.assertEqual(console.wait(timeout=10), 0)
        self.assertNotIn("Are you sure", console.drain())
        self.assertEqual(self.home.published("stpthread"), 0)
        self.assertIsNone(self.service.poll())

    def test_the_console_asks_before_it_exits_and_pushes_changes_it_was_told_of(self):
        console = self.console()
        console.type("exit")
        self.assertTrue(console.expect("Are you sure you want to exit?"), console.drain())
        console.type("n")
        console.type("status")
        self.assertTrue(console.expect("Server running (process %d)" % self.service.pid),
                        console.drain())
        self.assertIsNone(console.proc.poll())
        # Signal 200: settings were changed and the service has not loaded them; the console's
        # exit pushes them (201), and the service reloads.
        self.home.post(console.pid, 1, 200)
        console.type("exit")
        self.assertTrue(console.expect("Are you sure you want to exit?"), console.drain())
        console.type("y")
        self.assertEqual(console.wait(timeout=10), 0)
        self.assertTrue(wait_for(lambda: "Settings reloaded" in self.home.message_log()))

    def warnings(self):
        """The size warnings made so far, queued or delivered (told apart by their Message-Id):
        what the watch sends, whenever the distribution delivers it."""
        ids = set()
        paths = glob.glob(self.home.path("INQUEUE", "[mM]*.[tT][mM][pP]")) + \
            mailbox(self.home.home, "master")
        for path in paths:
            try:
                with open(path, "rb") as f:
                    text = f.read()
            except FileNotFoundError:  # distributed meanwhile: found in the mailbox next time
                continue
            match = re.search(rb"\r\nMessage-I[dD]: (<[^>\r\n]*>)", b"\r\n" + text)
            if b"Subject: [Mail Server]. Warning!" in text and match:
                ids.add(match.group(1))
        return len(ids)

    def mail_until(self, warnings, sessions):
        """Sends mail, one message a session, until `warnings` warnings were made."""
        for i in range(sessions):
            with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test",
                              timeout=30) as client:
                client.sendmail("zoe@far.test", ["alice@example.test"],
                                "Subject: %d\r\n\r\nhello\r\n" % i)
            if self.warnings() >= warnings:
                return True
        return False

    def test_a_log_cleared_from_the_console_rearms_the_services_size_warning(self):
        console = self.console()
        # smtpcon.log grows past LogMaxSize (1 KB): one warning, and no second one.
        self.assertTrue(self.mail_until(1, 40), "no warning came")
        self.assertFalse(self.mail_until(2, 4))
        console.type("clear smtpcon.log")
        self.assertTrue(console.expect("Cleared smtpcon.log"), console.drain())
        self.assertLess(os.path.getsize(self.home.path("smtpcon.log")), 1000)
        # The next overflow warns again.
        self.assertTrue(self.mail_until(2, 40), "the clear did not re-arm the warning")
        self.assertEqual(self.warnings(), 2)

    def test_a_refused_server_start_leaves_the_service_log_alone(self):
        self.assertTrue(wait_for(lambda: "Server started" in self.home.message_log()))
        before = self.home.message_log()
        refused = self.home.run("-server", timeout=10)
        self.assertEqual(refused.returncode, 0)
        self.assertEqual(self.home.message_log(), before)
        self.assertEqual(self.home.published("srvthread"), self.service.pid)


class ModeQuestionTest(unittest.TestCase):
    """`quorvale` without an option asks for the mode; C (6) is the console, R (7) the server."""

    def setUp(self):
        self.home = Home()

    def tearDown(self):
        self.home.close()

    def ask(self, answer):
        t = Terminal([], self.home.env())
        self.addCleanup(t.close)
        self.assertTrue(t.expect("Please select in which mode."), t.drain())
        prompt = t.drain()
        t.type(answer)
        return t, prompt

    def test_the_accelerators_and_result_numbers_choose_the_role(self):
        for answer in ("r", "R", "7"):
            with self.subTest(answer=answer):
                t, prompt = self.ask(answer)
                self.assertIn("R", prompt)
                self.assertIn("(7)", prompt)
                self.assertTrue(wait_for(lambda: self.home.published("srvthread") == t.pid,
                                         timeout=5), t.drain())
                t.type("exit")
                self.assertTrue(t.expect("Are you sure you want to exit?"), t.drain())
                t.type("y")
                self.assertEqual(t.wait(timeout=10), 0)
        for answer in ("c", "C", "6"):
            with self.subTest(answer=answer):
                t, prompt = self.ask(answer)
                self.assertIn("(6)", prompt)
                self.assertTrue(t.expect("Server not running"), t.drain())
                self.assertTrue(wait_for(lambda: self.home.published("stpthread") == t.pid,
                                         timeout=5))
                self.assertEqual(self.home.published("srvthread"), 0)
                t.type("exit")
                self.assertTrue(t.expect("Are you sure you want to exit?"), t.drain())
                t.type("y")
                self.assertEqual(t.wait(timeout=10), 0)
        for answer in ("2", "cancel"):
            with self.subTest(answer=answer):
                t, prompt = self.ask(answer)
                self.assertIn("(2)", prompt)
                self.assertEqual(t.wait(timeout=10), 0)
                self.assertEqual(self.home.published("srvthread"), 0)
                self.assertEqual(self.home.published("stpthread"), 0)

    def test_an_answer_that_matches_no_button_is_asked_again(self):
        t, _ = self.ask("s")  # both SETUP and SERVER begin with it: no answer
        self.assertTrue(t.expect("Please select in which mode."), t.drain())
        t.type("x")
        self.assertTrue(t.expect("Please select in which mode."), t.drain())
        t.type("r")
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == t.pid, timeout=5),
                        t.drain())


if __name__ == "__main__":
    unittest.main()
