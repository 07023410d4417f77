// The host's text converters: UTF-8 <-> UTF-16 for code page 1208, both as the C operations
// cciMbsToUcs / cciUcsToMbs and as the C++ helpers toUtf16 / toUtf8. Ill-formed input becomes
// U+FFFD (one per maximal ill-formed subpart); output limits are honoured and a character is
// never split across the limit.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "host_impl.h"
#include "huge_pages.h"

namespace memhost {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from [p, end) and advances p. Never reads at or past `end`.
char32_t decodeUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  int more;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return kReplacement;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  for (int i = 0; i < more; ++i) {
    if (p == end || *p < low || *p > high) return kReplacement;  // the bad byte starts anew
    cp = (cp << 6) | (*p++ & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return cp;
}

// Decodes one code point from [p, end) of UTF-16 and advances p.
template <typename Unit>
char32_t decodeUtf16(const Unit*& p, const Unit* end) {
  const char32_t unit = *p++;
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit <= 0xDBFF && p != end && *p >= 0xDC00 && *p <= 0xDFFF) {
    const char32_t low = *p++;
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  return kReplacement;  // lone high or low surrogate
}

template <typename Unit>
int encodeUtf16(char32_t cp, Unit out[2]) {
  if (cp < 0x10000) {
    out[0] = static_cast<Unit>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<Unit>(0xD800 + (cp >> 10));
  out[1] = static_cast<Unit>(0xDC00 + (cp & 0x3FF));
  return 2;
}

int encodeUtf8(char32_t cp, char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Copies the ASCII run at the front of [p, end) while `room` lasts; returns its length. Blocks
// of sixteen units are checked and copied at once.
template <typename In, typename Out>
std::size_t copyAscii(const In* p, const In* end, Out* out, std::size_t room) {
  constexpr std::size_t kBlock = 16;
  const std::size_t limit = std::min(static_cast<std::size_t>(end - p), room);
  std::size_t n = 0;
  while (n + kBlock <= limit) {
    uint32_t seen = 0;
    for (std::size_t i = 0; i < kBlock; ++i) seen |= static_cast<uint32_t>(p[n + i]);
    if (seen >= 0x80) break;
    for (std::size_t i = 0; i < kBlock; ++i) out[n + i] = static_cast<Out>(p[n + i]);
    n += kBlock;
  }
  while (n < limit && static_cast<uint32_t>(p[n]) < 0x80) {
    out[n] = static_cast<Out>(p[n]);
    ++n;
  }
  return n;
}

// Writes whole characters while they fit in `limit` output units, then a terminator when it
// still fits. Returns the length the whole conversion needs; `cut` tells whether anything,
// the terminator included, was left out.
template <typename In, typename Out, typename Decode, typename Encode>
int convert(const In* begin, const In* end, Out* output, int limit, Decode decode, Encode encode,
            bool& cut) {
  long needed = 0;
  long written = 0;
  const long room = output ? (limit > 0 ? limit : 0) : 0;
  cut = false;
  for (const In* p = begin; p != end;) {
    if (!cut) {
      const std::size_t n = copyAscii(p, end, output + written, static_cast<std::size_t>(room - written));
      p += n;
      written += static_cast<long>(n);
      needed += static_cast<long>(n);
      if (p == end) break;
    }
    // One character the long way: not ASCII, or past the output limit.
    Out units[4];
    const int n = encode(decode(p, end), units);
    if (!cut && written + n <= room) {
      std::memcpy(output + written, units, sizeof(Out) * static_cast<std::size_t>(n));
      written += n;
    } else {
      cut = true;
    }
    needed += n;
  }
  if (written < room) {
    output[written] = 0;
  } else {
    cut = true;  // the terminator itself did not fit
  }
  return needed > INT32_MAX ? INT32_MAX : static_cast<int>(needed);
}

}  // namespace

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());  // never more units than bytes
  hugepages::prefer(out.data(), utf8.size() * sizeof(char16_t));
  out.resize(utf8.size());
  const auto* begin = reinterpret_cast<const unsigned char*>(utf8.data());
  bool cut = false;
  const int n = convert(begin, begin + utf8.size(), out.data(),
                        static_cast<int>(std::min<std::size_t>(utf8.size() + 1, INT32_MAX)), decodeUtf8,
                        encodeUtf16<char16_t>, cut);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  // Three bytes per unit always hold the text (a pair takes four for its two units).
  std::string out(3 * utf16.size(), '\0');
  bool cut = false;
  const int n = convert(utf16.data(), utf16.data() + utf16.size(), out.data(),
                        static_cast<int>(std::min<std::size_t>(out.size() + 1, INT32_MAX)),
                        decodeUtf16<char16_t>, encodeUtf8, cut);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace memhost

using memhost::Call;
using memhost::Op;

namespace {

// What both converters check before converting: a fault armed for the call, the input, the
// code page. False when the call is over (its return code set).
bool mayConvert(Call& call, const void* input, int codePage) {
  if (!call.proceeds(input != nullptr)) return false;
  if (codePage != CCI_CODEPAGE_UTF8) {
    call.fail(memhost::kRcUnsupportedCodePage);
    return false;
  }
  return true;
}

}  // namespace

extern "C" int cciMbsToUcs(int* rc, const char* input, CciChar* output, int outputLimit, int codePage) {
  Call call(Op::cciMbsToUcs, rc);
  if (!mayConvert(call, input, codePage)) return 0;
  const auto* begin = reinterpret_cast<const unsigned char*>(input);
  bool cut = false;
  const int needed = memhost::convert(begin, begin + std::strlen(input), output, outputLimit,
                                      memhost::decodeUtf8, memhost::encodeUtf16<CciChar>, cut);
  if (cut) call.fail(CCI_BUFFER_TOO_SMALL);
  return needed;
}

extern "C" int cciUcsToMbs(int* rc, const CciChar* input, char* output, int outputLimit, int codePage) {
  Call call(Op::cciUcsToMbs, rc);
  if (!mayConvert(call, input, codePage)) return 0;
  // ASCII that fits with its terminator, as most values are: one pass finds the end and copies;
  // anything else is converted from the start the long way.
  const std::size_t room = output != nullptr && outputLimit > 0 ? static_cast<std::size_t>(outputLimit) : 0;
  std::size_t n = 0;
  for (; n < room && static_cast<CciChar>(input[n] - 1) < 0x7f; ++n) output[n] = static_cast<char>(input[n]);
  if (n < room && input[n] == 0) {
    output[n] = '\0';
    return static_cast<int>(n);
  }
  bool cut = false;
  const int needed = memhost::convert(input, input + memhost::unitLength(input), output, outputLimit,
                                      memhost::decodeUtf16<CciChar>, memhost::encodeUtf8, cut);
  if (cut) call.fail(CCI_BUFFER_TOO_SMALL);
  return needed;
}
