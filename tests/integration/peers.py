"""Mail servers that receive what our SMTP client sends, on loopback port 25 of an address of
their own (the client always connects to port 25): the packaged SMTP sink, which stores each
transaction in a file, and a scripted sink written on Debian's SMTP server library that answers
by recipient (reject* 550 at RCPT, defer* 451 at RCPT, dataerr* 554 after the data) and records
the envelope and the exact bytes. Each is started as a process and stopped by its process id."""

import glob
import re
import shutil
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


def open_way_for_others(path):
    """Lets other users pass through `path` and every directory above it (search bit only):
    peers that drop to their own users must reach the directories made for them."""
    while path != "/":
        mode = os.stat(path).st_mode
        if not mode & 0o001:
            os.chmod(path, (mode & 0o7777) | 0o001)
        path = os.path.dirname(path)


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
        open_way_for_others(os.path.dirname(os.path.abspath(directory)))
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


class PostfixPeer:
    """A real Postfix of its own (configuration, queue and data directories under `work`)
    listening on `address`:25, which stores every message for `domain` in one maildir,
    `work`/mail/inbox. It never relays and never looks a name up. Started with the postfix
    command and stopped by the process id of its master."""

    POSTFIX = "/usr/sbin/postfix"

    def __init__(self, address, work, domain):
        self.address = address
        self.work = work
        conf, spool, data, mail = (os.path.join(work, d) for d in ("conf", "spool", "data", "mail"))
        for d in (conf, spool, data, mail):
            os.makedirs(d, exist_ok=True)
        # Postfix's own users reach their directories through the way to `work`.
        open_way_for_others(os.path.abspath(work))
        shutil.chown(data, "postfix")
        shutil.chown(mail, "nobody", "nogroup")
        self.maildir = os.path.join(mail, "inbox")
        self.log = os.path.join(work, "postfix.log")
        with open(os.path.join(conf, "main.cf"), "w") as f:
            f.write("\n".join([
                "compatibility_level = 3.6",
                "queue_directory = " + spool,
                "data_directory = " + data,
                "myhostname = mx.%s" % domain,
                "mydomain = " + domain,
                "mydestination =",
                "inet_interfaces = all",
                "inet_protocols = ipv4",
                "mynetworks = 127.0.0.0/8",
                "smtp_dns_support_level = disabled",
                "smtpd_peername_lookup = no",
                "virtual_mailbox_domains = " + domain,
                "virtual_mailbox_base = " + mail,
                "virtual_mailbox_maps = static:inbox/",
                "virtual_uid_maps = static:65534",
                "virtual_gid_maps = static:65534",
                "virtual_minimum_uid = 100",
                "default_transport = error:no relaying",
                "relay_transport = error:no relaying",
                "smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination",
                "maillog_file = " + self.log,
                "maillog_file_prefixes = " + work,
                "alias_maps =", "alias_database =", "biff = no", ""]))
        # The package's service table (installed as /etc/postfix/master.cf when the system's own
        # Postfix was configured at installation).
        table = "/etc/postfix/master.cf"
        if not os.path.exists(table):
            table = "/usr/share/postfix/master.cf.dist"
        with open(table) as f:
            master = f.read()
        # The SMTP server on this address only; no chroot (nothing is copied into one).
        master = re.sub(r"(?m)^smtp(\s+inet\s)", address + r":25\1", master)
        with open(os.path.join(conf, "master.cf"), "w") as f:
            f.write(master)
        self.conf = conf
        subprocess.run(["/usr/sbin/postconf", "-c", conf, "-F", "*/*/chroot = n"], check=True)
        subprocess.run([self.POSTFIX, "-c", conf, "start"], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        pid_file = os.path.join(spool, "pid", "master.pid")
        if not wait_until(lambda: accepting(address) and os.path.exists(pid_file), 30):
            raise RuntimeError("postfix on %s:25 did not start" % address)
        with open(pid_file) as f:
            self.pid = int(f.read().strip())

    def messages(self):
        """The stored messages (bytes, LF line ends as Postfix stores them), oldest first."""
        out = []
        for sub in ("new", "cur"):
            for path in glob.glob(os.path.join(self.maildir, sub, "*")):
                with open(path, "rb") as f:
                    out.append((os.path.getmtime(path), f.read()))
        return [m for _, m in sorted(out)]

    def stop(self):
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        def gone():
            try:
                os.kill(self.pid, 0)
                return False
            except ProcessLookupError:
                return True
        if not wait_until(gone, 20):
            os.kill(self.pid, signal.SIGKILL)
