// Base64 both ways: every encoder gives the same text of the promised
// length and alphabet, decoding gives the bytes back, and a decoded
// challenge is never longer than its text allows.
#include <cstring>

#include "fuzz/FuzzCheck.h"
#include "platform/Base64.h"
#include "mail/SmtpAuth.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool InAlphabet(char c) { return c != '\0' && std::strchr(kAlphabet, c) != nullptr; }

void CheckEncoded(const std::string& bytes, const std::string& text) {
  FUZZ_CHECK(text.size() == (bytes.size() + 2) / 3 * 4);
  const size_t pad = bytes.size() % 3 == 0 ? 0 : 3 - bytes.size() % 3;
  for (size_t i = 0; i < text.size(); ++i)
    FUZZ_CHECK(i + pad >= text.size() ? text[i] == '=' : InAlphabet(text[i]));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = AsText(data, size);

  const std::string encoded = Base64Encode(bytes.data(), bytes.size());
  CheckEncoded(bytes, encoded);
  FUZZ_CHECK(Base64Encode(bytes) == encoded);
  std::string appended = "prefix";
  Base64EncodeAppend(bytes.data(), bytes.size(), appended);
  FUZZ_CHECK(appended == "prefix" + encoded);
  FUZZ_CHECK(Base64Decode(encoded) == bytes);

  // The same bytes as a server's challenge.
  std::string sextets;
  for (char c : bytes) {
    if (c == '=') break;
    if (InAlphabet(c)) sextets.push_back(c);
  }
  const std::string decoded = Base64Decode(bytes);
  FUZZ_CHECK(decoded.size() == sextets.size() * 6 / 8);
  const std::string again = Base64Encode(decoded);
  const size_t whole = decoded.size() / 3 * 4;
  FUZZ_CHECK(again.compare(0, whole, sextets, 0, whole) == 0);

  const std::string answer = Base64Decode(smtp::CramMd5Response("user", bytes, bytes));
  FUZZ_CHECK(answer.size() == 5 + 32 && answer.compare(0, 5, "user ") == 0);
  FUZZ_CHECK(answer.find_first_not_of("0123456789abcdef", 5) == std::string::npos);
  return 0;
}
