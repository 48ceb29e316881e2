#!/usr/bin/python3
"""The TLS client against TLS servers on loopback, one per kind of
certificate or misbehaviour. Runs the tls_probe program given (under an
emulator such as Wine when one is given) once per case and checks the result
code it prints: 0 secured (and a line echoed through the session, or
"(closed)" for the server's close_notify), 8 no TLS session, 9 certificate
not trusted.

usage: tls_test.py CERT-DIR COMMAND... (the probe, after its emulator if any)
       tls_test.py --serve CERT-DIR: serves one connection as the good server
       on 127.0.0.1 (a "ping" line gets "pong"), after printing its port"""
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))


class Server:
    """Listens on host:0; `kind` says what each connection gets."""

    def __init__(self, kind, certs, cert=None, host="127.0.0.1", max_version=None, once=False):
        self.kind, self.sni, self.once = kind, [], once
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.bind((host, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.ctx = None
        if cert:
            self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ctx.load_cert_chain(os.path.join(certs, cert + ".pem"))
            if max_version:
                self.ctx.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                self.ctx.maximum_version = max_version
                self.ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            self.ctx.sni_callback = lambda s, name, c: self.sni.append(name)
        if once:
            self.sock.settimeout(60)  # a client that never comes
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
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
            else:
                with self.ctx.wrap_socket(conn, server_side=True) as tls:
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


def main():
    if sys.argv[1] == "--serve":
        return serve_once(sys.argv[2])
    certs, probe = sys.argv[1], sys.argv[2:]
    make_certs(certs)
    warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.1, served on purpose
    ca = os.path.join(certs, "ca.pem")
    good = Server("tls", certs, "good")
    cases = [
        # (what, server, host the client names, CA file, expected output)
        ("a chain from the trusted CA, by DNS name", good, "localhost", ca, "0 pong"),
        ("the same, by IPv4 address", good, "127.0.0.1", ca, "0 pong"),
        ("the same over 3-byte sends and 2-byte receives, each interrupted once",
         good, "localhost", ca, "0 pong", "faulty"),
        ("the same, from the system's store alone", good, "localhost", "-", "9"),
        ("close_notify for an answer", Server("bye", certs, "good"), "localhost", ca, "0 (closed)"),
        ("an address the certificate does not name",
         Server("tls", certs, "good", host="127.0.0.2"), "127.0.0.2", ca, "9"),
        ("a certificate for another name", Server("tls", certs, "wrong-name"), "localhost", ca, "9"),
        ("the name only as the subject's CN (RFC 9525)", Server("tls", certs, "cn-only"),
         "localhost", ca, "9"),
        ("an expired certificate", Server("tls", certs, "expired"), "localhost", ca, "9"),
        ("a certificate not valid yet", Server("tls", certs, "not-yet"), "localhost", ca, "9"),
        ("a self-signed certificate", Server("tls", certs, "self-signed"), "localhost", ca, "9"),
        ("a CA nobody trusts", Server("tls", certs, "unknown-ca"), "localhost", ca, "9"),
        ("a server that answers in clear", Server("clear", certs), "127.0.0.1", ca, "8"),
        ("a handshake that stalls (1 s time-out)", Server("stall", certs), "127.0.0.1", ca, "8"),
    ]
    try:
        cases.append(("TLS 1.1 at most", Server("tls", certs, "good",
                                                 max_version=ssl.TLSVersion.TLSv1_1),
                      "localhost", ca, "8"))
    except ssl.SSLError:
        print("skipped: this Python cannot serve TLS 1.1")
    try:
        v6 = Server("tls", certs, "good", host="::1")
        cases.append(("the trusted chain, by IPv6 address", v6, "::1", ca, "0 pong"))
    except OSError:
        print("skipped: no IPv6 loopback")

    failures = 0
    for what, server, host, cafile, expected, *options in cases:
        timeout = "1000" if server.kind == "stall" else "60000"
        start = time.monotonic()
        out = subprocess.run(probe + [host, str(server.port), cafile, timeout] + options,
                             capture_output=True, text=True, timeout=250)
        got = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else "(nothing)"
        ok = got == expected
        if server.kind == "stall":  # the time-out bounds the handshake (wide margin for Wine)
            elapsed = time.monotonic() - start
            got += f" after {elapsed:.1f} s"
            ok = ok and elapsed < 30
        if server is good and host == "localhost" and cafile == ca:
            ok = ok and good.sni[-1:] == ["localhost"]
        print(("ok   " if ok else "FAIL ") + f"{what}: {got} (expected {expected})")
        failures += not ok
    # An address is never sent as SNI.
    if any(name is not None and name != "localhost" for name in good.sni):
        print(f"FAIL SNI other than the DNS name: {good.sni}")
        failures += 1
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
