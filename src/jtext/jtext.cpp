#include "jtext/jtext.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vtl::jtext {
namespace {

// JIS X 0201 katakana 0xA1-0xDF to their full-width code page 932 codes. The
// sound marks stay separate characters: half-width KA + voiced mark is two
// characters, never GA.
constexpr std::array<uint16_t, 63> kWideKana = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342, 0x8344, 0x8346, 0x8348,
    0x8383, 0x8385, 0x8387, 0x8362, 0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A,
    0x834C, 0x834E, 0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E, 0x8360,
    0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C, 0x836D, 0x836E, 0x8371, 0x8374,
    0x8377, 0x837A, 0x837D, 0x837E, 0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389,
    0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B};

// The arithmetic mapping as two tables whose sum is the JIS code. A lead
// byte gives the JIS row of its first half, shifted into the high byte; a
// trail byte gives the JIS cell, plus one row when it falls in the second
// half of the lead's pair of rows. A byte that is no lead (no trail) byte
// gives kNotInPair, so that a sum from kNotInPair up is no pair at all.
// Leads 0xF0-0xFC come out above row 0x7E, where JIS has nothing.
constexpr uint32_t kNotInPair = 0x10000;
constexpr uint32_t kPastLastRow = 0x7F00;

struct ShiftJisTables {
  std::array<uint32_t, 256> row{};
  std::array<uint32_t, 256> cell{};
  std::array<bool, 256> plainAscii{};  // copied as it is: ASCII but ESC
};

constexpr ShiftJisTables MakeShiftJisTables() {
  ShiftJisTables t;
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<uint8_t>(b);
    t.row[b] = IsLeadByte(byte) ? (2 * (b < 0xA0 ? b - 0x81 : b - 0xC1) + 0x21) << 8 : kNotInPair;
    t.cell[b] = !IsTrailByte(byte) ? kNotInPair
                : b < 0x7F         ? b - 0x1F
                : b < 0x9F         ? b - 0x20
                                   : 0x100 + b - 0x7E;
    t.plainAscii[b] = b < 0x80 && b != 0x1B;
  }
  return t;
}

constexpr ShiftJisTables kShiftJis = MakeShiftJisTables();

// A lead and a trail byte to their JIS code; 0 above row 0x7E.
inline uint16_t PairToJis(uint8_t lead, uint8_t trail) {
  const uint32_t code = kShiftJis.row[lead] + kShiftJis.cell[trail];
  return code < kPastLastRow ? static_cast<uint16_t>(code) : 0;
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool IsJapaneseLocale(std::string_view abbrevLangName) {
  if (abbrevLangName.size() < 3) return false;
  return Upper(abbrevLangName[0]) == 'J' && Upper(abbrevLangName[1]) == 'P' &&
         Upper(abbrevLangName[2]) == 'N';
}

TextMode DecideTextMode(std::string_view abbrevLangName, unsigned codePage,
                        const LeadBytes& leadBytes) {
  TextMode mode;
  mode.japanese = IsJapaneseLocale(abbrevLangName);
  mode.shiftJis = codePage == kShiftJisCodePage;
  mode.leadBytes = leadBytes;
  return mode;
}

LeadBytes ShiftJisLeadBytes() {
  LeadBytes lead;
  for (unsigned b = 0; b < 256; ++b) lead[b] = IsLeadByte(static_cast<uint8_t>(b));
  return lead;
}

TextMode ShiftJisMode(bool japanese) {
  return TextMode{japanese, true, ShiftJisLeadBytes()};
}

uint16_t ShiftJisToJis(uint8_t s1, uint8_t s2) {
  if (!IsLeadByte(s1) || !IsTrailByte(s2)) return 0;
  return PairToJis(s1, s2);
}

uint16_t WideKana(uint8_t halfwidth) {
  return IsHalfwidthKana(halfwidth) ? kWideKana[halfwidth - 0xA1] : 0;
}

WireChar NextWireChar(std::string_view text, size_t pos) {
  const auto b = static_cast<uint8_t>(text[pos]);
  // An ESC of the caller's would switch the reader's character set and
  // garble the rest of the text.
  if (b == 0x1B) return {1, false, '?'};
  if (b < 0x80) return {1, false, b};  // ASCII, control bytes included
  if (IsHalfwidthKana(b)) {
    const uint16_t wide = WideKana(b);
    return {1, true,
            ShiftJisToJis(static_cast<uint8_t>(wide >> 8), static_cast<uint8_t>(wide & 0xFF))};
  }
  if (IsLeadByte(b)) {
    if (pos + 1 < text.size() && IsTrailByte(static_cast<uint8_t>(text[pos + 1]))) {
      const uint16_t code = ShiftJisToJis(b, static_cast<uint8_t>(text[pos + 1]));
      return {2, true, code != 0 ? code : kGetaMark};
    }
    // A lead byte without its trail byte is a broken character; the byte
    // after it, if any, is left to stand on its own.
    return {1, true, kGetaMark};
  }
  return {1, false, '?'};  // 0x80, 0xA0, 0xFD-0xFF: no character in code page 932
}

std::string WidenHalfwidthKana(std::string_view text, TextMode mode) {
  if (!mode.Converts()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (IsLeadByte(b) && i + 1 < text.size() && IsTrailByte(static_cast<uint8_t>(text[i + 1]))) {
      out.append(text.substr(i, 2));
      i += 2;
    } else if (IsHalfwidthKana(b)) {
      const uint16_t wide = WideKana(b);
      out.push_back(static_cast<char>(wide >> 8));
      out.push_back(static_cast<char>(wide & 0xFF));
      ++i;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

namespace {

char* PutEscape(char* p, std::string_view escape) {
  std::memcpy(p, escape.data(), escape.size());
  return p + escape.size();
}

// Converts text[i, stop) to `p`, which has room for kIso2022MostPerByte
// bytes per source byte; a pair that starts at stop - 1 is taken whole.
// Returns the end of what was written and moves `i` past what was read.
char* ConvertPiece(std::string_view text, size_t& position, size_t stop, char* p, bool& jisState,
                   bool& hadDoubleByteState) {
  // Kept in locals, so that the loops below keep them in registers.
  size_t i = position;
  bool inJis = jisState;
  bool hadDoubleByte = hadDoubleByteState;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  // A pair may start before `last`: its trail byte is in the text.
  const size_t last = std::min(stop, text.size() - 1);
  while (i < stop) {
    uint8_t b = s[i];
    if (kShiftJis.plainAscii[b]) {
      if (inJis) p = PutEscape(p, Iso2022Writer::kToAscii);
      inJis = false;
      do {  // a run of ASCII
        *p++ = static_cast<char>(b);
      } while (++i < stop && kShiftJis.plainAscii[b = s[i]]);
      continue;
    }
    // A run of double-byte characters, without the general step.
    uint32_t sum = i < last ? kShiftJis.row[b] + kShiftJis.cell[s[i + 1]] : kNotInPair;
    if (sum < kNotInPair) {
      if (!inJis) p = PutEscape(p, Iso2022Writer::kToJis);
      inJis = hadDoubleByte = true;
      do {
        const uint32_t code = sum < kPastLastRow ? sum : kGetaMark;
        p[0] = static_cast<char>(code >> 8);
        p[1] = static_cast<char>(code & 0xFF);
        p += 2;
        i += 2;
        if (i >= last) break;
        sum = kShiftJis.row[s[i]] + kShiftJis.cell[s[i + 1]];
      } while (sum < kNotInPair);
      continue;
    }
    const WireChar c = NextWireChar(text, i);
    if (c.jis != inJis) p = PutEscape(p, c.jis ? Iso2022Writer::kToJis : Iso2022Writer::kToAscii);
    inJis = c.jis;
    hadDoubleByte = hadDoubleByte || c.jis;
    if (c.jis) *p++ = static_cast<char>(c.code >> 8);
    *p++ = static_cast<char>(c.code & 0xFF);
    i += c.length;
  }
  position = i;
  jisState = inJis;
  hadDoubleByteState = hadDoubleByte;
  return p;
}

}  // namespace

size_t WriteIso2022Jp(std::string_view text, char* out) {
  bool inJis = false;
  bool hadDoubleByte = false;
  size_t i = 0;
  char* p = ConvertPiece(text, i, text.size(), out, inJis, hadDoubleByte);
  if (inJis) p = PutEscape(p, Iso2022Writer::kToAscii);
  return static_cast<size_t>(p - out);
}

Iso2022Text ToIso2022Jp(std::string_view text, TextMode mode) {
  Iso2022Text result;
  std::string& out = result.bytes;
  if (!mode.Converts()) {
    out.assign(text);
    return result;
  }
  // The text goes in pieces, each written through a pointer into room made
  // for its worst case, and the string is cut back after.
  constexpr size_t kPiece = 4096;
  bool inJis = false;
  out.reserve(std::min(text.size(), kPiece) * kIso2022MostPerByte + Iso2022Writer::kToAscii.size());
  for (size_t i = 0; i < text.size();) {
    const size_t stop = std::min(text.size(), i + kPiece);
    const size_t base = out.size();
    out.resize(base + (stop - i) * kIso2022MostPerByte);
    char* p = ConvertPiece(text, i, stop, out.data() + base, inJis, result.hadDoubleByte);
    out.resize(static_cast<size_t>(p - out.data()));
  }
  if (inJis) out.append(Iso2022Writer::kToAscii);
  return result;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  Base64(bytes, [&](char c) { out.push_back(c); });
  return out;
}

std::string EncodedWord(std::string_view iso2022Bytes) {
  std::string out(kEncodedWordPrefix);
  out += Base64Encode(iso2022Bytes);
  out += kEncodedWordSuffix;
  return out;
}

std::string EncodeHeaderText(std::string_view text, TextMode mode) {
  Iso2022Text converted = ToIso2022Jp(text, mode);
  if (!converted.hadDoubleByte) return std::move(converted.bytes);
  return EncodedWord(converted.bytes);
}

std::vector<std::string> EncodeHeaderWords(std::string_view text, size_t maxWordLength) {
  constexpr size_t kEscape = Iso2022Writer::kToJis.size();
  const size_t frame = kEncodedWordPrefix.size() + kEncodedWordSuffix.size();
  // Base64 turns each 3 bytes into 4 characters, so this many ISO-2022-JP
  // bytes fit one word. A JIS character may need an escape on each side.
  const size_t maxBytes = (maxWordLength > frame ? (maxWordLength - frame) / 4 * 3 : 0);
  const size_t budget = maxBytes < 2 * kEscape + 2 ? 2 * kEscape + 2 : maxBytes;

  std::vector<std::string> words;
  std::string chunk;
  Iso2022Writer writer(chunk);
  auto flush = [&] {
    writer.Close();
    words.push_back(EncodedWord(chunk));
    chunk.clear();
  };
  for (size_t i = 0; i < text.size();) {
    const WireChar c = NextWireChar(text, i);
    if (!chunk.empty() && chunk.size() + writer.Cost(c) > budget) flush();
    writer.Put(c);
    i += c.length;
  }
  if (!chunk.empty() || words.empty()) flush();
  return words;
}

std::vector<std::string> EncodeUtf8Words(std::string_view utf8, size_t maxWordLength) {
  const size_t frame = kUtf8WordPrefix.size() + kEncodedWordSuffix.size();
  // Whole groups of three bytes, and never less than one character.
  size_t budget = maxWordLength > frame ? (maxWordLength - frame) / 4 * 3 : 0;
  if (budget < 4) budget = 4;
  std::vector<std::string> words;
  for (size_t pos = 0; pos < utf8.size() || words.empty();) {
    size_t end = std::min(utf8.size(), pos + budget);
    // Back to the start of the character that the cut would split.
    if (end < utf8.size())
      while (end > pos + 1 && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80) --end;
    std::string word(kUtf8WordPrefix);
    Base64(utf8.substr(pos, end - pos), [&](char c) { word.push_back(c); });
    word += kEncodedWordSuffix;
    words.push_back(std::move(word));
    pos = end;
  }
  return words;
}

}  // namespace vtl::jtext
