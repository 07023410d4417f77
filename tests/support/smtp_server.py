#!/usr/bin/python3
# A real SMTP server for the tests and the demo: aiosmtpd on a loopback port that records every
# accepted mail as one JSON line, and optionally stores it in a Maildir.
#
# Usage: smtp_server.py [--host 127.0.0.1] [--port 0] [--record FILE.jsonl] [--maildir DIR]
#                       [--cert PEM --key PEM [--implicit-tls]] [--auth USER:PASSWORD]
#                       [--close-after N] [--refuse-after N] [--vanish-after N] [--ignore-quit]
#                       [--echo-secret] [--transcript FILE.jsonl]
# Prints "PORT <n>" on a line of its own once it listens; stops on SIGTERM or when stdin closes.
# With --cert the server requires STARTTLS, or speaks TLS from the first byte (--implicit-tls);
# with --auth it requires AUTH (PLAIN or LOGIN) with these credentials before MAIL. With
# --close-after N it closes a connection once it has answered its Nth mail; with --refuse-after
# N it answers the next MAIL FROM after N mails with 421 and closes, as a server's idle close does;
# with --vanish-after N it records a connection's Nth mail and closes without answering its data.
# With --ignore-quit it never answers QUIT and keeps the connection open; with --echo-secret it
# refuses MAIL FROM with a reply that echoes the --auth password, split over two lines, and its
# base64 forms (alone, and the AUTH PLAIN blob), as a careless server might. With --transcript
# it records every line it reads and every reply line it sends, in order, one JSON line each:
# session, "client" or "server", and the line without its line end (mail data included).
#
# Behaviour triggers, carried by the recipient's local part (the text before "@"):
#   refuse...      RCPT TO is refused with 550 ("refuse-me@x")
#   drop...        the server closes the connection without replying to that RCPT TO
#   escape...      RCPT TO is refused with 550 and a reply holding ESC and a second line
#
# Each record: session (the connection's number, from 1), helo, mailFrom, rcptTos, data (base64
# of the DATA bytes exactly as stored), and what Python's email package makes of the mail under
# email.policy.strict: defects (or the exception text when parsing fails), from, to, cc, subject
# and messageId (the first of each field, decoded), the decoded body (empty for a multipart
# mail), headers as [name, decoded value], and parts: each leaf of a multipart mail as type,
# filename and bytes (base64 of its decoded bytes).
import argparse, asyncio, base64, email, email.policy, itertools, json, mailbox, os, re, signal, ssl
from aiosmtpd.smtp import SMTP, AuthResult

TRIGGER = re.compile(r"^(?:(drop)|(escape)|refuse)", re.IGNORECASE)
b64 = lambda data: base64.b64encode(data).decode("ascii")


def inspect(data):
    fields = (("from", "From"), ("to", "To"), ("cc", "Cc"), ("subject", "Subject"), ("messageId", "Message-ID"))
    out = {"defects": [], "body": "", "headers": [], "parts": [], **{key: "" for key, _ in fields}}
    named = lambda name, things: [f"{name}{type(d).__name__}: {d}" for d in things]
    try:
        msg = email.message_from_bytes(data, policy=email.policy.strict)
        out["defects"] += [f"{name} appears more than once" for name in ("To", "Cc", "From", "Subject", "Message-ID", "Date")
                           if len(msg.get_all(name) or []) > 1]
        out.update({key: str(msg[name] or "") for key, name in fields})
        for name, value in msg.items():  # parses every header, so all their defects show
            out["defects"] += named(f"{name}: ", getattr(value, "defects", ()))
            out["headers"].append([name, str(value)])
        for part in msg.walk():
            out["defects"] += named("part: ", part.defects)
            if part is not msg and not part.is_multipart():
                out["parts"].append({"type": part.get_content_type(), "filename": part.get_filename() or "",
                                     "bytes": b64(part.get_payload(decode=True))})
        out["body"] = "" if msg.is_multipart() else msg.get_content()
    except Exception as error:  # the strict policy raises on the first message defect
        out["defects"] += named("", [error])
    out["defects"] = sorted(set(out["defects"]))
    return out


class Recorder:
    def __init__(self, args):
        self.args = args
        self.record = open(args.record, "a", encoding="utf-8") if args.record else None
        for sub in ("tmp", "new", "cur") if args.maildir else ():  # also when the folder exists
            os.makedirs(os.path.join(args.maildir, sub), exist_ok=True)
        self.maildir = mailbox.Maildir(args.maildir, create=False) if args.maildir else None

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.args.echo_secret:
            user, password = self.args.auth.split(":", 1)
            half, plain = len(password) // 2, b64(("\0" + user + "\0" + password).encode())
            return (f"550-5.7.1 you said {password[:half]}\r\n550-{password[half:]} or {b64(password.encode())}\r\n"
                    f"550 or {plain}")
        if self.args.refuse_after and server.mails == self.args.refuse_after:
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 idle too long, closing"
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        match = TRIGGER.match(address.split("@", 1)[0])
        if match and match.group(1):
            server.transport.abort()
            return "421 closing"  # never reaches the client: the transport is gone
        if match and match.group(2):
            return "550-\x1b[31mrefused\x1b[0m by\r\n550 trigger"

        if match:
            return "550 refused by trigger"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content
        server.mails += 1
        if server.mails == self.args.close_after:
            asyncio.get_running_loop().call_soon(server.transport.close)  # after the reply
        if server.mails == self.args.vanish_after:
            server.transport.abort()  # the mail is taken in below; its reply never goes out
        entry = {"session": server.number, "helo": session.host_name or "",
                 "mailFrom": envelope.mail_from or "", "rcptTos": list(envelope.rcpt_tos),
                 "data": b64(data), **inspect(data)}
        if self.record:
            print(json.dumps(entry), file=self.record, flush=True)
        if self.maildir is not None:
            self.maildir.add(data)
        return "250 Message accepted"


async def main():
    parser = argparse.ArgumentParser(description="aiosmtpd that records every mail")
    parser.add_argument("--host", default="127.0.0.1")
    for name in ("--implicit-tls", "--ignore-quit", "--echo-secret"):
        parser.add_argument(name, action="store_true")
    for name in ("--record", "--maildir", "--cert", "--key", "--auth", "--transcript"):
        parser.add_argument(name)
    for name in ("--port", "--close-after", "--refuse-after", "--vanish-after"):
        parser.add_argument(name, type=int, default=0)
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    handler = Recorder(args)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH) if args.cert else None
    if context:
        context.load_cert_chain(args.cert, args.key)
    options = {"hostname": "testserver", "enable_SMTPUTF8": bool(args.cert or args.auth)}
    if context and not args.implicit_tls:
        options.update(tls_context=context, require_starttls=True)
    if args.auth:  # USER:PASSWORD
        authenticator = lambda server, session, envelope, mechanism, data: AuthResult(
            success=f"{data.login.decode()}:{data.password.decode()}" == args.auth, handled=False)
        # Over implicit TLS aiosmtpd does not know the connection is encrypted.
        options.update(auth_required=True, authenticator=authenticator, auth_require_tls=not args.implicit_tls)
    numbers = itertools.count(1)

    class QuitIgnored(SMTP):
        async def smtp_QUIT(self, arg):
            pass

    transcript = open(args.transcript, "a", encoding="utf-8") if args.transcript else None
    base = QuitIgnored if args.ignore_quit else SMTP

    class Transcribed(base):
        def note(self, side, line):
            line = line.decode("utf-8", "replace") if isinstance(line, bytes) else line
            print(json.dumps({"session": self.number, "side": side, "line": line.rstrip("\r\n")}), file=transcript, flush=True)

        def _client_connected_cb(self, reader, writer):
            super()._client_connected_cb(reader, writer)
            for name in ("readuntil", "readline"):  # commands, AUTH answers and mail data
                async def read(*a, _original=getattr(reader, name), **k):
                    line = await _original(*a, **k)
                    self.note("client", line)
                    return line
                setattr(reader, name, read)

        async def push(self, status):
            self.note("server", status)
            await super().push(status)

    def connection():  # numbered, with its own count of mails
        smtp = (Transcribed if transcript else base)(handler, **options)
        smtp.number, smtp.mails = next(numbers), 0
        return smtp
    server = await loop.create_server(connection, args.host, args.port, ssl=context if args.implicit_tls else None)
    print(f"PORT {server.sockets[0].getsockname()[1]}", flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:  # stdin closes when the parent has gone: stop with it
        loop.add_reader(0, lambda: os.read(0, 4096) or (loop.remove_reader(0), stop.set()))
    except (OSError, ValueError):
        pass  # stdin is not a pipe or terminal: SIGTERM alone stops the server
    await stop.wait()  # the connections go with the process


asyncio.run(main())
