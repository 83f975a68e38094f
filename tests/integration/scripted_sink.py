#!/usr/bin/python3
"""A mail server for the SMTP client's tests (Debian's python3-aiosmtpd): it answers by the
recipient's local part and records what it accepts.

  scripted_sink.py ADDRESS PORT RECORD [--hostname NAME] [--etrn]

reject*  -> 550 at RCPT; defer* -> 451 at RCPT; dataerr* -> 554 after the data.
Each accepted message is appended to RECORD as "X-Envelope-From: ...", "X-Envelope-To: a,b",
"X-Peer-Helo: ..." lines (CR LF) and then the message bytes as received (dot-stuffing undone).
--etrn offers ETRN in the EHLO reply and appends each ETRN argument as a line to RECORD.etrn.
Loopback addresses only. Ends on SIGTERM."""
import signal
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, record):
        self.record = record

    def append(self, data):
        with open(self.record, "ab") as f:
            f.write(data)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        local = address.split("@")[0].lower()
        if local.startswith("reject"):
            return "550 5.1.1 <%s>: no such user" % address
        if local.startswith("defer"):
            return "451 4.3.0 <%s>: try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r.split("@")[0].lower().startswith("dataerr") for r in envelope.rcpt_tos):
            return "554 5.6.0 message rejected"
        self.append(b"X-Envelope-From: %s\r\nX-Envelope-To: %s\r\nX-Peer-Helo: %s\r\n" % (
            (envelope.mail_from or "").encode(), ",".join(envelope.rcpt_tos).encode(),
            (session.host_name or "").encode()) + envelope.original_content)
        return "250 2.0.0 queued"


class EtrnSMTP(SMTP):
    async def smtp_EHLO(self, hostname):
        # The base reply, with ETRN added before its last line.
        self._etrn_lines = []
        original = self.push

        async def push(status):
            if status.startswith("250 ") and not self._etrn_lines:
                self._etrn_lines.append(status)
                await original("250-ETRN")
            await original(status)
        self.push = push
        try:
            await super().smtp_EHLO(hostname)
        finally:
            self.push = original

    async def smtp_ETRN(self, arg):
        with open(self.event_handler.record + ".etrn", "a") as f:
            f.write(arg + "\n")
        await self.push("250 OK, queuing started")


class EtrnController(Controller):
    def factory(self):
        return EtrnSMTP(self.handler, **self.SMTP_kwargs)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    address, port, record = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if not address.startswith("127."):
        sys.exit("loopback addresses only")
    name = sys.argv[sys.argv.index("--hostname") + 1] if "--hostname" in sys.argv else "peer.test"
    kind = EtrnController if "--etrn" in sys.argv else Controller
    controller = kind(Handler(record), hostname=address, port=port, server_hostname=name)
    controller.start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait()
    controller.stop()


if __name__ == "__main__":
    main()
