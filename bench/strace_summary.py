#!/usr/bin/python3
"""Summarises `strace -f -tt -T` output of a server draining its outbound queue: for the thread
that talks SMTP (the one with the most sendto calls), the system calls per message and where its
time went (waiting in poll for the peer, in other calls, between calls).
  strace_summary.py FILE MESSAGES"""
import collections
import re
import sys

LINE = re.compile(r"^(\d+)\s+(\d+):(\d+):(\d+\.\d+)\s+(\w+)\(.*<(\d+\.\d+)>\s*$")


def main(path, messages):
    calls = collections.defaultdict(list)  # tid -> [(time, name, duration)]
    with open(path, errors="replace") as f:
        for line in f:
            m = LINE.match(line)
            if m:
                t = int(m.group(2)) * 3600 + int(m.group(3)) * 60 + float(m.group(4))
                calls[int(m.group(1))].append((t, m.group(5), float(m.group(6))))
    if not calls:
        sys.exit("no calls found")
    tid = max(calls, key=lambda k: sum(1 for c in calls[k] if c[1] == "sendto"))
    mine = calls[tid]
    count = collections.Counter(c[1] for c in mine)
    spent = collections.Counter()
    for _, name, d in mine:
        spent[name] += d
    span = mine[-1][0] + mine[-1][2] - mine[0][0]
    inside = sum(spent.values())
    print("client thread %d: %.3f s for %d messages (under strace)" % (tid, span, messages))
    print("  waiting in poll %.3f s, other calls %.3f s, between calls %.3f s"
          % (spent["poll"], inside - spent["poll"], span - inside))
    print("  %-12s %10s %10s" % ("call", "per msg", "s total"))
    for name, n in count.most_common():
        print("  %-12s %10.2f %10.3f" % (name, n / messages, spent[name]))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], int(sys.argv[2]))
