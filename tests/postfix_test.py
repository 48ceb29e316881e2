#!/usr/bin/python3
"""VTLSendMail and VTLSendMailEx through the exported functions to a real
Postfix, started by the test in a directory of its own, listening on
127.0.0.27 and delivering to maildirs: on port 25 in clear, and for
submission with a login on 587 (STARTTLS required) and 465 (implicit TLS),
its certificate from a test CA and the logins checked by a Dovecot of the
test's own. Each message is read back from the maildir and parsed with
Python's email package; the checks are those of the round trip
(roundtrip_test.py). A
recipient Postfix refuses, or a login it does not take, gives a non-zero
result, and nothing is delivered.

    postfix_test.py --library PATH/libvtl.so --samples PATH/samples

Needs root (port 25, and Postfix's own users) and Debian's postfix and
dovecot-core packages; a system Postfix must not listen on 127.0.0.27.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import roundtrip_test as rt  # noqa: E402

HOST = "127.0.0.27"
DOMAIN = "example.net"
USERS = ("yamada", "rcpt", "taro", "hanako", "keiri", "hidden")
SUBMISSION, SMTPS = 587, 465
LOGIN, PASSWORD = "alice@example.net", "s3cret pass%&"  # no colon: passwd-file splits at it

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {root}/spool
data_directory = {root}/data
mail_owner = postfix
setgid_group = postdrop
myhostname = vtl-test.localdomain
mydomain = localdomain
myorigin = $myhostname
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
relay_domains =
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {root}/mail
virtual_mailbox_maps = texthash:{root}/etc/vmailbox
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
maillog_file = {root}/maillog
maillog_file_prefixes = {root}
smtpd_banner = $myhostname ESMTP
disable_dns_lookups = yes
smtp_dns_support_level = disabled
smtputf8_enable = no
alias_maps =
alias_database =
local_recipient_maps =
smtpd_tls_cert_file = {root}/certs/good.pem
smtpd_tls_key_file = $smtpd_tls_cert_file
smtpd_tls_loglevel = 1
smtpd_sasl_type = dovecot
smtpd_sasl_path = {root}/dovecot/run/auth-postfix
"""

# Submission: TLS required, and without a login every recipient is refused.
MASTER_CF = """
{host}:{submission} inet n - n - - smtpd
  -o syslog_name=postfix/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
{host}:{smtps} inet n - n - - smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
"""

# Only the auth service, for Postfix; nothing read from or written to the
# system's Dovecot directories.
DOVECOT_CONF = """\
base_dir = {root}/dovecot/run
state_dir = {root}/dovecot/state
log_path = {root}/dovecot/log
instance_name = vtl-test-dovecot
protocols = none
ssl = no
default_internal_user = dovecot
default_login_user = dovenull
auth_mechanisms = plain login
auth_verbose = yes
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {root}/dovecot/passwd
}}
userdb {{
  driver = static
  args = uid=65534 gid=65534 home=/nonexistent
}}
service auth {{
  unix_listener auth-postfix {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
"""


WAIT = 60  # seconds, for a server to come up or a log line to be written


def wait_until(ready) -> bool:
    deadline = time.monotonic() + WAIT
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def userinfo(password: str) -> str:
    return f"{quote(LOGIN, safe='')}:{quote(password, safe='')}"


class Postfix:
    """A Postfix instance of the test's own, with a Dovecot of its own for
    the logins; both stopped and the directory removed at the end."""

    def __init__(self) -> None:
        self.root = tempfile.mkdtemp(prefix="vtl-postfix.")
        self.etc = os.path.join(self.root, "etc")
        self.dovecot_conf = os.path.join(self.root, "dovecot", "dovecot.conf")
        self.ca = os.path.join(self.root, "certs", "ca.pem")
        self.dovecot: subprocess.Popen | None = None

    def start(self) -> "Postfix":
        for sub in ("etc", "spool", "data", "mail", "dovecot"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        os.chmod(self.root, 0o755)
        shutil.chown(os.path.join(self.root, "data"), "postfix")
        shutil.chown(os.path.join(self.root, "mail"), 65534, 65534)
        subprocess.run(["sh", os.path.join(HERE, "tls", "make_certs.sh"),
                        os.path.join(self.root, "certs")], check=True, capture_output=True,
                       timeout=120)
        self.start_dovecot()
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(root=self.root, domain=DOMAIN))
        with open("/etc/postfix/master.cf") as f:
            master = f.read()
        # smtpd on port 25 of the test's own address only.
        master = master.replace("smtp      inet  n       -       y       -       -       smtpd",
                                f"{HOST}:25 inet n - n - - smtpd", 1)
        master += MASTER_CF.format(host=HOST, submission=SUBMISSION, smtps=SMTPS)
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(master)
        with open(os.path.join(self.etc, "vmailbox"), "w") as f:
            for user in USERS:
                f.write(f"{user}@{DOMAIN} {DOMAIN}/{user}/\n")
        r = subprocess.run(["postfix", "-c", self.etc, "start"], capture_output=True, text=True,
                           timeout=60)
        if r.returncode != 0:
            raise RuntimeError(f"postfix did not start: {r.stdout} {r.stderr} {self.log()}")
        for port in (25, SUBMISSION, SMTPS):
            if not wait_until(lambda: self.listening(port)):
                raise RuntimeError(f"postfix does not listen on {HOST}:{port}: {self.log()}")
        return self

    def start_dovecot(self) -> None:
        with open(self.dovecot_conf, "w") as f:
            f.write(DOVECOT_CONF.format(root=self.root))
        passwd = os.path.join(self.root, "dovecot", "passwd")
        with open(passwd, "w") as f:
            f.write(f"{LOGIN}:{PASSWORD}\n")
        shutil.chown(passwd, "dovecot")
        os.chmod(passwd, 0o600)
        # In the foreground, as a child of this process: stopped by its own id.
        with open(os.path.join(self.root, "dovecot", "out"), "w") as out:
            self.dovecot = subprocess.Popen(["dovecot", "-F", "-c", self.dovecot_conf],
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        socket_path = os.path.join(self.root, "dovecot", "run", "auth-postfix")
        if not wait_until(lambda: os.path.exists(socket_path) or self.dovecot.poll() is not None) \
                or self.dovecot.poll() is not None:
            with open(os.path.join(self.root, "dovecot", "out")) as f:
                raise RuntimeError(f"dovecot made no auth socket: {f.read()}")

    def listening(self, port: int) -> bool:
        import socket
        with socket.socket() as s:
            s.settimeout(1)
            return s.connect_ex((HOST, port)) == 0

    def log(self, tail: int = 3000) -> str:
        try:
            with open(os.path.join(self.root, "maillog")) as f:
                return f.read()[-tail:]
        except OSError:
            return ""

    def stop(self) -> None:
        subprocess.run(["postfix", "-c", self.etc, "stop"], capture_output=True, timeout=60)
        if self.dovecot is not None:
            self.dovecot.terminate()
            try:
                self.dovecot.wait(60)
            except subprocess.TimeoutExpired:
                self.dovecot.kill()
                self.dovecot.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def delivered(self, user: str) -> list[str]:
        return sorted(glob.glob(os.path.join(self.root, "mail", DOMAIN, user, "new", "*")))

    def clear(self) -> None:
        for user in USERS:
            for path in self.delivered(user):
                os.unlink(path)

    def wait_for(self, user: str, count: int, timeout: float) -> list[bytes]:
        deadline = time.monotonic() + timeout
        while len(self.delivered(user)) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        out = []
        for path in self.delivered(user):
            with open(path, "rb") as f:
                # The maildir keeps LF line ends; the checks expect the wire's CR LF.
                out.append(f.read().replace(b"\n", b"\r\n"))
        return out


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("postfix") and shutil.which("dovecot"),
                     "needs root, and Debian's postfix and dovecot-core")
class PostfixTest(rt.MailCase):
    @classmethod
    def setUpClass(cls):
        cls.postfix = Postfix()
        cls.addClassCleanup(cls.postfix.stop)  # also when starting fails half-way
        cls.postfix.start()
        # The library trusts what OpenSSL's default paths name: the test CA.
        trust = mock.patch.dict(os.environ, SSL_CERT_FILE=cls.postfix.ca)
        trust.start()
        cls.addClassCleanup(trust.stop)
        cls.send_mail = rt._load_library()
        cls.meta = rt.load_meta(os.path.join(rt.SAMPLES, "japanese.meta"))
        with open(os.path.join(rt.SAMPLES, "japanese.sjis.txt"), "rb") as f:
            cls.sample = f.read()

    @classmethod
    def tearDownClass(cls):
        pass  # no sink; the class cleanups stop Postfix and Dovecot

    def setUp(self):
        self.postfix.clear()

    def call(self, lang, *args):
        with rt.process_locale(lang):
            return rt.call_bounded(self.send_mail, *args)

    def receive(self, user: str) -> rt.Received:
        messages = self.postfix.wait_for(user, 1, rt.RECEIVE_TIMEOUT)
        self.assertEqual(len(messages), 1, self.postfix.log())
        m = rt.Received(messages[0])
        self.check_wire(m)
        return m

    def assert_nothing_delivered(self):
        time.sleep(1)
        for user in USERS:
            self.assertEqual(self.postfix.delivered(user), [])

    def send_sample(self, server: str) -> rt.Received:
        meta = self.meta
        to = f"yamada@{DOMAIN}"
        result = self.call(rt.JAPANESE, server.encode(), meta["from"].encode(),
                           rt.sjis(meta["from-name"]), to.encode(), rt.sjis(meta["to-name"]),
                           rt.sjis(meta["subject"]), self.sample)
        self.assertEqual(result, rt.OK, self.postfix.log())
        m = self.receive("yamada")
        self.check_japanese(m)
        self.check_display_name(m, "From", meta["from-name"], meta["from"])
        self.check_display_name(m, "To", meta["to-name"], to)
        self.check_subject(m, meta["subject"])
        self.check_body(m, self.sample.decode("cp932"))
        return m

    def test_japanese_sample(self):
        self.send_sample(HOST)

    def test_submission_with_a_login(self):
        login = userinfo(PASSWORD)
        for scheme, port in (("smtp", SUBMISSION), ("smtps", SMTPS)):
            for auth, mechanism in (("", "PLAIN"), (";AUTH=LOGIN", "LOGIN")):
                url = f"{scheme}://{login}{auth}@{HOST}:{port}"
                with self.subTest(url=url):
                    self.postfix.clear()
                    m = self.send_sample(url)
                    # "ESMTPSA": over TLS, logged in.
                    queue_id = re.search(r"with ESMTPSA id (\w+)", m.field("Received"))
                    self.assertTrue(queue_id, m.field("Received"))
                    logged = re.compile(rf"{queue_id[1]}: client=\S+, sasl_method={mechanism}, "
                                        rf"sasl_username={re.escape(LOGIN)}\n")
                    self.assertTrue(wait_until(lambda: logged.search(self.postfix.log(10**7))),
                                    f"no {mechanism} login logged for {queue_id[1]}")

    def test_long_texts_and_row13(self):
        subject = "件名" * 150  # 300 characters
        line = "長い行" * 1667  # over 5,000 characters
        body = "①②③ ㈱㈲ ｶﾀｶﾅ\r\n" + line + "\r\n"
        to = f"rcpt@{DOMAIN}"
        result = self.call(rt.JAPANESE, HOST.encode(), b"a@example.com", rt.sjis("鈴木"),
                           to.encode(), rt.sjis("山田"), rt.sjis(subject), rt.sjis(body))
        self.assertEqual(result, rt.OK, self.postfix.log())
        m = self.receive("rcpt")
        self.check_japanese(m)
        self.check_subject(m, subject)
        lines = m.body_lines_cp932()
        self.assertEqual(lines[0], rt.widen("①②③ ㈱㈲ ｶﾀｶﾅ"))
        # The long line arrives in pieces of at most 998 octets, whole when joined.
        self.assertGreater(len(lines), 2)
        self.assertEqual("".join(lines[1:]), line)

    def test_ex_every_recipient_gets_the_same_message(self):
        """VTLSendMailEx: To, Cc and Bcc each get the message, with its
        files, through Postfix's queue; no copy names the Bcc."""
        directory = tempfile.mkdtemp(prefix="vtl-ex.")
        self.addCleanup(shutil.rmtree, directory)
        mail = rt.ex_mail(directory, rt.EX_FILES, domain=DOMAIN)
        send_ex = rt._load_library("VTLSendMailEx", 9)
        with rt.process_locale(rt.JAPANESE_UTF8):
            result = rt.call_bounded(send_ex, HOST.encode(), *(t.encode() for t in mail.texts()))
        self.assertEqual(result, rt.OK, self.postfix.log())
        for address in mail.recipients():
            with self.subTest(recipient=address):
                self.check_ex(self.receive(address.split("@")[0]), mail, "ISO-2022-JP")

    def test_plain_text_outside_japanese_mode(self):
        to = f"rcpt@{DOMAIN}"
        result = self.call("C", HOST.encode(), b"a@example.com", b"Alice", to.encode(), b"Bob",
                           b"Hello", b"Line one\r\n\r\n.dot line\r\nlast")
        self.assertEqual(result, rt.OK, self.postfix.log())
        m = self.receive("rcpt")
        self.assertEqual(m.field("Subject"), "Hello")
        self.assertEqual(m.field("From"), '"Alice" <a@example.com>')
        self.assertFalse(m.has_field("Content-Type"))
        self.assertTrue(m.body.endswith(b"Line one\r\n\r\n.dot line\r\nlast\r\n"), m.body)

    def test_refused_recipient_is_reported_and_not_delivered(self):
        result = self.call("C", HOST.encode(), b"a@example.com", b"A",
                           f"nobody@{DOMAIN}".encode(), b"B", b"S", b"x")
        self.assertNotEqual(result, rt.OK)
        self.assertEqual(result, rt.DIALOGUE_FAILED)
        self.assert_nothing_delivered()
        self.assertIn("User unknown", self.postfix.log())

    def test_submission_refused(self):
        wrong, good = userinfo("wrong"), userinfo(PASSWORD)
        for url, expected in ((f"smtp://{wrong}@{HOST}:{SUBMISSION}", rt.AUTH_FAILED),
                              (f"smtps://{wrong};AUTH=LOGIN@{HOST}:{SMTPS}", rt.AUTH_FAILED),
                              # Postfix refuses the mail, not the session.
                              (f"smtp://{HOST}:{SUBMISSION}", rt.DIALOGUE_FAILED),
                              (f"smtps://{HOST}:{SMTPS}", rt.DIALOGUE_FAILED),
                              # Port 25 offers no STARTTLS; 587 starts in clear.
                              (f"smtp://{good}@{HOST}:25", rt.TLS_FAILED),
                              (f"smtps://{good}@{HOST}:{SUBMISSION}", rt.TLS_FAILED)):
            with self.subTest(url=url):
                result = self.call("C", url.encode(), b"a@example.com", b"A",
                                   f"rcpt@{DOMAIN}".encode(), b"B", b"S", b"x")
                self.assertEqual(result, expected, self.postfix.log())
                self.assert_nothing_delivered()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--samples", required=True)
    args, rest = parser.parse_known_args()
    rt.LIBRARY = os.path.abspath(args.library)
    rt.SAMPLES = os.path.abspath(args.samples)
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
