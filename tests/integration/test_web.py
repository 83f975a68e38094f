"""The web host and the extension, driven by real clients over loopback: curl, Python's
http.client and headless Chromium. Each test starts kaldor-host on a free loopback port with a
home directory of its own and stops it by process id."""

import hashlib
import http.client
import os
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import wait_for

HOST_BIN = os.environ.get("KALDOR_HOST_BIN", "kaldor-host")
LIBRARY = os.environ.get("KALDOR_LIB", "libkaldor.so")
PROBE = os.environ.get("KALDOR_PROBE_LIB", "libkaldor_probe.so")
INSTALL = "/kaldor.dll?Install&_but=b&_jid=j&_acc=a"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class WebHost:
    """A home directory with the web settings, a web-root directory, and the host."""

    def __init__(self, library=LIBRARY, timeout=60, extra=(), webrootdir=None):
        self.root = tempfile.mkdtemp(prefix="qvweb.")
        self.windir = os.path.join(self.root, "windir")
        self.home = os.path.join(self.root, "home")
        self.www = os.path.join(self.root, "www")
        for d in (self.windir, self.home, self.www):
            os.makedirs(d)
        with open(os.path.join(self.windir, "TORVIK.INI"), "w", newline="") as f:
            f.write("[Settings]\r\nHomeDir=%s\r\n" % self.home)
        with open(os.path.join(self.home, "NEXUM2.INI"), "w", newline="") as f:
            f.write("[SMTP]\r\nDomain=example.test\r\nPostMaster=master\r\n"
                    "[Kaldor]\r\nwebroot=files\r\nwebrootdir=%s\r\n"
                    % (self.www if webrootdir is None else webrootdir(self)))
        self.port = free_port()
        self.log = os.path.join(self.root, "host.log")
        self.access = os.path.join(self.root, "access.log")
        env = {k: v for k, v in os.environ.items() if k not in ("TMP", "TEMP")}
        env["WINDIR"] = self.windir
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(
                [HOST_BIN, "--port", str(self.port), "--extension", library,
                 "--timeout", str(timeout), "--access-log", self.access, *extra],
                env=env, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if not wait_for(self.listening, timeout=30):
            raise AssertionError("the host did not start: " + self.output())

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return self.proc.poll() is not None and False

    def output(self):
        with open(self.log) as f:
            return f.read()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def request(self, method, path, body=None, headers=None, timeout=30):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp.getheaders(), resp.read()
        finally:
            conn.close()

    def uploads(self):
        tmp = os.path.join(self.home, "TMP")
        if not os.path.isdir(tmp):
            return []
        return sorted(n for n in os.listdir(tmp) if n.upper().startswith("F"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def curl(*args, timeout=120):
    result = subprocess.run(["curl", "-s", "-S", "--max-time", str(timeout), *args],
                            capture_output=True, timeout=timeout + 10)
    return result


def curl_status(*args):
    result = curl("-o", "/dev/null", "-w", "%{http_code}", *args)
    return int(result.stdout.decode() or 0)


def probe_lines(body):
    """The probe page's variable lines: name -> the fields after the name."""
    text = body.decode("latin-1")
    lines = text.split("<pre>\n", 1)[1].split("</pre>", 1)[0].splitlines()
    return {line.split("\t")[0]: line.split("\t")[1:] for line in lines}


class ExtensionRequests(unittest.TestCase):
    """The real libkaldor.so: its commands, statuses and error pages."""

    @classmethod
    def setUpClass(cls):
        cls.host = WebHost()

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def test_install_page_with_curl_http_client_and_chromium(self):
        result = curl("-i", self.host.url(INSTALL))
        self.assertIn(b"HTTP/1.1 200 OK", result.stdout)
        self.assertIn(b"Content-Type: text/html", result.stdout)
        self.assertIn(b"Installation complete", result.stdout)
        status, headers, body = self.host.request("GET", INSTALL)
        self.assertEqual(status, 200)
        self.assertIn(b"<H2>Installation</H2>", body)
        profile = tempfile.mkdtemp(prefix="qvchrome.")
        try:
            dom = subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                 "--no-first-run", "--user-data-dir=" + profile, "--dump-dom",
                 self.host.url(INSTALL)],
                capture_output=True, timeout=120, env=dict(os.environ, HOME=profile))
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        self.assertIn(b"Installation complete", dom.stdout, dom.stderr[-2000:])
        self.assertIn(b"<title>Email Messages Server</title>", dom.stdout)

    def test_command_names_and_parameters(self):
        cases = [
            ("/kaldor.dll?showform&x=1", 501),   # the prefix is case-sensitive
            ("/kaldor.dll?ShowForm&x=1", 200),   # the form page: its missing-field answer
            ("/kaldor.dll?Install", 400),        # required parameters missing
            ("/kaldor.dll?Install&a&b&c&d&e", 400),
            ("/kaldor.dll?install&a&b&c&d", 200),
            ("/kaldor.dll?MfcISAPICommand=Install&a&b&c", 200),
            ("/kaldor.dll?Login&name=bob", 501),
            ("/kaldor.dll?About", 501),
            ("/kaldor.dll", 501),                 # Default
            ("/kaldor.dll?Nothing", 501),
            ("/nowhere", 404),
        ]
        for path, expected in cases:
            status, _, body = self.host.request("GET", path)
            self.assertEqual(status, expected, path)
        status, _, body = self.host.request("GET", "/kaldor.dll?showform&x=1")
        self.assertIn(b"<H1>NOT IMPLEMENTED</H1>", body)
        self.assertIn(b"<b>showform&amp;x=1</b>", body)

    def test_error_pages_escape_what_the_request_sent(self):
        status, _, body = self.host.request(
            "GET", "/kaldor.dll?Install&_but=%3Cscript%3E<img/src=x>")
        self.assertEqual(status, 400)
        self.assertNotIn(b"<img", body)
        self.assertNotIn(b"<script", body)
        self.assertIn(b"Request: Install&amp;_but=%3Cscript%3E&lt;img/src=x&gt;", body)

    def test_posts_reach_their_commands(self):
        # Login with a multipart body is refused; with a URL-encoded one it reaches its page,
        # which answers 501 until the session pages land.
        self.assertEqual(curl_status("-F", "name=bob", self.host.url("/kaldor.dll?Login")), 500)
        self.assertEqual(curl_status("-d", "name=bob", self.host.url("/kaldor.dll?Login")), 501)
        self.assertEqual(curl_status("-d", "_but=a&_jid=b&_acc=c",
                                     self.host.url("/kaldor.dll?Install")), 200)
        self.assertEqual(curl_status("-X", "PUT", self.host.url(INSTALL)), 501)

    def test_uploads_of_a_page_not_there_are_removed(self):
        with tempfile.NamedTemporaryFile() as f:
            f.write(b"x" * 100000)
            f.flush()
            status = curl_status("-F", "f=@%s" % f.name, "-F", "t=1",
                                 self.host.url("/kaldor.dll?Pop3Acc"))
        self.assertEqual(status, 501)
        self.assertEqual(self.host.uploads(), [])

    def test_bad_multipart_bodies_get_400_and_leave_nothing(self):
        file_part = (b"--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
                     b"\r\n" + b"d" * 5000 + b"\r\n")
        cases = [
            ("no closing boundary", file_part, "B"),
            ("boundary never seen", file_part + b"--B--\r\n", "Other"),
            ("header-only part", file_part + b"--B\r\nContent-Disposition: form-data; name=h\r\n"
             b"--B--\r\n", "B"),
            ("no boundary line", b"just text\r\n", "B"),
        ]
        for what, body, boundary in cases:
            status, _, _ = self.host.request(
                "POST", "/kaldor.dll?ProcessForm", body=body,
                headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
            self.assertEqual(status, 400, what)
            self.assertEqual(self.host.uploads(), [], what)

    def test_url_encoded_body_over_the_limit_is_413(self):
        body = b"_but=a&_jid=b&_acc=c&cmd=" + b"x" * (10 * 1024 * 1024)
        status, _, _ = self.host.request(
            "POST", "/kaldor.dll?Install", body=body,
            headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 413)
        # 1 MB is the limit: a body of exactly that size is read.
        exact = b"_but=a&_jid=b&_acc=c&cmd="
        exact += b"x" * (1024 * 1024 - len(exact))
        status, _, _ = self.host.request("POST", "/kaldor.dll?Install", body=exact)
        self.assertEqual(status, 200)
        status, _, _ = self.host.request("POST", "/kaldor.dll?Install", body=exact + b"x")
        self.assertEqual(status, 413)

    def test_request_line_of_100_kb_is_refused_and_the_host_goes_on(self):
        s = socket.create_connection(("127.0.0.1", self.host.port), timeout=30)
        try:
            s.sendall(b"GET /kaldor.dll?" + b"A" * 100 * 1024 + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            answer = s.recv(4096)
        except ConnectionResetError:
            answer = b""
        finally:
            s.close()
        if answer:
            status = int(answer.split(b" ")[1])
            self.assertIn(status, (414, 431))
        self.assertEqual(self.host.request("GET", INSTALL)[0], 200)

    def test_access_log_has_a_line_per_request(self):
        self.host.request("GET", "/kaldor.dll?Install&_but=%0d%0a&_jid=b&_acc=c")
        def log():
            with open(self.host.access) as f:
                return f.read()
        self.assertTrue(wait_for(lambda: "%0d%0a" in log(), 10))
        lines = log().splitlines()
        line = [l for l in lines if "%0d%0a" in l][-1]
        self.assertRegex(line, r'^127\.0\.0\.1 - - \[[^]]+\] "GET /kaldor\.dll\?Install\S+ '
                               r'HTTP/1\.1" 200 \d+$')


class StaticFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = WebHost()
        www = cls.host.www
        with open(os.path.join(www, "page.html"), "w") as f:
            f.write("<html><body><p id=x>static page</p></body></html>")
        cls.big = os.urandom(100 * 1024)
        with open(os.path.join(www, "big.bin"), "wb") as f:
            f.write(cls.big)
        with open(os.path.join(cls.host.home, "secret.txt"), "w") as f:
            f.write("secret")
        os.symlink(os.path.join(cls.host.home, "secret.txt"), os.path.join(www, "out.txt"))
        os.symlink(cls.host.home, os.path.join(www, "homedir"))
        os.symlink("page.html", os.path.join(www, "same.html"))

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def test_files_are_served(self):
        status, headers, body = self.host.request("GET", "/files/big.bin")
        self.assertEqual(status, 200)
        self.assertEqual(body, self.big)
        status, headers, body = self.host.request("GET", "/files/same.html")
        self.assertEqual(status, 200)
        self.assertIn(("Content-Type", "text/html"), headers)
        self.assertEqual(self.host.request("GET", "/files/missing.html")[0], 404)

    def test_paths_leaving_the_web_root_are_refused(self):
        for path in ["/files/../home/NEXUM2.INI", "/files/%2e%2e/home/NEXUM2.INI",
                     "/files/%2E%2E%2Fhome%2FNEXUM2.INI", "/files/..%2fhome",
                     "/files/..%5chome", "/files/page.html%00.txt", "/files/out.txt",
                     "/files/homedir/secret.txt", "/files/./page.html"]:
            status, _, body = self.host.request("GET", path)
            self.assertEqual(status, 403, path)
            self.assertNotIn(b"secret", body)
        # curl normalises "..": --path-as-is sends it as typed.
        self.assertEqual(curl_status("--path-as-is",
                                     self.host.url("/files/../home/secret.txt")), 403)

    def test_a_web_root_holding_the_home_directory_serves_none_of_its_files(self):
        # The administrator's slip: the web root set to the home directory, or to a directory
        # above it. Settings, account files (passwords) and mailboxes stay private.
        for root, inside, outside in ((lambda h: h.home, "", None),
                                      (lambda h: h.root, "home/", "www/page.html")):
            host = WebHost(webrootdir=root)
            try:
                os.makedirs(os.path.join(host.home, "MAILIN", "alice"))
                with open(os.path.join(host.home, "MAILIN", "alice", "MAILBOX.INI"), "w") as f:
                    f.write("[SETUP]\r\npwd=2INIFIOINIFIB\r\n")
                with open(os.path.join(host.www, "page.html"), "w") as f:
                    f.write("page")
                for name in ("NEXUM2.INI", "MAILIN/alice/MAILBOX.INI"):
                    status, _, body = host.request("GET", "/files/" + inside + name)
                    self.assertEqual(status, 403, inside + name)
                    self.assertNotIn(b"pwd=", body)
                    self.assertNotIn(b"[SMTP]", body)
                if outside:
                    self.assertEqual(host.request("GET", "/files/" + outside)[:3:2],
                                     (200, b"page"))
            finally:
                host.close()

    def test_chromium_loads_a_static_page(self):
        profile = tempfile.mkdtemp(prefix="qvchrome.")
        try:
            dom = subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--user-data-dir=" + profile, "--dump-dom", self.host.url("/files/page.html")],
                capture_output=True, timeout=120, env=dict(os.environ, HOME=profile))
        finally:
            shutil.rmtree(profile, ignore_errors=True)
        self.assertIn(b'<p id="x">static page</p>', dom.stdout, dom.stderr[-2000:])


class Uploads(unittest.TestCase):
    """The probe build keeps the uploads and lists what its page received."""

    def setUp(self):
        self.host = WebHost(library=PROBE)

    def tearDown(self):
        self.host.close()

    def test_curl_form_fields_and_files(self):
        work = tempfile.mkdtemp(prefix="qvup.")
        try:
            data = bytes(range(256)) * 40 + b"\r\n--not-a-boundary\r\n\r\n"
            upload = os.path.join(work, "up load.bin")
            with open(upload, "wb") as f:
                f.write(data)
            text = os.path.join(work, "text.txt")
            with open(text, "wb") as f:
                f.write(b"line one\r\nline two\r\n")
            result = curl("-F", "f=@%s" % upload, "-F", "t=<%s" % text, "-F", "n=first",
                          "-F", "n=second", self.host.url("/kaldor.dll?ProcessForm"))
            fields = probe_lines(result.stdout)
            self.assertEqual(fields["n"], ["6", "second"])  # two parts, one name: the last
            # The text (20 bytes) ends in CR LF, followed by the CR LF that belongs to the
            # boundary: only the latter is gone (22 would keep it, 18 would cut the text's own).
            self.assertEqual(fields["t"][0], "20")
            path, size = fields["f"][1], int(fields["f"][2])
            self.assertEqual(size, len(data))
            self.assertEqual(int(fields["f"][0]), len(path) + 1 + len("up load.bin") + 1)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
            self.assertEqual(os.stat(os.path.dirname(path)).st_mode & 0o777, 0o700)
            self.assertRegex(os.path.basename(path), r"^F\d{7}\.TMP$")
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_url_encoded_form(self):
        status, _, body = self.host.request(
            "POST", "/kaldor.dll?Mailbox", body=b"a=1&a=2&name%41=x%41&flag&p=a+b",
            headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 200)
        fields = probe_lines(body)
        self.assertEqual(fields["a"], ["1", "2"])
        self.assertEqual(fields["name%41"], ["2", "xA"])
        self.assertEqual(fields["flag"], ["0", ""])
        self.assertEqual(fields["p"], ["3", "a b"])

    def test_100_mb_upload_arrives_whole_with_bounded_memory(self):
        work = tempfile.mkdtemp(prefix="qvup.")
        try:
            upload = os.path.join(work, "big.bin")
            digest = hashlib.sha256()
            block = os.urandom(1024 * 1024)
            with open(upload, "wb") as f:
                for i in range(100):
                    chunk = block[i:] + block[:i]  # CR and LF bytes fall everywhere
                    f.write(chunk)
                    digest.update(chunk)
            before = peak_rss_kb(self.host.proc.pid)
            started = time.monotonic()
            result = curl("-F", "f=@%s" % upload, self.host.url("/kaldor.dll?ProcessForm"))
            elapsed = time.monotonic() - started
            peak = peak_rss_kb(self.host.proc.pid)
            fields = probe_lines(result.stdout)
            path = fields["f"][1]
            self.assertEqual(int(fields["f"][2]), 100 * 1024 * 1024)
            check = hashlib.sha256()
            with open(path, "rb") as f:
                for piece in iter(lambda: f.read(1 << 20), b""):
                    check.update(piece)
            self.assertEqual(check.hexdigest(), digest.hexdigest())
            print("\n100 MB upload: host peak RSS %d KB (before %d KB), %.1f s"
                  % (peak, before, elapsed))
            self.assertLess(peak, 64 * 1024, "the host held the upload in memory")
        finally:
            shutil.rmtree(work, ignore_errors=True)


class Limits(unittest.TestCase):
    def setUp(self):
        self.host = WebHost(timeout=3, extra=("--max-body", str(50 * 1024 * 1024)))

    def tearDown(self):
        self.host.close()

    def test_slow_client_is_cut_off_after_the_time_out(self):
        body = (b"--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n"
                + b"x" * 200 + b"\r\n--B--\r\n")
        s = socket.create_connection(("127.0.0.1", self.host.port), timeout=30)
        s.sendall(b"POST /kaldor.dll?ProcessForm HTTP/1.1\r\nHost: x\r\n"
                  b"Content-Type: multipart/form-data; boundary=B\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(body))
        started = time.monotonic()
        closed = False
        try:
            for byte in body:
                s.sendall(bytes([byte]))
                time.sleep(1)
                if time.monotonic() - started > 30:
                    break
        except (BrokenPipeError, ConnectionResetError):
            closed = True
        if not closed:
            s.settimeout(10)
            try:
                closed = s.recv(4096) == b""
            except (ConnectionResetError, socket.timeout):
                closed = True
        elapsed = time.monotonic() - started
        s.close()
        self.assertTrue(closed)
        self.assertLess(elapsed, 30, "the slow request was not cut off")
        self.assertTrue(wait_for(lambda: self.host.uploads() == [], 10), self.host.uploads())
        self.assertEqual(self.host.request("GET", INSTALL)[0], 200)

    def test_client_sending_its_headers_a_byte_a_second_is_cut_off(self):
        headers = b"Host: 127.0.0.1\r\nUser-Agent: slow\r\nX-Pad: " + b"p" * 40 + b"\r\n\r\n"
        s = socket.create_connection(("127.0.0.1", self.host.port), timeout=30)
        s.sendall(b"GET /kaldor.dll?Install&a&b&c HTTP/1.1\r\n")
        started = time.monotonic()
        closed = False
        try:
            for byte in headers:
                s.sendall(bytes([byte]))
                time.sleep(1)
                if time.monotonic() - started > 30:
                    break
                s.settimeout(0.01)
                try:
                    if s.recv(4096) == b"":
                        closed = True
                        break
                except socket.timeout:
                    pass
        except (BrokenPipeError, ConnectionResetError):
            closed = True
        elapsed = time.monotonic() - started
        s.close()
        # The time-out is 3 s; idle timers alone would never fire for this client.
        self.assertTrue(closed, "the slow client was still connected after %.0f s" % elapsed)
        self.assertLess(elapsed, 20)
        self.assertEqual(self.host.request("GET", INSTALL)[0], 200)

    def test_body_over_the_host_limit_is_413(self):
        status, _, _ = self.host.request(
            "POST", "/kaldor.dll?ProcessForm", body=b"x" * 10,
            headers={"Content-Length": str(50 * 1024 * 1024 + 1),
                     "Content-Type": "multipart/form-data; boundary=B"})
        self.assertEqual(status, 413)

    def test_thousand_open_connections_and_the_host_still_answers(self):
        # A time-out long enough that no connection is cut while a slow (sanitizer) build is
        # still accepting the others.
        self.host.close()
        self.host = WebHost(timeout=120)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
        sockets = []
        try:
            for i in range(1000):
                s = socket.create_connection(("127.0.0.1", self.host.port), timeout=30)
                s.sendall(b"GET /kaldor.dll?Install HTTP/1.1\r\n")  # never finished
                sockets.append(s)
            # The host holds them all (a descriptor each), not just the kernel's backlog.
            fds = "/proc/%d/fd" % self.host.proc.pid
            self.assertTrue(wait_for(lambda: len(os.listdir(fds)) >= 1000, 90),
                            len(os.listdir(fds)))
            started = time.monotonic()
            status, _, body = self.host.request("GET", INSTALL, timeout=30)
            self.assertEqual(status, 200)
            self.assertIn(b"Installation complete", body)
            self.assertLess(time.monotonic() - started, 30)
        finally:
            for s in sockets:
                s.close()
        self.assertEqual(self.host.request("GET", INSTALL)[0], 200)

    def test_sigterm_stops_the_host(self):
        self.assertEqual(self.host.request("GET", INSTALL)[0], 200)
        self.assertEqual(self.host.stop(), 0)
        self.assertIn("kaldor-host: stopped", self.host.output())


if __name__ == "__main__":
    unittest.main()
