#include "platform/posix/locale_name.h"

#include <string>
#include <string_view>
#include <utility>

#include "jtext/jtext.h"
#include "jtext/recode.h"

namespace vtl::platform {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A codeset's name as glibc compares them: lower case, letters and digits
// only ("EUC-KR", "euckr" and "eucKR" are one codeset).
std::string Normalised(std::string_view codeset) {
  std::string out;
  for (char c : Lower(codeset))
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out.push_back(c);
  return out;
}

// glibc's default codesets of the Chinese and Korean locales named without
// one (every Japanese locale's is EUC-JP).
constexpr std::pair<std::string_view, std::string_view> kDefaultCodesets[] = {
    {"zh_cn", "GB2312"},     {"zh_sg", "GB2312"}, {"zh_tw", "BIG5"},
    {"zh_hk", "BIG5-HKSCS"}, {"ko_kr", "EUC-KR"},
};

jtext::LeadBytes LeadByteRange(unsigned first, unsigned last) {
  jtext::LeadBytes lead;
  for (unsigned b = first; b <= last; ++b) lead[b] = true;
  return lead;
}

// The lead bytes of the double-byte codesets glibc offers for Chinese,
// Korean and Japanese locales, so that a long line is broken between
// characters and a trail byte of 0x5C is no backslash, as Windows does
// under its code pages 936, 949 and 950. GB18030's four-byte sequences
// (second byte 0x30-0x39) are taken as single bytes, like every sequence
// that is not a lead byte and a byte of 0x40 or above. The EUC codesets are
// read as pairs: SS2 (0x8E) leads a pair, so EUC-TW's four-byte sequences
// are two pairs; SS3 (0x8F) stands alone before EUC-JP's pair of JIS X 0212.
jtext::LeadBytes LeadBytesOf(const std::string& codeset) {
  for (const char* name : {"gbk", "gb18030", "gb2312", "euccn", "cp936", "big5", "big5hkscs",
                           "cp950", "euckr", "uhc", "cp949"})
    if (codeset == name) return LeadByteRange(0x81, 0xFE);
  for (const char* name : {"eucjp", "ujis", "euctw"}) {
    if (codeset == name) {
      jtext::LeadBytes lead = LeadByteRange(0xA1, 0xFE);
      lead[0x8E] = true;
      return lead;
    }
  }
  return {};
}

}  // namespace

LocaleInfo ParseLocaleName(std::string_view name) {
  LocaleInfo info;
  const size_t modifier = name.find('@');
  if (modifier != std::string_view::npos) name = name.substr(0, modifier);
  const size_t dot = name.find('.');
  const std::string_view codeset = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  const std::string_view language = name.substr(0, name.find_first_of("_."));

  const std::string lang = Lower(language);
  const bool japanese = lang == "ja" || lang == "jpn";
  if (japanese) {
    info.abbrevLangName = "JPN";
  } else {
    for (char c : lang) info.abbrevLangName.push_back(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  // A locale without a codeset has glibc's default one: EUC-JP for every
  // Japanese locale ("ja_JP", "ja"; an empty name would make iconv take the
  // calling process's own codeset), and a double-byte one for the Chinese
  // and Korean territories.
  info.codeset = codeset;
  if (codeset.empty()) {
    const std::string base = Lower(name);
    for (const auto& [locale, defaultCodeset] : kDefaultCodesets)
      if (base == locale) info.codeset = defaultCodeset;
    if (japanese) info.codeset = "EUC-JP";
  }
  const std::string cs = Normalised(info.codeset);
  if (cs == "sjis" || cs == "shiftjis" || cs == "cp932") {
    info.codePage = 932;
    info.leadBytes = jtext::ShiftJisLeadBytes();
  } else if (cs == "utf8") {
    info.codePage = jtext::kUtf8CodePage;
  } else {
    info.leadBytes = LeadBytesOf(cs);
  }
  return info;
}

std::string_view PickLocaleName(const char* lcAll, const char* lcCtype, const char* lang) {
  for (const char* v : {lcAll, lcCtype, lang})
    if (v != nullptr && *v != '\0') return v;
  return "C";
}

}  // namespace vtl::platform
