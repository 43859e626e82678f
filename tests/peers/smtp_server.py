#!/usr/bin/python3
"""A real SMTP server for the mail tests, on 127.0.0.1 only.

Prints "PORT <n>" once it listens, then serves until stdin closes or it is
terminated. Every message received is written to OUTDIR as msg-<n>.eml (the
bytes exactly as received) and msg-<n>.json (envelope and how the client
authenticated); every refused login adds a line to auth-failures.log.
"""
import argparse
import asyncio
import hashlib
import hmac
import json
import os
import socket
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword, MISSING


class Handler:
    def __init__(self, outdir, user, password, cram):
        self.outdir = outdir
        self.user = user.encode()
        self.password = password.encode()
        self.cram = cram
        self.count = 0
        self.mechanism = None

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.outdir, "msg-%d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        info = {
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "authenticated": bool(session.authenticated),
            "mechanism": self.mechanism,
            "tls": session.ssl is not None
                   or server.transport.get_extra_info("ssl_object") is not None,
        }
        with open(base + ".json", "w") as f:
            json.dump(info, f)
        return "250 2.0.0 Message accepted"

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        if (isinstance(auth_data, LoginPassword) and auth_data.login == self.user
                and auth_data.password == self.password):
            self.mechanism = mechanism
            return AuthResult(success=True)
        self.note_failure(mechanism)
        # handled=False lets the server answer 535; anything else hangs the client.
        return AuthResult(success=False, handled=False)

    def note_failure(self, mechanism):
        """One line per refused login in OUTDIR/auth-failures.log, as a
        server's lockout would count them."""
        with open(os.path.join(self.outdir, "auth-failures.log"), "a") as f:
            f.write(mechanism + "\n")

    async def auth_CRAM__MD5(self, server, args):
        if not self.cram:
            return AuthResult(success=False, handled=False)
        challenge = ("<%d.%d@127.0.0.1>" % (os.getpid(), time.time_ns())).encode()
        response = await server.challenge_auth(challenge)
        if response is MISSING:
            return AuthResult(success=False, handled=False)
        user, _, digest = response.partition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        if user == self.user and hmac.compare_digest(digest, expected):
            self.mechanism = "CRAM-MD5"
            return AuthResult(success=True, auth_data=LoginPassword(user, b""))
        self.note_failure("CRAM-MD5")
        return AuthResult(success=False, handled=False)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["plain", "starttls", "tls"], default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--cram", action="store_true", help="offer CRAM-MD5")
    parser.add_argument("--only-plain", action="store_true", help="offer PLAIN alone")
    parser.add_argument("--require-auth", action="store_true",
                        help="refuse MAIL FROM before a successful AUTH")
    args = parser.parse_args()

    handler = Handler(args.outdir, args.user, args.password, args.cram)
    kwargs = dict(authenticator=handler.authenticator, auth_require_tls=False,
                  auth_required=args.require_auth)
    if args.only_plain:
        kwargs["auth_exclude_mechanism"] = ["CRAM-MD5", "LOGIN"]
    elif not args.cram:
        kwargs["auth_exclude_mechanism"] = ["CRAM-MD5"]
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
        if args.mode == "starttls":
            kwargs["tls_context"] = context
            kwargs["auth_require_tls"] = True
        else:
            kwargs["ssl_context"] = context

    port = free_port()
    controller = Controller(handler, hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    print("PORT %d" % port, flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
