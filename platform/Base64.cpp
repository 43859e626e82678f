#include "platform/Base64.h"

#include <cstdint>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kImapAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
} // namespace

const char* Base64Alphabet(bool imap) { return imap ? kImapAlphabet : kAlphabet; }

int Base64Value(char c, bool imap) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == (imap ? ',' : '/')) return 63;
  return -1;
}

void Base64EncodeAppend(const void* data, size_t size, std::string& out) {
  const auto* in = static_cast<const uint8_t*>(data);
  const size_t start = out.size();
  out.resize(start + (size + 2) / 3 * 4);
  char* o = &out[start];
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 0x3F];
    *o++ = kAlphabet[(v >> 6) & 0x3F];
    *o++ = kAlphabet[v & 0x3F];
  }
  if (i < size) {
    const bool two = i + 1 < size;
    const uint32_t v = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0u);
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 0x3F];
    *o++ = two ? kAlphabet[(v >> 6) & 0x3F] : '=';
    *o++ = '=';
  }
}

std::string Base64Encode(const void* data, size_t size) {
  std::string out;
  Base64EncodeAppend(data, size, out);
  return out;
}

std::string Base64Encode(const std::string& data) { return Base64Encode(data.data(), data.size()); }

std::string Base64Decode(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int v = Base64Value(c);
    if (v < 0) continue;
    bits = (bits << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count & 0xFF);
    }
  }
  return out;
}
