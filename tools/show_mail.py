#!/usr/bin/python3
"""Shows mail files as received and as a mail reader decodes them.

    show_mail.py FILE...

For each file: the raw message, every line as it came (ESC shown as <ESC>,
other control and 8-bit bytes as \\xNN, a CR or LF that is not part of a
CR LF pair as <CR> or <LF>), then the headers and the body decoded with
Python's email package (policy=email.policy.default).

A display name of several encoded-words is joined as RFC 2047 6.2 says,
without the white space between them, which Python's address parser keeps.
Python's iso-2022-jp codec knows JIS X 0208 only. Where a text holds
characters of the Shift_JIS extensions (row 13: (1), (kabu), ...) it cannot
decode it; such texts are decoded again by mapping the JIS codes back to
Shift_JIS and reading that as code page 932, and marked so.
"""

from __future__ import annotations

import base64
import email
import email.policy
import re
import sys

ESC = 0x1B


def readable(line: bytes) -> str:
    """One raw line with everything but printable ASCII made visible."""
    out = []
    for b in line:
        if b == ESC:
            out.append("<ESC>")
        elif b == 0x0D:
            out.append("<CR>")
        elif b == 0x0A:
            out.append("<LF>")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append(f"\\x{b:02x}")
    return "".join(out)


def jis_to_shift_jis(j1: int, j2: int) -> bytes:
    s1 = ((j1 - 0x21) >> 1) + 0x81
    if s1 > 0x9F:
        s1 += 0x40
    if j1 & 1:
        s2 = j2 + 0x1F
        if s2 >= 0x7F:
            s2 += 1
    else:
        s2 = j2 + 0x7E
    return bytes((s1, s2))


def decode_iso2022jp_cp932(data: bytes, errors: str = "replace") -> str:
    """ISO-2022-JP read the way Japanese mail readers do: the two-byte codes
    through Shift_JIS and code page 932, so the NEC and IBM extensions count."""
    sjis = bytearray()
    two_byte = False
    i = 0
    while i < len(data):
        if data[i] == ESC and i + 2 < len(data):
            seq = data[i:i + 3]
            if seq in (b"\x1b$B", b"\x1b$@"):
                two_byte = True
                i += 3
                continue
            if seq in (b"\x1b(B", b"\x1b(J"):
                two_byte = False
                i += 3
                continue
        b = data[i]
        if b in (0x0D, 0x0A):
            two_byte = False  # a line never continues a two-byte run
            sjis.append(b)
            i += 1
        elif two_byte and i + 1 < len(data) and 0x21 <= b <= 0x7E and 0x21 <= data[i + 1] <= 0x7E:
            sjis += jis_to_shift_jis(b, data[i + 1])
            i += 2
        else:
            sjis.append(b)
            i += 1
    return bytes(sjis).decode("cp932", errors)


_ENCODED_WORDS = re.compile(
    rb"=\?(ISO-2022-JP|UTF-8)\?B\?([A-Za-z0-9+/=]*)\?="
    rb"(?:[ \t\r\n]+(?==\?(?:ISO-2022-JP|UTF-8)\?B\?))?", re.I)


def decode_header_words(raw_value: bytes) -> str:
    """An unfolded header value with its encoded-words decoded, ISO-2022-JP
    through code page 932; white space between adjacent words is dropped."""
    def word(m: re.Match) -> bytes:
        data = base64.b64decode(m.group(2))
        if m.group(1).upper() == b"UTF-8":
            return data
        return decode_iso2022jp_cp932(data).encode("utf-8")
    unfolded = re.sub(rb"\r\n(?=[ \t])", b"", raw_value)
    return _ENCODED_WORDS.sub(word, unfolded).decode("utf-8", "replace")


def raw_headers(data: bytes) -> dict[str, list[bytes]]:
    head = data.split(b"\r\n\r\n", 1)[0]
    result: dict[str, list[bytes]] = {}
    for field in re.split(rb"\r\n(?![ \t])", head):
        name, _, value = field.partition(b":")
        result.setdefault(name.decode("ascii", "replace").lower(), []).append(value.strip())
    return result


def show(path: str) -> bool:
    with open(path, "rb") as f:
        data = f.read()
    print(f"==== {path} ({len(data)} bytes) ====")
    print("---- as received ----")
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    for line in lines:
        print(readable(line))

    print("---- decoded ----")
    msg = email.message_from_bytes(data, policy=email.policy.default)
    raw = raw_headers(data)
    ok = True
    for name in ("From", "To", "Subject", "Date", "Message-ID"):
        values = msg.get_all(name) or []
        if len(values) != 1:
            print(f"{name}: [{len(values)} such headers]")
            ok = False
        for value in values:
            text = str(value)
            note = ""
            raw_value = raw.get(name.lower(), [b""])[0]
            if "=?" in text:
                # Left encoded: something in it is beyond Python's codec.
                text = decode_header_words(raw_value)
                note = "   [decoded via code page 932]"
            elif name in ("From", "To") and len(_ENCODED_WORDS.findall(raw_value)) > 1:
                # Python's address parser keeps the white space between the
                # encoded-words of a display name; RFC 2047 6.2 drops it.
                text = decode_header_words(raw_value)
                note = "   [name of several encoded-words, joined as RFC 2047 6.2 says]"
            elif name in ("From", "To") and getattr(value, "addresses", ()):
                # The display name as parsed.
                text = ", ".join(f"{a.display_name} <{a.addr_spec}>" if a.display_name
                                 else f"<{a.addr_spec}>" for a in value.addresses)
            print(f"{name}: {text}{note}")
            if value.defects:
                print(f"  defects: {[type(d).__name__ for d in value.defects]}")
    for name in ("MIME-Version", "Content-Type", "Content-Transfer-Encoding", "X-Mailer"):
        if name in msg:
            print(f"{name}: {msg[name]}")
    if msg.defects:
        print(f"message defects: {[type(d).__name__ for d in msg.defects]}")

    charset = msg.get_content_charset()
    payload = msg.get_payload(decode=True) or b""
    note = ""
    if charset:
        try:
            body = msg.get_content()
        except LookupError:
            body = payload.decode("utf-8", "replace")
            note = f" (unknown charset {charset}; shown as UTF-8)"
        if charset.lower() == "iso-2022-jp" and "\ufffd" in body:
            body = decode_iso2022jp_cp932(payload)
            note = " (iso-2022-jp, decoded via code page 932)"
        else:
            note = note or f" ({charset})"
    else:
        body = payload.decode("utf-8", "replace")
        note = " (no charset given; shown as UTF-8)"
    print(f"---- body{note} ----")
    body_lines = re.split(r"\r\n|\r|\n", body)
    if body_lines and body_lines[-1] == "":
        body_lines.pop()
    for line in body_lines:
        print(f"| {line}")
    print()
    return ok


def main(argv: list[str]) -> int:
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if argv else 2
    sys.stdout.reconfigure(errors="backslashreplace")
    status = 0
    for path in argv:
        try:
            if not show(path):
                status = 1
        except OSError as e:
            print(f"show_mail: {path}: {e}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
