#include "sample.h"

#include <random>

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

size_t TotalSize(const std::vector<std::string>& lines) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.size();
  return n;
}

}  // namespace vtl::bench
