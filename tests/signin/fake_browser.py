#!/usr/bin/python3
"""The browser of the sign-in tests: the handler the desktop starts for an
https URL. It plays a user who signs in at once: GETs the authorization
URL (trusting the tests' CA), and when the provider redirects to the
loopback, GETs first /favicon.ico there, as browsers do, and then the
redirect itself. An account "preconnect..." also has it open a connection
to the loopback that sends nothing, as browsers open spare ones.

    fake_browser.py CA-FILE LOG-FILE URL

It returns at once, as a browser already running does, and goes on in the
background; each step is appended to LOG-FILE as one line ("authorize 302",
"favicon 404", "redirect 200 <the page's title>", "done"), never a code
or a token. Only the Python standard library.
"""

import http.client
import os
import re
import socket
import ssl
import sys
import urllib.parse

TIMEOUT = 120  # a step that takes longer is a failure of the test anyway


def get(url: str, ca: str) -> tuple[int, str, str]:
    """(status, Location, body) of one GET."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "https":
        context = ssl.create_default_context(cafile=ca)
        connection = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=TIMEOUT,
                                                 context=context)
    else:
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=TIMEOUT)
    try:
        connection.request("GET", (parts.path or "/") + ("?" + parts.query if parts.query else ""),
                           headers={"User-Agent": "vtl-test-browser",
                                    "Accept": "text/html,*/*"})
        response = connection.getresponse()
        body = response.read().decode("utf-8", "replace")
        return response.status, response.getheader("Location") or "", body
    finally:
        connection.close()


def browse(ca: str, url: str, log) -> None:
    status, location, _ = get(url, ca)
    log(f"authorize {status}")
    if status != 302:
        return
    target = urllib.parse.urlsplit(location)
    if target.scheme != "http" or target.hostname not in ("127.0.0.1", "localhost"):
        log("redirect not to the loopback")
        return
    spare = None
    if urllib.parse.parse_qs(urllib.parse.urlsplit(url).query).get(
            "login_hint", [""])[0].startswith("preconnect"):
        spare = socket.create_connection((target.hostname, target.port), timeout=TIMEOUT)
        log("spare connection open")
    try:
        status, _, _ = get(f"http://{target.netloc}/favicon.ico", ca)
        log(f"favicon {status}")
    except OSError as e:  # a listener may close a stray at once
        log(f"favicon {type(e).__name__}")
    status, _, body = get(location, ca)
    title = re.search(r"<title>(.*?)</title>", body, re.S | re.I)
    log(f"redirect {status} {title.group(1).strip() if title else body[:60]!r}")
    if spare:
        spare.close()


def main() -> int:
    ca, log_file, url = sys.argv[1:4]
    if os.fork() > 0:  # the desktop's opener returns; the user goes on
        return 0
    os.setsid()
    null = os.open(os.devnull, os.O_RDWR)  # nothing of the opener's is held open
    for fd in (0, 1, 2):
        os.dup2(null, fd)

    def log(line: str) -> None:
        with open(log_file, "a", encoding="utf-8") as f:
            f.write(line + "\n")

    try:
        browse(ca, url, log)
    except Exception as e:  # noqa: BLE001 - whatever it was, the test reads it here
        log(f"failed: {type(e).__name__}: {e}")
    log("done")
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
