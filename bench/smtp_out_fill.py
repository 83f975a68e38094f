#!/usr/bin/python3
"""The outbound benchmark's messages: COUNT messages of about SIZE bytes, one recipient each in
remote.test, the same bytes for both servers.
  smtp_out_fill.py queue DIR COUNT SIZE      complete items in an outbound queue directory
                                             (envelope first, then the message renamed)
  smtp_out_fill.py inject HOST:PORT COUNT SIZE   the same messages over one SMTP session
                                             (loopback only)"""
import os
import smtplib
import sys

SENDER = "zoe@example.test"


def message(i, size):
    head = (b"Message-Id: <bench-%d@example.test>\r\nFrom: %s\r\nTo: bench.%d@remote.test\r\n"
            b"Subject: outbound bench %d\r\n\r\n" % (i, SENDER.encode(), i, i))
    line = b"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\r\n"
    body = line * max(1, (size - len(head)) // len(line))
    return head + body


def queue(directory, count, size):
    os.makedirs(directory, exist_ok=True)
    for i in range(count):
        with open(os.path.join(directory, "I%07d.MIM" % i), "wb") as f:
            f.write(b"[From]\r\nFrom=%s\r\nSubject=outbound bench %d\r\n[To]\r\nn=1\r\n"
                    b"0=bench.%d@remote.test\r\n" % (SENDER.encode(), i, i))
        part = os.path.join(directory, "~M%07d.MIM.part" % i)
        with open(part, "wb") as f:
            f.write(b"X-IStatus:00000000000000000003\r\n" + message(i, size))
        os.rename(part, os.path.join(directory, "M%07d.MIM" % i))
    with open(os.path.join(directory, "useqf"), "w") as f:
        f.write("%d" % count)


def inject(target, count, size):
    host, port = target.rsplit(":", 1)
    if not host.startswith("127."):
        sys.exit("loopback targets only")
    s = smtplib.SMTP(host, int(port), local_hostname="client.test", timeout=60)
    for i in range(count):
        refused = s.sendmail(SENDER, ["bench.%d@remote.test" % i], message(i, size))
        if refused:
            sys.exit("refused: %r" % refused)
    s.quit()


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in ("queue", "inject"):
        sys.exit(__doc__)
    (queue if sys.argv[1] == "queue" else inject)(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
