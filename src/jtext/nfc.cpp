#include "jtext/nfc.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "jtext/recode.h"

namespace vtl::jtext {
namespace {

#include "jtext/nfc_tables.inc"

// NFC_Quick_Check, as kNfcSteps holds it.
enum QuickCheck : uint8_t { kYes = 0, kMaybe = 1, kNo = 2 };

// Every code point below this one is in NFC and a starter (the generator
// checks it), so Latin-1 text never reaches the tables.
constexpr char32_t kFirstMark = 0x300;
// Nothing below this one has a canonical decomposition.
constexpr char32_t kFirstDecomposable = 0xC0;

// Hangul syllables are composed and decomposed by arithmetic (Unicode 3.12).
constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28, kNCount = kVCount * kTCount,
                   kSCount = kLCount * kNCount;

struct Properties {
  uint8_t ccc;  // canonical combining class
  uint8_t qc;   // QuickCheck
};

Properties PropertiesOf(char32_t c) {
  if (c < kFirstMark) return {0, kYes};
  const uint32_t key = static_cast<uint32_t>(c) << 11 | 0x7FF;
  const uint32_t step = *(std::upper_bound(std::begin(kNfcSteps), std::end(kNfcSteps), key) - 1);
  return {static_cast<uint8_t>(step & 0xFF), static_cast<uint8_t>(step >> 8 & 3)};
}

// A character nothing before it can combine with or be reordered past:
// a boundary where normalising may start and the quick check restart.
bool IsBoundary(Properties p) {
  return p.ccc == 0 && p.qc == kYes;
}

char32_t FirstOf(uint64_t entry) {
  return static_cast<char32_t>(entry >> 22 & 0x1FFFFF);
}
char32_t SecondOf(uint64_t entry) {
  return static_cast<char32_t>(entry >> 1 & 0x1FFFFF);
}
// first << 21 | second: the order of kNfcCompositions.
uint64_t PairOf(uint64_t entry) {
  return entry >> 1 & ((uint64_t{1} << 42) - 1);
}

// The decomposition entry of `c`, or null when it has none.
const uint64_t* DecompositionOf(char32_t c) {
  const uint64_t key = uint64_t{c} << 43;
  const uint64_t* it =
      std::lower_bound(std::begin(kNfcDecompositions), std::end(kNfcDecompositions), key);
  return it != std::end(kNfcDecompositions) && *it >> 43 == c ? it : nullptr;
}

// The primary composite of a starter and the character after it, or 0.
char32_t Compose(char32_t first, char32_t second) {
  if (first - kLBase < kLCount && second - kVBase < kVCount)
    return kSBase + ((first - kLBase) * kVCount + (second - kVBase)) * kTCount;
  if (first - kSBase < kSCount && (first - kSBase) % kTCount == 0 &&
      second - (kTBase + 1) < kTCount - 1)
    return first + (second - kTBase);
  const uint64_t pair = uint64_t{first} << 21 | second;
  const uint16_t* it = std::lower_bound(
      std::begin(kNfcCompositions), std::end(kNfcCompositions), pair,
      [](uint16_t index, uint64_t key) { return PairOf(kNfcDecompositions[index]) < key; });
  if (it == std::end(kNfcCompositions) || PairOf(kNfcDecompositions[*it]) != pair) return 0;
  return static_cast<char32_t>(kNfcDecompositions[*it] >> 43);
}

struct Decomposed {
  char32_t code;
  Properties properties;
};

// Normalises the text from a boundary to the next one: decomposes it
// fully, puts each run of marks in canonical order, composes it again, and
// appends the UTF-8.
class Segment {
 public:
  // Normalises text[start, end) and returns `end`: the first boundary or
  // bad sequence after the characters at `start` (so it takes at least one
  // character), or the end of the text. A bad sequence at `start` is
  // appended as it is.
  size_t Normalize(std::string_view text, size_t start, std::string& out) {
    chars_.clear();
    size_t i = start;
    while (i < text.size()) {
      const Utf8Char c = NextUtf8Char(text, i);
      if (c.code == kBadSequence) {
        if (i > start) break;
        out.append(text.substr(i, c.length));
        return i + c.length;
      }
      const Properties p = PropertiesOf(c.code);
      if (i > start && IsBoundary(p)) break;
      Decompose(c.code, p);
      i += c.length;
    }
    Reorder();
    Recompose();
    for (const Decomposed& d : chars_) AppendUtf8(d.code, out);
    return i;
  }

 private:
  void Decompose(char32_t c, Properties p) {
    if (c - kSBase < kSCount) {
      const char32_t s = c - kSBase;
      chars_.push_back({kLBase + s / kNCount, {0, kYes}});
      chars_.push_back({kVBase + s % kNCount / kTCount, {0, kMaybe}});
      if (s % kTCount != 0) chars_.push_back({kTBase + s % kTCount, {0, kMaybe}});
      return;
    }
    if (c >= kFirstDecomposable) {
      if (const uint64_t* entry = DecompositionOf(c)) {
        const char32_t first = FirstOf(*entry), second = SecondOf(*entry);
        Decompose(first, PropertiesOf(first));
        if (second != 0) Decompose(second, PropertiesOf(second));
        return;
      }
    }
    chars_.push_back({c, p});
  }

  // Canonical ordering (Unicode 3.11): each run of non-starters sorted by
  // combining class, stably. Runs are short but for text made to be long.
  void Reorder() {
    const auto byClass = [](const Decomposed& a, const Decomposed& b) {
      return a.properties.ccc < b.properties.ccc;
    };
    for (size_t i = 0; i < chars_.size();) {
      if (chars_[i].properties.ccc == 0) {
        ++i;
        continue;
      }
      size_t end = i + 1;
      while (end < chars_.size() && chars_[end].properties.ccc != 0) ++end;
      const auto first = chars_.begin() + static_cast<std::ptrdiff_t>(i);
      const auto last = chars_.begin() + static_cast<std::ptrdiff_t>(end);
      if (end - i > 16) {
        std::stable_sort(first, last, byClass);
      } else {
        for (auto it = first + 1; it < last; ++it)
          for (auto at = it; at > first && byClass(*at, *(at - 1)); --at)
            std::iter_swap(at, at - 1);
      }
      i = end;
    }
  }

  // Canonical composition (Unicode 3.11): each character that is not
  // blocked from the last starter (nothing between them of its class or of
  // class 0) combines with it where a primary composite exists. Only a
  // character of quick check Maybe is ever the second of a pair.
  void Recompose() {
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t starter = kNone;
    int lastClass = -1;  // of the last character kept after the starter; -1: none
    size_t kept = 0;
    for (size_t i = 0; i < chars_.size(); ++i) {
      const Decomposed d = chars_[i];
      if (starter != kNone && d.properties.qc == kMaybe && lastClass < d.properties.ccc) {
        if (const char32_t composite = Compose(chars_[starter].code, d.code)) {
          chars_[starter].code = composite;
          continue;
        }
      }
      if (d.properties.ccc == 0) {
        starter = kept;
        lastClass = -1;
      } else {
        lastClass = d.properties.ccc;
      }
      chars_[kept++] = d;
    }
    chars_.resize(kept);
  }

  std::vector<Decomposed> chars_;
};

}  // namespace

std::string ToNfc(std::string_view utf8) {
  // The quick check of UAX #15 9, run until a character may change: the
  // text from the last boundary before it to the next one after it is
  // normalised, and the check goes on from there.
  std::string out;
  Segment segment;
  bool changed = false;
  size_t copied = 0;    // utf8[0, copied) is in `out` once something changed
  size_t boundary = 0;  // where the last boundary character (or the text) began
  uint8_t lastClass = 0;
  for (size_t i = 0; i < utf8.size();) {
    if (static_cast<uint8_t>(utf8[i]) < 0x80) {
      while (i < utf8.size() && static_cast<uint8_t>(utf8[i]) < 0x80) ++i;
      boundary = i - 1;
      lastClass = 0;
      continue;
    }
    const Utf8Char c = NextUtf8Char(utf8, i);
    if (c.code == kBadSequence) {
      // Kept as it is; what follows it starts afresh.
      i += c.length;
      boundary = i;
      lastClass = 0;
      continue;
    }
    const Properties p = PropertiesOf(c.code);
    if (p.qc == kYes && (p.ccc == 0 || lastClass <= p.ccc)) {
      if (p.ccc == 0) boundary = i;
      lastClass = p.ccc;
      i += c.length;
      continue;
    }
    if (!changed) out.reserve(utf8.size() + 16);
    changed = true;
    out.append(utf8.substr(copied, boundary - copied));
    i = segment.Normalize(utf8, boundary, out);
    copied = boundary = i;
    lastClass = 0;
  }
  if (!changed) return std::string(utf8);
  out.append(utf8.substr(copied));
  return out;
}

}  // namespace vtl::jtext
