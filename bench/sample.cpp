#include "sample.h"

#include <iconv.h>

#include <random>
#include <stdexcept>

namespace vtl::bench {

namespace {

// Hands each line of the sample to `take`, so that a large body is made
// without a second copy of it.
template <typename Take>
void Generate(size_t bytes, Mix mix, Take take) {
  std::mt19937 random(20261207);
  auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  std::string line;
  size_t total = 0;
  unsigned chars = 0;
  unsigned lineLength = 55 + pick(11);
  while (total < bytes) {
    const unsigned roll = mix == Mix::Typical ? pick(100) : mix == Mix::Ascii ? 80 : 55;
    if (roll < 40) {  // hiragana, 0x829F-0x82F1
      line += '\x82';
      line += static_cast<char>(0x9F + pick(0x53));
    } else if (roll < 70) {  // kanji of the first level
      line += static_cast<char>(0x89 + pick(0x0F));
      line += static_cast<char>(0x40 + pick(0x3F));
    } else if (roll < 90) {
      line += static_cast<char>('a' + pick(26));
    } else {
      line += ' ';
    }
    if (++chars == lineLength) {
      total += line.size() + 2;
      take(line);
      line.clear();
      chars = 0;
      lineLength = 55 + pick(11);
    }
  }
  if (!line.empty()) take(line);
}

}  // namespace

std::vector<std::string> SampleLines(size_t bytes, Mix mix) {
  std::vector<std::string> lines;
  Generate(bytes, mix, [&](const std::string& line) { lines.push_back(line); });
  return lines;
}

std::string SampleBody(size_t bytes, Mix mix) {
  std::string body;
  body.reserve(bytes + 256);
  Generate(bytes, mix, [&](const std::string& line) { body.append(line).append("\r\n"); });
  return body;
}

std::string SampleUtf8Body(size_t bytes, bool emoji) {
  // glibc's CP932 table gives the Unicode of each Shift_JIS character; the
  // sample has only hiragana and first-level kanji, which every Japanese
  // code page holds.
  const iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no CP932");
  // U+1F600, U+1F389, U+1F44D and U+1F338: a face, a party popper, a thumb
  // and a cherry blossom.
  static constexpr const char* kEmoji[] = {"\xF0\x9F\x98\x80", "\xF0\x9F\x8E\x89",
                                           "\xF0\x9F\x91\x8D", "\xF0\x9F\x8C\xB8"};
  std::mt19937 random(20261208);
  std::string body, line;
  size_t withEmoji = 0;
  // A Shift_JIS character becomes at most 3 bytes of UTF-8, an ASCII one 1.
  for (const std::string& sjis : SampleLines(bytes, Mix::Typical)) {
    line.resize(sjis.size() * 3 / 2 + 1);
    char* in = const_cast<char*>(sjis.data());
    size_t inLeft = sjis.size();
    char* out = line.data();
    size_t outLeft = line.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
      iconv_close(cd);
      throw std::runtime_error("the sample is not CP932");
    }
    line.resize(line.size() - outLeft);
    // The emoji goes before a character picked at random, or at the end;
    // picked either way, so that both bodies have the same lines.
    const size_t before = random() % 60;
    size_t at = 0;
    for (size_t chars = 0; at < line.size(); ++at)
      if ((static_cast<unsigned char>(line[at]) & 0xC0) != 0x80 && chars++ == before) break;
    const char* e = kEmoji[random() % 4];
    if (emoji) line.insert(at, e);
    body.append(line).append("\r\n");
    withEmoji += line.size() + 2 + (emoji ? 0 : 4);
    if (withEmoji >= bytes) break;
  }
  iconv_close(cd);
  return body;
}

size_t TotalSize(const std::vector<std::string>& lines) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.size();
  return n;
}

}  // namespace vtl::bench
