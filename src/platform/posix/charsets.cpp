// Character sets through glibc's iconv: code page 932 is its "CP932", and
// the user's text is in whatever codeset the locale names.
#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"

namespace vtl::platform {
namespace {

// Code points go in and out as UTF-32 in big-endian order, whatever the
// machine's own order.
constexpr const char* kUnicode = "UTF-32BE";
constexpr size_t kLongestCharacter = 4;  // bytes, in the codesets glibc has

// An iconv conversion, closed with its owner.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    // EINVAL: the system has no such conversion. Anything else means it
    // ran out of memory or descriptors, which no other way round would fix.
    if (!ok() && errno != EINVAL) throw std::bad_alloc();
  }
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

  // One call of iconv; false with errno set where it stopped short.
  bool Convert(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
    // iconv's prototype asks for a char** but does not write the input.
    char* inPtr = const_cast<char*>(in);
    const bool done = iconv(cd_, &inPtr, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
    in = inPtr;
    return done;
  }

  // What iconv makes of `bytes` read alone: 0 a character, EINVAL the start
  // of a longer one, EILSEQ none.
  int Probe(std::string_view bytes) {
    Reset();
    const char* in = bytes.data();
    size_t inLeft = bytes.size();
    char buffer[4 * kLongestCharacter];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    const int result = Convert(in, inLeft, out, outLeft) ? 0 : errno;
    Reset();
    return result;
  }

 private:
  iconv_t cd_;
};

char32_t FromUtf32(const unsigned char* b) {
  return static_cast<char32_t>(b[0]) << 24 | static_cast<char32_t>(b[1]) << 16 |
         static_cast<char32_t>(b[2]) << 8 | b[3];
}

class IconvCharsets final : public Charsets {
 public:
  IconvCharsets(const std::string& codeset, bool utf8)
      : to932_("CP932", kUnicode),
        decoder_(utf8 ? nullptr : std::make_unique<Iconv>(kUnicode, codeset.c_str())) {}

  bool ok() const { return to932_.ok() && (!decoder_ || decoder_->ok()); }

  uint16_t Cp932Of(char32_t c) override {
    const unsigned char in[4] = {0, static_cast<unsigned char>(c >> 16),
                                 static_cast<unsigned char>(c >> 8), static_cast<unsigned char>(c)};
    char out[4];
    const char* inPtr = reinterpret_cast<const char*>(in);
    size_t inLeft = sizeof in;
    char* outPtr = out;
    size_t outLeft = sizeof out;
    to932_.Reset();
    if (!to932_.Convert(inPtr, inLeft, outPtr, outLeft) || inLeft != 0) return 0;
    const auto b = [&](int i) { return static_cast<uint8_t>(out[i]); };
    switch (sizeof out - outLeft) {
      case 1:
        return b(0);
      case 2:
        return static_cast<uint16_t>(b(0) << 8 | b(1));
      default:
        return 0;
    }
  }

  size_t Decode(std::string_view text, bool startOfText, char32_t* chars, size_t capacity,
                size_t& count) override {
    count = 0;
    if (!decoder_) return 0;
    if (startOfText) decoder_->Reset();
    unsigned char buffer[4 * 256];
    size_t pos = 0;
    while (pos < text.size() && count < capacity) {
      const char* in = text.data() + pos;
      size_t inLeft = text.size() - pos;
      char* out = reinterpret_cast<char*>(buffer);
      const size_t room = 4 * std::min(capacity - count, sizeof buffer / 4);
      size_t outLeft = room;
      const bool done = decoder_->Convert(in, inLeft, out, outLeft);
      const int error = done ? 0 : errno;
      pos = text.size() - inLeft;
      for (size_t i = 0; i + 4 <= room - outLeft; i += 4) chars[count++] = FromUtf32(buffer + i);
      // Out of room before anything moved: a character that gives more
      // than one code point (as some codesets have) waits for the next call.
      if (error == E2BIG && room == outLeft) break;
      if (done || error == E2BIG || count == capacity) continue;
      // EINVAL: the text ends inside a character. EILSEQ: none starts here.
      const size_t bad = error == EINVAL ? text.size() - pos : BadSequenceLength(text.substr(pos));
      chars[count++] = kBadSequence;
      pos += bad;
      decoder_->Reset();
    }
    return pos;
  }

 private:
  // How long the bad sequence at the start of `rest` is: the longest start
  // the codeset reads as the beginning of a character, with the byte that
  // ended it when that byte is 0x80 or above (taken for the character's
  // trail byte, so that it cannot start a wrong character of its own). A
  // byte below 0x80 there stands for itself, as an EUC codeset, whose
  // trail bytes are all 0xA1 and up, reads it.
  size_t BadSequenceLength(std::string_view rest) {
    size_t length = 1;
    while (length < rest.size() && length < kLongestCharacter &&
           static_cast<uint8_t>(rest[length]) >= 0x80 &&
           decoder_->Probe(rest.substr(0, length)) == EINVAL)
      ++length;
    return length;
  }

  Iconv to932_;
  std::unique_ptr<Iconv> decoder_;  // none for UTF-8, which the core reads itself
};

}  // namespace

std::unique_ptr<Charsets> OpenCharsets(const LocaleInfo& locale) {
  constexpr unsigned kUtf8 = 65001;
  // Code page 932 is read as such, whatever the locale calls it: glibc's
  // "SJIS" lacks the IBM extension characters that code page 932 has.
  const std::string codeset = locale.codePage == 932 ? "CP932" : locale.codeset;
  auto charsets = std::make_unique<IconvCharsets>(codeset, locale.codePage == kUtf8);
  if (!charsets->ok()) return nullptr;
  return charsets;
}

}  // namespace vtl::platform
