#!/usr/bin/python3
"""A throwaway SMTP server on a loopback address that keeps what it receives.

Used by the round-trip tests and the demo. Every message is kept in memory
as the bytes the server received after the end of data (dot-stuffing
undone), together with the envelope sender and recipients; with a directory
it is also written there as NNN.eml.

From Python:

    with SmtpSink(host="127.0.0.1", port=0) as sink:
        ...  # send to sink.host, sink.port
        message = sink.wait_for(1, timeout=10)[0]
        message.data, message.mail_from, message.rcpt_tos

As a script it runs until SIGTERM or SIGINT and prints "ready HOST PORT"
once it listens:

    smtp_sink.py --host 127.0.0.1 --port 0 --dir /tmp/mail

With a certificate (a PEM file holding the chain and the key) it speaks TLS,
from the first byte (--tls implicit) or after STARTTLS, which it then
requires (--tls starttls); with --login USER:PASSWORD it offers AUTH PLAIN and
LOGIN over TLS only, and takes mail only after that login. With --xoauth2
URL it offers AUTH XOAUTH2 over TLS as well, and takes a bearer token when
the provider at URL (tests/signin/fake_provider.py's /control/valid) says it
is the user's; from Python, bearer=CALLABLE(user, token) decides. A token
refused gets the error challenge and then 535, as Gmail and Outlook answer.
From Python, refuse=[ADDRESS, ...] names recipients it turns away with 550,
as a server does a mailbox it does not have.

Only the Python standard library and aiosmtpd (Debian: python3-aiosmtpd).
"""

from __future__ import annotations

import argparse
import base64
import dataclasses
import json
import ipaddress
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
import urllib.request
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult

# aiosmtpd 1.4 warns of its own deprecated field while logging a client in.
warnings.filterwarnings("ignore", message="Session.login_data")

__all__ = ["ReceivedMessage", "SmtpSink"]


@dataclasses.dataclass(frozen=True)
class ReceivedMessage:
    """One message as the server took it."""

    mail_from: str
    rcpt_tos: tuple[str, ...]
    data: bytes           # the message text, dot-stuffing undone, CR LF line ends
    peer: object = None   # the client's address
    path: str | None = None  # the file it was written to, if any


def _check_loopback(host: str) -> None:
    # This server is for tests on this machine; it never listens elsewhere.
    if host == "localhost":
        return
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        raise ValueError(f"not a numeric loopback address: {host!r}") from None
    if not address.is_loopback:
        raise ValueError(f"refusing to listen on a non-loopback address: {host}")


class _Handler:
    def __init__(self, sink: SmtpSink) -> None:
        self._sink = sink

    async def handle_DATA(self, server, session, envelope):  # noqa: N802 (aiosmtpd's name)
        raw = envelope.original_content
        if raw is None:
            raw = envelope.content
        if isinstance(raw, str):
            raw = raw.encode("utf-8", "surrogateescape")
        self._sink._store(envelope.mail_from, envelope.rcpt_tos, bytes(raw), session.peer)
        return "250 OK: message kept"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):  # noqa: N802
        if address in self._sink.refuse:
            return f"550 5.1.1 <{address}>: no such mailbox here"
        # What aiosmtpd does when no handler takes RCPT.
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def auth_XOAUTH2(self, server, args):  # noqa: N802 (aiosmtpd's name)
        # "user=USER^Aauth=Bearer TOKEN^A^A", the initial response or after "334 ".
        try:
            blob = (await server.challenge_auth("") if len(args) < 2 else
                    base64.b64decode(args[1], validate=True))
            fields = dict(f.split("=", 1) for f in blob.decode().split("\x01") if f)
            user, token = fields["user"], fields["auth"].removeprefix("Bearer ")
        except (ValueError, KeyError, TypeError, AttributeError):
            return AuthResult(success=False, handled=False, message="501 5.5.2 not XOAUTH2")
        ok = self._sink.bearer(user, token)
        with self._sink._changed:
            self._sink.bearer_tried.append((user, ok))
            if ok:
                self._sink.logged_in.append(("XOAUTH2", user))
        if ok:
            return AuthResult(success=True, handled=False)
        error = {"status": "401", "schemes": "bearer", "scope": "https://mail.example.com/"}
        # The client's empty line ends the exchange with 535; its "*" has had 501.
        ended = await server.challenge_auth(json.dumps(error)) is MISSING
        return AuthResult(success=False, handled=ended)


class _SocketController(Controller):
    """A Controller that serves on a socket bound beforehand.

    Binding first lets port 0 work: the Controller otherwise has to know the
    port to make its start-up connection."""

    def __init__(self, handler, sock: socket.socket, **kwargs) -> None:
        host, port = sock.getsockname()[:2]
        super().__init__(handler, hostname=host, port=port, **kwargs)
        self._sock = sock

    def _create_server(self):
        return self.loop.create_server(self._factory_invoker, sock=self._sock,
                                       ssl=self.ssl_context)


class SmtpSink:
    """An SMTP server on host:port (port 0: any free port) that keeps messages.

    The server speaks plain SMTP after HELO or EHLO and takes any bytes in
    the data, 8-bit included, without asking for 8BITMIME or SMTPUTF8."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, directory: str | None = None,
                 ready_timeout: float = 10.0, session_timeout: float = 60.0,
                 tls: str | None = None, certfile: str | None = None,
                 logins: dict[str, str] | None = None, refuse=(), bearer=None) -> None:
        _check_loopback(host)
        if tls not in (None, "implicit", "starttls") or (tls is None) != (certfile is None):
            raise ValueError("tls is 'implicit' or 'starttls', and needs a certificate")
        self.tls, self.certfile, self.logins = tls, certfile, logins
        self.logged_in: list[tuple[str, str]] = []  # (mechanism, user) of each login taken
        self.bearer = bearer  # (user, token) -> whether XOAUTH2 takes it; None: not offered
        self.bearer_tried: list[tuple[str, bool]] = []  # (user, taken) of each XOAUTH2 login
        self.refuse = frozenset(refuse)  # recipients answered 550
        self.host = host
        self.port = port
        self.directory = directory
        self._ready_timeout = ready_timeout
        self._session_timeout = session_timeout
        self._messages: list[ReceivedMessage] = []
        self._changed = threading.Condition()
        self._controller: _SocketController | None = None
        self._count = 0  # numbers the files; not reset by clear()

    # -- life cycle -----------------------------------------------------------

    def start(self) -> SmtpSink:
        if self._controller is not None:
            raise RuntimeError("already started")
        if self.directory:
            os.makedirs(self.directory, exist_ok=True)
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.host, self.port))
            sock.listen(16)
            sock.setblocking(False)
        except BaseException:
            sock.close()
            raise
        self.port = sock.getsockname()[1]
        security = {}
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.certfile)
            security = ({"ssl_context": context} if self.tls == "implicit"
                        else {"tls_context": context, "require_starttls": True})
        if self.logins is not None or self.bearer is not None:
            # aiosmtpd counts only STARTTLS as TLS; implicit TLS is TLS all along.
            security.update(authenticator=self._authenticate, auth_required=True,
                            auth_require_tls=self.tls != "implicit")
        if self.bearer is None:
            security.update(auth_exclude_mechanism=["XOAUTH2"])
        controller = _SocketController(
            _Handler(self),
            sock,
            ready_timeout=self._ready_timeout,
            # A fixed name: the default would look the host up in DNS.
            server_hostname="sink.localhost",
            # Raw bytes in, whatever the client declared (or not): no
            # decoding, so nothing depends on 8BITMIME or SMTPUTF8.
            decode_data=False,
            enable_SMTPUTF8=False,
            timeout=self._session_timeout,
            **security,
        )
        try:
            controller.start()
        except BaseException:
            try:
                controller.stop(no_assert=True)
            finally:
                sock.close()
            raise
        self._controller = controller
        return self

    def stop(self) -> None:
        controller, self._controller = self._controller, None
        if controller is not None:
            controller.stop()

    def __enter__(self) -> SmtpSink:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        user = auth_data.login.decode("utf-8", "replace")
        ok = (self.logins or {}).get(user) == auth_data.password.decode("utf-8", "replace")
        if ok:
            with self._changed:
                self.logged_in.append((mechanism, user))
        # handled=False: aiosmtpd answers 535 itself.
        return AuthResult(success=ok, handled=ok)

    # -- messages -------------------------------------------------------------

    def _store(self, mail_from, rcpt_tos, data: bytes, peer) -> None:
        with self._changed:
            self._count += 1
            path = None
            if self.directory:
                path = os.path.join(self.directory, f"{self._count:03d}.eml")
                temporary = path + ".part"
                with open(temporary, "wb") as f:
                    f.write(data)
                os.replace(temporary, path)  # a reader never sees half a file
            self._messages.append(ReceivedMessage(mail_from, tuple(rcpt_tos), data, peer, path))
            self._changed.notify_all()

    @property
    def messages(self) -> list[ReceivedMessage]:
        with self._changed:
            return list(self._messages)

    def clear(self) -> None:
        with self._changed:
            self._messages.clear()

    def wait_for(self, count: int = 1, timeout: float = 10.0) -> list[ReceivedMessage]:
        """The messages once there are at least `count`; TimeoutError after `timeout` s."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self._messages) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        f"{len(self._messages)} message(s) after {timeout} s, wanted {count}")
                self._changed.wait(left)
            return list(self._messages)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="loopback address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port; 0 takes a free one (default)")
    parser.add_argument("--dir", help="write each message to DIR/NNN.eml")
    parser.add_argument("--quiet", action="store_true", help="say nothing per message")
    parser.add_argument("--tls", choices=("implicit", "starttls"), help="speak TLS (needs --cert)")
    parser.add_argument("--cert", help="PEM file with the certificate chain and its key")
    parser.add_argument("--login", action="append", metavar="USER:PASSWORD",
                        help="require this login (over TLS); may be repeated")
    parser.add_argument("--xoauth2", metavar="URL",
                        help="offer XOAUTH2, asking the fake provider at URL about each token")
    parser.add_argument("--ca-file", help="the CA the provider's certificate is from")
    args = parser.parse_args(argv)

    stopping = threading.Event()

    def on_signal(signum, frame):
        stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    try:
        logins = dict(l.split(":", 1) for l in args.login) if args.login else None
        bearer = None
        if args.xoauth2:
            context = ssl.create_default_context(cafile=args.ca_file)

            def bearer(user, token):
                form = urllib.parse.urlencode({"account": user, "token": token}).encode()
                try:
                    with urllib.request.urlopen(args.xoauth2 + "/control/valid", form,
                                                timeout=30, context=context) as answer:
                        return answer.status == 200
                except OSError:
                    return False
        sink = SmtpSink(args.host, args.port, args.dir, tls=args.tls, certfile=args.cert,
                        logins=logins, bearer=bearer).start()
    except (OSError, ValueError, TimeoutError) as e:
        print(f"smtp_sink: cannot listen on {args.host} port {args.port}: {e}", file=sys.stderr)
        return 1
    try:
        print(f"ready {sink.host} {sink.port}", flush=True)
        seen = 0
        while not stopping.wait(0.2):
            if args.quiet:
                continue
            messages = sink.messages
            for m in messages[seen:]:
                where = f" -> {m.path}" if m.path else ""
                print(f"received {len(m.data)} bytes from <{m.mail_from}> for "
                      f"{', '.join('<%s>' % r for r in m.rcpt_tos)}{where}", flush=True)
            seen = len(messages)
    finally:
        sink.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
