#!/usr/bin/python3
# A real SMTP server for the tests and the demo: aiosmtpd on a loopback port that records every
# accepted mail as one JSON line, and optionally stores it in a Maildir.
#
# Usage: smtp_server.py [--host 127.0.0.1] [--port 0] [--record FILE.jsonl] [--maildir DIR]
#                       [--cert PEM --key PEM [--implicit-tls]] [--auth USER:PASSWORD]
#                       [--close-after N] [--refuse-after N] [--vanish-after N] [--ignore-quit]
#                       [--echo-secret] [--transcript FILE.jsonl] [--oauth STATE.json] [--token TOKEN]
#                       [--mechanisms LIST] [--client-ca PEM] [--accept-once]
#                       [--max-sessions N] [--busy-mails N] [--data-reply REPLY] [--tickets-for N]
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
# With --oauth it also offers XOAUTH2 and OAUTHBEARER, taking a token that token_server.py's
# state file lists as live (or one given with --token; with --accept-once each only once, as if
# revoked after its first use): another token gets the mechanism's 334 challenge of base64 JSON,
# and after the answer the mechanism wants (an empty line, or "AQ==") a 535. AUTH lines may then
# be as long as RFC 4954's 12 288 octets. --mechanisms A,B offers only those; --client-ca asks
# every TLS client for a certificate that CA signed. As hosted relays do: with --max-sessions N
# a connection beyond N open at once is greeted with 432 and closed; with --busy-mails N the
# first N of every N+1 MAIL FROMs get 421 and the connection closes; with --data-reply the mail
# data is stored and answered with REPLY. With --tickets-for N only the first N connections get
# TLS session tickets: as with Postfix's smtpd, which sends none on a resumed connection, a client
# must resume later ones with a ticket it has.
#
# Behaviour triggers, carried by the recipient's local part (the text before "@"):
#   refuse...      RCPT TO is refused with 550 ("refuse-me@x")
#   drop...        the server closes the connection without replying to that RCPT TO
#   escape...      RCPT TO is refused with 550 and a reply holding ESC and a second line
#
# Each record: session (the connection's number, from 1), open (connections open then), at (the
# server's monotonic seconds at the accepted MAIL FROM), helo, auth (for a bearer token:
# mechanism, user, token and whether it came on the AUTH line), mailFrom, rcptTos, data (base64
# of the DATA bytes exactly as stored), and what Python's email package makes of the mail under
# email.policy.strict: defects (or the exception text when parsing fails), from, to, cc, subject
# and messageId (the first of each field, decoded), the decoded body (empty for a multipart
# mail), headers as [name, decoded value], and parts: each leaf of a multipart mail as type,
# filename and bytes (base64 of its decoded bytes).
import argparse, asyncio, base64, binascii, email, email.policy, itertools, json, mailbox, os, re, signal, ssl
import time
from aiosmtpd.smtp import MISSING, SMTP, AuthResult

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
    open = 0  # connections open now

    def __init__(self, args):
        self.mail_froms = 0
        self.args, self.used = args, set()
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
        self.mail_froms += 1
        refused = self.args.refuse_after and server.mails == self.args.refuse_after
        if refused or self.mail_froms % (self.args.busy_mails + 1) != 0:
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 idle too long, closing" if refused else "421 4.7.0 try again later, closing"
        envelope.mail_from, server.at = address, time.monotonic()
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
        auth = session.auth_data if isinstance(session.auth_data, dict) else {}
        entry = {"session": server.number, "open": Recorder.open, "at": server.at, "helo": session.host_name or "",
                 "auth": auth, "mailFrom": envelope.mail_from or "", "rcptTos": list(envelope.rcpt_tos),
                 "data": b64(data), **inspect(data)}
        if self.record:
            print(json.dumps(entry), file=self.record, flush=True)
        if self.maildir is not None:
            self.maildir.add(data)
        return self.args.data_reply or "250 Message accepted"

    def live(self, token):
        if self.args.accept_once and token in self.used:
            return False  # as if revoked after its first use
        self.used.add(token)
        try:
            with open(self.args.oauth) as state:
                return token in (self.args.token or []) or json.load(state)["tokens"].get(token, 0) > time.time()
        except (OSError, ValueError, KeyError):
            return False

    async def bearer(self, server, args, form, challenge, answer, escaped=False):
        """One bearer-token AUTH, the initial response inline or after an empty 334, held to `form`."""
        inline = len(args) > 1
        try:
            blob = base64.b64decode(args[1], validate=True) if inline else await server.challenge_auth("")
        except binascii.Error:
            blob = MISSING
        match = re.fullmatch(form, blob, re.S) if blob is not MISSING else None
        if not match or escaped and re.search(rb"=(?!2C|3D)", match[1]):
            await server.push("501 5.5.2 malformed initial response")
            return AuthResult(success=False, handled=True)
        user, token = match[1].decode(), match[2].decode()
        user = user.replace("=2C", ",").replace("=3D", "=") if escaped else user
        if self.live(token):
            return AuthResult(success=True, auth_data={"mechanism": args[0], "user": user, "token": token,
                                                       "inlined": inline})
        if await server.challenge_auth(json.dumps(challenge)) != answer:
            await server.push("501 5.5.2 wrong answer to the challenge")
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False, message="535 5.7.8 Username and Password not accepted")

    async def auth_XOAUTH2(self, server, args):  # user=USER ^A auth=Bearer TOKEN ^A ^A (no escapes)
        return await self.bearer(server, args, rb"user=([^\x01]*)\x01auth=Bearer ([^\x01]+)\x01\x01",
                                 {"status": "401", "schemes": "bearer", "scope": "https://mail.google.com/"}, b"")

    async def auth_OAUTHBEARER(self, server, args):  # RFC 7628, "," and "=" in the user escaped
        return await self.bearer(server, args, rb"n,a=([^,\x01]*),\x01host=[^\x01]+\x01port=[0-9]+\x01"
                                 rb"auth=Bearer ([^\x01]+)\x01\x01", {"status": "invalid_token"}, b"\x01", True)


async def main():
    parser = argparse.ArgumentParser(description="aiosmtpd that records every mail")
    parser.add_argument("--host", default="127.0.0.1")
    for name in ("--implicit-tls", "--ignore-quit", "--echo-secret", "--accept-once"):
        parser.add_argument(name, action="store_true")
    for name in ("--record", "--maildir", "--cert", "--key", "--auth", "--transcript", "--oauth", "--mechanisms",
                 "--client-ca", "--data-reply"):
        parser.add_argument(name)
    parser.add_argument("--token", action="append")
    for name in ("--port", "--close-after", "--refuse-after", "--vanish-after", "--max-sessions", "--busy-mails",
                 "--tickets-for"):
        parser.add_argument(name, type=int, default=0)
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    handler = Recorder(args)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH) if args.cert else None
    if context:
        context.load_cert_chain(args.cert, args.key)
    if args.client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(args.client_ca)
    options = {"hostname": "testserver", "enable_SMTPUTF8": bool(args.cert or args.auth)}
    if context and not args.implicit_tls:
        options.update(tls_context=context, require_starttls=True)
    if args.auth:  # USER:PASSWORD
        authenticator = lambda server, session, envelope, mechanism, data: AuthResult(
            success=f"{data.login.decode()}:{data.password.decode()}" == args.auth, handled=False)
        # Over implicit TLS aiosmtpd does not know the connection is encrypted.
        options.update(auth_required=True, authenticator=authenticator, auth_require_tls=not args.implicit_tls)
    if args.oauth:
        options.update(auth_required=True, auth_require_tls=not args.implicit_tls)
        if not args.auth:
            options["auth_exclude_mechanism"] = ["PLAIN", "LOGIN"]
    if args.mechanisms:
        offered = args.mechanisms.split(",")
        options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER") if m not in offered]
    numbers = itertools.count(1)

    class Server(SMTP):
        line_length_limit = 1 << 16 if args.oauth else SMTP.line_length_limit

        def __init__(self, *positional, **named):
            super().__init__(*positional, **named)
            if args.oauth:  # RFC 4954: an AUTH line of 12 288 octets, CR LF included
                self.command_size_limits["AUTH"] = 12286

        async def smtp_QUIT(self, arg):
            if not args.ignore_quit:
                await super().smtp_QUIT(arg)

        def connection_made(self, transport):  # again after STARTTLS: counted once
            if self.transport is None:
                Recorder.open += 1
                self.over = args.max_sessions and Recorder.open > args.max_sessions
            super().connection_made(transport)

        def connection_lost(self, error):
            Recorder.open -= 1
            super().connection_lost(error)

        async def _handle_client(self):
            if not self.over:
                return await super()._handle_client()
            await self.push("432 4.3.2 Concurrent connections limit exceeded")
            self.transport.close()

    transcript = open(args.transcript, "a", encoding="utf-8") if args.transcript else None

    class Transcribed(Server):
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
        smtp = (Transcribed if transcript else Server)(handler, **options)
        smtp.number, smtp.mails = next(numbers), 0
        if args.tickets_for and smtp.number > args.tickets_for:  # before its handshake begins
            context.num_tickets = 0
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
