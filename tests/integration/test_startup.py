"""The server program's start-up, signals and stop, driven as an administrator would."""

import os
import signal
import subprocess
import time
import unittest

from harness import Home, read_ini, wait_for


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.home = Home()

    def tearDown(self):
        self.home.close()

    def start_server(self):
        with open(self.home.path("message.log"), "w") as f:
            f.write("left over from the last run\n")
        server = self.home.start("-server")
        self.assertTrue(wait_for(lambda: self.home.published("srvthread") == server.pid),
                        "the server did not publish its id")
        return server

    def test_missing_home_directory_is_reported_and_ends_the_program(self):
        os.remove(os.path.join(self.home.windir, "TORVIK.INI"))
        result = self.home.run("-server")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn('Missing [Settings] section or "HomeDir=" entry in TORVIK.INI ',
                      result.stderr)
        self.assertIn("Initializing setup", result.stderr)

    def test_fallback_locator_is_copied_into_torvik(self):
        os.remove(os.path.join(self.home.windir, "TORVIK.INI"))
        with open(os.path.join(self.home.windir, "ZEPHANT.INI"), "w") as f:
            f.write("[TorvikOffice]\nHomeDir=%s\n" % self.home.home)
        server = self.start_server()
        self.assertEqual(read_ini(os.path.join(self.home.windir, "TORVIK.INI"), "Settings",
                                  "HomeDir"), self.home.home)
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)

    def test_server_publishes_runs_its_tick_reloads_and_stops_on_sigterm(self):
        server = self.start_server()
        # Start-up: version key, command directory, an emptied message.log, the signal socket.
        self.assertTrue(wait_for(lambda: read_ini(self.home.path("NEXUM2.INI"), "SMTP",
                                                  "version")))
        version = read_ini(self.home.path("NEXUM2.INI"), "SMTP", "version")
        self.assertRegex(version, r"^Version 2000\.08\.A - Linux\.\d+\.\d+\.\d+$")
        self.assertTrue(os.path.isdir(self.home.path("COMMAND")))
        self.assertNotIn("left over", self.home.message_log())
        socket_path = self.home.path("QUORVALE.%d.sig" % server.pid)
        self.assertTrue(os.path.exists(socket_path))

        # SIGHUP reloads every group.
        with open(self.home.path("NEXUM2.INI"), "a") as f:
            f.write("[DNS]\r\nport=5353\r\n")
        server.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: "OnServiceReload(1000) => 0" in self.home.message_log()))

        # A reload request posted as a signal is served by the next tick.
        self.home.post(server.pid, 1, 201)
        self.assertTrue(wait_for(lambda: "Settings reloaded" in self.home.message_log()))
        self.home.post(server.pid, 1, 1003)
        self.assertTrue(wait_for(lambda: "OnServiceReload(1003) => 0" in self.home.message_log()))

        started = time.monotonic()
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertEqual(self.home.published("srvthread"), 0)
        self.assertFalse(os.path.exists(socket_path))
        self.assertIn("Server stopping...", self.home.message_log())

    def test_a_second_server_on_the_same_home_ends_at_once(self):
        server = self.start_server()
        second = self.home.run("-server", timeout=10)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(self.home.published("srvthread"), server.pid)
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)

    def test_a_port_in_use_is_reported_once_and_the_server_runs_on(self):
        import socket
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        with open(self.home.path("NEXUM2.INI"), "w", newline="") as f:
            f.write("[SMTP]\r\nDomain=example.test\r\nIPaddress=127.0.0.1\r\nsmtpport=%d\r\n"
                    "pop3port=0\r\n" % port)
        server = self.home.start("-service")
        expected = "ERROR: SMTP Server: Cannot bind socket (address in use by another program)"
        self.assertTrue(wait_for(lambda: expected in self.home.message_log()))
        self.assertEqual(self.home.message_log().count(expected), 1)
        self.assertIsNone(server.poll())  # the server itself goes on
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)
        busy.close()

    def test_an_address_the_machine_lacks_is_reported(self):
        with open(self.home.path("NEXUM2.INI"), "w", newline="") as f:
            f.write("[SMTP]\r\nDomain=example.test\r\nIPaddress=192.0.2.55\r\nsmtpport=2599\r\n"
                    "pop3port=0\r\n")
        server = self.home.start("-service")
        self.assertTrue(wait_for(lambda: "SMTP Server: Cannot bind to the specified IP address. "
                                 "Address not available." in self.home.message_log()))
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)

    def test_console_and_server_exchange_signals(self):
        server = self.start_server()
        console = self.home.start("-setup", stdin=subprocess.PIPE, capture=True)
        self.assertTrue(wait_for(lambda: self.home.published("stpthread") == console.pid))
        # The server learns the console's id from the console's signal 203 and tells the
        # console with its own 203 when it stops.
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)
        console.stdin.write("exit\n")
        console.stdin.flush()
        self.assertEqual(console.wait(timeout=5), 0)
        out = console.stderr.read()
        self.assertIn("Server running (process %d)" % server.pid, out)
        after = out.split("Server running (process %d)" % server.pid, 1)[1]
        self.assertIn("Server not running", after)
        self.assertEqual(self.home.published("stpthread"), 0)

    def test_console_posts_jobs_to_the_server(self):
        server = self.start_server()
        console = self.home.start("-setup", stdin=subprocess.PIPE, capture=True)
        self.assertTrue(wait_for(lambda: self.home.published("stpthread") == console.pid))
        console.stdin.write("distribute\nsave\nexit\n")
        console.stdin.flush()
        self.assertEqual(console.wait(timeout=10), 0)
        out = console.stderr.read()
        self.assertIn("Distribution started", out)
        self.assertIn("The service is now using the last settings", out)
        # The save asks the server to reload everything.
        self.assertTrue(wait_for(lambda: "OnServiceReload(1000) => 0" in self.home.message_log()))
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)


if __name__ == "__main__":
    unittest.main()
