// Header texts: what goes into a header has no line break, each encoded
// word is well formed and decodes on its own, a text whose charset carries
// it comes back unchanged, and the header stays within a bounded size.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/MimeCharset.h"

namespace {
// Longest text the charset choice looks at whole.
constexpr size_t kWholeSample = 1024;
// ESC, SO and SI switch the state of stateful charsets: a text holding
// them cannot be carried by one, whatever the words.
const char kShiftControls[] = "\x1b\x0e\x0f";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "=?name?Q?text?=" words separated by one space; false when malformed.
bool DecodeWords(const std::string& header, const std::string& name,
                 std::vector<std::string>& words) {
  const std::string open = "=?" + name + "?Q?";
  size_t pos = 0;
  while (pos < header.size()) {
    if (header.compare(pos, open.size(), open) != 0) return false;
    pos += open.size();
    const size_t close = header.find("?=", pos);
    if (close == std::string::npos) return false;
    std::string word;
    for (size_t i = pos; i < close; ++i) {
      const char c = header[i];
      if (c == '_') {
        word.push_back(' ');
      } else if (c == '=') {
        if (i + 2 >= close || HexValue(header[i + 1]) < 0 || HexValue(header[i + 2]) < 0)
          return false;
        word.push_back(static_cast<char>(HexValue(header[i + 1]) * 16 + HexValue(header[i + 2])));
        i += 2;
      } else if (c <= ' ' || c > '~' || c == '?') {
        return false;
      } else {
        word.push_back(c);
      }
    }
    words.push_back(word);
    pos = close + 2;
    if (pos < header.size()) {
      if (header[pos] != ' ') return false;
      ++pos;
    }
  }
  return !words.empty();
}

void CheckNoLineBreak(const std::string& header) {
  FUZZ_CHECK(header.find_first_of("\r\n") == std::string::npos);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool builtin = in.ConsumeBool();
  const std::string text = in.ConsumeRemainingBytesAsString();
  SetCharsetConverterEnabled(!builtin);

  const std::string header = InlineCodeEx(text, UTF_8);
  CheckNoLineBreak(header);
  FUZZ_CHECK(header.size() <= 64 + 16 * text.size());
  if (!NeedInline(text)) {
    FUZZ_CHECK(header == text);
  } else if (text.find_first_of(kShiftControls) == std::string::npos) {
    const TMimeCharset cs = IdealCharsetCoding(text, UTF_8, IdealCharsets());
    FUZZ_CHECK(IdealCharsets().count(cs) == 1);
    std::vector<std::string> words;
    FUZZ_CHECK(DecodeWords(header, GetIDFromCP(cs), words));
    std::string whole, wordByWord;
    for (const std::string& word : words) {
      whole += word;
      wordByWord += CharsetConversion(word, cs, UTF_8);
    }
    // Every word stands alone: a stateful charset is back in its first
    // state at the end of each.
    const std::string back = CharsetConversion(whole, cs, UTF_8);
    FUZZ_CHECK(wordByWord == back);
    const bool carried = CharsetConversion(CharsetConversion(text, UTF_8, cs), cs, UTF_8) == text;
    if (carried && text.size() <= kWholeSample) FUZZ_CHECK(back == text);
  }

  const std::string address = InlineEmailEx(text, UTF_8);
  CheckNoLineBreak(address);
  const std::string addr = GetEmailAddr(text);
  CheckNoLineBreak(addr);
  FUZZ_CHECK(addr.size() <= text.size());
  FUZZ_CHECK(GetEmailDesc(text).size() <= text.size());
  return 0;
}
