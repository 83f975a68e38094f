"""Holds the items numbered 0..COUNT-1 of a queue directory as items being written: makes the
busy marker "B<7 digits>.TMP" of each and keeps an exclusive lock on it, so that distribution
passes them over (and start-up recovery sees their writer alive), until this process is ended
(SIGTERM). The locks are spread over child processes of at most 16,000 descriptors each (the
descriptor limit may be below COUNT). Prints "held COUNT" once every marker is held.
Usage: hold_items.py DIRECTORY COUNT"""
import ctypes
import fcntl
import os
import signal
import sys

CHUNK = 16000
directory, count = sys.argv[1], int(sys.argv[2])
ready_r, ready_w = os.pipe()
children = []
for first in range(0, count, CHUNK):
    pid = os.fork()
    if pid == 0:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: go with the parent
        held = []
        for i in range(first, min(first + CHUNK, count)):
            fd = os.open(os.path.join(directory, "B%07d.TMP" % i), os.O_RDWR | os.O_CREAT, 0o600)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held.append(fd)
        os.write(ready_w, b"x")
        signal.pause()
        os._exit(0)
    children.append(pid)


def stop(*_):
    for pid in children:
        os.kill(pid, signal.SIGTERM)
    for pid in children:
        os.waitpid(pid, 0)
    sys.exit(0)


signal.signal(signal.SIGTERM, stop)
got = 0
while got < len(children):
    got += len(os.read(ready_r, len(children) - got))
print("held %d" % count, flush=True)
while True:
    signal.pause()
