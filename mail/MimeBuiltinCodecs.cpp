#include "mail/MimeBuiltinCodecs.h"

#include <cstdint>

#include "platform/Base64.h"

namespace mimecodec {
namespace {

void PutUnit(std::string& out, uint32_t u) {
  out.push_back(static_cast<char>((u >> 8) & 0xFF));
  out.push_back(static_cast<char>(u & 0xFF));
}

uint32_t UnitAt(const std::string& ucs2, size_t i) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(ucs2[i])) << 8) |
         static_cast<uint8_t>(ucs2[i + 1]);
}

// Characters UTF-7 writes as themselves (RFC 2152 sets D and O, without
// the ones mail gateways mangle).
bool Utf7Direct(uint32_t u) {
  if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')) return true;
  switch (u) {
  case '\'': case '(': case ')': case ',': case '-': case '.': case '/': case ':': case '?':
  case ' ': case '\t': case '\r': case '\n': case '!': case '"': case '#': case '$': case '%':
  case '&': case '*': case ';': case '<': case '=': case '>': case '@': case '[': case ']':
  case '^': case '_': case '`': case '{': case '|': case '}':
    return true;
  default:
    return false;
  }
}

// Kamenicky 0x80..0xFF; the upper quarter matches code page 437.
const uint16_t kCp895High[128] = {
    0x010C, 0x00FC, 0x00E9, 0x010F, 0x00E4, 0x010E, 0x0164, 0x010D,  // 80
    0x011B, 0x011A, 0x0139, 0x00CD, 0x013E, 0x013A, 0x00C4, 0x00C1,  // 88
    0x00C9, 0x017E, 0x017D, 0x00F4, 0x00F6, 0x00D3, 0x016F, 0x00DA,  // 90
    0x00FD, 0x00D6, 0x00DC, 0x0160, 0x013D, 0x00DD, 0x0158, 0x0165,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x0148, 0x0147, 0x016E, 0x00D4,  // A0
    0x0161, 0x0159, 0x0155, 0x0154, 0x00BC, 0x00A7, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // F8
};

} // namespace

std::string Utf8ToUcs2(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const uint8_t b = static_cast<uint8_t>(text[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (b < 0x80) { cp = b; len = 1; }
    else if (b >= 0xC2 && b <= 0xDF) { cp = b & 0x1F; len = 2; }
    else if (b >= 0xE0 && b <= 0xEF) { cp = b & 0x0F; len = 3; }
    else if (b >= 0xF0 && b <= 0xF4) { cp = b & 0x07; len = 4; }
    else { ++i; continue; }  // not a lead byte: dropped
    if (i + len > n) break;  // cut off at the end
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      const uint8_t c = static_cast<uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) { ++i; continue; }
    i += len;
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    // UCS-2 holds neither surrogates nor characters beyond the first plane.
    if (overlong || cp > 0xFFFF || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
    PutUnit(out, cp);
  }
  return out;
}

std::string Ucs2ToUtf8(const std::string& ucs2) {
  std::string out;
  out.reserve(ucs2.size() * 3 / 2);
  for (size_t i = 0; i + 1 < ucs2.size(); i += 2) {
    const uint32_t u = UnitAt(ucs2, i);
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

std::string Utf7ToUcs2(const std::string& text, bool imap) {
  const char shift = imap ? '&' : '+';
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != shift) {
      if (static_cast<uint8_t>(c) < 0x80) PutUnit(out, static_cast<uint8_t>(c));  // else not UTF-7: dropped
      ++i;
      continue;
    }
    ++i;
    if (i < text.size() && text[i] == '-') {  // "+-" or "&-" is the shift character itself
      PutUnit(out, static_cast<uint8_t>(shift));
      ++i;
      continue;
    }
    uint32_t bits = 0;
    int nbits = 0;
    while (i < text.size()) {
      const int v = Base64Value(text[i], imap);
      if (v < 0) break;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        PutUnit(out, (bits >> nbits) & 0xFFFF);
      }
      ++i;
    }
    if (i < text.size() && text[i] == '-') ++i;  // the run's terminator is absorbed
  }
  return out;
}

std::string Ucs2ToUtf7(const std::string& ucs2, bool imap) {
  const char shift = imap ? '&' : '+';
  const char* alphabet = Base64Alphabet(imap);
  std::string out;
  size_t i = 0;
  const size_t n = ucs2.size() & ~static_cast<size_t>(1);
  auto direct = [imap](uint32_t u) { return imap ? (u >= 0x20 && u <= 0x7E) : Utf7Direct(u); };
  while (i < n) {
    const uint32_t u = UnitAt(ucs2, i);
    if (u == static_cast<uint32_t>(shift)) {
      out.push_back(shift);
      out.push_back('-');
      i += 2;
    } else if (direct(u)) {
      out.push_back(static_cast<char>(u));
      i += 2;
    } else {
      out.push_back(shift);
      uint32_t bits = 0;
      int nbits = 0;
      while (i < n) {
        const uint32_t w = UnitAt(ucs2, i);
        if (direct(w) || w == static_cast<uint32_t>(shift)) break;
        bits = (bits << 16) | w;
        nbits += 16;
        while (nbits >= 6) {
          nbits -= 6;
          out.push_back(alphabet[(bits >> nbits) & 0x3F]);
        }
        i += 2;
      }
      if (nbits > 0) out.push_back(alphabet[(bits << (6 - nbits)) & 0x3F]);
      out.push_back('-');
    }
  }
  return out;
}

std::string Latin1ToUcs2(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) PutUnit(out, static_cast<uint8_t>(c));
  return out;
}

std::string Ucs2ToLatin1(const std::string& ucs2) {
  std::string out;
  out.reserve(ucs2.size() / 2);
  for (size_t i = 0; i + 1 < ucs2.size(); i += 2) {
    const uint32_t u = UnitAt(ucs2, i);
    if (u <= 0xFF) out.push_back(static_cast<char>(u));
  }
  return out;
}

std::string Cp895ToUcs2(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    const uint8_t b = static_cast<uint8_t>(c);
    PutUnit(out, b < 0x80 ? b : kCp895High[b - 0x80]);
  }
  return out;
}

std::string Ucs2ToCp895(const std::string& ucs2) {
  std::string out;
  out.reserve(ucs2.size() / 2);
  for (size_t i = 0; i + 1 < ucs2.size(); i += 2) {
    const uint32_t u = UnitAt(ucs2, i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    for (int k = 0; k < 128; ++k) {
      if (kCp895High[k] == u) {
        out.push_back(static_cast<char>(0x80 + k));
        break;
      }
    }
  }
  return out;
}

} // namespace mimecodec
