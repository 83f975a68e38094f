#!/usr/bin/env python3
"""Benchmark: one post to a mailing list of 2,000 members, from the SMTP transaction until every
member's mailbox holds the copy, with the running server. Checks that the list server queued the
post once (one new number of INQUEUE's sequence file for one item with every member as a
recipient) and that every mailbox got exactly one copy.

    list_post_bench.py QUORVALE [MEMBERS]

Run it inside a private network namespace (tests/integration/run_isolated.sh): the server
listens on loopback. The installation lives in a temporary directory removed afterwards."""

import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)


def account(home, name, aliases, members=None, setup="[SETUP]\r\n"):
    box = os.path.join(home, "MAILIN", name)
    os.makedirs(box, exist_ok=True)
    write(os.path.join(box, "MAILBOX.INI"), setup)
    text = "[ALIAS]\r\nn=%d\r\n" % len(aliases)
    text += "".join("%d=*\t%s\r\n" % (i, a) for i, a in enumerate(aliases)) + "[END_ALIAS]\r\n"
    if members is not None:
        text += "[MEMBERS]\r\nn=%d\r\n" % len(members)
        text += "".join("%d=*\t%s\t0\r\n" % (i, a) for i, a in enumerate(members)) + "[END_MEMBERS]\r\n"
    write(os.path.join(box, "MEMBERS.INI"), text)


def sequence(home):
    try:
        with open(os.path.join(home, "INQUEUE", "useqf")) as f:
            return int(f.read().strip() or 0)
    except FileNotFoundError:
        return 0


def main():
    binary = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    root = tempfile.mkdtemp(prefix="qvlist.")
    proc = None
    try:
        windir, home = os.path.join(root, "windir"), os.path.join(root, "home")
        os.makedirs(windir)
        os.makedirs(home)
        smtp_port = free_port()
        write(os.path.join(windir, "TORVIK.INI"), "[Settings]\r\nHomeDir=%s\r\n" % home)
        write(os.path.join(home, "NEXUM2.INI"),
              "[SMTP]\r\nDomain=example.test\r\nsmtpport=%d\r\npop3port=0\r\nIPaddress=127.0.0.1\r\n"
              "DeliveryDelay=1\r\n" % smtp_port)
        names = ["m%04d" % i for i in range(count)]
        write(os.path.join(home, "mailbox.cfg"), "".join("%s:*:0\r\n" % n for n in ["master", "big"] + names))
        account(home, "master", ["master@example.test"])
        for n in names:
            account(home, n, ["%s@example.test" % n])
        account(home, "big", ["big@example.test", "big-request@example.test"],
                ["%s@example.test" % n for n in names],
                "[SETUP]\r\nMailingList=1\r\n[LIST]\r\nversion=2\r\nMailListAddress=big@example.test\r\n"
                "Moderator=master@example.test\r\n")
        env = dict(os.environ, WINDIR=windir)
        log = open(os.path.join(root, "server.log"), "w")
        proc = subprocess.Popen([binary, "-server"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()

        def listening():
            try:
                socket.create_connection(("127.0.0.1", smtp_port), timeout=1).close()
                return True
            except OSError:
                return False

        if not wait_for(listening, 120):
            sys.exit("the server did not start")
        before = sequence(home)
        boxes = [os.path.join(home, "MAILIN", n) for n in names]

        def delivered():
            return sum(1 for b in boxes for e in os.listdir(b) if e.lower().endswith(".mim"))

        start = time.monotonic()
        with smtplib.SMTP("127.0.0.1", smtp_port, timeout=60) as s:
            s.sendmail("m0000@example.test", ["big@example.test"],
                       b"From: m0000@example.test\r\nSubject: to all\r\n\r\n" + b"A line of the post.\r\n" * 40)
        accepted = time.monotonic()
        archive = os.path.join(home, "MAILIN", "big")
        served = []  # when the list server was done: its archive copy is its last step

        def all_delivered():
            if not served and any(e.lower().endswith(".mim") for e in os.listdir(archive)):
                served.append(time.monotonic())
            return delivered() >= count

        if not wait_for(all_delivered, 600, step=0.2):
            sys.exit("only %d of %d mailboxes got the post" % (delivered(), count))
        done = time.monotonic()
        copies = delivered()
        queued = sequence(home) - before
        print("members: %d" % count)
        print("SMTP transaction: %.2f s" % (accepted - start))
        if served:
            print("post accepted -> list server done (archived, one item queued): %.2f s" % (served[0] - accepted))
        print("post accepted -> %d mailboxes: %.2f s" % (count, done - accepted))
        print("copies: %d, list items queued: %d" % (copies, queued))
        if copies != count or queued != 1:
            sys.exit("expected one queued item and one copy per member")
    finally:
        if proc is not None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
