#!/usr/bin/python3
"""A fake OAuth 2 provider for the sign-in tests, over HTTPS on loopback
with a certificate of the tests' CA (tests/tls/make_certs.sh).

    GET  /authorize   the authorization request (RFC 6749 4.1.1, PKCE S256)
    POST /token       authorization_code, refresh_token and the device code
    POST /devicecode  RFC 8628 3.1; the user approves at GET /device
    POST /control/valid  account=&token=: 200 when the access token is valid

What happens is chosen by the account, the login_hint (or the account a
device code is approved for): its local part up to the first '+' or '.'
names a scenario (SCENARIOS), so that a test picks one by the account it
signs in, "rotate@example.com" or "rotate+2@example.com". An unknown one
acts as "accept".

Everything the provider finds wrong with a request it answers as a
provider would, and also notes in `errors`, which a test expects empty.
Every code, token and secret it handed out or was given is in `secrets()`,
for the tests that look for them where they must not be.

From Python:
    with FakeProvider(certfile) as provider:
        provider.argument()            # VTLSignIn's provider argument
        provider.valid(account, token)
    python3 fake_provider.py --cert PEM [--port N]   prints "ready PORT"

Its refusals are the answers recorded in tests/signin/answers/.

Only the Python standard library.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import http.server
import json
import os
import re
import secrets as random
import signal
import ssl
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))

# What the scenario does: its access tokens' lifetime (the library renews
# one with less than 5 minutes left), whether a refresh rotates the refresh
# token, and how the steps go.
SCENARIOS = {
    "accept": {},
    "cancel": {"authorize": "access_denied"},
    "other": {"id": "email-other"},        # another account signed in
    "upn": {"id": "preferred_username"},   # the account only as preferred_username
    "rotate": {"lifetime": 60, "rotate": True},
    "keep": {"lifetime": 60, "rotate": False},
    "revoked": {"lifetime": 60, "refresh": "invalid_grant"},
    "aadsts7000218": {"token": "aadsts7000218"},
    "broken": {"token": "server-error"},
    "noid": {"id": "none"},
}

# Answers as the providers send them, recorded whole in answers/ (status
# line, header fields, body) with made-up tokens and ids.
RECORDED = {"invalid_grant": "microsoft-invalid-grant", "aadsts7000218": "microsoft-7000218",
            "server-error": "server-error-html"}


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def answer(name: str):
    """(status, JSON object or HTML text) of a recorded answer."""
    with open(os.path.join(HERE, "answers", RECORDED[name] + ".http"), "rb") as f:
        head, _, body = f.read().replace(b"\r\n", b"\n").partition(b"\n\n")
    status = int(head.split()[1])
    return status, json.loads(body) if b"application/json" in head else body.decode()


def scenario_of(account: str) -> tuple[str, dict]:
    name = re.split(r"[+.@]", account.lower(), 1)[0]
    return (name, SCENARIOS[name]) if name in SCENARIOS else ("accept", {})


class FakeProvider:
    def __init__(self, certfile: str, port: int = 0, scope: str = "https://mail.example.com/smtp "
                 "offline_access", clients: dict[str, str | None] | None = None) -> None:
        self.scope = scope
        # client id -> its secret, None for a public client.
        self.clients = {"vtl-test-client": None, "vtl-confidential": "s3cr3t-0f-the-client"}
        self.clients.update(clients or {})
        self.errors: list[str] = []      # what a request did wrong
        self.requests: list[tuple[str, str, str]] = []  # (path, grant_type, account)
        self.lock = threading.Lock()
        self.codes: dict[str, dict] = {}      # code -> the request it answers
        self.access: dict[str, str] = {}      # valid access token -> account
        self.refresh: dict[str, tuple[str, str]] = {}  # valid refresh token -> (account, client)
        self.devices: dict[str, dict] = {}    # device code -> its state
        self.given: set[str] = set()          # every secret seen or handed out
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self.server.daemon_threads = True
        self.server.provider = self
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.base = f"https://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    # -- for the tests ---------------------------------------------------------

    def start(self) -> FakeProvider:
        self.thread.start()
        return self

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()

    def __enter__(self) -> FakeProvider:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def argument(self, scope: str | None = None) -> str:
        """VTLSignIn's provider argument for this provider."""
        return f"{self.base}/authorize {self.base}/token {scope or self.scope}"

    def valid(self, account: str, token: str) -> bool:
        with self.lock:
            return self.access.get(token) == account

    def expire_access(self, account: str) -> None:
        """The account's access tokens stop working before their time, as
        when a password changes."""
        with self.lock:
            self.access = {t: a for t, a in self.access.items() if a != account}

    def count(self, path: str, grant: str = "", account: str = "") -> int:
        with self.lock:
            return sum(1 for p, g, a in self.requests
                       if p == path and grant in ("", g) and account in ("", a))

    def secrets(self) -> list[str]:
        with self.lock:
            return sorted(self.given | {s for s in self.clients.values() if s})

    # -- the endpoints ---------------------------------------------------------

    def _new(self, prefix: str) -> str:
        token = prefix + random.token_urlsafe(24)
        self.given.add(token)
        return token

    def _wrong(self, what: str):
        self.errors.append(what)
        return 400, "<html><body><h1>Sorry, but we're having trouble signing you in.</h1>" \
                    f"<p>{what}</p></body></html>"

    def authorize(self, query: dict[str, str]):
        account = query.get("login_hint", "")
        self.requests.append(("/authorize", "", account))
        redirect = query.get("redirect_uri", "")
        for name, wanted in (("response_type", "code"), ("code_challenge_method", "S256")):
            if query.get(name) != wanted:
                return self._wrong(f"{name} is {query.get(name)!r}, not {wanted!r}")
        if query.get("client_id") not in self.clients:
            return self._wrong(f"unknown client_id {query.get('client_id')!r}")
        if not re.fullmatch(r"http://(127\.0\.0\.1|localhost):[0-9]{1,5}(/[^?#]*)?", redirect):
            return self._wrong(f"redirect_uri {redirect!r} is not a loopback one with a port")
        if not re.fullmatch(r"[A-Za-z0-9_-]{43}", query.get("code_challenge", "")):
            return self._wrong("code_challenge is not the base64url of a SHA-256")
        if not query.get("state") or not account:
            return self._wrong("no state or no login_hint")
        if set(query.get("scope", "").split()) != set(self.scope.split()):
            return self._wrong(f"scope {query.get('scope')!r}, not {self.scope!r}")
        self.given.update((query["state"], query["code_challenge"]))
        step = scenario_of(account)[1].get("authorize", "code")
        state = query["state"]
        if step == "access_denied":
            params = {"error": "access_denied", "error_description": "AADSTS65004: User "
                      "declined to consent to access the app.", "state": state}
        else:
            code = self._new("code-")
            self.codes[code] = {"client": query["client_id"], "redirect": redirect,
                                "challenge": query["code_challenge"], "account": account}
            params = {"code": code, "state": state}
        separator = "&" if "?" in redirect else "?"
        return 302, redirect + separator + urllib.parse.urlencode(params)

    def _client(self, form: dict[str, str]) -> str | None:
        """The client's id, or None when it is not who it says."""
        client = form.get("client_id", "")
        if client not in self.clients:
            return None
        self.given.update(s for s in (form.get("client_secret"),) if s)
        return client if form.get("client_secret") == self.clients[client] else None

    def token(self, form: dict[str, str]):
        grant = form.get("grant_type", "")
        if grant == "authorization_code":
            self.given.update(v for k, v in form.items() if k in ("code", "code_verifier"))
            request = self.codes.pop(form.get("code", ""), None)
            account = request["account"] if request else ""
            self.requests.append(("/token", grant, account))
            if request is None:
                self.errors.append("an unknown or used code")
                return answer("invalid_grant")
            step = scenario_of(account)[1].get("token")
            if step:
                return answer(step)
            verifier = form.get("code_verifier", "")
            if b64url(hashlib.sha256(verifier.encode()).digest()) != request["challenge"] or \
                    not re.fullmatch(r"[A-Za-z0-9._~-]{43,128}", verifier):
                return self._refuse("code_verifier does not match the challenge")
            if form.get("redirect_uri") != request["redirect"]:
                return self._refuse(f"redirect_uri {form.get('redirect_uri')!r} is not the "
                                    f"authorization request's {request['redirect']!r}")
            client = self._client(form)
            if client != request["client"]:
                return self._refuse("not the client the code was given to", "invalid_client",
                                    401)
            return self._tokens(account, client, new_refresh=True)
        if grant == "refresh_token":
            old = form.get("refresh_token", "")
            self.given.add(old)
            account, client = self.refresh.get(old, ("", ""))
            self.requests.append(("/token", grant, account))
            if not account:
                return answer("invalid_grant")
            if self._client(form) != client:
                return self._refuse("not the client the refresh token was given to",
                                    "invalid_client")
            setup = scenario_of(account)[1]
            if setup.get("refresh") == "invalid_grant":
                return answer("invalid_grant")
            if setup.get("rotate"):
                del self.refresh[old]  # as Microsoft: the old one is spent
            return self._tokens(account, client, new_refresh=setup.get("rotate", False))
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            device = self.devices.get(form.get("device_code", ""))
            self.requests.append(("/token", "device", device["account"] if device else ""))
            if device is None or self._client(form) != device["client"]:
                return self._refuse("an unknown device code or client", "invalid_grant")
            device["polls"] += 1
            # Twice pending, then once too fast, then pending until the user is done.
            if device["polls"] == 3:
                return 400, {"error": "slow_down"}
            if device["polls"] < 3 or not device["account"]:
                return 400, {"error": "authorization_pending",
                             "error_description": "AADSTS70016: OAuth 2.0 device flow error. "
                                                  "Authorization is pending."}
            del self.devices[form["device_code"]]
            return self._tokens(device["account"], device["client"], new_refresh=True)
        return self._refuse(f"grant_type {grant!r}", "unsupported_grant_type")

    def _refuse(self, what: str, error: str = "invalid_grant", status: int = 400):
        self.errors.append(what)
        return status, {"error": error, "error_description": what}

    def _tokens(self, account: str, client: str, new_refresh: bool):
        setup = scenario_of(account)[1]
        access = self._new("access-")
        self.access[access] = account
        body = {"token_type": "Bearer", "scope": self.scope, "access_token": access,
                "expires_in": setup.get("lifetime", 3600), "ext_expires_in": 3600}
        if new_refresh:
            body["refresh_token"] = self._new("refresh-")
            self.refresh[body["refresh_token"]] = (account, client)
        claim = setup.get("id", "email")
        if claim != "none":
            claims = {"iss": self.base, "aud": client, "sub": b64url(account.encode()),
                      "iat": int(time.time()), "exp": int(time.time()) + 3600,
                      "tid": "9188040d-6c67-4c5b-b112-36a304b66dad"}
            if claim == "email-other":
                claims["email"] = "someone.else@example.com"
            else:
                claims[claim] = account
            header = {"typ": "JWT", "alg": "RS256", "kid": "test"}
            body["id_token"] = ".".join(b64url(json.dumps(part).encode())
                                        for part in (header, claims)) + "." + b64url(b"sig")
        return 200, body

    def device_code(self, form: dict[str, str]):
        client = self._client(form)
        self.requests.append(("/devicecode", "", ""))
        if client is None or set(form.get("scope", "").split()) != set(self.scope.split()):
            return self._refuse("an unknown client or another scope", "invalid_request")
        code, user_code = self._new("device-"), random.choice("BCDFGHJK") + "7Q2XWZ9"
        self.devices[code] = {"client": client, "user": user_code, "polls": 0, "account": ""}
        return 200, {"device_code": code, "user_code": user_code,
                     "verification_uri": f"{self.base}/device", "expires_in": 900,
                     "interval": 1, "message": f"To sign in, use a web browser to open the "
                     f"page {self.base}/device and enter the code {user_code} to authenticate."}

    def approve_device(self, query: dict[str, str]):
        """The user at the verification page: user_code and the account."""
        for device in self.devices.values():
            if device["user"] == query.get("user_code"):
                device["account"] = query.get("login_hint", "")
                return 200, "<html><body>You have signed in. You may close this window.</body>"
        return 404, "<html><body>That code didn't work.</body></html>"


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args) -> None:  # quiet: the tests print what matters
        pass

    def do_GET(self) -> None:  # noqa: N802 (http.server's name)
        provider = self.server.provider
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        with provider.lock:
            if url.path == "/authorize":
                return self.send(*provider.authorize(query))
            if url.path == "/device":
                return self.send(*provider.approve_device(query))
        self.send(404, "<html><body>Not found</body></html>")

    def do_POST(self) -> None:  # noqa: N802
        provider = self.server.provider
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace")
        form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True))
        path = urllib.parse.urlsplit(self.path).path
        if path == "/control/valid":
            ok = provider.valid(form.get("account", ""), form.get("token", ""))
            return self.send(200 if ok else 403, {"valid": ok})
        with provider.lock:
            kind = (self.headers.get("Content-Type") or "").split(";")[0].strip()
            if kind != "application/x-www-form-urlencoded":
                return self.send(*provider._refuse(f"Content-Type {kind!r}", "invalid_request"))
            if path == "/token":
                return self.send(*provider.token(form))
            if path == "/devicecode":
                return self.send(*provider.device_code(form))
        self.send(404, "<html><body>Not found</body></html>")

    def send(self, status: int, content) -> None:
        if status == 302:
            data, kind = b"", None
        elif isinstance(content, str):
            data, kind = content.encode(), "text/html; charset=utf-8"
        else:
            data, kind = json.dumps(content).encode(), "application/json; charset=utf-8"
        self.send_response(status)
        if status == 302:
            self.send_header("Location", content)
        else:
            self.send_header("Content-Type", kind)
            self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cert", required=True, help="PEM file: the certificate chain and key")
    parser.add_argument("--port", type=int, default=0, help="port; 0 takes a free one (default)")
    args = parser.parse_args()
    provider = FakeProvider(args.cert, args.port).start()
    print(f"ready {provider.port}", flush=True)
    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    signal.signal(signal.SIGINT, lambda *_: stopping.set())
    stopping.wait()
    provider.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
