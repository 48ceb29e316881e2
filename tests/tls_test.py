#!/usr/bin/python3
"""The TLS client against TLS servers on loopback, one per kind of
certificate or misbehaviour. Runs the tls_probe program given (under an
emulator such as Wine when one is given) once per case and checks the result
code it prints: 0 secured (and a line echoed through the session, or
"(closed)" for the server's close_notify), 8 no TLS session, 9 certificate
not trusted; and the detail it prints on the next line, which must hold the
case's words, the same on every system. Then the sessions of one process:
the second handshake with a server resumes the first's session, and another
name of the same server is verified in full, and a CA file rewritten
between two handshakes is read again.

usage: tls_test.py [--no-resumption] CERT-DIR COMMAND... (the probe, after its
       emulator if any; --no-resumption: a system that never resumes a session)
       tls_test.py --serve CERT-DIR: serves one connection as the good server
       on 127.0.0.1 (a "ping" line gets "pong"), after printing its port"""
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))


class Server:
    """Listens on host:0, and on the same port of the address `also` if given;
    `kind` says what each connection gets. `handshakes` has "full",
    "resumed" or "failed" for each TLS handshake, in turn."""

    def __init__(self, kind, certs, cert=None, host="127.0.0.1", max_version=None, once=False,
                 ciphers=None, alert=None, also=None):
        self.kind, self.sni, self.once, self.handshakes = kind, [], once, []
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.bind((host, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.other_port = None
        if also:
            # The same server on `also` at the same port, and on host at another.
            for address, port in ((also, self.port), (host, 0)):
                other = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                other.bind((address, port))
                other.listen(8)
                self.other_port = other.getsockname()[1]
                threading.Thread(target=self.serve, args=(other,), daemon=True).start()
        self.ctx = None
        if cert:
            self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ctx.load_cert_chain(os.path.join(certs, cert + ".pem"))
            if max_version:
                self.ctx.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                self.ctx.maximum_version = max_version
                self.ctx.set_ciphers(ciphers or "DEFAULT:@SECLEVEL=0")
            # An alert for an answer to the ClientHello, where one is given.
            self.ctx.sni_callback = lambda s, name, c: self.sni.append(name) or alert
        if once:
            self.sock.settimeout(60)  # a client that never comes
        self.thread = threading.Thread(target=self.serve, args=(self.sock,), daemon=True)
        self.thread.start()

    def serve(self, sock):
        while True:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            if self.once:
                return self.handle(conn)
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    def handle(self, conn):
        conn.settimeout(60)
        try:
            if self.kind == "clear":
                conn.sendall(b"220 plain text here\r\n")
                conn.recv(4096)
            elif self.kind == "stall":
                conn.recv(4096)  # the ClientHello, never answered
                conn.recv(4096)
            elif self.kind == "part":
                conn.recv(4096)
                conn.sendall(b"\x16\x03\x03")  # the start of a record, never finished
                conn.recv(4096)
            elif self.kind == "reset":
                conn.recv(4096)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif self.kind == "hang-up":
                conn.recv(4096)  # the ClientHello, then the end (a FIN, not a reset)
                conn.shutdown(socket.SHUT_WR)
                conn.recv(4096)
            else:
                try:
                    tls = self.ctx.wrap_socket(conn, server_side=True)
                except (OSError, ssl.SSLError):
                    self.handshakes.append("failed")
                    raise
                self.handshakes.append("resumed" if tls.session_reused else "full")
                with tls:
                    ping = tls.recv(64).startswith(b"ping")
                    if ping and self.kind == "bye":
                        return tls.unwrap()  # close_notify for an answer
                    if ping:
                        tls.sendall(b"pong\r\n")
                    tls.recv(64)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()


def make_certs(certs):
    subprocess.run(["sh", os.path.join(HERE, "tls", "make_certs.sh"), certs], check=True,
                   stdout=subprocess.DEVNULL)


def serve_once(certs):
    make_certs(certs)
    server = Server("tls", certs, "good", once=True)
    print(server.port, flush=True)
    server.thread.join()


def resumption(certs, probe, ca, resumes):
    """Six handshakes in one process with a server whose certificate names
    localhost and 127.0.0.1 but not 127.0.0.2, where it listens as well: the
    second resumes the first's session where the system resumes any; the
    third, by another name, the fourth, by a name the certificate does not
    hold, the fifth, to another port, and the sixth, trusting a CA file of
    another name, are verified in full all the same (the server would
    resume what it was offered). With the newest protocol both ends have,
    and with TLS 1.2. The number of failures."""
    failures = 0
    ca_copy = os.path.join(certs, "ca-copy.pem")
    shutil.copyfile(ca, ca_copy)
    for version in (None, ssl.TLSVersion.TLSv1_2):
        server = Server("tls", certs, "good", max_version=version, also="127.0.0.2")
        hosts = ["localhost", "localhost", "127.0.0.1", "127.0.0.2",
                 "localhost/%d" % server.other_port, "localhost/%d/%s" % (server.port, ca_copy)]
        out = subprocess.run(probe + [",".join(hosts), str(server.port), ca, "60000"],
                             capture_output=True, text=True, timeout=250)
        lines = out.stdout.splitlines()
        got = [(lines[i:i + 2] + ["(nothing)", "(nothing)"])[:2] for i in range(0, 12, 2)]
        for _ in range(600):  # the server notes the last handshake as it sees it end
            if len(server.handshakes) >= len(hosts):
                break
            time.sleep(0.1)
        # (result, what the server may see, whether the detail says resumed). Where the
        # certificate is checked after the handshake (SChannel), the server sees the last
        # one complete.
        wanted = [("0 pong", ["full"], False),
                  ("0 pong", ["resumed" if resumes else "full"], resumes),
                  ("0 pong", ["full"], False),
                  ("9", ["failed", "full"], False),
                  ("0 pong", ["full"], False),
                  ("0 pong", ["full"], False)]
        protocols = ("TLSv1.2", "TLSv1.3") if version is None else ("TLSv1.2",)
        for i, (host, (result, detail), (expected, views, resumed)) in enumerate(
                zip(hosts, got, wanted)):
            seen = server.handshakes[i] if i < len(server.handshakes) else "(none)"
            ok = result == expected and seen in views
            ok = ok and detail.endswith("; session resumed") == resumed
            if expected == "9":
                ok = ok and detail == ("the certificate is for localhost, 127.0.0.1, 127.0.0.27, "
                                       "::1, not 127.0.0.2")
            else:
                ok = ok and detail.startswith(protocols) and "certificate CN=localhost, " in detail
            print(("ok   " if ok else "FAIL ") + f"session with {' or '.join(protocols)}, "
                  f"handshake {i + 1} with {host}: {result} (expected {expected}), the server "
                  f"saw {seen} (expected {' or '.join(views)})\n     {detail}")
            failures += not ok
    return failures


def rewritten_trust(certs, probe, ca):
    """Three handshakes in one process trusting one CA file, which is
    rewritten in place before the second (with another CA: the chain is
    refused) and again before the third (with the first CA: a full
    handshake, as the session belonged to what was trusted before). The
    number of failures."""
    trusted = os.path.join(certs, "ca-rewritten.pem")
    shutil.copyfile(ca, trusted)
    server = Server("tls", certs, "good")
    steps = ["localhost", os.path.join(certs, "stranger.pem") + ">" + trusted, "localhost",
             ca + ">" + trusted, "localhost"]
    out = subprocess.run(probe + [",".join(steps), str(server.port), trusted, "60000"],
                         capture_output=True, text=True, timeout=250)
    lines = out.stdout.splitlines()
    got = [(lines[i:i + 2] + ["(nothing)", "(nothing)"])[:2] for i in range(0, 6, 2)]
    wanted = [("0 pong", "; certificate CN=localhost, "),
              ("9", "the certificate's issuer is not trusted: CN=vtl test root CA "),
              ("0 pong", "; certificate CN=localhost, ")]
    failures = 0
    for i, ((result, detail), (expected, words)) in enumerate(zip(got, wanted)):
        ok = result == expected and words in detail and not detail.endswith("session resumed")
        print(("ok   " if ok else "FAIL ") + f"the CA file rewritten, handshake {i + 1}: {result} "
              f"(expected {expected}, not resumed)\n     {detail}")
        failures += not ok
    return failures


def main():
    if sys.argv[1] == "--serve":
        return serve_once(sys.argv[2])
    resumes = sys.argv[1] != "--no-resumption"
    certs, probe = sys.argv[1 + (not resumes)], sys.argv[2 + (not resumes):]
    make_certs(certs)
    warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.1, served on purpose
    ca = os.path.join(certs, "ca.pem")
    good = Server("tls", certs, "good")
    # How a CA is trusted, as the hint names it: the system's ways, or a program's option.
    windows = probe[-1].endswith(".exe")
    ways = ("in the system's or the user's certificate store" if windows else
            "in the system's store or with SSL_CERT_FILE, a PEM file of the roots to trust")
    option = "with --ca-file or in the system's store"
    inspects = "; a proxy or security product that inspects TLS does this)"
    trust = "(trust the CA " + ways + inspects
    self_signed = "(trust it " + ways + "; or give the server a certificate from a CA)"
    success = "; certificate CN=localhost, issued by CN=vtl test intermediate CA"
    cases = [
        # (what, server, host the client names, CA file, expected output, words of the detail)
        ("a chain from the trusted CA, by DNS name", good, "localhost", ca, "0 pong", success),
        ("the same, by IPv4 address", good, "127.0.0.1", ca, "0 pong", success),
        ("the same over 3-byte sends and 2-byte receives, each interrupted once",
         good, "localhost", ca, "0 pong", success, "faulty"),
        ("the same, from the system's store alone", good, "localhost", "-", "9",
         "the certificate's issuer is not trusted: CN=vtl test root CA " + trust),
        ("close_notify for an answer", Server("bye", certs, "good"), "localhost", ca, "0 (closed)",
         success),
        ("an address the certificate does not name",
         Server("tls", certs, "good", host="127.0.0.2"), "127.0.0.2", ca, "9",
         "the certificate is for localhost, 127.0.0.1, 127.0.0.27, ::1, not 127.0.0.2"),
        ("a certificate for another name", Server("tls", certs, "wrong-name"), "localhost", ca, "9",
         "the certificate is for wrong.example, not localhost"),
        ("the name only as the subject's CN (RFC 9525)", Server("tls", certs, "cn-only"),
         "localhost", ca, "9", "no subjectAltName: the certificate names its host only as the "
         "subject's common name, which is not checked (RFC 9525)"),
        ("an expired certificate", Server("tls", certs, "expired"), "localhost", ca, "9",
         "the certificate expired on 2021-01-01"),
        ("a certificate not valid yet", Server("tls", certs, "not-yet"), "localhost", ca, "9",
         "the certificate is not valid until 2090-01-01"),
        ("a self-signed certificate", Server("tls", certs, "self-signed"), "localhost", ca, "9",
         "the certificate is self-signed " + self_signed),
        ("the same, for a program whose option trusts a CA", Server("tls", certs, "self-signed"),
         "localhost", ca, "9", "the certificate is self-signed (trust it " + option + "; or give ",
         "trust-option=--ca-file"),
        ("a CA nobody trusts", Server("tls", certs, "unknown-ca"), "localhost", ca, "9",
         "the certificate's issuer is not trusted: CN=vtl test untrusted CA " + trust),
        ("the same, for a program whose option trusts a CA", Server("tls", certs, "unknown-ca"),
         "localhost", ca, "9", "the certificate's issuer is not trusted: CN=vtl test untrusted "
         "CA (trust the CA " + option + inspects, "trust-option=--ca-file"),
        ("an intermediate CA expired, its name not ASCII", Server("tls", certs, "old-ca"),
         "localhost", ca, "9", r"the CA certificate CN=vtl test expired CA \xc3\xa9 expired on "
         "2021-01-01"),
        ("a certificate for TLS clients only", Server("tls", certs, "client-only"), "localhost",
         ca, "9", "the certificate is not for a TLS server (its extended key usage)"),
        ("a certificate for five other names", Server("tls", certs, "many-names"), "localhost",
         ca, "9", "the certificate is for a.example, b.example, c.example, d.example, ..., not "
         "localhost"),
        ("a chain without its intermediate", Server("tls", certs, "no-intermediate"), "localhost",
         ca, "9", "the chain is incomplete: the server did not send the intermediate CA "
         "CN=vtl test intermediate CA"),
        ("a CA file that is not there", good, "localhost", os.path.join(certs, "none.pem"), "9",
         "the CA file cannot be read"),
        ("a CA file without a certificate", good, "localhost", os.path.join(certs, "good.key"),
         "9", "the CA file cannot be read"),
        ("a server that answers in clear", Server("clear", certs), "127.0.0.1", ca, "8",
         "the server answered in clear text, not TLS (port 465 takes smtps://, 587 smtp://)"),
        ("a handshake that stalls (1 s time-out)", Server("stall", certs), "127.0.0.1", ca, "8",
         "no reply to the TLS handshake within 1 s"),
        ("a handshake that stalls part way (1 s time-out)", Server("part", certs), "127.0.0.1",
         ca, "8", "the TLS handshake did not finish within 1 s"),
        # Linux says "the connection failed during the handshake"; under Wine a reset reads
        # as the end of the stream ("the server closed the connection during the handshake").
        ("a server that resets the connection", Server("reset", certs), "127.0.0.1", ca, "8",
         " during the handshake"),
        ("a server that hangs up on the ClientHello", Server("hang-up", certs), "127.0.0.1", ca,
         "8", "the server closed the connection during the handshake"),
        ("a server that refuses the name with an alert",
         Server("tls", certs, "good", alert=ssl.ALERT_DESCRIPTION_UNRECOGNIZED_NAME), "localhost",
         ca, "8", "the server sent the alert unrecognized name"),
        ("no cipher in common", Server("tls", certs, "good", max_version=ssl.TLSVersion.TLSv1_2,
                                       ciphers="PSK"), "localhost", ca, "8", "no cipher in common"),
    ]
    try:
        cases.append(("TLS 1.1 at most", Server("tls", certs, "good",
                                                 max_version=ssl.TLSVersion.TLSv1_1),
                      "localhost", ca, "8",
                      "the server wants TLS 1.1 or older, which is not allowed"))
    except ssl.SSLError:
        print("skipped: this Python cannot serve TLS 1.1")
    try:
        v6 = Server("tls", certs, "good", host="::1")
        cases.append(("the trusted chain, by IPv6 address", v6, "::1", ca, "0 pong", success))
    except OSError:
        print("skipped: no IPv6 loopback")

    failures = 0
    for what, server, host, cafile, expected, words, *options in cases:
        timeout = "1000" if server.kind in ("stall", "part") else "60000"
        start = time.monotonic()
        out = subprocess.run(probe + [host, str(server.port), cafile, timeout] + options,
                             capture_output=True, text=True, timeout=250)
        got, detail = (out.stdout.splitlines() + ["(nothing)", "(nothing)"])[:2]
        # One line of printable ASCII; a session gives its protocol first.
        ok = got == expected and words in detail and detail.isprintable() and detail.isascii()
        ok = ok and (not got.startswith("0") or detail.startswith(("TLSv1.2", "TLSv1.3")))
        # The time-out bounds the handshake (a wide margin for Wine).
        if server.kind in ("stall", "part"):
            elapsed = time.monotonic() - start
            got += f" after {elapsed:.1f} s"
            ok = ok and elapsed < 30
        if server is good and host == "localhost" and cafile == ca:
            ok = ok and good.sni[-1:] == ["localhost"]
        print(("ok   " if ok else "FAIL ") + f"{what}: {got} (expected {expected})\n     {detail}")
        if words not in detail:
            print(f"     (expected the words: {words})")
        failures += not ok
    # An address is never sent as SNI.
    if any(name is not None and name != "localhost" for name in good.sni):
        print(f"FAIL SNI other than the DNS name: {good.sni}")
        failures += 1
    failures += resumption(certs, probe, ca, resumes)
    failures += rewritten_trust(certs, probe, ca)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
