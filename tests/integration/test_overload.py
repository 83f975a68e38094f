"""Hostile clients and careless settings against the real program: more connections than the
session cap, more connections than descriptors, an INQUEUE that cannot be written, a port the
server may not bind, and an IPaddress that is no address. In each case the server answers what
it can, keeps serving (or says once why it cannot) and obeys SIGTERM."""

import os
import resource
import socket
import subprocess
import time
import unittest

from harness import Home, converse, wait_for
from test_distribution import make_accounts
from test_smtp import free_port, listening

BUSY = b"421 Too many connections, try again later\r\n"


def connect(port, timeout=20):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return s


def read_line(s):
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def listening_sockets():
    """TCP sockets in the LISTEN state in this network namespace (only the test's own)."""
    out = []
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as f:
            for line in f.readlines()[1:]:
                parts = line.split()
                if parts[3] == "0A":
                    out.append(parts[1])
    return out


def swaks_delivers(port, subject):
    out = subprocess.run(["swaks", "--server", "127.0.0.1:%d" % port, "--helo", "client.test",
                          "--from", "zoe@far.test", "--to", "alice@example.test", "--timeout", "30",
                          "--header", "Subject: " + subject],
                         capture_output=True, text=True, timeout=90).stdout
    return "<-  250 OK" in out


class OverloadTest(unittest.TestCase):
    def setUp(self):
        self.home = None

    def tearDown(self):
        if self.home:
            self.home.close()

    def start(self, max_sessions=None, extra="", **kwargs):
        self.port = free_port()
        self.home = Home(smtp_port=self.port, max_sessions=max_sessions)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            if "IPaddress" not in extra:
                extra += "IPaddress=127.0.0.1\r\n"
            f.write("smtptimeout=60\r\n" + extra)
        make_accounts(self.home, ("alice",))
        self.server = self.home.start("-server", **kwargs)
        return self.server

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=30)

    def test_connections_over_the_cap_get_421_and_room_comes_back(self):
        self.start(max_sessions=5)
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=20))
        held = []
        deadline = time.monotonic() + 30
        while len(held) < 5 and time.monotonic() < deadline:
            s = connect(self.port)
            line = read_line(s)
            if line.startswith(b"220 "):
                held.append(s)
            else:  # the probe's own session may not have ended yet
                self.assertEqual(line, BUSY)
                s.close()
                time.sleep(0.1)
        self.assertEqual(len(held), 5)
        extra = connect(self.port)
        self.assertEqual(extra.recv(4096), BUSY)
        self.assertEqual(extra.recv(4096), b"")  # and the connection is closed
        extra.close()
        for s in held:
            s.sendall(b"QUIT\r\n")
            s.close()
        # The sessions end; a new client is served and its message stored.
        self.assertTrue(wait_for(lambda: swaks_delivers(self.port, "after the crowd"), timeout=60))
        self.stop()
        self.assertEqual(self.server.returncode, 0)

    def test_more_connections_than_descriptors_do_not_stop_the_listener(self):
        limit = 1024

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        # The cap above the descriptor limit: the process really runs out.
        self.start(max_sessions=2000, preexec_fn=low_limit)
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=20))
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        conns, greeted, refused, dropped = [], 0, 0, 0
        try:
            for _ in range(1200):
                try:
                    conns.append(connect(self.port, timeout=30))
                except OSError:
                    dropped += 1
            for s in conns:
                try:
                    line = read_line(s)
                except OSError:
                    line = b""
                if line.startswith(b"220 "):
                    greeted += 1
                elif line == BUSY:
                    refused += 1
                else:
                    dropped += 1
            # The process ran out: some were turned away, and it went on accepting until then.
            self.assertGreater(greeted, 900)
            self.assertGreater(refused, 0)
            self.assertEqual(greeted + refused + dropped, 1200)
        finally:
            for s in conns:
                s.close()
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        # Once the idle sessions are gone the listener serves new clients.
        self.assertTrue(wait_for(lambda: swaks_delivers(self.port, "after exhaustion"), timeout=90))
        log = self.home.message_log()
        self.assertNotIn("Could not create socket", log)
        self.assertIsNone(self.server.poll())
        self.stop()

    def test_an_unwritable_inqueue_is_answered_450_at_once(self):
        self.port = free_port()
        self.home = Home(smtp_port=self.port)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\n")
        make_accounts(self.home, ("alice",))
        inqueue = self.home.path("INQUEUE")
        os.makedirs(inqueue, exist_ok=True)
        # INQUEUE read-only in a private mount namespace (root may write anywhere else).
        ro = ("unshare", "-m", "sh", "-c",
              'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"', inqueue)
        self.server = self.home.start("-server", wrapper=ro)
        self.assertTrue(wait_for(lambda: listening(self.port), timeout=20))
        started = time.monotonic()
        out = converse(self.port, [b"HELO c.test\r\n", b"MAIL FROM:<zoe@far.test>\r\n"], timeout=5)
        took = time.monotonic() - started
        self.assertIn("450 File System Error: try later", out)
        self.assertLess(took, 3.0)  # 0.2 s of it is the helper's own wait per chunk
        self.assertEqual(os.listdir(inqueue), [])
        begin = time.monotonic()
        self.server.terminate()
        self.server.wait(timeout=15)
        self.assertLess(time.monotonic() - begin, 15)

    def test_a_port_the_server_may_not_bind_is_reported_once_without_spinning(self):
        # Port 25 without the capability to bind it (as an ordinary user would run it).
        self.port = 25
        self.home = Home(smtp_port=25)
        with open(self.home.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\n")
        make_accounts(self.home, ("alice",))
        drop = ("setpriv", "--bounding-set", "-net_bind_service", "--inh-caps", "-net_bind_service")
        self.server = self.home.start("-service", wrapper=drop)
        message = "SMTP Server: Could not listen on port"
        self.assertTrue(wait_for(lambda: message in self.home.message_log(), timeout=20))
        time.sleep(2)
        self.assertLess(cpu_seconds(self.server.pid), 1.0)  # a retry loop would burn a core
        self.assertEqual(self.home.message_log().count(message), 1)
        self.assertFalse(listening(25))
        self.stop()

    def test_an_ipaddress_that_is_no_address_listens_nowhere(self):
        self.start(extra="IPaddress=localhost\r\n")
        message = "SMTP Server: Could not listen on port"
        self.assertTrue(wait_for(lambda: message in self.home.message_log(), timeout=20))
        self.assertEqual(listening_sockets(), [])
        self.stop()


if __name__ == "__main__":
    unittest.main()
