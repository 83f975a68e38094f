"""POP3 retrieval timing with Python's poplib: connect, USER/PASS, STAT, RETR of every message,
QUIT. Prints one CSV line per run: server,scenario,run,messages,bytes,seconds,msg_s,MB_s.
Usage: pop3_client.py SERVER SCENARIO PORT USER PASSWORD RUNS EXPECTED"""
import poplib
import sys
import time

server, scenario, port, user, password, runs, expected = sys.argv[1:8]
for run in range(1, int(runs) + 1):
    start = time.perf_counter()
    p = poplib.POP3("127.0.0.1", int(port), timeout=60)
    p.user(user)
    p.pass_(password)
    count, _ = p.stat()
    total = 0
    for i in range(1, count + 1):
        _, lines, octets = p.retr(i)
        total += octets
    p.quit()
    secs = time.perf_counter() - start
    if count != int(expected):
        sys.exit("%s: %d messages instead of %s" % (server, count, expected))
    print("%s,%s,%d,%d,%d,%.4f,%.1f,%.2f" % (server, scenario, run, count, total, secs,
                                              count / secs, total / secs / 1e6), flush=True)
