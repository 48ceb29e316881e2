#!/usr/bin/python3
"""A Windows host program (win_host.c) loads vtl.dll under Wine and calls
VTLSendMail, VTLSendMailEx or their UTF-16 forms through GetProcAddress; a
real SMTP server (aiosmtpd) on port 25 of 127.0.0.25 receives the mail, and
Python's email package (and Perl's) reads it back. The same host also calls
VTLInternet and VTLInternetW on a URL protocol and a file type this test
registers, whose handler (win_handler.c) writes down the target it was given.

    win_host_test.py --host PATH/vtl_host.exe --dll PATH/vtl.dll
                     --handler PATH/vtl_handler.exe --trust PATH/vtl_trust.exe
                     --wine PATH/wine-run.sh --samples PATH/samples

WINEPREFIX names the prefix. The DLL has no port argument, and "mail" in
Wine's services file is an alias of smtp, so the mail goes to port 25: this
runs as root only. Wine takes the user locale and the ANSI code page from LANG:
ja_JP.UTF-8 gives JPN and 932, en_US.UTF-8 ENU and 1252, de_DE.UTF-8 DEU and
1252, zh_CN.UTF-8 CHS and 936, ko_KR.UTF-8 KOR and 949; a locale the system
lacks gives ENU and 1252, so those must exist (locale-gen). A Japanese user on
another ANSI code page is a copy of the host with a manifest beside it
(tests/win/utf8.manifest) that sets the program's active code page: UTF-8,
or (Wine takes that too) a locale name whose code page the program then gets.
The TLS cases trust a CA made for the run, which vtl_trust puts among the
prefix's trusted roots and takes out again.
"""

from __future__ import annotations

import argparse
import codecs
import functools
import locale
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import roundtrip_test as rt  # noqa: E402

HOST = DLL = WINE = HANDLER = TRUST = ""
ADDRESS = "127.0.0.25"
FROM, TO = "a@example.com", "b@example.com"

# A U+FFFD in a text to send stands for a byte that is no character: 0x81,
# a lead byte of code pages 932, 936 and 949, with ASCII below 0x40 after it.
codecs.register_error("lone_lead_byte", lambda e: (b"\x81" * (e.end - e.start), e.end))

# The kanji that code page 932 has twice, at their IBM extension codes (lead
# bytes 0xFA to 0xFC), which Windows converts them to; Python's codec gives
# the NEC-selected copies (0xED, 0xEE), which ISO-2022-JP carries.
IBM_COPIES = {}
for code in (bytes((lead, trail)) for lead in (0xFA, 0xFB, 0xFC) for trail in range(0x40, 0xFD)):
    try:
        char = code.decode("cp932")
    except UnicodeDecodeError:
        continue
    if char.encode("cp932")[0] in (0xED, 0xEE):
        IBM_COPIES[char] = code


def encode(text: str, encoding: str) -> bytes:
    """`text` in a Windows code page, as Windows converts it."""
    if encoding != "cp932":
        return text.encode(encoding, "lone_lead_byte")
    return b"".join(IBM_COPIES.get(c) or c.encode(encoding, "lone_lead_byte") for c in text)


class HostCase(rt.MailCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("port 25 needs root")
        cls.sink = rt.SmtpSink(ADDRESS, 25).start()

    def host_send(self, lang: str, *texts: bytes, host: str = "", function: str = "") -> int:
        """Calls `function` (VTLSendMail by default) with the texts as they
        are: UTF-16 for the W functions."""
        assert len(texts) == (9 if "Ex" in function else 7)
        end = b"\0\0" if function.endswith("W") else b"\0"
        with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
            f.write(b"".join(t + end for t in texts))
            path = f.name
        try:
            r = subprocess.run([WINE, host or HOST, DLL, path] + ([function] if function else []),
                               env=rt.locale_env(lang),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=rt.SEND_TIMEOUT)
        finally:
            os.unlink(path)
        self.assertLess(r.returncode, 100, f"host failed: {r.stdout!r} {r.stderr!r}")
        self.assertEqual(r.stdout.strip(), f"result {r.returncode}".encode(), r.stdout)
        return r.returncode

    def send_texts(self, lang: str, encoding: str, from_name: str, to_name: str, subject: str,
                   body: str, host: str = "") -> rt.Received:
        """One mail from FROM to TO, its texts in `encoding`."""
        self.sink.clear()
        texts = (encode(t, encoding) for t in (from_name, to_name, subject, body))
        from_name, to_name, subject, body = texts
        result = self.host_send(lang, ADDRESS.encode(), FROM.encode(), from_name, TO.encode(),
                                to_name, subject, body, host=host)
        self.assertEqual(result, rt.OK)
        return self.receive_one(FROM, TO)

    # The check of roundtrip_test.py, Perl's reading included.
    check_utf8 = functools.partialmethod(rt.MailCase.check_utf8, from_addr=FROM, to_addr=TO)


def host_with_code_page(directory: str, active_code_page: str) -> str:
    """A copy of the host in `directory` whose active code page is
    `active_code_page` ("UTF-8", or a locale name such as "zh-CN")."""
    with open(os.path.join(HERE, "win", "utf8.manifest"), encoding="utf-8") as f:
        manifest = f.read().replace(">UTF-8</activeCodePage>", f">{active_code_page}</activeCodePage>")
    host = os.path.join(directory, f"vtl_host-{active_code_page}.exe")
    shutil.copyfile(HOST, host)
    with open(host + ".manifest", "w", encoding="utf-8") as f:
        f.write(manifest)
    return host


class JapaneseHostTest(HostCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.dir = tempfile.mkdtemp(prefix="vtl-host-cp.")
        cls.meta = rt.load_meta(os.path.join(rt.SAMPLES, "japanese.meta"))
        with open(os.path.join(rt.SAMPLES, "japanese.sjis.txt"), "rb") as f:
            cls.body = f.read().decode("cp932")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)
        super().tearDownClass()

    def send_sample(self, encoding: str, host: str = "") -> rt.Received:
        self.sink.clear()
        meta = self.meta
        result = self.host_send("ja_JP.UTF-8", ADDRESS.encode(), meta["from"].encode(),
                                meta["from-name"].encode(encoding), meta["to"].encode(),
                                meta["to-name"].encode(encoding), meta["subject"].encode(encoding),
                                self.body.encode(encoding), host=host)
        self.assertEqual(result, rt.OK)
        return self.receive_one(meta["from"], meta["to"])

    def test_sample_arrives_intact(self):
        meta = self.meta
        m = self.send_sample("cp932")
        self.check_japanese(m)
        self.check_display_name(m, "From", meta["from-name"], meta["from"])
        self.check_display_name(m, "To", meta["to-name"], meta["to"])
        self.check_subject(m, meta["subject"])
        self.check_body(m, self.body)

    def test_sample_from_a_utf8_code_page_is_the_same_mail(self):
        shift_jis = self.send_sample("cp932")
        m = self.send_sample("utf-8", host_with_code_page(self.dir, "UTF-8"))
        self.check_japanese(m)
        self.check_subject(m, self.meta["subject"])
        self.check_body(m, self.body)
        self.check_same_mail(shift_jis, m)

    def test_ibm_extension_kanji_go_out_in_utf8(self):
        """髙 and 﨑 have no JIS code: the whole mail goes in UTF-8, half-width
        kana and row 13 as they are; a user-defined character is a GETA MARK
        here too."""
        body = "髙橋さん、山﨑です。\r\nﾊﾝｶｸｶﾅ ①\r\n"
        m = self.send_texts("ja_JP.UTF-8", "cp932", "髙橋", "山﨑", "髙橋さんと山﨑さん",
                            body + "\ue000\r\n")
        self.check_utf8(m, "髙橋", "山﨑", "髙橋さんと山﨑さん", body + "〓\r\n")

    def test_chinese_and_korean_code_pages_keep_kana_and_kanji(self):
        """Text ISO-2022-JP carries goes as ISO-2022-JP; with 简 or 한글 in
        it, the whole mail goes in UTF-8."""
        cases = [("zh-CN", "gbk", "日本語のテキスト、山田", "简"),
                 ("ko-KR", "cp949", "日本語のテキスト、山田", "한글"),
                 ("zh-TW", "big5", "日本語山田", "")]
        for locale_name, encoding, text, lacking in cases:
            with self.subTest(code_page=locale_name):
                host = host_with_code_page(self.dir, locale_name)
                texts = (text, "B", text + lacking, text + lacking + "\r\n")
                m = self.send_texts("ja_JP.UTF-8", encoding, *texts, host=host)
                if lacking:
                    self.check_utf8(m, *texts)
                    continue
                self.check_japanese(m)
                self.check_display_name(m, "From", text, FROM)
                self.check_subject(m, text)
                self.assertEqual(m.body_lines_cp932(), [text])


class EnglishHostTest(HostCase):
    def test_plain_text_goes_out_unchanged(self):
        body = b"Hello from a Windows host.\r\n\r\n.leading dot\r\nlast line"
        result = self.host_send("en_US.UTF-8", ADDRESS.encode(), b"a@example.com", b"Alice",
                                b"b@example.com", b"Bob", b"Greetings", body)
        self.assertEqual(result, rt.OK)
        m = self.receive_one("a@example.com", "b@example.com")
        self.assertFalse(m.has_field("Content-Type"))
        self.assertEqual(m.field("Subject"), "Greetings")
        self.assertEqual(m.field("From"), '"Alice" <a@example.com>')
        self.assertEqual(m.body_wire_lines(),
                         [b"Hello from a Windows host.", b"", b".leading dot", b"last line"])

    def test_refusal_is_reported(self):
        # An empty subject is refused before any connection is made.
        result = self.host_send("en_US.UTF-8", ADDRESS.encode(), b"a@example.com", b"A",
                                b"b@example.com", b"B", b"", b"x")
        self.assertEqual(result, rt.BAD_ARGUMENT)


class ExHostTest(HostCase):
    """VTLSendMailEx from a Japanese user's code page 932, and the UTF-16
    calls from an English user's 1252, which has no Japanese: the
    recipients, Reply-To and files as roundtrip_test.py checks them."""

    def setUp(self):
        super().setUp()
        self.dir = tempfile.mkdtemp(prefix="vtl-host-ex.")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def send_ex(self, lang: str, mail: rt.ExMail, encoding: str, function: str) -> rt.Received:
        texts = [ADDRESS, *mail.texts()]
        result = self.host_send(lang, *(t.encode(encoding) for t in texts), function=function)
        self.assertEqual(result, rt.OK)
        return self.receive_one(mail.sender[1], mail.recipients())

    def test_shift_jis_path_whose_trail_bytes_are_backslashes(self):
        # ソ is 0x83 0x5C, right after a separator; 表 is 0x95 0x5C, before the dot.
        mail = rt.ex_mail(self.dir, [("ソース表.pdf", "ソース表.pdf", 1000)], path=windows_path)
        path = mail.paths[0].encode("cp932")
        self.assertTrue(b"\\\x83\\" in path and b"\x95\\." in path, path)
        m = self.send_ex("ja_JP.UTF-8", mail, "cp932", "VTLSendMailEx")
        self.check_ex(m, mail, "ISO-2022-JP")

    def test_utf16_calls_outside_the_code_page(self):
        # An emoji is two UTF-16 units; a decomposed ゾ is shown composed.
        files = [("ソース表.pdf", "ソース表.pdf", 1000), ("📎 メモ.txt", "📎 メモ.txt", 3),
                 ("ソ\u3099ーン.txt", "ゾーン.txt", 0)]
        mail = rt.ex_mail(self.dir, files, path=windows_path)
        m = self.send_ex("en_US.UTF-8", mail, "utf-16-le", "VTLSendMailExW")
        self.check_ex(m, mail, "UTF-8")
        self.sink.clear()
        texts = ("差出人 😀", "山田 太郎", "件名 ① 😀", "本文です。\r\n二行目😀\r\n")
        result = self.host_send("en_US.UTF-8", *(t.encode("utf-16-le") for t in (
            ADDRESS, FROM, texts[0], TO, texts[1], texts[2], texts[3])), function="VTLSendMailW")
        self.assertEqual(result, rt.OK)
        self.check_utf8(self.receive_one(FROM, TO), *texts)


class OtherLocalesHostTest(HostCase):
    """Users that are not Japanese: text that is not all ASCII is read in
    the ANSI code page and goes in UTF-8."""

    def test_text_arrives_in_utf8(self):
        for lang, encoding, from_name, to_name, subject, body in (
                # 1252 is not Latin-1: € – „ “ are 0x80 to 0x9F, and 0x81 is no
                # character (Wine gives U+0081). Quoted-printable is the shorter
                # here, base64 in the others.
                ("de_DE.UTF-8", "cp1252", "Jürgen Groß", "Zoë", "Grüße, café, ½\ufffd",
                 "Grüße, café, ½\r\nAnbei der Bericht zum dritten Quartal; die Zahlen zum "
                 "Oktober folgen am Montag, mit den Notizen zur Sitzung.\r\n€ 5 – „fertig“\r\n"),
                ("zh_CN.UTF-8", "gbk", "王小明", "李华", "简体中文的邮件", "你好，世界。\r\n"),
                ("ko_KR.UTF-8", "cp949", "김철수", "Bob", "한글\ufffd 제목", "안녕하세요.\r\n")):
            with self.subTest(lang=lang):
                saved = locale.setlocale(locale.LC_CTYPE)
                try:  # else Wine would run the host as English on 1252
                    locale.setlocale(locale.LC_CTYPE, lang)
                except locale.Error:
                    self.fail(f"no locale {lang} on this system: locale-gen it")
                finally:
                    locale.setlocale(locale.LC_CTYPE, saved)
                m = self.send_texts(lang, encoding, from_name, to_name, subject, body)
                self.check_utf8(m, from_name, to_name, subject, body)


class TlsHostTest(HostCase):
    """smtps:// and smtp:// with STARTTLS and a login, to aiosmtpd on
    loopback, under a Japanese and an English locale."""

    USER, PASSWORD = "alice@example.com", "p\u00e4ss word"
    URL_USER = "alice%40example.com:p%C3%A4ss%20word"  # the password as UTF-8

    @classmethod
    def setUpClass(cls):
        certs = tempfile.mkdtemp(prefix="vtl-host-certs.")
        cls.addClassCleanup(shutil.rmtree, certs, ignore_errors=True)
        subprocess.run(["sh", os.path.join(HERE, "tls", "make_certs.sh"), certs], check=True,
                       stdout=subprocess.DEVNULL)
        ca = os.path.join(certs, "ca.pem")
        r = subprocess.run([WINE, TRUST, "add", ca], capture_output=True, timeout=rt.SEND_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"vtl_trust add: {r.returncode} {r.stderr!r}")
        cls.addClassCleanup(subprocess.run, [WINE, TRUST, "remove", ca], capture_output=True,
                            timeout=rt.SEND_TIMEOUT)
        cls.sink = rt.SmtpSink().start()  # offers no STARTTLS; stopped by MailCase
        cls.sinks = {"clear": cls.sink}
        for name, tls, cert in (("smtps", "implicit", "good"), ("smtp", "starttls", "good"),
                                ("wrong-name", "implicit", "wrong-name")):
            cls.sinks[name] = rt.SmtpSink(tls=tls, certfile=os.path.join(certs, cert + ".pem"),
                                          logins={cls.USER: cls.PASSWORD}).start()
            cls.addClassCleanup(cls.sinks[name].stop)

    def test_logins_over_tls_and_refusals(self):
        user = self.URL_USER
        for lang in ("ja_JP.UTF-8", "en_US.UTF-8"):
            for sink, url, expected, mechanism in (
                    ("smtps", f"smtps://{user}@localhost:PORT", rt.OK, "PLAIN"),
                    ("smtps", f"smtps://{user};AUTH=LOGIN@127.0.0.1:PORT", rt.OK, "LOGIN"),
                    ("smtp", f"smtp://{user}@127.0.0.1:PORT", rt.OK, "PLAIN"),
                    ("smtp", f"smtp://{user};AUTH=LOGIN@localhost:PORT", rt.OK, "LOGIN"),
                    ("wrong-name", f"smtps://{user}@localhost:PORT", rt.CERT_REJECTED, None),
                    ("clear", f"smtp://{user}@127.0.0.1:PORT", rt.TLS_FAILED, None)):
                with self.subTest(lang=lang, url=url):
                    s = self.sinks[sink]
                    s.clear()
                    server = url.replace("PORT", str(s.port)).encode()
                    result = self.host_send(lang, server, b"a@example.com", b"A",
                                            b"b@example.com", b"B", b"Over TLS", b"Secured")
                    self.assertEqual(result, expected)
                    if expected == rt.OK:
                        self.assertIn(b"Secured", s.wait_for(1, timeout=rt.RECEIVE_TIMEOUT)[0].data)
                        self.assertEqual(s.logged_in[-1], (mechanism, self.USER))
                    else:
                        self.assertEqual(s.messages, [])


class UnloadHostTest(unittest.TestCase):
    """Threads that called the DLL end after it is unloaded (win_host.c
    --unload): the per-thread detail leaves nothing behind that runs at a
    thread's end. No network and no root."""

    def test_threads_outlive_the_dll(self):
        r = subprocess.run([WINE, HOST, DLL, "--unload"], env=rt.locale_env("en_US.UTF-8"),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=rt.SEND_TIMEOUT)
        self.assertEqual(r.returncode, 0, f"{r.stdout!r} {r.stderr!r}")
        self.assertEqual(r.stdout.replace(b"\r\n", b"\n"),
                         b"detail 1: server is empty\ndetail 2: fromAddress is null\n"
                         b"threads ended after the unload\n")


def windows_path(path: str) -> str:
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class OpenHostTest(unittest.TestCase):
    """VTLInternet through GetProcAddress, with a target in Shift_JIS."""

    def wine(self, *argv: str, lang: str = "ja_JP.UTF-8", extra_env=None):
        env = rt.locale_env(lang)
        env.update(extra_env or {})
        return subprocess.run([WINE, *argv], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=rt.SEND_TIMEOUT)

    def setUp(self):
        command = f'"{windows_path(HANDLER)}" "%1"'
        key = r"HKLM\Software\Classes\vtlhost"
        # The URL protocol vtlhost: and the file type .vtlhost.
        document = r"HKLM\Software\Classes\VtlHost.Document"
        for args in ([key, "/ve", "/d", "URL:vtl host test"], [key, "/v", "URL Protocol", "/d", ""],
                     [key + r"\shell\open\command", "/ve", "/d", command],
                     [r"HKLM\Software\Classes\.vtlhost", "/ve", "/d", "VtlHost.Document"],
                     [document + r"\shell\open\command", "/ve", "/d", command]):
            r = self.wine("reg", "add", *args, "/f")
            self.assertEqual(r.returncode, 0, r.stderr)
        for k in (key, r"HKLM\Software\Classes\.vtlhost", document):
            self.addCleanup(self.wine, "reg", "delete", k, "/f")
        self.dir = tempfile.mkdtemp(prefix="vtl-host-open.")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.dir]))

    def host_open(self, target: bytes, lang: str = "ja_JP.UTF-8",
                  function: str = "") -> tuple[int, str | None]:
        target_file = os.path.join(self.dir, "target.bin")
        with open(target_file, "wb") as f:
            f.write(target)
        out = os.path.join(self.dir, "received.txt")
        r = self.wine(HOST, DLL, "--open", target_file, *([function] if function else []),
                      lang=lang, extra_env={"VTL_HANDLER_OUT": windows_path(out)})
        self.assertLess(r.returncode, 100, f"host failed: {r.stdout!r} {r.stderr!r}")
        deadline = time.monotonic() + 15
        while r.returncode == 1 and not os.path.exists(out) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.exists(out):
            return r.returncode, None
        with open(out, encoding="utf-8") as f:
            return r.returncode, f.read()

    def test_url_with_shift_jis_reaches_the_handler(self):
        target = "vtlhost:a b;$(x)&'日本語\"q"
        result, received = self.host_open(target.encode("cp932"))
        self.assertEqual(result, 1)
        self.assertEqual(received, target)

    def test_path_outside_the_code_page_through_the_utf16_call(self):
        # Code page 1252 has none of these characters.
        path = os.path.join(self.dir, "請求書 ①😀.vtlhost")
        open(path, "wb").close()
        result, received = self.host_open(windows_path(path).encode("utf-16-le"),
                                          lang="en_US.UTF-8", function="VTLInternetW")
        self.assertEqual((result, received), (1, windows_path(path)))

    def test_unknown_protocol_gives_0(self):
        result, received = self.host_open(b"vtlnothing:x")
        self.assertEqual(result, 0)
        self.assertIsNone(received)


def main() -> int:
    global HOST, DLL, WINE, HANDLER, TRUST
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--handler", required=True)
    parser.add_argument("--trust", required=True)
    parser.add_argument("--samples", required=True)
    args, rest = parser.parse_known_args()
    HOST, DLL, WINE, HANDLER, TRUST = (
        os.path.abspath(p) for p in (args.host, args.dll, args.wine, args.handler, args.trust))
    rt.SAMPLES = os.path.abspath(args.samples)
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    return 0 if result.wasSuccessful() and result.testsRun > len(result.skipped) else 1


if __name__ == "__main__":
    sys.exit(main())
