#!/usr/bin/env python3
"""Benchmark: a 200 MB message parsed and its big attachment extracted by qvmime, with the time
and the peak resident memory of each run (from /usr/bin/time -v when it is installed, else from
the kernel's account of the child). The attachment is checked against its SHA-256. One message
per transfer encoding of the attachment: base64, x-uuencode and application/mac-binhex40.

    big_message_bench.py QVMIME [SIZE_MB] [ENCODING ...]

Give a second QVMIME with --before=PATH to run an older build beside it on the same messages.
The messages are written to a temporary directory and removed afterwards."""

import base64
import binascii
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HEAD = (b"From: big@example.test\r\nTo: user@example.test\r\nSubject: one big attachment\r\n"
        b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"big-boundary\"\r\n\r\n"
        b"--big-boundary\r\nContent-Type: text/plain\r\n\r\nOne big attachment follows.\r\n")
TAIL = b"--big-boundary\r\nContent-Type: text/plain\r\n\r\nThe end.\r\n--big-boundary--\r\n"
BINHEX_ALPHABET = b"!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"
TO_BINHEX = bytes.maketrans(
    b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", BINHEX_ALPHABET)


def data_size(size_mb, encoded_ratio):
    return int(size_mb * 1000 * 1000 / encoded_ratio)


def blocks(size_mb, encoded_ratio, block):
    """Random blocks whose encoded text makes a message of about size_mb."""
    rng = random.Random(5)
    total = data_size(size_mb, encoded_ratio)
    while total > 0:
        n = min(block, total)
        total -= n
        yield rng.randbytes(n)


class BinHexWriter:
    """BinHex 4.0 text (RFC 1741) written as it goes: 0x90 escaped, 64 characters a line."""

    def __init__(self, out):
        self.out, self.pending, self.line = out, b"", b""

    def put(self, raw):
        self.pending += raw.replace(b"\x90", b"\x90\x00")
        whole = len(self.pending) // 48 * 48
        if whole:
            self.emit(base64.b64encode(self.pending[:whole]).translate(TO_BINHEX))
            self.pending = self.pending[whole:]

    def emit(self, text):
        text = self.line + text
        cut = len(text) // 64 * 64
        for k in range(0, cut, 64):
            self.out.write(text[k:k + 64] + b"\r\n")
        self.line = text[cut:]

    def close(self):
        self.emit(base64.b64encode(self.pending).rstrip(b"=").translate(TO_BINHEX))
        self.out.write(self.line + b":\r\n")


def build(path, size_mb, encoding):
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        f.write(HEAD)
        if encoding == "base64":
            f.write(b"--big-boundary\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
                    b"Content-Transfer-Encoding: base64\r\n\r\n")
            for data in blocks(size_mb, 78 / 57, 57 * 1024):
                digest.update(data)
                f.write(base64.encodebytes(data).replace(b"\n", b"\r\n"))
        elif encoding == "uu":
            f.write(b"--big-boundary\r\nContent-Type: application/octet-stream\r\n"
                    b"Content-Transfer-Encoding: x-uuencode\r\n\r\nbegin 644 big.bin\r\n")
            for data in blocks(size_mb, 63 / 45, 45 * 1024):
                digest.update(data)
                f.write(b"".join(binascii.b2a_uu(data[k:k + 45], backtick=True)[:-1] + b"\r\n"
                                 for k in range(0, len(data), 45)))
            f.write(b"`\r\nend\r\n")
        else:
            f.write(b"--big-boundary\r\nContent-Type: application/mac-binhex40; name=\"big.bin\"\r\n"
                    b"\r\n(This file must be converted with BinHex 4.0)\r\n:")
            ratio = 66 / 48 * 257 / 256
            length = data_size(size_mb, ratio)
            out = BinHexWriter(f)
            name = b"big.bin"
            header = bytes([len(name)]) + name + b"\0BINAmime\0\0" + length.to_bytes(4, "big") + \
                bytes(4)
            out.put(header + binascii.crc_hqx(header, 0).to_bytes(2, "big"))
            crc = 0
            for data in blocks(size_mb, ratio, 48 * 1024):
                digest.update(data)
                crc = binascii.crc_hqx(data, crc)
                out.put(data)
            out.put(crc.to_bytes(2, "big") + b"\0\0")  # and the empty resource fork's CRC
            out.close()
        f.write(TAIL)
    return digest.hexdigest()


def run(argv, sink):
    """Exit status, seconds and peak resident size in MB of one run; its output goes to sink."""
    timed = os.path.exists("/usr/bin/time")
    start = time.monotonic()
    proc = subprocess.Popen((["/usr/bin/time", "-v"] if timed else []) + argv,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    for chunk in iter(lambda: proc.stdout.read(1 << 20), b""):
        sink(chunk)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    rss = usage.ru_maxrss // 1024
    if timed:
        found = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", err)
        rss = int(found.group(1)) // 1024 if found else rss
    return os.waitstatus_to_exitcode(status), seconds, rss


def measure(label, qvmime, path, expected):
    out = bytearray()
    rc, seconds, rss = run([qvmime, "parse", path], out.extend)
    print("  %-7s parse:   exit %d, %6.2f s, peak RSS %4d MB" % (label, rc, seconds, rss))
    digest = hashlib.sha256()
    count = [0]

    def take(chunk):
        digest.update(chunk)
        count[0] += len(chunk)

    rc, seconds, rss = run([qvmime, "extract", path, "3"], take)
    same = digest.hexdigest() == expected
    print("  %-7s extract: exit %d, %6.2f s, peak RSS %4d MB, %d bytes, %s" %
          (label, rc, seconds, rss, count[0], "content matches" if same else "CONTENT DIFFERS"))
    return same


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--before=")]
    before = [a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--before=")]
    qvmime = args[0]
    size_mb = int(args[1]) if len(args) > 1 else 200
    encodings = args[2:] or ["base64", "uu", "binhex"]
    directory = tempfile.mkdtemp(prefix="qvbig.")
    ok = True
    try:
        for encoding in encodings:
            path = os.path.join(directory, "big-%s.eml" % encoding)
            expected = build(path, size_mb, encoding)
            print("%s message: %.1f MB" % (encoding, os.path.getsize(path) / 1e6))
            for label, binary in [("before", b) for b in before] + [("now", qvmime)]:
                same = measure(label, binary, path, expected)
                ok = ok and (same or label == "before")
            os.remove(path)
        return 0 if ok else 1
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
