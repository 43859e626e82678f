#include "mail/QuotedPrintable.h"

#include <cstdint>
#include <cstring>

namespace {
const char kHex[] = "0123456789ABCDEF";

void PutTriplet(std::string& out, uint8_t b) {
  out.push_back('=');
  out.push_back(kHex[b >> 4]);
  out.push_back(kHex[b & 0x0F]);
}

bool IsControlOrHigh(uint8_t b) { return b < 0x20 || b >= 0x7F; }
} // namespace

std::string QpEncodeLine(const std::string& line) {
  std::string out;
  out.reserve(line.size() + line.size() / 2);
  for (char c : line) {
    const auto b = static_cast<uint8_t>(c);
    if (IsControlOrHigh(b) || b == '=') PutTriplet(out, b);
    else out.push_back(c);
  }
  return out;
}

void QpCutLine(const std::string& encoded, std::vector<std::string>& out, size_t maxLength) {
  size_t pos = 0;
  const size_t n = encoded.size();
  while (n - pos >= maxLength) {
    // Positions count from 1 within the rest; 0 means none found.
    size_t e = 0, s = 0;
    for (size_t k = 0; k < maxLength; ++k) {
      if (encoded[pos + k] == '=') e = k + 1;
      else if (encoded[pos + k] == ' ') s = k + 1;
    }
    size_t cut;
    if (e == 0 && s == 0) cut = maxLength;
    else if (s < e) cut = e - 1;
    else cut = s - 1;
    if (cut == 0) cut = maxLength;
    std::string piece = encoded.substr(pos, cut);
    pos += cut;
    if (pos < n) piece.push_back('=');
    out.push_back(std::move(piece));
  }
  if (pos < n || encoded.empty()) out.push_back(encoded.substr(pos));
}

std::string QpEncodeHeaderSafe(const std::string& text) {
  static const char kSpecials[] = "=()[]<>:;,/?\\\"_@";
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    const auto b = static_cast<uint8_t>(c);
    if (IsControlOrHigh(b) || std::strchr(kSpecials, c) != nullptr) PutTriplet(out, b);
    else out.push_back(c);
  }
  return out;
}
