"""Outbound delivery by the running server to real mail servers on loopback: the relay host of
the default queue and the route host of a domain record receive what swaks sent, byte for byte
and with the right envelope; refusals are reported to the sender and deferrals stay queued; a
host that calls in with ETRN or HELO gets its domain's queue."""

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Home, read_ini, wait_for
from peers import PostfixPeer, ScriptedPeer, SinkPeer
from test_distribution import mailbox, make_accounts
from test_smtp import free_port, listening

RELAY = "127.0.0.2"   # the relay host of the default queue (the packaged sink)
ROUTE = "127.0.0.3"   # the route host of partner.test and the caller of partner2.test

BODY = ("From: alice@example.test\r\nTo: pat@partner.test\r\nSubject: outbound\r\n"
        "Message-Id: <e2e-1@example.test>\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n"
        "first line\r\n.a line with a leading dot\r\n..two dots\r\n.\r\nlast line\r\n")


def without_status(message):
    first, _, rest = message.partition(b"\r\n")
    return rest if first.startswith(b"X-IStatus:") else message


def outbound_files(home, queue):
    return sorted(os.path.basename(p) for p in glob.glob(home.path("OUTQUEUE", queue, "*"))
                  if os.path.basename(p).lower() != "useqf")


def complete_items(home, queue):
    """Message files of the queue whose item is complete (envelope there, no busy marker)."""
    names = {n.upper() for n in outbound_files(home, queue)}
    return [n for n in names if n.startswith("M") and n.endswith(".MIM")
            and "I" + n[1:] in names and "B" + n[1:] not in names]


class ServerHelpers:
    """What both suites ask of the running server: mail sent with swaks, the client log."""

    def swaks(self, to, data=BODY, sender="alice@example.test"):
        return subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % self.port, "--helo", "client.test",
             "--from", sender, "--to", to, "--data", data],
            capture_output=True, text=True, timeout=60)

    def client_log(self):
        try:
            with open(self.home.path("smtpclow.log"), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""


class RelayDeliveryTest(ServerHelpers, unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qvout.")
        self.sink = SinkPeer(RELAY, os.path.join(self.tmp, "sink"), name="relay.test")
        self.route = ScriptedPeer(ROUTE, os.path.join(self.tmp, "route.rec"), name="mx.partner.test",
                                  etrn=True)
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nMailHub=%s\r\nMailHubEnabled=1\r\nMailHubPort=25\r\n"
                    "smtpclog=1\r\nlowsmtpclog=1\r\nDeliveryDelay=1\r\n"
                    "[Domain]\r\nn=2\r\n0=partner.test:%s:partner_test.000\r\n"
                    "1=partner2.test:%s:partner2_test.000:*:0:0:0:0:0\r\n" % (RELAY, ROUTE, ROUTE))
        make_accounts(self.home, ("alice",))
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=30))

    def tearDown(self):
        self.home.close()
        self.sink.stop()
        self.route.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_local_relay_and_route_copies_are_the_same_bytes_with_the_right_envelope(self):
        r = self.swaks("alice@example.test,bob@remote.test,carol@remote.test,pat@partner.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice"), timeout=60))
        # A sink writes its file while the message arrives; it is whole once the peer has
        # acknowledged it, which is when the item leaves our queue (delivered items leave
        # nothing behind).
        self.assertTrue(wait_for(lambda: self.sink.messages() and self.route.messages() and
                                 not outbound_files(self.home, "MAILHUB") and
                                 not outbound_files(self.home, "partner_test.000"), timeout=60),
                        self.client_log())
        [local] = mailbox(self.home, "alice")
        expected = without_status(local)
        self.assertIn(b"\r\n..two dots\r\n.\r\nlast line\r\n", expected)  # the stored form

        [(envelope, relayed)] = self.sink.messages()
        self.assertEqual(envelope["X-Mail-Args"], ["<alice@example.test>"])
        self.assertEqual(sorted(envelope["X-Rcpt-Args"]), ["<bob@remote.test>", "<carol@remote.test>"])
        self.assertEqual(envelope["X-Helo-Args"], ["example.test"])
        # The sink stores its dump with LF line ends.
        self.assertEqual(relayed.rstrip(b"\n"), expected.replace(b"\r\n", b"\n").rstrip(b"\n"))

        [(sender, to, helo, routed)] = self.route.messages()
        self.assertEqual((sender, to, helo), ("alice@example.test", ["pat@partner.test"], "example.test"))
        self.assertEqual(routed, expected)
        self.assertNotIn(b"X-IStatus", routed)
        with open(self.home.path("smtpccon.log"), encoding="latin-1") as f:
            connections = f.read()
        self.assertIn("Message from=alice@example.test to=pat@partner.test successfully sent", connections)
        self.assertIn("Message from=alice@example.test to=bob@remote.test successfully sent", connections)

    def test_a_refusal_is_reported_to_the_sender_and_a_deferral_stays_queued(self):
        r = self.swaks("ok@partner.test,reject1@partner.test,defer1@partner.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: self.route.messages(), timeout=60), self.client_log())
        [(sender, to, _, _)] = self.route.messages()
        self.assertEqual(to, ["ok@partner.test"])
        # The refused recipient: one report to the sender, through local delivery.
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice"), timeout=60))
        [report] = mailbox(self.home, "alice")
        self.assertIn(b"Subject: Delivery failed", report)
        self.assertIn(b'"reject1@partner.test"', report)
        self.assertNotIn(b'"defer1@partner.test"', report)
        self.assertIn(b"Subject: outbound", report)  # the message goes with it
        # The deferred one waits for the next run, alone in its envelope.
        files = outbound_files(self.home, "partner_test.000")
        self.assertEqual(len(files), 2, files)
        envelope = [f for f in files if f.upper().startswith("I")][0]
        with open(self.home.path("OUTQUEUE", "partner_test.000", envelope), encoding="latin-1") as f:
            text = f.read()
        self.assertIn("0=defer1@partner.test", text)
        self.assertIn("n=1", text)
        # A forced run tries it again; it is still deferred and still there.
        self.server.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: self.client_log().count("RCPT TO:<defer1@partner.test>") >= 2,
                                 timeout=60))
        self.assertEqual(len(outbound_files(self.home, "partner_test.000")), 2)
        self.assertEqual(len(mailbox(self.home, "alice")), 1)

    def call_in(self, commands, source=ROUTE):
        """Talks to our server from `source` (the route host's address); returns its replies."""
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(30)
        s.connect(("127.0.0.1", self.port))
        f = s.makefile("rb")
        replies = [f.readline()]
        for c in commands:
            s.sendall(c.encode() + b"\r\n")
            line = f.readline()
            replies.append(line)
            while line[3:4] == b"-":
                line = f.readline()
                replies.append(line)
        s.close()
        return b"".join(replies).decode("latin-1")

    def test_a_queue_without_timer_runs_waits_for_its_host_to_call_in_with_etrn(self):
        r = self.swaks("pat@partner2.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: complete_items(self.home, "partner2_test.000"), timeout=60))
        # Unforced runs leave it (the wake after queueing is one).
        self.assertFalse(wait_for(lambda: self.route.messages(), timeout=3))
        # Another host that names the domain gets nothing.
        stranger = self.call_in(["EHLO partner2.test", "ETRN partner2.test", "QUIT"], "127.0.0.9")
        self.assertIn("458 Unable to queue messages for node", stranger)
        self.assertFalse(wait_for(lambda: self.route.messages(), timeout=3))
        self.assertEqual(len(outbound_files(self.home, "partner2_test.000")), 2)
        replies = self.call_in(["EHLO caller.test", "ETRN @unknown.test", "ETRN unknown.test",
                                "ETRN partner2.test", "QUIT"])
        self.assertIn("501 Syntax error in parameters", replies)
        self.assertIn("458 Unable to queue messages for node", replies)
        self.assertIn("250 OK, queuing for node started", replies)
        self.assertTrue(wait_for(lambda: self.route.messages(), timeout=60), self.client_log())
        [(_, to, _, _)] = self.route.messages()
        self.assertEqual(to, ["pat@partner2.test"])
        self.assertTrue(wait_for(lambda: not outbound_files(self.home, "partner2_test.000"), timeout=30))

    def test_a_host_that_greets_with_its_domain_gets_its_queue(self):
        r = self.swaks("pat@partner2.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: complete_items(self.home, "partner2_test.000"), timeout=60))
        replies = self.call_in(["HELO partner2.test", "QUIT"])
        self.assertIn("250", replies)
        self.assertTrue(wait_for(lambda: self.route.messages(), timeout=60), self.client_log())

    def test_etrn_is_sent_to_a_relay_that_offers_it_when_asked_for(self):
        # The route host offers ETRN; the partner.test record asks for it (field 9) and the
        # relay host does not offer it.
        self.home.close()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nMailHub=%s\r\nMailHubEnabled=1\r\netrn=1\r\n"
                    "lowsmtpclog=1\r\n[Domain]\r\nn=1\r\n"
                    "0=partner.test:%s:partner_test.000:*:0:1:0:0:1\r\n" % (RELAY, ROUTE))
        make_accounts(self.home, ("alice",))
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=30))
        self.assertEqual(self.swaks("pat@partner.test,bob@remote.test").returncode, 0)
        self.assertTrue(wait_for(lambda: self.route.messages() and self.sink.messages(), timeout=60),
                        self.client_log())
        # Each connection asks for our domain, then for each domain marked for ETRN (a client
        # with ETRN on connects at every run, queued mail or not).
        requests = self.route.etrn_requests()
        self.assertTrue(requests)
        self.assertEqual(requests, ["example.test", "partner.test"] * (len(requests) // 2))
        relay_lines = [l for l in self.client_log().splitlines() if ": %s: " % RELAY in l]
        self.assertTrue(any("Sending: MAIL FROM:" in l for l in relay_lines), relay_lines)
        self.assertFalse([l for l in relay_lines if "Sending: ETRN" in l])


DNS = "127.0.0.53"  # dnsmasq, authoritative for the remote test domains
DNSMASQ = "/usr/sbin/dnsmasq"
# domain -> the address of its only mail exchanger
EXCHANGERS = {"remote1.test": "127.0.0.2", "remote2.test": "127.0.0.3",
              "remote3.test": "127.0.0.4", "remote4.test": "127.0.0.5"}


class DnsDeliveryTest(ServerHelpers, unittest.TestCase):
    """The default queue without relay host: each domain's exchanger is found through a real
    DNS server; remote1 is the packaged sink, remote2 a real Postfix that stores what it gets,
    remote3 the scripted server, remote4 a sink that refuses EHLO."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qvdns.")
        self.peers = []
        records = []
        for domain, address in EXCHANGERS.items():
            records += ["--mx-host=%s,mx.%s,10" % (domain, domain),
                        "--host-record=mx.%s,%s" % (domain, address)]
        self.dns = subprocess.Popen(
            [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--port=53",
             "--listen-address=" + DNS, "--bind-interfaces", "--no-resolv", "--no-hosts",
             "--no-poll", "--user=root", "--group=root", "--pid-file=", "--local=/test/",
             *records], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sink = SinkPeer("127.0.0.2", os.path.join(self.tmp, "sink"), name="mx.remote1.test")
        self.peers.append(self.sink)
        self.postfix = PostfixPeer("127.0.0.3", os.path.join(self.tmp, "postfix"), "remote2.test")
        self.peers.append(self.postfix)
        self.scripted = ScriptedPeer("127.0.0.4", os.path.join(self.tmp, "scripted.rec"),
                                     name="mx.remote3.test")
        self.peers.append(self.scripted)
        self.plain = SinkPeer("127.0.0.5", os.path.join(self.tmp, "plain"), name="mx.remote4.test",
                              options=("-e",))
        self.peers.append(self.plain)
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nsmtpclog=1\r\nlowsmtpclog=1\r\nDeliveryDelay=1\r\n"
                    "[DNS]\r\nserver1=%s\r\ntimeout=5\r\n" % DNS)
        make_accounts(self.home, ("alice",))

    def start(self):
        self.server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=30))

    def tearDown(self):
        self.home.close()
        for peer in self.peers:
            peer.stop()
        self.dns.terminate()
        self.dns.wait(timeout=10)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_each_domain_reaches_its_exchanger_byte_for_byte(self):
        self.start()
        r = self.swaks("alice@example.test,bob@remote1.test,pat@remote2.test,ann@remote4.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice"), timeout=60))
        # Each peer's copy is whole once acknowledged, which is when the queue is empty.
        self.assertTrue(wait_for(lambda: self.sink.messages() and self.postfix.messages()
                                 and self.plain.messages()
                                 and not outbound_files(self.home, "MAILHUB"), timeout=90),
                        self.client_log())
        expected = without_status(mailbox(self.home, "alice")[0])
        lf = expected.replace(b"\r\n", b"\n")
        [(envelope, relayed)] = self.sink.messages()
        self.assertEqual(envelope["X-Rcpt-Args"], ["<bob@remote1.test>"])
        self.assertEqual(relayed.rstrip(b"\n"), lf.rstrip(b"\n"))
        # Postfix puts its own trace lines on top of what it received.
        [stored] = self.postfix.messages()
        self.assertTrue(stored.endswith(lf), stored[:600])
        trace = stored[:-len(lf)]
        self.assertIn(b"Return-Path: <alice@example.test>\n", trace)
        self.assertIn(b"Delivered-To: pat@remote2.test\n", trace)
        self.assertNotIn(b"X-IStatus", stored)
        self.assertIn(b"\n..two dots\n.\nlast line\n", stored)  # dot-stuffing undone
        # A server without the extensions got HELO.
        [(plain_envelope, _)] = self.plain.messages()
        self.assertEqual(plain_envelope["X-Helo-Args"], ["example.test"])
        self.assertIn("Sending: HELO example.test", self.client_log())

    def test_a_deferral_is_retried_later_and_a_refusal_reported_once(self):
        self.start()
        r = self.swaks("ok@remote3.test,defer1@remote3.test,reject1@remote3.test")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(wait_for(lambda: self.scripted.messages(), timeout=60), self.client_log())
        self.assertEqual(self.scripted.messages()[0][1], ["ok@remote3.test"])
        # The refusal, reported at once through local delivery; the deferral not yet.
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice"), timeout=60))
        [report] = mailbox(self.home, "alice")
        self.assertIn(b'"reject1@remote3.test"', report)
        self.assertNotIn(b'"defer1@remote3.test"', report)
        # The deferred recipient waits with its retry time 30 minutes after the attempt.
        [envelope] = [f for f in outbound_files(self.home, "MAILHUB") if f.upper().startswith("I")]
        path = self.home.path("OUTQUEUE", "MAILHUB", envelope)
        next_send = read_ini(path, "From", "NxtSend")
        self.assertRegex(next_send, r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d 001$")
        self.assertEqual(read_ini(path, "To", "n"), "1")
        self.assertEqual(read_ini(path, "To", "0"), "defer1@remote3.test")
        due = time.mktime(time.strptime(next_send[:19], "%d/%m/%Y %H:%M:%S"))
        self.assertAlmostEqual(due - time.time(), 30 * 60, delta=120)
        # A forced run before that time leaves it alone. The run is known to have gone through
        # the queue when a second item, due now, has reached its exchanger and the client has
        # logged the end of its run.
        attempts = self.client_log().count("RCPT TO:<defer1@remote3.test>")
        runs = self.client_log().count("SMTP Client stop")
        queue = self.home.path("OUTQUEUE", "MAILHUB")
        with open(os.path.join(queue, "I0999999.MIM"), "w", newline="") as f:
            f.write("[From]\r\nFrom=alice@example.test\r\n[To]\r\nn=1\r\n0=ok2@remote3.test\r\n")
        with open(os.path.join(queue, "~M0999999.part"), "wb") as f:
            f.write(BODY.encode())
        os.rename(os.path.join(queue, "~M0999999.part"), os.path.join(queue, "M0999999.MIM"))
        self.server.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: any(m[1] == ["ok2@remote3.test"]
                                             for m in self.scripted.messages())
                                 and self.client_log().count("SMTP Client stop") > runs,
                                 timeout=60), self.client_log())
        self.assertEqual(self.client_log().count("RCPT TO:<defer1@remote3.test>"), attempts)
        self.assertEqual(read_ini(path, "From", "NxtSend"), next_send)

    def test_after_the_last_attempt_the_message_is_discarded_and_reported(self):
        # An item on its fifteenth retry, due now.
        queue = self.home.path("OUTQUEUE", "MAILHUB")
        os.makedirs(queue, exist_ok=True)
        past = time.strftime("%d/%m/%Y %H:%M:%S", time.localtime(time.time() - 60))
        with open(os.path.join(queue, "I0000042.MIM"), "w", newline="") as f:
            f.write("[From]\r\nFrom=alice@example.test\r\nIniDate=01/12/2026 08:00:00\r\n"
                    "NxtSend=%s 015\r\n[To]\r\nn=1\r\n0=defer9@remote3.test\r\n" % past)
        with open(os.path.join(queue, "~M0000042.part"), "wb") as f:
            f.write(BODY.encode())
        os.rename(os.path.join(queue, "~M0000042.part"), os.path.join(queue, "M0000042.MIM"))
        self.start()
        self.server.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: mailbox(self.home, "alice"), timeout=60), self.client_log())
        [report] = mailbox(self.home, "alice")
        self.assertIn(b"Subject: Impossible to deliver: 15 retries since 01/12/2026 08:00:00. "
                      b"Message discarded.", report)
        self.assertIn(b"Transmission cancelled", report)
        self.assertEqual(outbound_files(self.home, "MAILHUB"), [])
        with open(self.home.path("smtpccon.log"), encoding="latin-1") as f:
            self.assertIn("to=defer9@remote3.test cannot be delivered", f.read())


if __name__ == "__main__":
    unittest.main()
