#!/usr/bin/python3
"""Signing in and sending with the kept grant, end to end: a fake OAuth 2
provider (fake_provider.py) over HTTPS, a fake browser (fake_browser.py)
that the desktop starts for the sign-in page, and an SMTP server
(tools/smtp_sink.py) that takes an XOAUTH2 bearer only when the provider
says it is the account's. Through vtl-sendmail, or a C host
(signin_host.c) calling the API, on Linux or as a Windows program under Wine.

    signin_test.py --certs DIR --sendmail PATH/vtl-sendmail [unittest options]
    signin_test.py --certs DIR --host PATH/vtl_signin_host [--emulator tools/wine-run.sh
                   --trust PATH/vtl_trust.exe]

On Linux the browser is the x-scheme-handler/https of a desktop of the
test's own (as internet_posix_test.cpp makes one) that xdg-open reads, and
grants are kept under a scratch XDG_STATE_HOME. Under Wine (WINEPREFIX set)
ShellExecute hands an https URL to winebrowser, which runs the programs
that HKCU\\Software\\Wine\\WineBrowser "Browsers" names: the fake browser;
grants are kept in the prefix's LOCALAPPDATA, so every account of a run is
its own and is signed out at the end, and vtl_trust puts the test CA among
the prefix's trusted roots.

Only the Python standard library and aiosmtpd. Every wait is bounded.
"""

from __future__ import annotations

import argparse
import base64
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "tools"))

from fake_provider import FakeProvider  # noqa: E402
from smtp_sink import SmtpSink  # noqa: E402

OK, DIALOGUE_FAILED, AUTH_FAILED, NOT_FINISHED = 0, 7, 10, 11
CALL_TIMEOUT = 240   # one sign-in, send or sign-out; the library's own waits are shorter
USER_TIMEOUT = 300   # what the library gives the user in the browser
CLIENT, CONFIDENTIAL = "vtl-test-client", "vtl-confidential"
RUN = secrets.token_hex(3)  # accounts of this run alone (a Wine prefix keeps its grants)

SENDMAIL: str = ""
HOST: list[str] = []
TRUST: str = ""
CERTS: str = ""


def account(scenario: str, tag: str = "") -> str:
    """An address whose local part names the provider's scenario."""
    return f"{scenario}+{tag}{RUN}@example.com"


def desktop_env(root: str, browser: str | None) -> dict[str, str]:
    """xdg-open's generic mode in a desktop of its own whose https handler is
    `browser` (none: nothing opens a web page)."""
    for sub in ("home", "config", "data/applications"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    defaults = "[Default Applications]\n"
    if browser:
        with open(os.path.join(root, "data/applications/vtl-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=vtl test browser\n"
                    f"Exec={browser} %u\nMimeType=x-scheme-handler/https;\n")
        defaults += "x-scheme-handler/https=vtl-browser.desktop\n"
    with open(os.path.join(root, "config/mimeapps.list"), "w") as f:
        f.write(defaults)
    env = {k: v for k, v in os.environ.items() if k not in (
        "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID", "WAYLAND_DISPLAY",
        "MATE_DESKTOP_SESSION_ID", "LXQT_SESSION_CONFIG", "DESKTOP", "SSL_CERT_DIR")}
    none = os.path.join(root, "none")
    env.update(XDG_CURRENT_DESKTOP="X-Generic", XDG_RUNTIME_DIR=root,
               DBUS_SESSION_BUS_ADDRESS="disabled:", HOME=os.path.join(root, "home"),
               XDG_CONFIG_HOME=os.path.join(root, "config"),
               XDG_DATA_HOME=os.path.join(root, "data"), XDG_CONFIG_DIRS=none,
               XDG_DATA_DIRS=none, DISPLAY=":99", BROWSER="/bin/false", MAILCAPS=none,
               XDG_STATE_HOME=os.path.join(root, "state"), LC_ALL="C")
    return env


def run(command: list[str], env: dict[str, str], stdin: bytes = b"") -> tuple[int, str]:
    r = subprocess.run(command, input=stdin, capture_output=True, env=env,
                       timeout=CALL_TIMEOUT + USER_TIMEOUT)
    return r.returncode, (r.stdout + r.stderr).decode("utf-8", "backslashreplace")


class SignInCase(unittest.TestCase):
    """One provider, one SMTP server, one browser for the whole class."""

    @classmethod
    def setUpClass(cls):
        subprocess.run(["sh", os.path.join(HERE, os.pardir, "tls", "make_certs.sh"), CERTS],
                       check=True, stdout=subprocess.DEVNULL)
        cls.ca = os.path.join(CERTS, "ca.pem")
        cls.root = tempfile.mkdtemp(prefix="vtl-signin-")
        cls.addClassCleanup(shutil.rmtree, cls.root, ignore_errors=True)
        cls.provider = FakeProvider(os.path.join(CERTS, "good.pem")).start()
        cls.addClassCleanup(cls.provider.stop)
        cls.refused: set[str] = set()  # accounts whose every XOAUTH2 login the server refuses
        cls.sink = SmtpSink(tls="implicit", certfile=os.path.join(CERTS, "good.pem"),
                            bearer=lambda user, token: user not in cls.refused and
                            cls.provider.valid(user, token)).start()
        cls.addClassCleanup(cls.sink.stop)
        cls.log = os.path.join(cls.root, "browser.log")
        browser = os.path.join(cls.root, "browser.sh")
        with open(browser, "w") as f:
            f.write(f"#!/bin/sh\nexec /usr/bin/python3 {HERE}/fake_browser.py {cls.ca} "
                    f"{cls.log} \"$1\"\n")
        os.chmod(browser, 0o755)
        cls.signed_in: list[str] = []
        if HOST and "WINEPREFIX" in os.environ:
            cls.env = dict(os.environ)
            cls.wine([TRUST, "add", cls.ca])
            cls.addClassCleanup(cls.wine, [TRUST, "remove", cls.ca])
            key = r"HKCU\Software\Wine\WineBrowser"
            cls.wine(["reg", "add", key, "/v", "Browsers", "/d", browser, "/f"])
            cls.addClassCleanup(cls.wine, ["reg", "delete", key, "/v", "Browsers", "/f"])
        else:
            cls.env = desktop_env(cls.root, browser)
            cls.env["SSL_CERT_FILE"] = cls.ca  # the library's own trust, in a host

    @classmethod
    def wine(cls, command):
        r = subprocess.run(HOST[:-1] + command, capture_output=True, env=cls.env, timeout=300)
        if r.returncode != 0:
            raise RuntimeError(f"{command}: {r.returncode} {r.stderr!r}")

    @classmethod
    def tearDownClass(cls):
        # A Wine prefix outlives the run: nothing of its is left kept there.
        if HOST and cls.signed_in:
            run(HOST + [w for a in cls.signed_in for w in ("sign-out", a)], cls.env)

    def setUp(self):
        with open(self.log, "w"):
            pass
        self.sink.clear()

    def tearDown(self):
        self.assertEqual(self.provider.errors, [], "requests the provider found wrong")

    # -- the three calls, through the tool or the host: (result, detail) -----------

    def call(self, *words: str, secret_file: str | None = None) -> tuple[int, str]:
        if HOST:
            code, out = run(HOST + list(words), self.env)
            reports = re.findall(r"^\S+ result (\d+): (.*?)\r?$", out, re.M)
            self.assertTrue(code == 0 and reports, out)
            return self.hidden(int(reports[-1][0]), reports[-1][1], out)
        if words[0] == "send":
            command = [SENDMAIL, "--verbose", "--server", words[1], "--from", words[2], "--to",
                       words[3], "--subject", "Signed in", "--ca-file", self.ca]
        elif words[0] == "sign-in":
            command = [SENDMAIL, "--sign-in", words[1], "--client-id", words[2], "--account",
                       words[4], "--ca-file", self.ca, "--verbose"]
            if secret_file:
                command += ["--client-secret-file", secret_file]
        else:
            command = [SENDMAIL, "--sign-out", words[1]]
        code, out = run(command, self.env, b"Sent with the kept sign-in.\n")
        lines = out.splitlines()
        return self.hidden(code, lines[-1] if lines else "", out)

    def hidden(self, result: int, detail: str, shown: str) -> tuple[int, str]:
        """No code, token or secret the provider knows is in what was shown,
        as it is or in base64 (XOAUTH2's initial response)."""
        decoded = []
        for run_ in re.findall(r"[A-Za-z0-9+/_-]{16,}={0,2}", shown):
            try:
                decoded.append(base64.b64decode(run_ + "==", altchars=b"-_").decode("latin-1"))
            except ValueError:
                pass
        seen = shown + "\n".join(decoded)
        for secret in self.provider.secrets():
            self.assertNotIn(secret, seen, f"a secret of the provider's shown in\n{shown}")
        return result, detail

    def sign_in(self, who: str, client: str = CLIENT, secret: str | None = None):
        self.signed_in.append(who)
        secret_file = None
        if secret:
            secret_file = os.path.join(self.root, "secret")
            with open(secret_file, "w") as f:
                f.write(secret + "\n")
        return self.call("sign-in", self.provider.argument(), client, secret or "-", who,
                         secret_file=secret_file)

    def send(self, who: str):
        url = f"smtps://{who};AUTH=XOAUTH2@127.0.0.1:{self.sink.port}"
        return self.call("send", url, who, "b@example.com")

    def browsed(self) -> list[str]:
        """The browser's steps once it is done."""
        for _ in range(600):
            with open(self.log) as f:
                steps = f.read().splitlines()
            if "done" in steps:
                return steps
            time.sleep(0.1)
        self.fail(f"the browser did not finish: {steps}")

    def delivered(self, who: str, result: tuple[int, str]):
        self.assertEqual(result[0], OK, result[1])
        message = self.sink.wait_for(1, timeout=30)[-1]
        self.assertIn(b"Sent with the kept sign-in.", message.data)
        self.assertEqual(self.sink.logged_in[-1], ("XOAUTH2", who))


class SignInTest(SignInCase):
    def test_signed_in_sends_with_the_kept_token(self):
        # A token with an hour left is used as it is: no refresh.
        for scenario in ("accept", "upn", "preconnect"):
            with self.subTest(scenario=scenario):
                who = account(scenario)
                self.assertEqual(self.sign_in(who)[0], OK)
                steps = self.browsed()
                self.assertEqual(steps[0], "authorize 302", steps)
                self.assertTrue(any(s.startswith("favicon ") for s in steps), steps)
                self.assertTrue(any(s.startswith("redirect 200") for s in steps), steps)
                self.sink.clear()
                self.delivered(who, self.send(who))
                self.assertEqual(self.provider.count("/token", "refresh_token", who), 0)

    def test_renewed_token_and_rotated_refresh_token_kept(self):
        # Tokens of a minute: each send renews first. A rotated refresh token
        # is spent once used, so the second send works only if the first kept
        # the new one; one not rotated stays, and must still be there.
        for scenario in ("rotate", "keep"):
            with self.subTest(scenario=scenario):
                who = account(scenario)
                self.assertEqual(self.sign_in(who)[0], OK)
                for n in (1, 2):
                    self.sink.clear()
                    self.delivered(who, self.send(who))
                    self.assertEqual(self.provider.count("/token", "refresh_token", who), n)

    def test_refused_token_renewed_once(self):
        # (account, what the server does, result, XOAUTH2 logins tried, refreshes)
        stale, refused, fresh = account("accept", "stale"), account("accept", "refused"), \
            account("rotate", "refused")
        for who, result, tried, refreshes in (
                # The provider dropped the kept token: renewed, and the second login works.
                (stale, OK, [False, True], 1),
                # The server refuses every token: renewed once, tried twice, then 10.
                (refused, AUTH_FAILED, [False, False], 1),
                # A token just had from the provider is not renewed again.
                (fresh, AUTH_FAILED, [False], 1)):
            with self.subTest(account=who):
                self.assertEqual(self.sign_in(who)[0], OK)
                self.provider.expire_access(stale)
                self.refused.update((refused, fresh))
                self.sink.bearer_tried.clear()
                got = self.send(who)
                self.assertEqual(got[0], result, got[1])
                self.assertEqual([ok for _, ok in self.sink.bearer_tried], tried)
                self.assertEqual(self.provider.count("/token", "refresh_token", who), refreshes)

    def test_sign_in_refused(self):
        # (scenario, result, words of the detail); nothing is kept after any of them.
        for scenario, result, words in (
                ("cancel", AUTH_FAILED, "access_denied"),
                ("other", AUTH_FAILED, "someone.else@example.com"),
                ("aadsts7000218", AUTH_FAILED, "AADSTS7000218"),
                ("broken", DIALOGUE_FAILED, "500")):
            with self.subTest(scenario=scenario):
                who = account(scenario)
                got = self.sign_in(who)
                self.assertEqual(got[0], result, got[1])
                self.assertIn(words, got[1])
                self.browsed()
                self.assert_not_kept(who)

    def assert_not_kept(self, who: str):
        got = self.send(who)
        self.assertEqual(got[0], AUTH_FAILED, got[1])
        self.assertIn(f"no sign-in kept for {who}: call VTLSignIn", got[1])

    def test_revoked_grant_asks_to_sign_in_again(self):
        who = account("revoked")
        self.assertEqual(self.sign_in(who)[0], OK)
        got = self.send(who)
        self.assertEqual(got[0], AUTH_FAILED, got[1])
        self.assertIn("sign in again", got[1])
        self.assertEqual(self.sink.messages, [])

    def test_sign_out(self):
        who = account("accept", "out")
        self.assertEqual(self.sign_in(who)[0], OK)
        self.assertEqual(self.call("sign-out", who)[0], OK)
        self.assert_not_kept(who)
        self.assertEqual(self.call("sign-out", who)[0], OK)  # none kept: still 0

    def test_confidential_client(self):
        who = account("accept", "secret")
        got = self.sign_in(who, CONFIDENTIAL, "wrong-secret")
        self.assertEqual(got[0], AUTH_FAILED, got[1])
        self.provider.errors.remove("not the client the code was given to")
        self.browsed()
        self.assertEqual(self.sign_in(who, CONFIDENTIAL, self.provider.clients[CONFIDENTIAL])[0],
                         OK)
        self.browsed()
        self.delivered(who, self.send(who))


class NoBrowserTest(SignInCase):
    def test_no_browser(self):
        if HOST and "WINEPREFIX" in os.environ:
            self.skipTest("winebrowser is started whatever it then finds")
        env, type(self).env = self.env, desktop_env(os.path.join(self.root, "bare"), None)
        try:
            got = self.sign_in(account("accept", "nobrowser"))
        finally:
            type(self).env = env
        self.assertEqual(got[0], NOT_FINISHED, got[1])
        self.assertEqual(self.provider.count("/authorize"), 0)


def main() -> int:
    global SENDMAIL, HOST, TRUST, CERTS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--certs", required=True, help="where the test certificates are made")
    parser.add_argument("--sendmail", help="the vtl-sendmail program")
    parser.add_argument("--host", help="the C host, vtl_signin_host")
    parser.add_argument("--emulator", help="what runs the host: tools/wine-run.sh")
    parser.add_argument("--trust", help="vtl_trust.exe, under Wine")
    args, rest = parser.parse_known_args()
    SENDMAIL = os.path.abspath(args.sendmail) if args.sendmail else ""
    HOST = [args.emulator] * bool(args.emulator) + [args.host] * bool(args.host)
    TRUST, CERTS = args.trust or "", os.path.abspath(args.certs)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    print(f"{result.testsRun - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
