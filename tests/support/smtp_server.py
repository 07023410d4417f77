#!/usr/bin/python3
"""A real SMTP server for the tests and the demo: aiosmtpd on a loopback port that records
every accepted mail as one JSON line, and optionally stores it in a Maildir.

Usage: smtp_server.py [--host 127.0.0.1] [--port 0] [--record FILE.jsonl] [--maildir DIR]
                      [--cert PEM --key PEM [--implicit-tls]] [--auth USER:PASSWORD]
                      [--close-after N] [--refuse-after N]
Prints "PORT <n>" on a line of its own once it listens; stops on SIGTERM or when stdin closes.
With --cert the server offers STARTTLS, or speaks TLS from the first byte (--implicit-tls);
with --auth it requires AUTH (PLAIN or LOGIN) with these credentials before MAIL. With
--close-after N it closes a connection once it has answered its Nth mail; with --refuse-after N
it answers the next MAIL FROM after N mails with 421 and closes, as a server's idle close does.

Behaviour triggers, carried by the recipient's local part (the text before "@"):
  refuse...      RCPT TO is refused with 550 ("refuse-me@x")
  refuseNNN...   RCPT TO is refused with code NNN ("refuse452@x" gives 452, "refuse553@x" 553)
  drop...        the server closes the connection without replying to that RCPT TO

Each record: session (the connection's number, from 1), helo, mail_from, rcpt_tos, tls (the
mail came over TLS), login (the AUTH user or ""), data_b64 (the DATA bytes exactly as stored),
and what Python's email package makes of the mail under email.policy.strict: defects (or the
exception text when parsing fails), to, cc, from, subject, message_id, date, the decoded body
(empty for a multipart mail), headers as [name, decoded value], and parts: each leaf part of a
multipart mail as [content type, file name, base64 of its decoded bytes].
"""
import argparse
import asyncio
import base64
import email
import email.policy
import json
import mailbox
import os
import re
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult

TRIGGER = re.compile(r"^(refuse|drop)(\d{3})?", re.IGNORECASE)


def inspect(data):
    """What the strict policy makes of the mail: defects and the decoded fields."""
    out = {"defects": [], "to": "", "cc": "", "from": "", "subject": "", "message_id": "",
           "date": "", "body": "", "headers": [], "parts": []}
    try:
        msg = email.message_from_bytes(data, policy=email.policy.strict)
        for name, key in (("To", "to"), ("Cc", "cc"), ("From", "from"), ("Subject", "subject"),
                          ("Message-ID", "message_id"), ("Date", "date")):
            values = msg.get_all(name) or []
            if len(values) > 1:
                out["defects"].append(f"{name} appears {len(values)} times")
            if values:
                header = values[0]
                out[key] = str(header)
                out["defects"].extend(f"{name}: {type(d).__name__}: {d}"
                                      for d in getattr(header, "defects", ()))
        for name, value in msg.items():  # parses every header, so all their defects show
            out["defects"].extend(f"{name}: {type(d).__name__}: {d}"
                                  for d in getattr(value, "defects", ()))
        out["defects"].extend(f"{type(d).__name__}: {d}" for d in msg.defects)
        out["headers"] = [[name, str(value)] for name, value in msg.items()]
        for part in msg.walk():
            out["defects"].extend(f"part: {type(d).__name__}: {d}" for d in part.defects)
            if part is not msg and not part.is_multipart():
                out["parts"].append([part.get_content_type(), part.get_filename() or "",
                                     base64.b64encode(part.get_payload(decode=True)).decode("ascii")])
        out["body"] = "" if msg.is_multipart() else msg.get_content()
    except Exception as error:  # the strict policy raises on the first message defect
        out["defects"].append(f"{type(error).__name__}: {error}")
    out["defects"] = sorted(set(out["defects"]))
    return out


class Recorder:
    def __init__(self, record, maildir, close_after=0, refuse_after=0):
        self.close_after, self.refuse_after = close_after, refuse_after
        self.record = open(record, "a", encoding="utf-8") if record else None
        self.maildir = None
        if maildir:
            for sub in ("tmp", "new", "cur"):  # also when the folder itself already exists
                os.makedirs(os.path.join(maildir, sub), exist_ok=True)
            self.maildir = mailbox.Maildir(maildir, create=False)

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.refuse_after and server.mails == self.refuse_after:
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 idle too long, closing"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        match = TRIGGER.match(address.split("@", 1)[0])
        if match and match.group(1).lower() == "drop":
            server.transport.abort()
            return "421 closing"  # never reaches the client: the transport is gone
        if match:
            return f"{match.group(2) or '550'} refused by trigger"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content
        login = getattr(session.auth_data, "login", b"") or b""
        server.mails += 1
        if self.close_after and server.mails == self.close_after:
            asyncio.get_running_loop().call_soon(server.transport.close)  # after the reply
        entry = {"session": server.number, "helo": session.host_name or "",
                 "mail_from": envelope.mail_from or "",
                 "rcpt_tos": list(envelope.rcpt_tos),
                 "tls": server.transport.get_extra_info("ssl_object") is not None,
                 "login": login.decode("utf-8", "replace"),
                 "data_b64": base64.b64encode(data).decode("ascii")}
        entry.update(inspect(data))
        if self.record:
            self.record.write(json.dumps(entry) + "\n")
            self.record.flush()
        if self.maildir is not None:
            self.maildir.add(data)
        return "250 Message accepted"


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--record")
    parser.add_argument("--maildir")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--close-after", type=int, default=0)
    parser.add_argument("--refuse-after", type=int, default=0)
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    handler = Recorder(args.record, args.maildir, args.close_after, args.refuse_after)
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    options = {"hostname": "testserver", "enable_SMTPUTF8": bool(args.cert or args.auth)}
    if context and not args.implicit_tls:
        options.update(tls_context=context)
    if args.auth:
        user, password = args.auth.split(":", 1)

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = auth_data.login.decode() == user and auth_data.password.decode() == password
            return AuthResult(success=ok, handled=False, auth_data=auth_data)
        # Over implicit TLS aiosmtpd does not know the connection is encrypted.
        options.update(auth_required=True, authenticator=authenticator,
                       auth_require_tls=not args.implicit_tls)
    sessions = 0

    def connection():  # numbered, with its own count of mails
        nonlocal sessions
        sessions += 1
        smtp = SMTP(handler, **options)
        smtp.number, smtp.mails = sessions, 0
        return smtp
    server = await loop.create_server(connection, host=args.host, port=args.port,
                                      ssl=context if args.implicit_tls else None)
    print(f"PORT {server.sockets[0].getsockname()[1]}", flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):  # the parent has gone: stop with it
            loop.remove_reader(sys.stdin.fileno())
            stop.set()
    try:
        loop.add_reader(sys.stdin.fileno(), stdin_readable)
    except (OSError, ValueError, AttributeError, NotImplementedError):
        pass  # stdin is not a pipe or terminal: SIGTERM alone stops the server
    await stop.wait()
    server.close()
    await server.wait_closed()


if __name__ == "__main__":
    asyncio.run(main())
