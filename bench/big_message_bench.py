#!/usr/bin/env python3
"""Benchmark: a 200 MB message parsed and its big attachment extracted by qvmime, with the time
and the peak resident memory of each run. The attachment is checked against its SHA-256.

    big_message_bench.py QVMIME [SIZE_MB]

The message is written to a temporary directory and removed afterwards."""

import base64
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time


def build(path, size_mb):
    rng = random.Random(5)
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        f.write(b"From: big@example.test\r\nTo: user@example.test\r\nSubject: one big attachment\r\n"
                b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"big-boundary\"\r\n\r\n"
                b"--big-boundary\r\nContent-Type: text/plain\r\n\r\nOne big attachment follows.\r\n"
                b"--big-boundary\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
                b"Content-Transfer-Encoding: base64\r\n\r\n")
        target = size_mb * 1000 * 1000
        block = 57 * 1024
        while f.tell() < target:
            data = rng.randbytes(block)
            digest.update(data)
            f.write(base64.encodebytes(data).replace(b"\n", b"\r\n"))
        f.write(b"--big-boundary\r\nContent-Type: text/plain\r\n\r\nThe end.\r\n--big-boundary--\r\n")
    return digest.hexdigest()


def run(argv, sink):
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE)
    for chunk in iter(lambda: proc.stdout.read(1 << 20), b""):
        sink(chunk)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, time.monotonic() - start, usage.ru_maxrss // 1024


def main():
    qvmime = sys.argv[1]
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    directory = tempfile.mkdtemp(prefix="qvbig.")
    try:
        path = os.path.join(directory, "big.eml")
        expected = build(path, size_mb)
        print("message: %.1f MB" % (os.path.getsize(path) / 1e6))
        out = bytearray()
        rc, seconds, rss = run([qvmime, "parse", path], out.extend)
        print("parse:   exit %d, %.2f s, peak RSS %d MB" % (rc, seconds, rss))
        digest = hashlib.sha256()
        count = [0]

        def take(chunk):
            digest.update(chunk)
            count[0] += len(chunk)

        rc, seconds, rss = run([qvmime, "extract", path, "3"], take)
        same = digest.hexdigest() == expected
        print("extract: exit %d, %.2f s, peak RSS %d MB, %d bytes, %s" %
              (rc, seconds, rss, count[0], "content matches" if same else "CONTENT DIFFERS"))
        return 0 if same else 1
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
