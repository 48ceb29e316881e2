#!/usr/bin/python3
"""VTLSendMail through the exported function to a real Postfix, started by
the test in a directory of its own, listening on port 25 of 127.0.0.27 and
delivering to maildirs. Each message is read back from the maildir and
parsed with Python's email package; the checks are those of the round trip
(roundtrip_test.py). A recipient Postfix refuses gives a non-zero result,
and nothing is delivered.

    postfix_test.py --library PATH/libvtl.so --samples PATH/samples

Needs root (port 25, and Postfix's own users) and Debian's postfix package,
which must not run a system instance on port 25.
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import roundtrip_test as rt  # noqa: E402

HOST = "127.0.0.27"
DOMAIN = "example.net"
USERS = ("yamada", "rcpt")

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
"""


class Postfix:
    """A Postfix instance of the test's own; stopped and removed at the end."""

    def __init__(self) -> None:
        self.root = tempfile.mkdtemp(prefix="vtl-postfix.")
        self.etc = os.path.join(self.root, "etc")

    def start(self) -> "Postfix":
        for sub in ("etc", "spool", "data", "mail"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        os.chmod(self.root, 0o755)
        shutil.chown(os.path.join(self.root, "data"), "postfix")
        shutil.chown(os.path.join(self.root, "mail"), 65534, 65534)
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(root=self.root, domain=DOMAIN))
        with open("/etc/postfix/master.cf") as f:
            master = f.read()
        # smtpd on port 25 of the test's own address only.
        master = master.replace("smtp      inet  n       -       y       -       -       smtpd",
                                f"{HOST}:25 inet n - n - - smtpd", 1)
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(master)
        with open(os.path.join(self.etc, "vmailbox"), "w") as f:
            for user in USERS:
                f.write(f"{user}@{DOMAIN} {DOMAIN}/{user}/\n")
        r = subprocess.run(["postfix", "-c", self.etc, "start"], capture_output=True, text=True,
                           timeout=60)
        if r.returncode != 0:
            raise RuntimeError(f"postfix did not start: {r.stdout} {r.stderr} {self.log()}")
        deadline = time.monotonic() + 20
        while not self.listening():
            if time.monotonic() > deadline:
                raise RuntimeError(f"postfix does not listen on {HOST}:25: {self.log()}")
            time.sleep(0.1)
        return self

    def listening(self) -> bool:
        import socket
        with socket.socket() as s:
            s.settimeout(1)
            return s.connect_ex((HOST, 25)) == 0

    def log(self) -> str:
        try:
            with open(os.path.join(self.root, "maillog")) as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def stop(self) -> None:
        subprocess.run(["postfix", "-c", self.etc, "stop"], capture_output=True, timeout=60)
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


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("postfix"),
                     "needs root and Debian's postfix")
class PostfixTest(rt.MailCase):
    @classmethod
    def setUpClass(cls):
        cls.postfix = Postfix().start()
        cls.send_mail = rt._load_library()
        cls.meta = rt.load_meta(os.path.join(rt.SAMPLES, "japanese.meta"))
        with open(os.path.join(rt.SAMPLES, "japanese.sjis.txt"), "rb") as f:
            cls.sample = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.postfix.stop()

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

    def test_japanese_sample(self):
        meta = self.meta
        to = f"yamada@{DOMAIN}"
        result = self.call(rt.JAPANESE, HOST.encode(), meta["from"].encode(),
                           rt.sjis(meta["from-name"]), to.encode(), rt.sjis(meta["to-name"]),
                           rt.sjis(meta["subject"]), self.sample)
        self.assertEqual(result, rt.OK, self.postfix.log())
        m = self.receive("yamada")
        self.check_japanese(m)
        self.check_display_name(m, "From", meta["from-name"], meta["from"])
        self.check_display_name(m, "To", meta["to-name"], to)
        self.check_subject(m, meta["subject"])
        self.check_body(m, self.sample.decode("cp932"))

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
        time.sleep(1)
        for user in USERS:
            self.assertEqual(self.postfix.delivered(user), [])
        self.assertIn("User unknown", self.postfix.log())


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
