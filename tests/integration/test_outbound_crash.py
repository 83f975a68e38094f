"""Outbound delivery in relay mode survives crashes: 200 queued messages for a remote domain go to
a recording peer on 127.0.0.2:25 while the server is killed (SIGKILL) at chosen moments of the
dialogue and started again. Every recipient of every message must reach the peer, whole, at
least once (duplicates are allowed and counted), no failure report may come of a temporary
refusal, and the queue must end with no file but its sequence file."""

import os
import random
import re
import signal
import socketserver
import threading
import time
import unittest

from harness import Home, wait_for

PEER_HOST = "127.0.0.2"
MESSAGES = 200
SENDER = "zoe@elsewhere.test"


def message(i):
    # The status line is the store's and never leaves; the dotted lines are stuffed on the way.
    return (b"X-IStatus:00000000000000000003\r\nMessage-Id: <out-%d@example.test>\r\n"
            b"From: zoe@elsewhere.test\r\nTo: alpha.%d@remote.test, beta.%d@remote.test\r\n"
            b"Subject: outbound %d\r\n\r\n" % (i, i, i, i) +
            b".a line that starts with a dot\r\n..and one with two\r\n.\r\n" +
            (b"line %d of a body of about four kilobytes, long enough for several sends\r\n" % i) * 50)


def as_sent(i):
    return message(i).split(b"\r\n", 1)[1]


def recipients(i):
    return ["alpha.%d@remote.test" % i, "beta.%d@remote.test" % i]


def number_of(address):
    m = re.fullmatch(r"(alpha|beta)\.(\d+)@remote\.test", address)
    return (m.group(1), int(m.group(2))) if m else (None, -1)


class Peer(socketserver.ThreadingTCPServer):
    """A mail exchanger that records each transaction it accepts (before its 250 goes out) and
    refuses by plan, each refusal temporary:
      - beta.N with N % 5 == 0: 451 to RCPT the first two times (the message goes to alpha.N
        alone and the envelope must keep beta.N);
      - N % 20 == 3: 451 to the end of the data the first time (the whole message stays);
      - N % 50 == 7: the connection is closed at the end of the data, without a reply, the
        first time (nothing may count as delivered).
    Armed with a process id, it kills that process once at a chosen event: before answering
    the k-th command or data end ("command"), or a few milliseconds after the 250 of the k-th
    accepted transaction ("accepted"), or of the k-th one that kept a recipient back
    ("partial"), where the server removes the item or rewrites its envelope."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__((PEER_HOST, 25), PeerSession)
        self.lock = threading.Lock()
        self.records = []  # (sender, recipients, data)
        self.rcpt_deferred = {}
        self.data_deferred = set()
        self.dropped = set()
        self.armed = None
        self.fired = threading.Event()
        self.rng = random.Random(0)

    def arm(self, pid, kind, target, rng):
        with self.lock:
            self.armed = {"pid": pid, "kind": kind, "left": target}
            self.rng = rng
            self.fired.clear()

    def disarm(self):
        with self.lock:
            self.armed = None

    def event(self, kind):
        """Counts an event and kills the armed process when it is the chosen one. True when the
        session must end unanswered (the process died waiting for this reply)."""
        with self.lock:
            a = self.armed
            if a is None or a["kind"] != kind:
                return False
            a["left"] -= 1
            if a["left"] > 0:
                return False
            self.armed = None
            delay = 0 if kind == "command" else self.rng.uniform(0, 0.004)
        if delay:
            time.sleep(delay)
        try:
            os.kill(a["pid"], signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.fired.set()
        return kind == "command"


class PeerSession(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text.encode() + b"\r\n")

    def handle(self):
        try:
            self.dialogue(self.server)
        except OSError:
            pass  # the server died in the middle

    def dialogue(self, peer):
        self.send("220 peer.test ESMTP")
        sender, rcpts, kept_back = None, [], False
        while True:
            line = self.rfile.readline(2048)
            if not line:
                return
            if peer.event("command"):
                return
            command = line.decode("latin-1").rstrip("\r\n")
            verb = command[:4].upper()
            if verb == "EHLO":
                self.wfile.write(b"250-peer.test\r\n250-8BITMIME\r\n250 HELP\r\n")
            elif verb == "HELO" or verb == "NOOP":
                self.send("250 peer.test")
            elif verb == "RSET":
                sender, rcpts, kept_back = None, [], False
                self.send("250 OK")
            elif verb == "MAIL":
                sender, rcpts, kept_back = command[10:].strip("<> "), [], False
                self.send("250 OK")
            elif verb == "RCPT":
                address = command[8:].strip("<> ")
                kind, n = number_of(address)
                with peer.lock:
                    refuse = (kind == "beta" and n % 5 == 0 and
                              peer.rcpt_deferred.get(address, 0) < 2)
                    if refuse:
                        peer.rcpt_deferred[address] = peer.rcpt_deferred.get(address, 0) + 1
                if refuse:
                    kept_back = True
                    self.send("451 4.3.0 try again later")
                else:
                    rcpts.append(address)
                    self.send("250 OK")
            elif verb == "DATA":
                if sender is None or not rcpts:
                    self.send("503 need MAIL and RCPT")
                    continue
                self.send("354 go ahead")
                data = b""
                while True:
                    piece = self.rfile.readline(4096)
                    if not piece:
                        return  # cut short: nothing is recorded
                    if piece == b".\r\n":
                        break
                    data += piece[1:] if piece.startswith(b".") else piece
                if peer.event("command"):
                    return
                n = number_of(rcpts[0])[1]
                with peer.lock:
                    drop = n % 50 == 7 and n not in peer.dropped
                    defer = not drop and n % 20 == 3 and n not in peer.data_deferred
                    if drop:
                        peer.dropped.add(n)
                    elif defer:
                        peer.data_deferred.add(n)
                    else:
                        peer.records.append((sender, tuple(rcpts), data))
                if drop:
                    return
                if defer:
                    self.send("451 4.3.0 not now")
                else:
                    self.send("250 2.0.0 queued")
                    peer.event("accepted")
                    if kept_back:
                        peer.event("partial")
                sender, rcpts, kept_back = None, [], False
            elif verb == "QUIT":
                self.send("221 bye")
                return
            else:
                self.send("500 unknown command")


class OutboundCrashTest(unittest.TestCase):
    def setUp(self):
        self.home = Home(smtp_port=0)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            # Runs at start-up, every minute and on SIGUSR1.
            f.write("MailHub=%s\r\nMailHubEnabled=1\r\nMailHubPort=25\r\nlowsmtpclog=1\r\n"
                    "smtpclog=1\r\nusefreq=1\r\nfrequency=1\r\n" % PEER_HOST)
        self.queue = self.home.path("OUTQUEUE", "MAILHUB")
        os.makedirs(self.queue)
        for i in range(MESSAGES):
            # As a writer without a busy marker must: envelope first, then the message renamed.
            with open(os.path.join(self.queue, "I%07d.MIM" % i), "wb") as f:
                f.write(b"[From]\r\nFrom=%s\r\nSubject=outbound %d\r\n[To]\r\nn=2\r\n0=%s\r\n1=%s\r\n"
                        % (SENDER.encode(), i, *[r.encode() for r in recipients(i)]))
            with open(os.path.join(self.queue, "~M%07d.MIM.part" % i), "wb") as f:
                f.write(message(i))
            os.rename(os.path.join(self.queue, "~M%07d.MIM.part" % i),
                      os.path.join(self.queue, "M%07d.MIM" % i))
        with open(os.path.join(self.queue, "useqf"), "w") as f:
            f.write("%d" % MESSAGES)
        self.peer = Peer()
        threading.Thread(target=self.peer.serve_forever, daemon=True).start()

    def tearDown(self):
        self.peer.shutdown()
        self.peer.server_close()
        self.home.close()

    def leftovers(self):
        return sorted(n for n in os.listdir(self.queue) if n.lower() != "useqf")

    def queued(self):
        return [n for n in os.listdir(self.queue) if n[:1] in "mM" and n.upper().endswith(".MIM")]

    def start(self):
        server = self.home.start("-server")
        # SIGUSR1 is safe once the id is published: the handlers come first.
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == server.pid
                                 or server.poll() is not None, timeout=60))
        self.assertIsNone(server.poll(), "the server ended at start-up")
        return server

    def nudge_until(self, server, done, timeout):
        """Waits for `done`, asking for a run (SIGUSR1) now and then: a run ends early when the
        relay host breaks the connection, and the next one is otherwise a minute away."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if wait_for(done, timeout=3):
                return True
            if server.poll() is None:
                server.send_signal(signal.SIGUSR1)
        return done()

    def test_killed_while_delivering_loses_nothing_and_leaves_no_file(self):
        rng = random.Random(int(os.environ.get("CRASH_SEED", "20261207")))
        plan = [("command", rng.randint(1, 80)) if k % 3 == 0 else
                ("accepted", rng.randint(1, 8)) if k % 3 == 1 else
                ("partial", rng.randint(1, 2)) for k in range(10)]
        fired = []
        for kind, target in plan:
            if not self.queued():
                break
            server = self.start()
            self.peer.arm(server.pid, kind, target, random.Random(rng.random()))
            if self.nudge_until(server, lambda: self.peer.fired.is_set() or not self.queued(),
                                timeout=120) and self.peer.fired.is_set():
                fired.append((kind, target, len(self.queued())))
            self.peer.disarm()
            server.send_signal(signal.SIGKILL)
            server.wait(timeout=30)
        self.assertGreaterEqual(len(fired), 6, "too few kills while delivering: %s" % fired)

        server = self.start()
        self.assertTrue(self.nudge_until(server, lambda: not self.queued(), timeout=240),
                        "queue not drained: %d left" % len(self.queued()))
        server.terminate()
        self.assertEqual(server.wait(timeout=60), 0)

        # Every record is one of the queued messages, whole, from its sender; no failure report
        # (a temporary refusal must not make one) and nothing half sent.
        delivered = {}
        for sender, rcpts, data in self.peer.records:
            n = number_of(rcpts[0])[1]
            self.assertEqual(sender, SENDER)
            self.assertTrue(0 <= n < MESSAGES, "unexpected recipient %s" % (rcpts,))
            self.assertEqual(data, as_sent(n), "message %d altered" % n)
            for r in rcpts:
                self.assertIn(r, recipients(n))
                delivered[r] = delivered.get(r, 0) + 1
        missing = [r for i in range(MESSAGES) for r in recipients(i) if r not in delivered]
        self.assertEqual(missing, [], "lost")
        # The plan's refusals all happened: recipients kept back twice, data refused, connections
        # dropped, and each was delivered afterwards.
        self.assertEqual(len(self.peer.dropped), len([i for i in range(MESSAGES) if i % 50 == 7]))
        self.assertEqual(len(self.peer.data_deferred),
                         len([i for i in range(MESSAGES) if i % 20 == 3 and i % 50 != 7]))
        self.assertEqual(sorted(self.peer.rcpt_deferred.values()), [2] * (MESSAGES // 5))
        self.assertEqual(self.leftovers(), [], "files left in the queue")
        duplicates = sum(n - 1 for n in delivered.values())
        print("\noutbound crash test: %d kills %s, %d duplicate deliveries of %d"
              % (len(fired), fired, duplicates, 2 * MESSAGES))


if __name__ == "__main__":
    unittest.main()
