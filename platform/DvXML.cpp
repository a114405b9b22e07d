// XML documents and elements over pugixml, input checking (DTDs refused, forbidden characters
// replaced) and the XML text conversions.
#include "DvXML.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DvUtils.h"
#include "DvXMLPath.h"

namespace dv {

namespace {

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Parse flags: the defaults (escapes, CDATA, end-of-line normalisation) and whitespace-only text
// kept when it is an element's only content (a subject of " " stays " "). Declarations,
// comments, processing instructions and DTDs are not kept.
constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_ws_pcdata_single;
constexpr unsigned kFormatFlags = pugi::format_raw | pugi::format_no_declaration;

// The local part of a qualified name ("t:Subject" gives "Subject").
std::string_view LocalPart(std::string_view name) {
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool IsXmlChar(std::uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Reads the digits of a character reference from offset `j` of `text` (hexadecimal or decimal,
// at most `maxDigits` of them) into `value`; gives the offset after the last digit read.
std::size_t ReadReferenceDigits(std::string_view text, std::size_t j, bool hex,
                                std::size_t maxDigits, std::uint64_t& value) {
  const std::size_t start = j;
  value = 0;
  for (; j < text.size() && j - start < maxDigits; ++j) {
    const char c = text[j];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      break;
    }
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
  }
  return j;
}

// Byte classes for the input scan.
enum : std::uint8_t { kPlain = 0, kControl = 1, kAmp = 2, kLess = 3 };

constexpr std::array<std::uint8_t, 256> MakeScanTable() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) {
    if (c != 0x9 && c != 0xA && c != 0xD) t[c] = kControl;
  }
  t['&'] = kAmp;
  t['<'] = kLess;
  return t;
}
constexpr std::array<std::uint8_t, 256> kScanTable = MakeScanTable();

// Bit k of the result: the parity of the bits 0..k of x.
std::uint64_t PrefixParity(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// Checks parser input and rewrites what XML 1.0 forbids but real mailboxes contain:
// - a DOCTYPE (or any other markup declaration) is refused, so no entity is ever declared,
//   expanded or fetched;
// - an entity reference other than the five predefined ones is refused;
// - a character reference to a character XML 1.0 forbids (&#x0;, &#x1A;, &#xB;, …) and a literal
//   control byte become U+FFFD.
// Comments, CDATA sections and processing instructions are skipped (their '&' is literal), but
// their control bytes are replaced too.
// The text is rewritten where it lies: a replaced reference is never shorter than U+FFFD's three
// bytes, so the text after it moves down and nothing is copied. Only a literal control byte (one
// byte becoming three) makes the rest go to a copy, which then replaces the text.
class TInputScanner {
 public:
  // Checks `text` from `start` (after a byte-order mark).
  TInputScanner(std::string& text, std::size_t start)
      : text_(text), buf_(text.data() + start), in_(buf_, text.size() - start) {}

  // Checks the text and leaves it rewritten; gives the offset in the text where the checked
  // document starts.
  std::size_t Run() {
    const std::size_t n = in_.size();
    enum class TState { Text, Tag, DoubleQuoted, SingleQuoted };
    TState state = TState::Text;
    std::size_t i = 0;
    while (i < n) {
      if (i < base_ || i >= base_ + 64) LoadBlock(i);
      if (plain_ && i == base_ && state != TState::SingleQuoted) {
        if (const std::size_t next = PassPlainBlock(state)) {
          i = next;
          continue;
        }
      }
      std::uint64_t stops = Stops(static_cast<int>(state));
      stops &= ~std::uint64_t{0} << (i - base_);
      if (stops == 0) {
        i = base_ + 64;
        continue;
      }
      const std::size_t p = base_ + static_cast<std::size_t>(__builtin_ctzll(stops));
      const char c = in_[p];
      i = p + 1;
      if (static_cast<unsigned char>(c) < 0x20) {
        if (kScanTable[static_cast<unsigned char>(c)] == kControl)
          Replace(p, p + 1, kReplacementChar);
        continue;
      }
      switch (state) {
        case TState::Text:
          if (c == '&') {
            i = Reference(p);
          } else if (p + 1 < n && (in_[p + 1] == '!' || in_[p + 1] == '?')) {
            i = Markup(p);
          } else {
            state = TState::Tag;
          }
          break;
        case TState::Tag:
          // Attribute values are checked as text is (references, control bytes) and may not hold
          // '<' (which a lenient parser would accept, and which would otherwise be taken here for
          // the start of markup).
          if (c == '"') {
            state = TState::DoubleQuoted;
          } else if (c == '\'') {
            state = TState::SingleQuoted;
          } else if (c == '>') {
            state = TState::Text;
          } else {  // '<': an unclosed tag, which the parser reports
            state = TState::Text;
            i = p;
          }
          break;
        case TState::DoubleQuoted:
        case TState::SingleQuoted:
          if (c == '&') {
            i = Reference(p);
          } else if (c == '<') {
            throw EDvXMLException("Malformed XML at offset " + std::to_string(p) +
                                  ": '<' in an attribute value");
          } else {
            state = TState::Tag;
          }
          break;
      }
    }
    return Finish();
  }

 private:
  // The bit masks of the bytes the scan stops at in the 64 bytes from `base` (bit k for byte
  // base + k; none past the end): most of a document lies between stops, and going from one
  // stop to the next is then a bit search.
  // Takes the 64 bytes from `base` (padded with spaces past the end) and the masks of '<', '>'
  // and '"' in them (bit k for byte base + k). The stops of each state follow on demand
  // (Stops): a plain block (PassPlainBlock) needs none.
  void LoadBlock(std::size_t base) {
    base_ = base;
    const std::size_t n = std::min<std::size_t>(64, in_.size() - base);
    block_ = in_.data() + base;
    if (n < 64) {
      std::fill(std::begin(padded_), std::end(padded_), ' ');
      std::copy(block_, block_ + n, padded_);
      block_ = padded_;
    }
    stopsReady_ = false;
    std::uint64_t lt = 0, gt = 0, dq = 0, amp = 0, odd = 0;
#if defined(__SSE2__)
    const __m128i vlt = _mm_set1_epi8('<'), vgt = _mm_set1_epi8('>'), vdq = _mm_set1_epi8('"'),
                  vsq = _mm_set1_epi8('\''), vamp = _mm_set1_epi8('&'), v1f = _mm_set1_epi8(0x1F),
                  vbang = _mm_set1_epi8('!'), vquest = _mm_set1_epi8('?'),
                  vtab = _mm_set1_epi8('\t'), vlf = _mm_set1_epi8('\n'), vcr = _mm_set1_epi8('\r');
    for (int k = 0; k < 4; ++k) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block_ + 16 * k));
      auto bits = [&](__m128i m) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
      };
      lt |= bits(_mm_cmpeq_epi8(x, vlt));
      gt |= bits(_mm_cmpeq_epi8(x, vgt));
      dq |= bits(_mm_cmpeq_epi8(x, vdq));
      // Single quotes, references, control bytes other than tab and line ends, '!' and '?'.
      const __m128i space = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(x, vtab), _mm_cmpeq_epi8(x, vlf)), _mm_cmpeq_epi8(x, vcr));
      const __m128i control = _mm_andnot_si128(space, _mm_cmpeq_epi8(_mm_min_epu8(x, v1f), x));
      amp |= bits(_mm_cmpeq_epi8(x, vamp));
      odd |= bits(_mm_or_si128(_mm_cmpeq_epi8(x, vsq),
                               _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(x, vbang),
                                                                  _mm_cmpeq_epi8(x, vquest)))));
    }
#else
    for (int k = 0; k < 64; ++k) {
      const std::uint64_t bit = std::uint64_t{1} << k;
      const unsigned char c = static_cast<unsigned char>(block_[k]);
      if (c == '<') lt |= bit;
      if (c == '>') gt |= bit;
      if (c == '"') dq |= bit;
      if (c == '&') amp |= bit;
      if (c == '\'' || c == '!' || c == '?' || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'))
        odd |= bit;
    }
#endif
    lt_ = lt;
    gt_ = gt;
    dq_ = dq;
    amp_ = amp;
    // A block passed in one step must not end in "<" followed by a declaration.
    const bool declNext = (lt >> 63) != 0 && base + 64 < in_.size() &&
                          (in_[base + 64] == '!' || in_[base + 64] == '?');
    plain_ = odd == 0 && !declNext;
  }

  // The stops of the current block in a state (TState's order: text, tag, double- and
  // single-quoted value): bytes below 0x20 and the markup of that state.
  std::uint64_t Stops(int state) {
    if (!stopsReady_) {
      std::uint64_t sq = 0, amp = 0, ctl = 0;
#if defined(__SSE2__)
      const __m128i vsq = _mm_set1_epi8('\''), vamp = _mm_set1_epi8('&'), v1f = _mm_set1_epi8(0x1F);
      for (int k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block_ + 16 * k));
        auto bits = [&](__m128i m) {
          return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)))
                 << (16 * k);
        };
        sq |= bits(_mm_cmpeq_epi8(x, vsq));
        amp |= bits(_mm_cmpeq_epi8(x, vamp));
        ctl |= bits(_mm_cmpeq_epi8(_mm_min_epu8(x, v1f), x));
      }
#else
      for (int k = 0; k < 64; ++k) {
        const std::uint64_t bit = std::uint64_t{1} << k;
        const unsigned char c = static_cast<unsigned char>(block_[k]);
        if (c == '\'') sq |= bit;
        if (c == '&') amp |= bit;
        if (c < 0x20) ctl |= bit;
      }
#endif
      stops_[0] = ctl | lt_ | amp;
      stops_[1] = ctl | dq_ | sq | gt_ | lt_;
      stops_[2] = ctl | dq_ | lt_ | amp;
      stops_[3] = ctl | sq | lt_ | amp;
      stopsReady_ = true;
    }
    return stops_[state];
  }

  // For a plain block (see LoadBlock) entered in `state` (not a single-quoted value): when its
  // double quotes all delimit attribute values inside tags, no value holds '<', and its tags
  // open and close in turn (what walking it stop by stop would find), checks its references as
  // that walk would, sets the state at its end and gives the offset to go on from; else 0
  // (state unchanged).
  template <typename TState>
  std::size_t PassPlainBlock(TState& state) {
    const std::uint64_t all = ~std::uint64_t{0};
    // After each byte: inside a value, every double quote taken to open or close one.
    const std::uint64_t quoted = PrefixParity(dq_) ^ (state == TState::DoubleQuoted ? all : 0);
    if ((lt_ & quoted) != 0) return 0;
    const std::uint64_t markers = (lt_ | gt_) & ~quoted;
    // After each byte: inside a tag, a '<' taken to open one and a '>' to close it.
    const std::uint64_t tag =
        PrefixParity(markers) ^ (state == TState::Text ? std::uint64_t{0} : all);
    if ((lt_ & ~tag) != 0 || (gt_ & ~quoted & tag) != 0) return 0;  // not in turn
    if ((dq_ & ~tag) != 0) return 0;  // a quote in text, which delimits nothing
    // References in text and values (one in a tag outside a value is the parser's to refuse).
    // One may run past the block: it holds no markup, so the state at its end is the same.
    std::size_t next = base_ + 64;
    for (std::uint64_t refs = amp_ & (quoted | ~tag); refs != 0; refs &= refs - 1)
      next = std::max(next, Reference(base_ + static_cast<std::size_t>(__builtin_ctzll(refs))));
    if ((quoted >> 63) & 1)
      state = TState::DoubleQuoted;
    else if ((tag >> 63) & 1)
      state = TState::Tag;
    else
      state = TState::Text;
    return next;
  }
  // The offset of the first byte in [i, n) below 0x20 or equal to one of a..d; n when none. Most
  // of a document is plain bytes between such stops, so they are skipped 16 at a time.
  std::size_t FindStop(std::size_t i, std::size_t n, char a, char b, char c, char d) const {
    const char* s = in_.data();
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c),
                  vd = _mm_set1_epi8(d), v1f = _mm_set1_epi8(0x1F);
    while (i + 16 <= n) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i hit =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                       _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, vd)),
                                    _mm_cmpeq_epi8(_mm_min_epu8(x, v1f), x)));
      const int mask = _mm_movemask_epi8(hit);
      if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
      i += 16;
    }
#endif
    for (; i < n; ++i) {
      const char ch = s[i];
      if (static_cast<unsigned char>(ch) < 0x20 || ch == a || ch == b || ch == c || ch == d)
        return i;
    }
    return n;
  }

  // Replaces [from, to) with `with`. In place, the bytes kept since the last replacement move
  // down to `written_` (reading always goes on past `to`, so nothing unread is overwritten).
  void Replace(std::size_t from, std::size_t to, std::string_view with) {
    if (!copying_ && with.size() <= to - from) {
      if (written_ != copied_) std::memmove(buf_ + written_, buf_ + copied_, from - copied_);
      written_ += from - copied_;
      std::memcpy(buf_ + written_, with.data(), with.size());
      written_ += with.size();
      copied_ = to;
      return;
    }
    if (!copying_) {
      copying_ = true;
      fixed_.reserve(in_.size() + 64);
      fixed_.assign(buf_, written_);
    }
    fixed_.append(in_.substr(copied_, from - copied_));
    fixed_.append(with);
    copied_ = to;
  }

  std::size_t Finish() {
    const std::size_t start = static_cast<std::size_t>(buf_ - text_.data());
    if (copying_) {
      fixed_.append(in_.substr(copied_));
      text_.swap(fixed_);
      return 0;
    }
    if (written_ != copied_) {
      std::memmove(buf_ + written_, buf_ + copied_, in_.size() - copied_);
      text_.resize(start + written_ + in_.size() - copied_);
    }
    return start;
  }

  // Replaces control bytes in [from, to) and returns `to`.
  std::size_t Skip(std::size_t from, std::size_t to) {
    for (std::size_t i = FindStop(from, to, 0, 0, 0, 0); i < to;
         i = FindStop(i + 1, to, 0, 0, 0, 0)) {
      if (kScanTable[static_cast<unsigned char>(in_[i])] == kControl) {
        Replace(i, i + 1, kReplacementChar);
      }
    }
    return to;
  }

  std::size_t SkipTo(std::size_t from, std::string_view terminator) {
    const std::size_t end = in_.find(terminator, from);
    if (end == std::string_view::npos) return Skip(from, in_.size());  // the parser reports it
    return Skip(from, end + terminator.size());
  }

  // "<?" or "<!" at i: a processing instruction, comment or CDATA section is skipped; anything
  // else is refused.
  std::size_t Markup(std::size_t i) {
    const std::string_view rest = in_.substr(i);
    if (rest[1] == '?') return SkipTo(i + 2, "?>");
    if (rest.substr(0, 4) == "<!--") return SkipTo(i + 4, "-->");
    if (rest.substr(0, 9) == "<![CDATA[") return SkipTo(i + 9, "]]>");
    throw EDvXMLException(
        "XML refused: a document type declaration (DOCTYPE) or other markup declaration at "
        "offset " +
        std::to_string(i) + "; DTDs and entity declarations are not accepted");
  }

  std::size_t Reference(std::size_t i) {
    const std::size_t n = in_.size();
    std::size_t j = i + 1;
    if (j < n && in_[j] == '#') {
      ++j;
      const bool hex = j < n && (in_[j] == 'x' || in_[j] == 'X');
      if (hex) ++j;
      const std::size_t digitsStart = j;
      std::uint64_t v = 0;
      j = ReadReferenceDigits(in_, j, hex, 12, v);
      if (j == digitsStart || j >= n || in_[j] != ';') {
        throw EDvXMLException("Malformed XML at offset " + std::to_string(i) +
                              ": invalid character reference");
      }
      if (!IsXmlChar(v > 0x10FFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v))) {
        Replace(i, j + 1, kReplacementChar);
      }
      return j + 1;
    }
    std::size_t k = j;
    while (k < n && k - j < 32 && in_[k] != ';' && in_[k] != '&' && in_[k] != '<' &&
           static_cast<unsigned char>(in_[k]) > ' ') {
      ++k;
    }
    const std::string_view name = in_.substr(j, k - j);
    if (k >= n || in_[k] != ';' || name.empty()) {
      throw EDvXMLException("Malformed XML at offset " + std::to_string(i) +
                            ": '&' must start an entity or character reference");
    }
    if (name != "amp" && name != "lt" && name != "gt" && name != "quot" && name != "apos") {
      throw EDvXMLException("XML refused: undefined entity reference \"&" + std::string(name) +
                            ";\" at offset " + std::to_string(i) +
                            "; entities are not declared or expanded");
    }
    return k + 1;
  }

  std::string& text_;
  char* buf_;
  std::string_view in_;
  std::string fixed_;        // the copy, once a replacement is longer than what it replaces
  std::size_t copied_ = 0;   // input before this offset is written out
  std::size_t written_ = 0;  // in place: the end of the text written out
  bool copying_ = false;
  std::size_t base_ = static_cast<std::size_t>(-1) / 2;  // no block loaded yet
  std::uint64_t stops_[4] = {};
  std::uint64_t lt_ = 0, gt_ = 0, dq_ = 0, amp_ = 0;
  bool plain_ = false;
  bool stopsReady_ = false;
  const char* block_ = nullptr;
  char padded_[64] = {};
};

// ---- The quick check ----
//
// Most documents need nothing from TInputScanner: no control byte, no comment, CDATA section or
// declaration ("<!"), only well-formed references to allowed characters, and no '<' in an
// attribute value. QuickCheck recognises such a text in one pass without a state machine and
// without changing it; whenever it sees anything else it answers false and the full scanner runs
// on the unchanged text. It therefore only needs to be sure, never complete: it accepts a text
// only when the scanner would leave it as it is.
//
// Tags are found with masks over blocks of 64 bytes: a tag runs from a '<' to the first '>' after
// it. That '>' closes the tag when the tag's double quotes before it are even in number (they
// open and close values; a '>' inside a value has an odd number before it) and the tag holds no
// single quote and no second '<' (a '<' in a value has no '>' before it, or is taken for the
// start of a later tag whose quotes are then odd). "<!" puts '!' inside a tag, where this pass
// refuses it. Quotes and '>' in text are outside every tag and so ignored. Every '&' is checked,
// wherever it stands. A processing instruction (the XML declaration too) is read like a tag: the
// scanner skips it whole, so whatever this pass accepts in it, the scanner leaves alone.

// Bit masks of a block of 64 bytes (bit k for byte k).
struct TBlockMasks {
  std::uint64_t lt, gt, dq;
  // Single quotes and '!' (refused inside a tag), '&' and bytes below 0x20: rare in a response,
  // so they are told apart one by one.
  std::uint64_t special;
};

#if defined(__SSE2__)
// The 64 bits of four compare results (bytes all ones or zero), block order.
inline std::uint64_t Bits64(__m128i m0, __m128i m1, __m128i m2, __m128i m3) {
  const auto b = [](__m128i m) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)));
  };
  return b(m0) | (b(m1) << 16) | (b(m2) << 32) | (b(m3) << 48);
}

// The bytes of TBlockMasks::special among 16.
inline __m128i SpecialBytes(__m128i x) {
  const __m128i quoteOrBang =
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\'')), _mm_cmpeq_epi8(x, _mm_set1_epi8('!')));
  const __m128i v1f = _mm_set1_epi8(0x1F);
  const __m128i ampOrControl =
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('&')), _mm_cmpeq_epi8(_mm_min_epu8(x, v1f), x));
  return _mm_or_si128(quoteOrBang, ampOrControl);
}
#endif

// The masks of the 64 bytes at `block`, which are also copied to `copyTo` unless it is null.
TBlockMasks LoadMasks(const char* block, char* copyTo) {
  TBlockMasks m;
#if defined(__SSE2__)
  const auto* p = reinterpret_cast<const __m128i*>(block);
  const __m128i x0 = _mm_loadu_si128(p), x1 = _mm_loadu_si128(p + 1), x2 = _mm_loadu_si128(p + 2),
                x3 = _mm_loadu_si128(p + 3);
  if (copyTo != nullptr) {
    auto* q = reinterpret_cast<__m128i*>(copyTo);
    _mm_storeu_si128(q, x0);
    _mm_storeu_si128(q + 1, x1);
    _mm_storeu_si128(q + 2, x2);
    _mm_storeu_si128(q + 3, x3);
  }
  const auto eq = [&](char c) {
    const __m128i v = _mm_set1_epi8(c);
    return Bits64(_mm_cmpeq_epi8(x0, v), _mm_cmpeq_epi8(x1, v), _mm_cmpeq_epi8(x2, v),
                  _mm_cmpeq_epi8(x3, v));
  };
  m.lt = eq('<');
  m.gt = eq('>');
  m.dq = eq('"');
  m.special = Bits64(SpecialBytes(x0), SpecialBytes(x1), SpecialBytes(x2), SpecialBytes(x3));
#else
  if (copyTo != nullptr) std::memcpy(copyTo, block, 64);
  m = {};
  for (int k = 0; k < 64; ++k) {
    const std::uint64_t bit = std::uint64_t{1} << k;
    const unsigned char c = static_cast<unsigned char>(block[k]);
    if (c == '<') m.lt |= bit;
    if (c == '>') m.gt |= bit;
    if (c == '"') m.dq |= bit;
    if (c == '\'' || c == '!' || c == '&' || c < 0x20) m.special |= bit;
  }
#endif
  return m;
}

// True for a reference at `i` the scanner accepts as it stands: one of the five predefined
// entities, or a character reference to a character XML allows.
bool IsPlainReference(std::string_view in, std::size_t i) {
  const std::string_view rest = in.substr(i + 1, 12);
  if (rest.empty()) return false;
  if (rest[0] != '#') {
    for (std::string_view name : {"amp;", "lt;", "gt;", "quot;", "apos;"}) {
      if (rest.substr(0, name.size()) == name) return true;
    }
    return false;
  }
  const bool hex = rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X');
  std::size_t j = hex ? 2 : 1;
  const std::size_t digitsStart = j;
  std::uint64_t v = 0;
  j = ReadReferenceDigits(rest, j, hex, 7, v);
  return j > digitsStart && j < rest.size() && rest[j] == ';' &&
         IsXmlChar(static_cast<std::uint32_t>(v));
}

// True when `in` (the text after any byte-order mark) needs neither a change nor a refusal from
// TInputScanner (see above); false when the scanner must look. With `out` (room for in.size()
// bytes) the text is copied there as it is read; after false, what `out` holds is of no use.
bool QuickCheck(std::string_view in, char* out) {
  const std::size_t n = in.size();
  std::size_t i = 0;
  std::uint64_t open = 0;    // 1 when a tag runs on into the block
  std::uint64_t quotes = 0;  // all ones when that tag has an odd number of double quotes so far
  std::uint64_t bad = 0;
  char padded[64];
  for (; i < n; i += 64) {
    const char* block = in.data() + i;
    char* copyTo = out != nullptr ? out + i : nullptr;
    if (n - i < 64) {
      std::memset(padded, ' ', sizeof padded);
      std::memcpy(padded, block, n - i);
      block = padded;
      if (copyTo != nullptr) std::memcpy(copyTo, in.data() + i, n - i);
      copyTo = nullptr;
    }
    const TBlockMasks m = LoadMasks(block, copyTo);
    std::uint64_t odd = 0;  // refused inside a tag
    for (std::uint64_t r = m.special; r != 0; r &= r - 1) {
      const std::size_t p = i + static_cast<std::size_t>(__builtin_ctzll(r));
      const unsigned char c = static_cast<unsigned char>(in[p]);
      if (c == '\'' || c == '!') {
        odd |= r & (~r + 1);
      } else if (c == '&' ? !IsPlainReference(in, p) : kScanTable[c] == kControl) {
        return false;
      }
    }
    // Adding each '<' to the run of non-'>' bytes it starts carries up to the first '>' after
    // it: the bits that change are the tag, both ends included. A run reaching the end of the
    // block carries out into the next one.
    const std::uint64_t notGt = ~m.gt;
    const std::uint64_t sum1 = notGt + m.lt;
    const std::uint64_t sum = sum1 + open;
    const std::uint64_t tag = sum ^ notGt;
    open = (sum1 < notGt || sum < sum1) ? 1 : 0;
    // A second '<' inside a tag does not start a run of its own and so is not in `tag`.
    bad |= m.lt & ~tag;
    bad |= odd & tag;
    // The parity of the tag's double quotes up to each byte; at the closing '>' it must be even.
    const std::uint64_t parity = PrefixParity(m.dq & tag) ^ quotes;
    bad |= parity & m.gt & tag;
    quotes = (parity >> 63) != 0 ? ~std::uint64_t{0} : 0;
    if (bad != 0) return false;
  }
  return true;
}

std::string_view StripUTF8Bom(std::string_view text) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

// Checks UTF-8 input and parses it where it lies into `tree` (a document or, with
// parse_fragment, a fragment). The tree's names and values point into `text`, which must
// outlive it and not change.
void ParseChecked(pugi::xml_document& tree, char* text, std::size_t size, unsigned extraFlags);

void ParseInto(pugi::xml_document& tree, std::string& text, unsigned extraFlags) {
  const std::size_t bom = text.size() - StripUTF8Bom(text).size();
  const bool quick = QuickCheck(std::string_view(text).substr(bom), nullptr);
  const std::size_t start = quick ? bom : TInputScanner(text, bom).Run();
  ParseChecked(tree, text.data() + start, text.size() - start, extraFlags);
}

// Parses checked UTF-8 text where it lies (see ParseInto).
void ParseChecked(pugi::xml_document& tree, char* text, std::size_t size, unsigned extraFlags) {
  const pugi::xml_parse_result result =
      tree.load_buffer_inplace(text, size, kParseFlags | extraFlags, pugi::encoding_utf8);
  if (!result) {
    throw EDvXMLException("Malformed XML at offset " + std::to_string(result.offset) + ": " +
                          result.description());
  }
  if ((extraFlags & pugi::parse_fragment) == 0) {
    const pugi::xml_node root = tree.document_element();
    for (pugi::xml_node n = root.next_sibling(); n; n = n.next_sibling()) {
      if (n.type() == pugi::node_element) {
        throw EDvXMLException("Malformed XML at offset " + std::to_string(n.offset_debug()) +
                              ": more than one root element");
      }
    }
  }
}

bool IsUTF8Name(std::string_view cp) {
  return DvSameText(cp, "utf-8") || DvSameText(cp, "utf8") || cp == "65001";
}

// Converts document bytes in a code page (empty: detect) to UTF-8; UTF-8 bytes stay as they are
// (the parse skips a byte-order mark).
std::string BytesToUTF8(std::string&& bytes, const std::string& codePage) {
  // A byte-order mark wins over the code page given.
  std::string cp = DvByteOrderMarkCodePage(bytes);
  if (cp.empty()) cp = codePage.empty() ? DvDetectCodePage(bytes) : codePage;
  if (cp.empty() || IsUTF8Name(cp)) return std::move(bytes);
  try {
    return DvCodePageToUTF8(bytes, cp);
  } catch (const EConvertError& e) {
    throw EDvXMLException(std::string("Cannot read the XML document: ") + e.what());
  }
}

struct TStringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, std::size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
  // The text written, with every carriage return kept as one: pugixml writes a CR in text as it
  // is, and a reader turns it into a line feed (so a CRLF body would come back as LF). Outside
  // markup it becomes "&#13;"; inside a CDATA section, which has no references, the section is
  // closed around it. Comments and processing instructions keep theirs.
  std::string Take() {
    if (text.find('\r') == std::string::npos) return std::move(text);
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t i = 0;
    auto copyThrough = [&](std::string_view end) {
      const std::size_t stop = text.find(end, i);
      const std::size_t to = stop == std::string::npos ? text.size() : stop + end.size();
      out.append(text, i, to - i);
      i = to;
    };
    while (i < text.size()) {
      const char c = text[i];
      if (c == '<' && text.compare(i, 9, "<![CDATA[") == 0) {
        const std::size_t stop = text.find("]]>", i);
        const std::size_t to = stop == std::string::npos ? text.size() : stop + 3;
        for (; i < to; ++i)
          if (text[i] == '\r')
            out += "]]>&#13;<![CDATA[";
          else
            out += text[i];
      } else if (c == '<' && text.compare(i, 4, "<!--") == 0) {
        copyThrough("-->");
      } else if (c == '<' && text.compare(i, 2, "<?") == 0) {
        copyThrough("?>");
      } else {
        if (c == '\r')
          out += "&#13;";
        else
          out += c;
        ++i;
      }
    }
    return out;
  }
};

// A qualified name as the library writes it: a non-empty XML name with at most one colon.
void CheckName(std::string_view name, const char* what) {
  bool ok = !name.empty() && name.front() != ':' && name.back() != ':' &&
            !(name.front() >= '0' && name.front() <= '9') && name.front() != '-' &&
            name.front() != '.';
  int colons = 0;
  for (char c : name) {
    if (c == ':') ++colons;
    if (static_cast<unsigned char>(c) <= ' ' || c == '<' || c == '>' || c == '&' || c == '"' ||
        c == '\'' || c == '=' || c == '/' || c == '[' || c == ']' || c == '(' || c == ')') {
      ok = false;
    }
  }
  if (!ok || colons > 1) {
    throw EDvXMLException(std::string("Invalid ") + what + " name \"" + std::string(name) + "\"");
  }
}

bool CaseSensitive(TDvXMLSelectOptions options) {
  return options.Contains(TDvXMLSelectOption::xsoCaseSensitive);
}

class TDvDOMDocumentImpl;
using TTreePtr = std::shared_ptr<pugi::xml_document>;

// A tree parsed where its text lies, with that text: pugixml's names and values point into it.
// The handle to the tree shares ownership of both, so every wrapper keeps the text alive.
struct TParsedTree {
  std::string text;
  std::unique_ptr<char[]> copy;  // or the checked copy of text that was lent (ParseTreeCopy)
  pugi::xml_document tree;       // declared after the text, so destroyed before it
};

TTreePtr ParseTree(std::string&& text) {
  auto parsed = std::make_shared<TParsedTree>();
  parsed->text = std::move(text);
  ParseInto(parsed->tree, parsed->text, 0);
  return TTreePtr(parsed, &parsed->tree);
}

// A tree parsed from UTF-8 text lent to it. The tree needs a copy; in the common case the quick
// check makes it as it reads the text (one pass instead of a copy and then a check), else the
// text is copied into a string and checked as ParseTree does.
TTreePtr ParseTreeCopy(std::string_view text) {
  const std::string_view body = StripUTF8Bom(text);
  auto parsed = std::make_shared<TParsedTree>();
  std::unique_ptr<char[]> copy(new char[body.size() + 1]);  // not zeroed: every byte is written
  if (QuickCheck(body, copy.get())) {
    parsed->copy = std::move(copy);
    ParseChecked(parsed->tree, parsed->copy.get(), body.size(), 0);
  } else {
    parsed->text = std::string(text);
    ParseInto(parsed->tree, parsed->text, 0);
  }
  return TTreePtr(parsed, &parsed->tree);
}

DvDOMElementPtr Wrap(pugi::xml_node node, const std::shared_ptr<TDvDOMDocumentImpl>& doc,
                     const TTreePtr& tree);

class TDvDOMElementList final : public IDvDOMElementList {
 public:
  TDvDOMElementList(std::shared_ptr<TDvDOMDocumentImpl> doc, TTreePtr tree,
                    std::vector<pugi::xml_node> nodes)
      : doc_(std::move(doc)), tree_(std::move(tree)), nodes_(std::move(nodes)) {}

  int Count() const override { return static_cast<int>(nodes_.size()); }
  DvDOMElementPtr GetItem(int index) const override {
    if (index < 0 || static_cast<std::size_t>(index) >= nodes_.size()) {
      throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return Wrap(nodes_[static_cast<std::size_t>(index)], doc_, tree_);
  }

 private:
  std::shared_ptr<TDvDOMDocumentImpl> doc_;
  TTreePtr tree_;
  std::vector<pugi::xml_node> nodes_;
};

class TDvDOMAttributeList final : public IDvDOMAttributeList {
 public:
  explicit TDvDOMAttributeList(std::vector<TDvDOMAttribute> items) : items_(std::move(items)) {}
  int Count() const override { return static_cast<int>(items_.size()); }
  TDvDOMAttribute GetItem(int index) const override {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
      throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return items_[static_cast<std::size_t>(index)];
  }

 private:
  std::vector<TDvDOMAttribute> items_;
};

DvDOMElementListPtr MakeList(pugi::xml_node context, std::string_view path,
                             TDvXMLSelectOptions options,
                             const std::shared_ptr<TDvDOMDocumentImpl>& doc, const TTreePtr& tree) {
  const auto compiled = xmlpath::Compile(path);
  std::vector<pugi::xml_node> nodes;
  xmlpath::SelectAll(*compiled, context, CaseSensitive(options), nodes);
  return std::make_shared<TDvDOMElementList>(doc, tree, std::move(nodes));
}

DvDOMElementPtr SelectOne(pugi::xml_node context, std::string_view path,
                          TDvXMLSelectOptions options,
                          const std::shared_ptr<TDvDOMDocumentImpl>& doc, const TTreePtr& tree) {
  pugi::xml_node found;
  if (std::string_view name; xmlpath::IsChildName(path, name)) {
    found = xmlpath::FirstChildNamed(context, name, CaseSensitive(options));
  } else {
    found = xmlpath::SelectFirst(*xmlpath::Compile(path), context, CaseSensitive(options));
  }
  return found ? Wrap(found, doc, tree) : nullptr;
}

// Text is UTF-8; a document in another encoding announced by its byte-order mark (UTF-16 or
// UTF-32) is converted first.
bool IsWideText(std::string_view text) {
  return text.size() >= 2 &&
         (static_cast<unsigned char>(text[0]) == 0xFF ||
          static_cast<unsigned char>(text[0]) == 0xFE || (text[0] == '\0' && text[1] != '\0'));
}

class TDvDOMDocumentImpl final : public IDvDOMDocument,
                                 public std::enable_shared_from_this<TDvDOMDocumentImpl> {
 public:
  TDvDOMDocumentImpl() : tree_(std::make_shared<pugi::xml_document>()) {}

  void LoadXML(std::string_view text) override {
    if (IsWideText(text)) {
      LoadBytes(std::string(text), {});
      return;
    }
    ReplaceTree(ParseTreeCopy(text));
  }

  // LoadXML on text the document takes over: parsed where it lies, so the text is not copied.
  void LoadText(std::string&& text) {
    if (IsWideText(text)) {
      LoadBytes(std::move(text), {});
      return;
    }
    ReplaceTree(ParseTree(std::move(text)));
  }

  void LoadBytes(std::string&& bytes, const std::string& codePage) {
    ReplaceTree(ParseTree(BytesToUTF8(std::move(bytes), codePage)));
  }

  void LoadFromStream(std::istream& stream) override {
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (stream.bad()) throw EDvXMLException("Cannot read the XML stream");
    LoadBytes(std::move(bytes), {});
  }

  void SetXml(std::string_view text) override { LoadXML(text); }

  std::string GetXML() const override {
    TStringWriter w;
    tree_->save(w, "", kFormatFlags, pugi::encoding_utf8);
    return w.Take();
  }

  void SaveToFile(const std::string& fileName) const override {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw EDvXMLException("Cannot create the file \"" + fileName + "\"");
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" << GetXML();
    out.flush();
    if (!out) throw EDvXMLException("Cannot write the file \"" + fileName + "\"");
  }

  DvDOMElementPtr GetDocumentElement() const override {
    const pugi::xml_node root = tree_->document_element();
    return root ? Wrap(root, Self(), tree_) : nullptr;
  }

  DvDOMElementPtr CreateDocumentElement(std::string_view qualifiedName) override {
    CheckName(qualifiedName, "element");
    auto tree = std::make_shared<pugi::xml_document>();
    const pugi::xml_node root = tree->append_child(std::string(qualifiedName).c_str());
    ReplaceTree(std::move(tree));
    return Wrap(root, Self(), tree_);
  }

  DvDOMElementPtr SelectSingleElement(std::string_view path,
                                      TDvXMLSelectOptions options) const override {
    return SelectOne(*tree_, path, options, Self(), tree_);
  }

  DvDOMElementListPtr CreateElementList(std::string_view path,
                                        TDvXMLSelectOptions options) const override {
    return MakeList(*tree_, path, options, Self(), tree_);
  }

  DvDOMElementPtr WrapNode(pugi::xml_node node) override {
    if (!node || node.type() != pugi::node_element) return nullptr;
    const pugi::xml_node root = node.root();
    if (root == *tree_) return Wrap(node, Self(), tree_);
    // A node of an earlier content that wrappers still hold.
    for (const auto& weak : oldTrees_) {
      if (TTreePtr old = weak.lock(); old && root == *old) return Wrap(node, Self(), old);
    }
    return nullptr;
  }

  pugi::xml_document& GetNativeDocument() override { return *tree_; }

 private:
  std::shared_ptr<TDvDOMDocumentImpl> Self() const {
    return std::const_pointer_cast<TDvDOMDocumentImpl>(shared_from_this());
  }

  // Replaces the content; the old tree lives on while wrappers refer to it.
  void ReplaceTree(TTreePtr tree) {
    std::erase_if(oldTrees_,
                  [](const std::weak_ptr<pugi::xml_document>& w) { return w.expired(); });
    if (tree_.use_count() > 1) oldTrees_.push_back(tree_);
    tree_ = std::move(tree);
  }

  TTreePtr tree_;
  std::vector<std::weak_ptr<pugi::xml_document>> oldTrees_;
};

class TDvDOMElementImpl final : public IDvDOMElement {
 public:
  TDvDOMElementImpl(pugi::xml_node node, std::shared_ptr<TDvDOMDocumentImpl> doc, TTreePtr tree)
      : node_(node), doc_(std::move(doc)), tree_(std::move(tree)) {}

  DvDOMElementPtr AddElement(std::string_view qualifiedName) override {
    CheckName(qualifiedName, "element");
    return WrapHere(node_.append_child(std::string(qualifiedName).c_str()));
  }

  DvDOMElementPtr InsertElement(std::string_view qualifiedName, const DvDOMElementPtr& reference,
                                bool before) override {
    CheckName(qualifiedName, "element");
    if (!reference) return AddElement(qualifiedName);
    const pugi::xml_node ref = reference->GetNativeNode();
    if (ref.parent() != node_) {
      throw EDvXMLException("The reference element is not a child of \"" +
                            std::string(node_.name()) + "\"");
    }
    const std::string name(qualifiedName);
    return WrapHere(before ? node_.insert_child_before(name.c_str(), ref)
                           : node_.insert_child_after(name.c_str(), ref));
  }

  void RemoveElement(const DvDOMElementPtr& child) override {
    if (!child) return;
    const pugi::xml_node c = child->GetNativeNode();
    if (c.parent() != node_) {
      throw EDvXMLException("The element is not a child of \"" + std::string(node_.name()) + "\"");
    }
    node_.remove_child(c);
  }

  void Clear() override { node_.remove_children(); }

  void SetAttribute(std::string_view name, std::string_view value) override {
    CheckName(name, "attribute");
    const std::string n(name);
    const std::string text = DvXMLCheckText(value, name);  // refused before anything changes
    pugi::xml_attribute a = node_.attribute(n.c_str());
    if (!a) a = node_.append_attribute(n.c_str());
    a.set_value(text.c_str());
  }

  std::string GetAttribute(std::string_view name) const override {
    return node_.attribute(std::string(name).c_str()).value();
  }

  bool HasAttribute(std::string_view name) const override {
    return static_cast<bool>(node_.attribute(std::string(name).c_str()));
  }

  void AddAttribute(std::string_view name, std::string_view value) override {
    CheckName(name, "attribute");
    const std::string text = DvXMLCheckText(value, name);
    node_.append_attribute(std::string(name).c_str()).set_value(text.c_str());
  }

  void RemoveAttribute(std::string_view name) override {
    node_.remove_attribute(std::string(name).c_str());
  }

  int AttributeCount() const override {
    int n = 0;
    for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute())
      ++n;
    return n;
  }

  DvDOMAttributeListPtr GetAttributes() const override {
    std::vector<TDvDOMAttribute> items;
    for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute()) {
      items.push_back({a.name(), a.value()});
    }
    return std::make_shared<TDvDOMAttributeList>(std::move(items));
  }

  int ElementCount() const override {
    int n = 0;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) ++n;
    }
    return n;
  }

  DvDOMElementPtr GetElement(int index) const override {
    if (index >= 0) {
      int i = 0;
      for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element && i++ == index) return WrapHere(c);
      }
    }
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }

  std::vector<DvDOMElementPtr> Elements() const override {
    std::vector<DvDOMElementPtr> out;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) out.push_back(WrapHere(c));
    return out;
  }

  bool HasChildElement(std::string_view path, TDvXMLSelectOptions options) const override {
    const auto compiled = xmlpath::Compile(path);
    return static_cast<bool>(xmlpath::SelectFirst(*compiled, node_, CaseSensitive(options)));
  }

  DvDOMElementPtr ElementByName(std::string_view localName) const override {
    if (const std::size_t colon = localName.rfind(':'); colon != std::string_view::npos) {
      localName.remove_prefix(colon + 1);  // a qualified name is looked up by its local part
    }
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element && xmlpath::LocalNameIs(c.name(), localName, false)) {
        return WrapHere(c);
      }
    }
    return nullptr;
  }

  DvDOMElementPtr SelectSingleElement(std::string_view path,
                                      TDvXMLSelectOptions options) const override {
    return SelectOne(node_, path, options, doc_, tree_);
  }

  DvDOMElementListPtr CreateElementList(std::string_view path,
                                        TDvXMLSelectOptions options) const override {
    return MakeList(node_, path, options, doc_, tree_);
  }

  std::string GetAsString() const override { return xmlpath::NodeText(node_); }

  void SetAsString(std::string_view value) override {
    const std::string text = DvXMLCheckText(value, LocalPart(node_.name()));
    node_.remove_children();
    if (!text.empty()) node_.append_child(pugi::node_pcdata).set_value(text.c_str());
  }

  std::int64_t GetAsInteger() const override {
    const std::string text = DvTrim(GetAsString());
    return text.empty() ? 0 : DvXMLToInt(text);
  }
  void SetAsInteger(std::int64_t value) override { SetAsString(DvIntToXML(value)); }
  bool GetAsBoolean() const override { return DvXMLToBool(GetAsString()); }
  void SetAsBoolean(bool value) override { SetAsString(DvBoolToXML(value)); }
  TDateTime GetAsDateTime() const override { return DvXMLToDateTime(GetAsString()); }
  void SetAsDateTime(TDateTime value) override { SetAsString(DvDateTimeToXML(value)); }

  std::string GetLocalName() const override {
    const std::string_view q = node_.name();
    const std::size_t colon = q.find(':');
    return std::string(colon == std::string_view::npos ? q : q.substr(colon + 1));
  }
  std::string GetQualifiedName() const override { return node_.name(); }
  std::string GetPrefix() const override {
    const std::string_view q = node_.name();
    const std::size_t colon = q.find(':');
    return colon == std::string_view::npos ? std::string() : std::string(q.substr(0, colon));
  }

  std::string GetNamespaceURI() const override {
    const std::string prefix = GetPrefix();
    if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
    const std::string attr = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    for (pugi::xml_node n = node_; n && n.type() == pugi::node_element; n = n.parent()) {
      if (pugi::xml_attribute a = n.attribute(attr.c_str())) return a.value();
    }
    return {};
  }

  DvDOMElementPtr GetParent() const override {
    const pugi::xml_node p = node_.parent();
    return p && p.type() == pugi::node_element ? WrapHere(p) : nullptr;
  }

  DvDOMDocumentPtr GetOwnerDocument() const override { return doc_; }

  std::string GetXML() const override {
    TStringWriter w;
    node_.print(w, "", kFormatFlags, pugi::encoding_utf8);
    return w.Take();
  }

  bool IsSameNode(const IDvDOMElement& other) const override {
    return other.GetNativeNode() == node_;
  }

  std::string GetInnerXML() const override {
    TStringWriter w;
    for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) {
      c.print(w, "", kFormatFlags, pugi::encoding_utf8);
    }
    return w.Take();
  }

  DvDOMElementPtr AppendCopy(const DvDOMElementPtr& source) override {
    if (!source) throw EDvXMLException("No element to copy");
    const pugi::xml_node src = source->GetNativeNode();
    for (pugi::xml_node n = node_; n; n = n.parent()) {
      if (n == src) throw EDvXMLException("An element cannot be copied into itself");
    }
    return WrapHere(node_.append_copy(src));
  }

  void AppendXML(std::string_view fragment) override {
    std::string text(fragment);
    pugi::xml_document tmp;
    ParseInto(tmp, text, pugi::parse_fragment);
    for (pugi::xml_node c = tmp.first_child(); c; c = c.next_sibling())
      node_.append_copy(c);
  }

  pugi::xml_node GetNativeNode() const override { return node_; }

 private:
  DvDOMElementPtr WrapHere(pugi::xml_node n) const {
    if (!n) return nullptr;
    return std::make_shared<TDvDOMElementImpl>(n, doc_, tree_);
  }

  pugi::xml_node node_;
  std::shared_ptr<TDvDOMDocumentImpl> doc_;
  TTreePtr tree_;
};

DvDOMElementPtr Wrap(pugi::xml_node node, const std::shared_ptr<TDvDOMDocumentImpl>& doc,
                     const TTreePtr& tree) {
  return std::make_shared<TDvDOMElementImpl>(node, doc, tree);
}

// ---- Number and date-time parsing helpers ----

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
    s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
    s.remove_suffix(1);
  return s;
}

[[noreturn]] void BadDateTime(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid XML date-time");
}

// Reads exactly `count` digits at s[pos].
bool ReadDigits(std::string_view s, std::size_t& pos, std::size_t count, int& value) {
  if (pos + count > s.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool Expect(std::string_view s, std::size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

// ---- Factories ----

DvDOMDocumentPtr DvCreateDOM() {
  return std::make_shared<TDvDOMDocumentImpl>();
}

DvDOMDocumentPtr DvCreateDOM(std::string_view text) {
  auto doc = std::make_shared<TDvDOMDocumentImpl>();
  doc->LoadXML(text);
  return doc;
}

DvDOMDocumentPtr DvCreateDOM(const char* text) {
  return DvCreateDOM(std::string_view(text));
}

DvDOMDocumentPtr DvCreateDOM(std::string&& text) {
  auto doc = std::make_shared<TDvDOMDocumentImpl>();
  doc->LoadText(std::move(text));
  return doc;
}

DvDOMDocumentPtr DvCreateDOM(std::string_view bytes, const std::string& codePage) {
  auto doc = std::make_shared<TDvDOMDocumentImpl>();
  doc->LoadBytes(std::string(bytes), codePage);
  return doc;
}

DvDOMDocumentPtr DvCreateDOMFromStream(std::istream& stream) {
  auto doc = std::make_shared<TDvDOMDocumentImpl>();
  doc->LoadFromStream(stream);
  return doc;
}

// ---- Escaping ----

namespace {

// Invalid UTF-8 becomes U+FFFD; a character XML forbids becomes U+FFFD too, or raises
// EDvXMLInvalidChar when `what` names the value (text the library is about to write).
std::string CleanText(std::string_view text, const std::string_view* what) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  // Fast path: printable ASCII and tab/line breaks need no work.
  while (i < n && ((s[i] >= 0x20 && s[i] < 0x80) || s[i] == 0x9 || s[i] == 0xA || s[i] == 0xD)) {
    ++i;
  }
  if (i == n) return std::string(text);
  std::string out(text.substr(0, i));
  out.reserve(n + 8);
  while (i < n) {
    std::uint32_t cp;
    const std::size_t len = DvDecodeUTF8(s + i, n - i, cp);
    if (len == 0) {
      out += kReplacementChar;
      ++i;
      continue;
    }
    if (IsXmlChar(cp)) {
      out.append(text.substr(i, len));
    } else if (what) {
      throw EDvXMLInvalidChar(*what, cp);
    } else {
      out += kReplacementChar;
    }
    i += len;
  }
  return out;
}

std::string CodePointText(std::uint32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

std::string CheckedText(std::string_view text, std::string_view what) {
  return CleanText(text, &what);
}

}  // namespace

std::string DvXMLSanitize(std::string_view text) {
  return CleanText(text, nullptr);
}

EDvXMLInvalidChar::EDvXMLInvalidChar(std::string_view what, std::uint32_t codePoint)
    : EDvXMLException("The value of \"" + std::string(what) + "\" holds " +
                      CodePointText(codePoint) + ", a character XML cannot carry"),
      FCodePoint(codePoint) {}

std::string DvXMLCheckText(std::string_view text, std::string_view what) {
  return CheckedText(text, what);
}

std::string DvXMLEscape(std::string_view text) {
  const std::string clean = CheckedText(text, "text");
  std::string out;
  out.reserve(clean.size() + 16);
  for (char c : clean) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\r':
        out += "&#13;";  // a literal CR would be read back as a line feed
        break;
      // In an attribute value a literal tab or line feed is read back as a space: as references
      // they survive, and in element content they mean the same.
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// ---- Text conversions ----

TDateTime DvXMLToDateTime(std::string_view text) {
  const std::string_view s = TrimView(text);
  if (s.empty()) return TDateTime();
  std::size_t pos = 0;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(s, pos, 4, year) || !Expect(s, pos, '-') || !ReadDigits(s, pos, 2, month) ||
      !Expect(s, pos, '-') || !ReadDigits(s, pos, 2, day)) {
    BadDateTime(text);
  }
  std::int64_t fractionMs = 0;
  if (pos < s.size() && (s[pos] == 'T' || s[pos] == 't')) {
    ++pos;
    if (!ReadDigits(s, pos, 2, hour) || !Expect(s, pos, ':') || !ReadDigits(s, pos, 2, minute)) {
      BadDateTime(text);
    }
    if (Expect(s, pos, ':') && !ReadDigits(s, pos, 2, second)) BadDateTime(text);
    if (Expect(s, pos, '.')) {
      // Fractional seconds of any length, rounded to the millisecond.
      double scale = 100.0;
      double ms = 0.0;
      const std::size_t start = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        ms += (s[pos] - '0') * scale;
        scale /= 10.0;
        ++pos;
      }
      if (pos == start) BadDateTime(text);
      fractionMs = std::llround(ms);
    }
  }
  int offsetMinutes = 0;
  if (pos < s.size()) {
    if (s[pos] == 'Z' || s[pos] == 'z') {
      ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
      const int sign = s[pos] == '-' ? -1 : 1;
      ++pos;
      int oh, om = 0;
      if (!ReadDigits(s, pos, 2, oh)) BadDateTime(text);
      if (Expect(s, pos, ':')) {
        if (!ReadDigits(s, pos, 2, om)) BadDateTime(text);
      } else if (pos < s.size() && !ReadDigits(s, pos, 2, om)) {
        BadDateTime(text);
      }
      if (oh > 14 || om > 59) BadDateTime(text);
      offsetMinutes = sign * (oh * 60 + om);
    }
  }
  if (pos != s.size()) BadDateTime(text);
  // 24:00:00 is the end of the day, i.e. midnight of the next one.
  bool endOfDay = false;
  if (hour == 24) {
    if (minute != 0 || second != 0 || fractionMs != 0) BadDateTime(text);
    hour = 0;
    endOfDay = true;
  }
  TDateTime base;
  try {
    base = TDateTime::Encode(year, month, day, hour, minute, second, 0);
  } catch (const EConvertError&) {
    BadDateTime(text);
  }
  std::int64_t ms = base.ToUnixMilliseconds() + fractionMs - offsetMinutes * 60000LL;
  if (endOfDay) ms += 86400000LL;
  return TDateTime::FromUnixMilliseconds(ms);
}

std::string DvDateTimeToXML(TDateTime value) {
  if (value.IsZero()) return {};
  int y, mo, d, h, mi, s, ms;
  value.Decode(y, mo, d, h, mi, s, ms);
  char buf[40];
  if (ms != 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, mo, d, h, mi, s, ms);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, mo, d, h, mi, s);
  }
  return buf;
}

std::string DvDateToXML(TDateTime value) {
  if (value.IsZero()) return {};
  int y, mo, d, h, mi, s, ms;
  value.Decode(y, mo, d, h, mi, s, ms);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, mo, d);
  return buf;
}

std::string DvTimeToXML(TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  value.Decode(y, mo, d, h, mi, s, ms);
  char buf[16];
  if (ms != 0) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, mi, s, ms);
  } else {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
  }
  return buf;
}

bool DvXMLToBool(std::string_view text) {
  const std::string_view s = TrimView(text);
  if (s.empty() || s == "0" || DvSameText(s, "false")) return false;
  if (s == "1" || DvSameText(s, "true")) return true;
  throw EConvertError("'" + std::string(text) + "' is not a valid boolean value");
}

std::string DvBoolToXML(bool value) {
  return value ? "true" : "false";
}

std::int64_t DvXMLToInt(std::string_view text) {
  std::string_view s = TrimView(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return v;
}

std::string DvIntToXML(std::int64_t value) {
  return std::to_string(value);
}

double DvXMLToDouble(std::string_view text) {
  std::string_view s = TrimView(text);
  if (s == "INF" || s == "+INF") return HUGE_VAL;
  if (s == "-INF") return -HUGE_VAL;
  if (s == "NaN") return std::nan("");
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  // Only digits, a point, a sign and an exponent: "inf" and "nan" are not xs:double forms.
  const bool lexical = std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
  });
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || !lexical || ec != std::errc() || end != s.data() + s.size()) {
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  }
  return v;
}

std::string DvDoubleToXML(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, ec == std::errc() ? end : buf);
}

std::string DvVariantToXML(const TDvVariant& value) {
  struct TVisitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(bool v) const { return DvBoolToXML(v); }
    std::string operator()(std::int32_t v) const { return DvIntToXML(v); }
    std::string operator()(std::int64_t v) const { return DvIntToXML(v); }
    std::string operator()(double v) const { return DvDoubleToXML(v); }
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(TDateTime v) const { return DvDateTimeToXML(v); }
    std::string operator()(const TBytes& v) const { return DvBase64Encode(v); }
    std::string operator()(const std::vector<std::string>& v) const {
      std::string out;
      for (const std::string& s : v) {
        if (!out.empty()) out += ' ';
        out += s;
      }
      return out;
    }
  };
  return std::visit(TVisitor{}, value);
}

}  // namespace dv
