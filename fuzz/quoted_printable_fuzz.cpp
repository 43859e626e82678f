// Quoted-printable: the encoded text is printable ASCII that decodes to the
// bytes given, header words carry none of the characters that would end
// them, and cutting a line into pieces neither loses nor splits anything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

#include "fuzz/FuzzCheck.h"
#include "mail/QuotedPrintable.h"

namespace {
// Smallest piece length that can hold a whole "=XX".
constexpr size_t kShortestCut = 3;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strict decoding: any "=" must start a well-formed "=XX".
bool Decode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E) return false;
    if (c != '=') {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const size_t cutAt = in.ConsumeBool() ? kQpMaxLineLength
                                        : in.ConsumeIntegralInRange<size_t>(kShortestCut, 100);
  const std::string line = in.ConsumeRemainingBytesAsString();

  std::string decoded;
  const std::string encoded = QpEncodeLine(line);
  FUZZ_CHECK(Decode(encoded, decoded) && decoded == line);
  FUZZ_CHECK(encoded.size() <= 3 * line.size());

  const std::string header = QpEncodeHeaderSafe(line);
  FUZZ_CHECK(Decode(header, decoded) && decoded == line);
  for (size_t i = 0; i < header.size(); ++i) {
    if (header[i] == '=') {
      i += 2;
      continue;
    }
    FUZZ_CHECK(std::strchr("()[]<>:;,/?\\\"_@", header[i]) == nullptr);
  }

  std::vector<std::string> pieces;
  QpCutLine(encoded, pieces, cutAt);
  FUZZ_CHECK(!pieces.empty());
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string piece = pieces[i];
    const bool last = i + 1 == pieces.size();
    if (!last) {
      FUZZ_CHECK(!piece.empty() && piece.back() == '=');
      piece.pop_back();
    }
    FUZZ_CHECK(piece.size() <= cutAt);
    // Each piece decodes on its own: no "=XX" is cut in two.
    FUZZ_CHECK(Decode(piece, decoded));
    joined += piece;
  }
  FUZZ_CHECK(joined == encoded);
  return 0;
}
