"""POP3 mailbox opening timing with Python's poplib: connect, USER/PASS, STAT, LIST, QUIT.
Prints one CSV line per run: server,scenario,run,messages,seconds.
Usage: pop3_list_client.py SERVER SCENARIO PORT USER PASSWORD RUNS EXPECTED"""
import poplib
import sys
import time

server, scenario, port, user, password, runs, expected = sys.argv[1:8]
for run in range(1, int(runs) + 1):
    start = time.perf_counter()
    p = poplib.POP3("127.0.0.1", int(port), timeout=120)
    p.user(user)
    p.pass_(password)
    count, _ = p.stat()
    _, listing, _ = p.list()
    p.quit()
    secs = time.perf_counter() - start
    if count != int(expected) or len(listing) != int(expected):
        sys.exit("%s: %d messages (%d listed) instead of %s" % (server, count, len(listing), expected))
    print("%s,%s,%d,%d,%.4f" % (server, scenario, run, count, secs), flush=True)
