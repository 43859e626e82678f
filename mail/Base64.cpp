#include "mail/Base64.h"

#include <cstdint>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
} // namespace

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
