#include "vision/PictureHeader.h"

#include <cctype>
#include <cstring>

namespace {
uint32_t Be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t Be32(const uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }
uint32_t Le16(const uint8_t* p) { return (uint32_t{p[1]} << 8) | p[0]; }
uint32_t Le32(const uint8_t* p) { return (Le16(p + 2) << 16) | Le16(p); }

bool Read(std::istream& in, uint8_t* out, size_t n) {
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  return static_cast<size_t>(in.gcount()) == n;
}

bool IsFrameHeaderMarker(int marker) {
  // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool JpegSize(std::istream& in, int64_t& width, int64_t& height) {
  int steps = 0;
  for (;;) {
    if (in.get() != 0xFF) return false;
    int marker = in.get();
    while (marker == 0xFF) {
      if (++steps > kMaxJpegMarkers) return false;
      marker = in.get();
    }
    if (marker == EOF || ++steps > kMaxJpegMarkers) return false;
    if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    // The end, or a scan before any frame header.
    if (marker == 0xD9 || marker == 0xDA) return false;
    uint8_t length[2];
    if (!Read(in, length, 2) || Be16(length) < 2) return false;
    if (IsFrameHeaderMarker(marker)) {
      uint8_t frame[5];  // precision, height, width
      if (Be16(length) < 2 + sizeof frame || !Read(in, frame, sizeof frame)) return false;
      height = Be16(frame + 1);
      width = Be16(frame + 3);
      return true;
    }
    if (!in.seekg(Be16(length) - 2, std::ios::cur)) return false;
  }
}

// Width and height of a PNM header after its "Pn": whitespace and comments
// between decimal numbers. Each number must end in whitespace: the decoder
// takes whatever follows a number as its end, a "#" too, so a comment there
// would hide from us the size it reads.
bool PnmSize(std::istream& in, int64_t& width, int64_t& height) {
  int64_t* const numbers[] = {&width, &height};
  int bytes = 0;
  for (int64_t* number : numbers) {
    int c = in.get();
    for (;; c = in.get()) {
      if (++bytes > kMaxPnmHeaderBytes || c == EOF) return false;
      if (c == '#') {
        while (c != '\n' && c != '\r' && c != EOF && ++bytes <= kMaxPnmHeaderBytes) c = in.get();
        continue;
      }
      if (!std::isspace(c)) break;
    }
    int digits = 0;
    *number = 0;
    for (; std::isdigit(c); c = in.get()) {
      if (++digits > kMaxPnmDigits) return false;
      *number = *number * 10 + (c - '0');
    }
    if (digits == 0 || !std::isspace(c)) return false;
  }
  return true;
}
} // namespace

bool DeclaredPictureSize(std::istream& in, int64_t& width, int64_t& height) {
  width = height = 0;
  uint8_t head[26] = {};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const size_t got = static_cast<size_t>(in.gcount());
  in.clear();
  if (got >= 24 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(head + 12, "IHDR", 4) == 0) {
    width = Be32(head + 16);
    height = Be32(head + 20);
    return true;
  }
  if (got >= 22 && head[0] == 'B' && head[1] == 'M') {
    const uint32_t infoSize = Le32(head + 14);
    if (infoSize == 12) {  // the old core header: 16-bit sizes
      width = Le16(head + 18);
      height = Le16(head + 20);
      return true;
    }
    if (got < 26 || infoSize < 16) return false;
    width = static_cast<int32_t>(Le32(head + 18));
    height = static_cast<int32_t>(Le32(head + 22));
    if (height < 0) height = -height;  // rows stored top-down
    return true;
  }
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xD8) return in.seekg(2) && JpegSize(in, width, height);
  if (got >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6' && std::isspace(head[2]))
    return in.seekg(2) && PnmSize(in, width, height);
  return false;
}
