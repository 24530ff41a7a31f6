#include "installer/text/utf8_decoder.h"

#include <cstdint>
#include <cstring>

#include "platform/memory/huge_pages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonarell::installer {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Copies the ASCII run at the start of [in, end) and returns how many bytes it took.
std::size_t copyAscii(const unsigned char* in, const unsigned char* end, char16_t* out) {
  const unsigned char* p = in;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(chunk) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(chunk, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(chunk, zero));
    p += 16;
    out += 16;
  }
#endif
  while (p < end && *p < 0x80) *out++ = *p++;
  return static_cast<std::size_t>(p - in);
}

bool inRange(unsigned char b, unsigned char lo, unsigned char hi) { return b >= lo && b <= hi; }

// Decodes into `begin`, which has room for bytes.size() units; returns the units written.
std::size_t decodeInto(std::string_view bytes, char16_t* const begin) {
  char16_t* out = begin;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();

  while (p < end) {
    if (*p < 0x80) {
      const std::size_t n = copyAscii(p, end, out);
      p += n;
      out += n;
      continue;
    }
    // Runs of well-formed two- and three-byte sequences (most non-ASCII text in
    // a log: accented Latin, Chinese) go through without the general checks.
    while (end - p >= 3) {
      const unsigned b0 = p[0], b1 = p[1], b2 = p[2];
      if ((b0 & 0xF0) == 0xE0 && (b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80) {
        const unsigned cp = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
        if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) break;  // overlong or surrogate
        *out++ = static_cast<char16_t>(cp);
        p += 3;
      } else if ((b0 & 0xE0) == 0xC0 && b0 >= 0xC2 && (b1 & 0xC0) == 0x80) {
        *out++ = static_cast<char16_t>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
        p += 2;
      } else {
        break;
      }
    }
    if (p >= end) break;
    if (*p < 0x80) continue;
    const unsigned char lead = *p;
    int need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    std::uint32_t cp = 0;
    if (inRange(lead, 0xC2, 0xDF)) {
      need = 1;
      cp = lead & 0x1F;
    } else if (inRange(lead, 0xE0, 0xEF)) {
      need = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (inRange(lead, 0xF0, 0xF4)) {
      need = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      *out++ = kReplacement;  // a byte that never starts a sequence
      ++p;
      continue;
    }
    const unsigned char* q = p + 1;
    bool complete = true;
    for (int i = 0; i < need; ++i, ++q) {
      const unsigned char l = i == 0 ? lo : 0x80;
      const unsigned char h = i == 0 ? hi : 0xBF;
      if (q >= end || !inRange(*q, l, h)) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (*q & 0x3F);
    }
    if (!complete) {
      *out++ = kReplacement;  // the maximal subpart [p, q); *q starts afresh
      p = q;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *out++ = static_cast<char16_t>(cp);
    }
    p = q;
  }
  return static_cast<std::size_t>(out - begin);
}

}  // namespace

QString decodeUtf8(std::string_view bytes) {
  // UTF-16 never needs more units than UTF-8 has bytes.
  QString result(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
  char16_t* const begin = reinterpret_cast<char16_t*>(result.data());
  memory::preferHugePages(begin, bytes.size() * sizeof(char16_t));

  result.truncate(static_cast<qsizetype>(decodeInto(bytes, begin)));
  return result;
}

}  // namespace sonarell::installer
