#include "platform/posix/locale_name.h"

#include <string>

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

}  // namespace

LocaleInfo ParseLocaleName(std::string_view name) {
  LocaleInfo info;
  const size_t modifier = name.find('@');
  if (modifier != std::string_view::npos) name = name.substr(0, modifier);
  const size_t dot = name.find('.');
  const std::string_view codeset = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  const std::string_view language = name.substr(0, name.find_first_of("_."));

  const std::string lang = Lower(language);
  if (lang == "ja") {
    info.abbrevLangName = "JPN";
  } else {
    for (char c : lang) info.abbrevLangName.push_back(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  const std::string cs = Lower(codeset);
  if (cs == "sjis" || cs == "shift_jis" || cs == "cp932") {
    info.codePage = 932;
    info.leadBytes = jtext::ShiftJisLeadBytes();
  } else if (cs == "utf-8" || cs == "utf8") {
    info.codePage = jtext::kUtf8CodePage;
  }
  // glibc's Japanese locales without a codeset ("ja_JP", "ja") are EUC-JP.
  info.codeset = codeset.empty() && lang == "ja" ? "EUC-JP" : std::string(codeset);
  return info;
}

std::string_view PickLocaleName(const char* lcAll, const char* lcCtype, const char* lang) {
  for (const char* v : {lcAll, lcCtype, lang})
    if (v != nullptr && *v != '\0') return v;
  return "C";
}

}  // namespace vtl::platform
