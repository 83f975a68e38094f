"""Mail servers that receive what our SMTP client sends, on loopback port 25 of an address of
their own (the client always connects to port 25): the packaged SMTP sink, which stores each
transaction in a file, and a scripted sink written on Debian's SMTP server library that answers
by recipient (reject* 550 at RCPT, defer* 451 at RCPT, dataerr* 554 after the data) and records
the envelope and the exact bytes. Each is started as a process and stopped by its process id."""

import glob
import os
import signal
import socket
import subprocess
import time

DEBIAN_PYTHON = "/usr/bin/python3"  # the interpreter Debian's packages are installed for
SMTP_SINK = "/usr/sbin/smtp-sink"


def accepting(address, port=25):
    try:
        socket.create_connection((address, port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Peer:
    def __init__(self, proc, address):
        self.proc = proc
        self.address = address
        if not wait_until(lambda: accepting(address) or proc.poll() is not None, 20):
            raise RuntimeError("peer on %s:25 did not start" % address)
        if proc.poll() is not None:
            raise RuntimeError("peer on %s:25 ended at once" % address)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


class SinkPeer(Peer):
    """The packaged sink: one file per transaction under `directory`, each beginning with the
    sink's own lines (X-Client-Addr, X-Helo-Args, X-Mail-Args, X-Rcpt-Args, Received) followed by
    the message as received. `options` are the sink's fault switches (-e: no EHLO, ...)."""

    def __init__(self, address, directory, name="mx.test", options=()):
        os.makedirs(directory, exist_ok=True)
        # The sink writes as nobody: its directory, and the way to it, must let nobody in.
        os.chmod(directory, 0o777)
        parent = os.path.dirname(os.path.abspath(directory))
        while parent != "/":
            mode = os.stat(parent).st_mode
            if not mode & 0o001:
                os.chmod(parent, (mode & 0o7777) | 0o001)
            parent = os.path.dirname(parent)
        self.directory = directory
        proc = subprocess.Popen(
            [SMTP_SINK, "-u", "nobody", "-h", name, *options, "-d",
             os.path.join(directory, "%M."), "%s:25" % address, "10"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        super().__init__(proc, address)

    def messages(self):
        """(envelope lines as a dict, message bytes) per transaction, oldest first."""
        out = []
        for path in sorted(glob.glob(os.path.join(self.directory, "*")), key=os.path.getmtime):
            with open(path, "rb") as f:
                data = f.read()
            head, _, rest = data.partition(b"Received: ")
            # The sink's Received line has continuation lines; the message follows them.
            lines = rest.split(b"\r\n") if b"\r\n" in rest else rest.split(b"\n")
            i = 1
            while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
                i += 1
            sep = b"\r\n" if b"\r\n" in rest else b"\n"
            envelope = {}
            for line in head.splitlines():
                key, _, value = line.decode("latin-1").partition(": ")
                envelope.setdefault(key, []).append(value)
            out.append((envelope, sep.join(lines[i:])))
        return out


class ScriptedPeer(Peer):
    """scripted_sink.py: each accepted message is appended to `record` as three lines
    X-Envelope-From / X-Envelope-To / X-Peer-Helo and the bytes as received; with `etrn` it
    offers ETRN and notes each request in `record`.etrn."""

    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripted_sink.py")

    def __init__(self, address, record, name="mx2.test", etrn=False):
        self.record = record
        proc = subprocess.Popen([DEBIAN_PYTHON, self.SCRIPT, address, "25", record, "--hostname",
                                 name, *(["--etrn"] if etrn else [])],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        super().__init__(proc, address)

    def messages(self):
        """(from, [to...], helo, message bytes) per accepted message."""
        try:
            with open(self.record, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        out = []
        for chunk in data.split(b"X-Envelope-From: ")[1:]:
            sender, _, rest = chunk.partition(b"\r\n")
            to_line, _, rest = rest.partition(b"\r\n")
            helo_line, _, message = rest.partition(b"\r\n")
            out.append((sender.decode(), to_line.decode().split(": ", 1)[1].split(","),
                        helo_line.decode().split(": ", 1)[1], message))
        return out

    def etrn_requests(self):
        try:
            with open(self.record + ".etrn") as f:
                return f.read().split()
        except FileNotFoundError:
            return []
