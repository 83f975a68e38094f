"""SMTP acceptance rate: SESSIONS connections in parallel, each sending its share of COUNT
messages of SIZE bytes over the one connection (MAIL, RCPT, DATA per message). The time runs from
the first connection to the last "250" after DATA; QUIT (and what the server does after it) is
outside (every session waits for the others before its QUIT). Prints messages per second.
Usage: smtp_rate_client.py PORT SESSIONS COUNT SIZE"""
import smtplib
import sys
import threading
import time

port, sessions, count, size = (int(a) for a in sys.argv[1:5])
line = b"x" * 74 + b"\r\n"
body = b"From: zoe@far.test\r\nTo: user1@example.test\r\nSubject: rate\r\n\r\n" + line * max(1, (size - 60) // 76)
failed = []
done = []
barrier = threading.Barrier(sessions)


def session(share):
    try:
        s = smtplib.SMTP("127.0.0.1", port, timeout=120)
        s.ehlo("client.test")
        for _ in range(share):
            s.sendmail("sender@remote.test", ["user1@example.test"], body)
        done.append(time.perf_counter())
        # QUIT only when every session is done: the end of a session starts a distribution run,
        # which is not part of the acceptance being timed.
        barrier.wait(timeout=600)
        s.quit()
    except Exception as e:  # noqa: BLE001 - any failure spoils the figure
        failed.append(repr(e))
        barrier.abort()


shares = [count // sessions + (1 if i < count % sessions else 0) for i in range(sessions)]
start = time.perf_counter()
threads = [threading.Thread(target=session, args=(n,)) for n in shares]
for t in threads:
    t.start()
for t in threads:
    t.join()
if failed:
    sys.exit("failed: %s" % failed[0])
print("%.1f" % (count / (max(done) - start)))
