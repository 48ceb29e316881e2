// One Japanese mail's texts twice: in code page 932, as a host on a
// Japanese Windows passes them, and in UTF-8, as a host on a UTF-8 system
// does. They are the same characters, so they must make the same mail:
// kanji and kana, characters whose second byte is 0x5C, half-width
// katakana, NEC row 13, the GETA MARK, the yen sign, backslash and tilde, a line that
// starts with a dot and an empty line.
#pragma once

namespace vtl::test {

struct MailTexts {
  const char* fromName;
  const char* toName;
  const char* subject;
  const char* body;
};

inline constexpr MailTexts kJapaneseUtf8 = {
    "鈴木 花子",
    "山田 太郎",
    "【vtl】日本語メールの送信テスト（ﾃｽﾄ）①～",
    "山田様\r\n\r\nソ表能の文字と、ｶﾞﾊﾟ｡｢｣の半角カナ。\r\n①②㈱№Ⅲ～〓￥100 \\ ~\r\n"
    ".先頭の点\r\nplain ASCII line\r\n",
};

inline constexpr MailTexts kJapaneseShiftJis = {
    "\x97\xE9\x96\xD8 \x89\xD4\x8E\x71",
    "\x8E\x52\x93\x63 \x91\xBE\x98\x59",
    "\x81\x79vtl\x81\x7A\x93\xFA\x96\x7B\x8C\xEA\x83\x81\x81\x5B\x83\x8B\x82\xCC\x91\x97\x90\x4D"
    "\x83\x65\x83\x58\x83\x67\x81\x69\xC3\xBD\xC4\x81\x6A\x87\x40\x81\x60",
    "\x8E\x52\x93\x63\x97\x6C\r\n\r\n\x83\x5C\x95\x5C\x94\x5C\x82\xCC\x95\xB6\x8E\x9A\x82\xC6\x81"
    "\x41\xB6\xDE\xCA\xDF\xA1\xA2\xA3\x82\xCC\x94\xBC\x8A\x70\x83\x4A\x83\x69\x81\x42\r\n\x87\x40"
    "\x87\x41\x87\x8A\x87\x82\x87\x56\x81\x60\x81\xAC\x81\x8F"
    "100 \\ ~\r\n.\x90\xE6\x93\xAA\x82\xCC\x93\x5F\r\nplain ASCII line\r\n",
};

}  // namespace vtl::test
