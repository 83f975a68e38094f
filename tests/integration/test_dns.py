"""The resolver against real DNS servers on loopback: dnsmasq, authoritative for a test zone, for
the ordinary cases, and the scripted responder dns_fixture.py for what a real server will not
produce on demand (equal preferences in a set order, TC set, duplicates, referrals with glue, a
name error with AA, more than 200 records, no answer at all). The routes are walked with the
route_walker driver (attempt 0, 1, 2, ... as the SMTP client asks) and shown by the console's
diagnostic `mx` command of `quorvale -setup`."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Home, wait_for

WALKER = os.environ.get("QV_ROUTE_WALKER", "route_walker")
FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dns_fixture.py")
PYTHON = "/usr/bin/python3"  # Debian's interpreter, which has python3-dnslib
DNSMASQ = "/usr/sbin/dnsmasq"

REAL = "127.0.0.53"      # dnsmasq
FIXTURE1 = "127.0.0.54"  # scripted responder
FIXTURE2 = "127.0.0.55"  # scripted responder: the glue server, the second server
SILENT = "127.0.0.56"    # scripted responder that drops every query
NOBODY = "127.0.0.60"    # no server at all

SCENARIO1 = {
    "equal.test|MX": {
        "answer": ["equal.test. 300 IN MX 10 a.equal.test.", "equal.test. 300 IN MX 10 b.equal.test."],
        "additional": ["a.equal.test. 300 IN A 127.0.0.2", "b.equal.test. 300 IN A 127.0.0.3"],
    },
    "tc.test|MX": {
        "tc": True,
        "answer": ["tc.test. 300 IN MX 20 mx2.tc.test.", "tc.test. 300 IN MX 10 mx1.tc.test."],
    },
    "dup.test|MX": {
        "answer": ["dup.test. 300 IN MX 10 mx.dup.test.", "mx.dup.test. 300 IN A 127.0.0.2"],
        "additional": ["DUP.test. 300 IN MX 10 MX.DUP.TEST.", "mx.Dup.test. 300 IN A 127.0.0.2"],
    },
    "gone.test|MX": {"rcode": "NXDOMAIN", "aa": True},
    "notauth.test|MX": {"rcode": "NXDOMAIN", "aa": False},
    "referral.test|MX": {
        "aa": False,
        "authority": ["referral.test. 300 IN NS ns1.referral.test.",
                      "referral.test. 300 IN NS ns2.referral.test."],
        "additional": ["ns1.referral.test. 300 IN A %s" % NOBODY,
                       "ns2.referral.test. 300 IN A %s" % FIXTURE2],
    },
    "many.test|MX": {"answer": ["many.test. 300 IN A 127.0.1.%d" % i for i in range(110)]},
    "noanswer.test|MX": {"drop": True},
}
SCENARIO2 = {
    "referral.test|MX": {
        "answer": ["referral.test. 300 IN MX 10 mx.referral.test."],
        "additional": ["mx.referral.test. 300 IN A 127.0.0.7"],
    },
    # Preferences fall with the position: the best exchanger kept shows where the table ended.
    "many.test|MX": {"answer": ["many.test. 300 IN MX %d m%d.many.test." % (1000 - i, i)
                                for i in range(95)]},
}
SCENARIO_SILENT = {"example.test|*": {"drop": True}}


def port_free(address, port, kind=socket.SOCK_DGRAM):
    s = socket.socket(socket.AF_INET, kind)
    try:
        s.bind((address, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def answers(address, name):
    """True when a server on `address`:53 answers an MX query for `name` (any answer)."""
    query = (b"\x12\x34\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00"
             + b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\x00\x00\x0f\x00\x01")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.5)
    try:
        s.sendto(query, (address, 53))
        return s.recvfrom(4096)[0][:2] == b"\x12\x34"
    except OSError:
        return False
    finally:
        s.close()


class DnsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qvdns.")
        cls.procs = []
        for address in (REAL, FIXTURE1, FIXTURE2, SILENT):
            if not port_free(address, 53):
                raise RuntimeError("%s:53 is taken: refusing to test someone else's server" % address)
        cls.procs.append(subprocess.Popen(
            [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--port=53",
             "--listen-address=" + REAL, "--bind-interfaces", "--no-resolv", "--no-hosts",
             "--no-poll", "--user=root", "--group=root", "--pid-file=", "--local=/test/",
             "--log-queries", "--log-facility=" + os.path.join(cls.work, "dnsmasq.log"),
             "--mx-host=example.test,mx1.example.test,10",
             "--mx-host=example.test,mx2.example.test,20",
             "--host-record=mx1.example.test,127.0.0.2",
             "--host-record=mx2.example.test,127.0.0.3"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for address, scenario, name in ((FIXTURE1, SCENARIO1, "fixture1"),
                                        (FIXTURE2, SCENARIO2, "fixture2"),
                                        (SILENT, SCENARIO_SILENT, "silent")):
            path = os.path.join(cls.work, name + ".json")
            with open(path, "w") as f:
                json.dump(scenario, f)
            cls.procs.append(subprocess.Popen(
                [PYTHON, FIXTURE, path, "--address", address, "--port", "53",
                 "--log", os.path.join(cls.work, name + ".log")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        ready = {REAL: "example.test", FIXTURE1: "equal.test", FIXTURE2: "referral.test"}
        for address, name in ready.items():
            if not wait_for(lambda: answers(address, name), timeout=30):
                cls.tearDownClass()
                raise RuntimeError("the DNS server on %s did not start" % address)

    @classmethod
    def tearDownClass(cls):
        for proc in cls.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=10)
        cls.procs = []
        if not os.environ.get("QV_KEEP_HOME"):
            shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.log = os.path.join(self.work, "dns.%s.log" % self.id().rsplit(".", 1)[-1])

    def walk(self, domain, server1, server2="-", timeout=5, smtp_port=1):
        result = subprocess.run(
            [WALKER, server1, server2, "53", str(timeout), str(smtp_port), self.log, domain],
            capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        attempts = [l.split(": ", 1)[1] for l in lines if l.startswith("attempt ")]
        nxdomain = [l for l in lines if l.startswith("nxdomain: ")][0] == "nxdomain: 1"
        return attempts, nxdomain

    def dns_log(self):
        with open(self.log, encoding="latin-1") as f:
            return f.read()

    def fixture_log(self, name):
        with open(os.path.join(self.work, name + ".log")) as f:
            return f.read()

    # dnsmasq: the ordinary cases.

    def test_real_server_exchangers_then_their_addresses(self):
        attempts, nxdomain = self.walk("example.test", REAL)
        self.assertEqual(attempts, ["0 mx1.example.test", "0 127.0.0.2", "0 mx2.example.test",
                                    "0 127.0.0.3", "-1 0.0.0.0 (Not found. All DNS called)"])
        self.assertFalse(nxdomain)
        self.assertEqual(self.dns_log().count(" QUERY: "), 1)

    def test_unreachable_first_server_falls_back_to_the_second(self):
        attempts, _ = self.walk("example.test", NOBODY, REAL)
        self.assertEqual(attempts[0], "0 mx1.example.test")
        self.assertIn(" ERROR: %s: Receive() socket error.  WSAE=10061" % NOBODY, self.dns_log())

    def test_silent_first_server_times_out_then_the_second_answers(self):
        start = time.monotonic()
        attempts, _ = self.walk("example.test", SILENT, REAL, timeout=1)
        self.assertGreaterEqual(time.monotonic() - start, 0.95)
        self.assertEqual(attempts[0], "0 mx1.example.test")
        self.assertIn(" ERROR: %s: Select socket timeout error.  WSAE=-1" % SILENT, self.dns_log())
        self.assertIn("example.test. MX", self.fixture_log("silent"))

    def test_real_server_name_error(self):
        attempts, _ = self.walk("nosuch.test", REAL)
        self.assertEqual(attempts, ["-1 0.0.0.0 (Not found. All DNS called)"])
        log = self.dns_log()
        self.assertIn("rcode=3", log)
        self.assertIn("\n CHECK: nosuch.test: Try to connect to. Result: Connect socket error. \n",
                      log)

    # The scripted responder: the cases a real server will not produce.

    def test_equal_preferences_try_the_later_record_first(self):
        attempts, _ = self.walk("equal.test", FIXTURE1)
        self.assertEqual(attempts, ["0 b.equal.test", "0 127.0.0.3", "0 a.equal.test",
                                    "0 127.0.0.2", "-1 0.0.0.0 (Not found. All DNS called)"])

    def test_truncated_answer_is_used_without_tcp(self):
        attempts, _ = self.walk("tc.test", FIXTURE1)
        self.assertEqual(attempts[:2], ["0 mx1.tc.test", "0 mx2.tc.test"])
        self.assertIn("tc=1", self.dns_log())

    def test_duplicate_records_are_used_once(self):
        attempts, _ = self.walk("dup.test", FIXTURE1)
        self.assertEqual(attempts, ["0 mx.dup.test", "0 127.0.0.2",
                                    "-1 0.0.0.0 (Not found. All DNS called)"])

    def test_name_error_with_authority_means_the_domain_does_not_exist(self):
        attempts, nxdomain = self.walk("gone.test", FIXTURE1)
        self.assertEqual(attempts, ["-1 0.0.0.0 (Not found. All DNS called)"])
        self.assertTrue(nxdomain)
        self.assertIn(" ERROR: DNS Query Query FAILED.  RCODE=3", self.dns_log())
        _, nxdomain = self.walk("notauth.test", FIXTURE1)
        self.assertFalse(nxdomain)

    def test_referral_is_followed_through_glue(self):
        attempts, _ = self.walk("referral.test", FIXTURE1)
        self.assertEqual(attempts[:2], ["0 mx.referral.test", "0 127.0.0.7"])
        log = self.dns_log()
        order = [log.index("SERVER: dns=" + s) for s in (FIXTURE1, NOBODY, FIXTURE2)]
        self.assertEqual(order, sorted(order))
        self.assertIn("referral.test. MX", self.fixture_log("fixture2"))

    def test_more_than_two_hundred_records_keep_the_first_two_hundred(self):
        attempts, _ = self.walk("many.test", FIXTURE1, FIXTURE2)
        self.assertEqual(attempts[0], "0 m89.many.test")  # m90..m94 lay beyond entry 199
        log = self.dns_log()
        self.assertIn("\n199: ", log)
        self.assertNotIn("\n200: ", log)

    def test_no_answer_at_all(self):
        start = time.monotonic()
        attempts, nxdomain = self.walk("noanswer.test", FIXTURE1, timeout=1)
        self.assertEqual(attempts, ["-1 0.0.0.0 (Not found. All DNS called)"])
        self.assertFalse(nxdomain)
        self.assertGreaterEqual(time.monotonic() - start, 0.95)
        self.assertIn("Select socket timeout error.", self.dns_log())

    # The console's diagnostic.

    def test_console_mx_query_shows_what_the_resolver_found(self):
        home = Home()
        try:
            with open(home.path("NEXUM2.INI"), "a", newline="") as f:
                f.write("[DNS]\r\nserver1=%s\r\ntimeout=5\r\n" % REAL)
            script = "mx example.test\nmx gone.test %s 53\nmx example.test %s\n" % (FIXTURE1, NOBODY)
            result = subprocess.run([os.environ.get("QUORVALE_BIN", "quorvale"), "-setup"],
                                    env=home.env(), input=script, capture_output=True, text=True,
                                    timeout=60)
            out = result.stdout + result.stderr
            self.assertIn("MX query for example.test to %s:53: answered (aa=1" % REAL, out)
            self.assertIn("Exchangers in the order they are tried:\n"
                          "  mx1.example.test (preference 10) 127.0.0.2\n"
                          "  mx2.example.test (preference 20) 127.0.0.3", out)
            self.assertIn("MX query for gone.test to %s:53: answered (aa=1 tc=0 ra=0 rcode=3), "
                          "the domain does not exist" % FIXTURE1, out)
            self.assertIn("MX query for example.test to %s:53: no answer (-16): ERROR: %s: "
                          "Receive() socket error.  WSAE=10061" % (NOBODY, NOBODY), out)
            # The diagnostic writes dns.log whatever the logging switch says.
            with open(home.path("dns.log"), encoding="latin-1") as f:
                self.assertEqual(f.read().count(" QUERY: "), 3)
        finally:
            home.close()


if __name__ == "__main__":
    unittest.main()
