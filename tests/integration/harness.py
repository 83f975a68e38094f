"""Helpers for driving the quorvale program in tests: a home directory of its own, the locator
file in a private WINDIR, start and stop by process id."""

import configparser
import os
import shutil
import signal
import sys
import subprocess
import tempfile
import time

BINARY = os.environ.get("QUORVALE_BIN", "quorvale")


def read_ini(path, section, key, default=None):
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    parser.optionxform = str.lower
    try:
        with open(path, encoding="latin-1") as f:
            parser.read_string(f.read())
    except FileNotFoundError:
        return default
    for name in parser.sections():
        if name.lower() == section.lower():
            return parser[name].get(key.lower(), default)
    return default


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def converse(port, script, read_greeting=True, timeout=10):
    """Sends each chunk of `script` to a server on 127.0.0.1:`port` and returns everything it
    answered (decoded as Latin-1). Replies are read as they come, since a server that ends the
    conversation may reset the connection and lose what was not yet read; after the script the
    writing side is closed and the rest is read until the server closes."""
    import socket
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    answers = b""

    def drain(wait):
        nonlocal answers
        s.settimeout(wait)
        try:
            while True:
                data = s.recv(65536)
                if not data:
                    return False
                answers += data
        except socket.timeout:
            return True

    try:
        if read_greeting:
            answers += s.recv(4096)
        for chunk in script:
            s.sendall(chunk)
            if not drain(0.2):
                break
        s.shutdown(socket.SHUT_WR)
        drain(timeout)
    except OSError:
        pass
    finally:
        s.close()
    return answers.decode("latin-1")


def queue_item(home, number, message, envelope):
    """Drops a complete item into INQUEUE as a writer without a busy marker must: the envelope
    first, then the finished message renamed into its name, so that no reader (nor the recovery
    of interrupted writes) ever sees a message without its envelope or half written."""
    inqueue = home.path("INQUEUE")
    os.makedirs(inqueue, exist_ok=True)
    with open(os.path.join(inqueue, "R%07d.TMP" % number), "wb") as f:
        f.write(envelope)
    temp = os.path.join(inqueue, "~M%07d.TMP.part" % number)
    with open(temp, "wb") as f:
        f.write(message)
    os.rename(temp, os.path.join(inqueue, "M%07d.TMP" % number))


CRASH_SIGNALS = (signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGILL)


class Home:
    """A throw-away installation: WINDIR with TORVIK.INI and a home directory with NEXUM2.INI."""

    def __init__(self, smtp_port=0, pop3_port=0, write_locator=True, max_sessions=None):
        self.root = tempfile.mkdtemp(prefix="qvit.")
        self.windir = os.path.join(self.root, "windir")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.windir)
        os.makedirs(self.home)
        if write_locator:
            with open(os.path.join(self.windir, "TORVIK.INI"), "w", newline="") as f:
                f.write("[Settings]\r\nHomeDir=%s\r\n" % self.home)
        with open(self.path("NEXUM2.INI"), "w", newline="") as f:
            f.write("[SMTP]\r\nDomain=example.test\r\nsmtpport=%d\r\npop3port=%d\r\n"
                    % (smtp_port, pop3_port))
            if max_sessions is not None:
                f.write("MaxSessions=%d\r\n" % max_sessions)
        self.procs = []
        self.logs = {}  # process number -> its output file

    def path(self, *names):
        return os.path.join(self.home, *names)

    def env(self):
        env = dict(os.environ)
        env["WINDIR"] = self.windir
        return env

    def start(self, *args, stdin=subprocess.DEVNULL, capture=False, wrapper=(), preexec_fn=None):
        """Starts the program. Its output goes to a file under the test's root (a pipe nobody
        reads could fill up and stop it), or to pipes when the test reads them (`capture`).
        `wrapper` is a command that runs the program (given as its last arguments)."""
        if capture:
            out = err = subprocess.PIPE
        else:
            out = err = open(os.path.join(self.root, "program.%d.log" % len(self.procs)), "w")
            self.logs[len(self.procs)] = out.name
        proc = subprocess.Popen([*wrapper, BINARY, *args], env=self.env(), stdin=stdin,
                                stdout=out, stderr=err, text=True, preexec_fn=preexec_fn)
        if not capture:
            out.close()
        self.procs.append(proc)
        return proc

    def run(self, *args, timeout=20):
        return subprocess.run([BINARY, *args], env=self.env(), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def published(self, key):
        value = read_ini(self.path("QUORVALE.INI"), "data", key, "0")
        return int(value or 0)

    def message_log(self):
        try:
            with open(self.path("message.log"), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def post(self, process_id, word, code, name="KESTRUM_SMTP_STOP"):
        import socket
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            sock.sendto(("%s %d %d" % (name, word, code)).encode(),
                        self.path("QUORVALE.%d.sig" % process_id))
        finally:
            sock.close()

    def close(self):
        for number, proc in enumerate(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
            elif number in self.logs and (proc.returncode > 0 or -proc.returncode in CRASH_SIGNALS):
                # A program that died on its own (a sanitizer report, a crash) says why here,
                # before its home is removed.
                with open(self.logs[number], errors="replace") as f:
                    sys.stderr.write("\n--- program %d exited with %d; its output:\n%s\n"
                                     % (number, proc.returncode, f.read()[-20000:]))
            proc.wait(timeout=10)
            for stream in (proc.stdout, proc.stderr, proc.stdin):
                if stream:
                    stream.close()
        if not os.environ.get("QV_KEEP_HOME"):  # kept for a look after a failure
            shutil.rmtree(self.root, ignore_errors=True)


class Terminal:
    """The program on a pseudo-terminal of its own, as a person at a terminal runs it: the
    terminal is its standard input, output and error and its controlling terminal (so that
    Ctrl-C typed on it is SIGINT). What it prints is collected as it comes; `expect` waits for a
    text to appear after what earlier expects consumed."""

    def __init__(self, args, env, cwd=None, program=None):
        import fcntl
        import pty
        import termios
        self.master, slave = pty.openpty()

        def controlling_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.started = time.monotonic()
        self.proc = subprocess.Popen([program or BINARY, *args], env=env, cwd=cwd, stdin=slave,
                                     stdout=slave, stderr=slave, close_fds=True,
                                     preexec_fn=controlling_terminal)
        os.close(slave)
        self.pid = self.proc.pid
        self.output = ""
        self.seen = 0  # how much of the output earlier expects consumed

    def read_some(self, wait):
        import select
        ready, _, _ = select.select([self.master], [], [], max(wait, 0))
        if not ready:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:  # the program has ended and closed the terminal
            data = b""
        if not data:
            time.sleep(min(wait, 0.05))
            return False
        self.output += data.decode("latin-1").replace("\r\n", "\n")
        return True

    def expect(self, text, timeout=10.0):
        """True once `text` appears after the consumed output (which then ends after it)."""
        deadline = time.monotonic() + timeout
        while True:
            at = self.output.find(text, self.seen)
            if at >= 0:
                self.seen = at + len(text)
                return True
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            self.read_some(remaining)

    def type(self, line):
        os.write(self.master, (line + "\n").encode())

    def drain(self, wait=0.2):
        while self.read_some(wait):
            pass
        return self.output[self.seen:]

    def wait(self, timeout):
        """The exit status, reading the terminal meanwhile (a full terminal would block it)."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self.read_some(0.05)
        return self.proc.wait(timeout=max(deadline - time.monotonic(), 0.1))

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        os.close(self.master)
