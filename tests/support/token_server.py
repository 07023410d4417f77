#!/usr/bin/python3
# A real OAuth2 token endpoint for the tests: http.server over TLS on a loopback port, answering
# RFC 6749's client_credentials and refresh_token grants with short-lived bearer tokens, and
# keeping its state in a JSON file the tests read.
#
# Usage: token_server.py --cert PEM --key PEM --state FILE [--client ID:SECRET] [--refresh TOKEN]
#                        [--lifetime SECONDS] [--rotate] [--delay SECONDS] [--error CODE:DESCRIPTION] [--busy N]
# Prints "PORT <n>" once it listens; stops on SIGTERM or when stdin closes. --client: the credentials it takes (a refresh grant needs the id, and the
# secret when one is sent); --refresh: the one refresh token it takes, replaced by a new one at
# each use with --rotate; --error: every request gets that RFC 6749 error (400); --busy: the
# first N requests get 503 temporarily_unavailable; --delay: each answer waits that long.
# State: {"grants": [[grant_type, refresh_token, scope], ...], "tokens": {token: expiry (epoch s)}}.
import argparse, http.server, json, os, secrets, ssl, sys, threading, time, urllib.parse

parser = argparse.ArgumentParser(description="OAuth2 token endpoint over TLS")
for name in ("--cert", "--key", "--state", "--client", "--refresh", "--error"):
    parser.add_argument(name)
for name, default in (("--lifetime", 3600), ("--delay", 0), ("--busy", 0)):
    parser.add_argument(name, type=float, default=default)
parser.add_argument("--rotate", action="store_true")
args = parser.parse_args()
lock, state, refresh = threading.Lock(), {"grants": [], "tokens": {}}, [args.refresh]


def save():  # whole or not at all: a reader may come at any moment
    with open(args.state + ".tmp", "w") as out:
        json.dump(state, out)
    os.replace(args.state + ".tmp", args.state)


class Endpoint(http.server.BaseHTTPRequestHandler):
    log_message = lambda *_: None

    def answer(self, status, body):  # HTTP/1.0: the connection's close ends the body
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.end_headers()
        self.wfile.write(json.dumps(body).encode())

    def do_POST(self):
        form = urllib.parse.parse_qs(self.rfile.read(int(self.headers.get("Content-Length", 0))).decode())
        one = lambda name: form.get(name, [""])[0]
        grant, (client_id, secret) = one("grant_type"), (args.client or ":").split(":", 1)
        time.sleep(args.delay)
        with lock:
            state["grants"].append([grant, one("refresh_token"), one("scope")])
            save()
            if len(state["grants"]) <= args.busy:
                return self.answer(503, {"error": "temporarily_unavailable", "error_description": "busy"})
            if args.error or self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
                code, description = (args.error or "invalid_request:not a form").split(":", 1)
                return self.answer(400, {"error": code, "error_description": description})
            if one("client_id") != client_id or (grant == "client_credentials" or one("client_secret")) and \
                    one("client_secret") != secret:
                return self.answer(401, {"error": "invalid_client", "error_description": "unknown client"})
            if grant not in ("client_credentials", "refresh_token") or grant == "refresh_token" and \
                    one("refresh_token") != refresh[0]:
                return self.answer(400, {"error": "invalid_grant", "error_description": "refresh token unknown"})
            answer = {"token_type": "Bearer", "expires_in": args.lifetime,
                      "access_token": f"tok-secret-{len(state['grants'])}-{secrets.token_urlsafe(24)}"}
            if grant == "refresh_token" and args.rotate:
                refresh[0] = answer["refresh_token"] = "rt-" + secrets.token_hex(8)
            state["tokens"][answer["access_token"]] = time.time() + args.lifetime
            save()
            self.answer(200, answer)


context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(args.cert, args.key)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Endpoint)
server.socket = context.wrap_socket(server.socket, server_side=True)
save()
print(f"PORT {server.server_address[1]}", flush=True)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()  # the parent has gone
server.serve_forever()
