// Charset conversions: nothing grows beyond a fixed factor, a valid text
// goes through UCS-2 and back unchanged, the built-in codecs agree with the
// system converter, and converting what came back once changes nothing more.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/MimeBuiltinCodecs.h"
#include "mail/MimeCharset.h"

namespace {
// Widest growth of any charset pair: UCS-4 of single bytes, escapes of
// the ISO-2022 family around every character.
constexpr size_t kGrowthFactor = 16;
// ESC, SO and SI switch the state of stateful charsets.
const char kShiftControls[] = "\x1b\x0e\x0f";

// Well-formed UTF-8 of characters in the basic plane.
bool IsBmpUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t n;
    uint32_t u;
    if (b < 0x80) { ++i; continue; }
    if (b >= 0xC2 && b <= 0xDF) { n = 1; u = b & 0x1F; }
    else if (b >= 0xE0 && b <= 0xEF) { n = 2; u = b & 0x0F; }
    else return false;
    if (i + n >= text.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      u = u << 6 | (c & 0x3F);
    }
    if ((n == 2 && u < 0x800) || (u >= 0xD800 && u <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

// UCS-2 without surrogate halves, as any text of the basic plane.
std::string PlainUcs2(std::string ucs2) {
  ucs2.resize(ucs2.size() & ~size_t{1});
  for (size_t i = 0; i < ucs2.size(); i += 2)
    if ((static_cast<unsigned char>(ucs2[i]) & 0xF8) == 0xD8) ucs2[i] = 0;
  return ucs2;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const auto from = static_cast<TMimeCharset>(in.ConsumeIntegralInRange<int>(0, kMimeCharsetCount - 1));
  const auto to = static_cast<TMimeCharset>(in.ConsumeIntegralInRange<int>(0, kMimeCharsetCount - 1));
  const bool transliterate = in.ConsumeBool();
  const std::string text = in.ConsumeRemainingBytesAsString();

  SetCharsetConverterEnabled(true);
  const std::string converted = CharsetConversion(text, from, to, transliterate);
  FUZZ_CHECK(converted.size() <= kGrowthFactor * text.size() + 64);
  if (from != UCS_2) FUZZ_CHECK(CharsetConversion(text, from, UCS_2).size() % 2 == 0);

  if (IsBmpUtf8(text)) {
    FUZZ_CHECK(CharsetConversion(CharsetConversion(text, UTF_8, UCS_2), UCS_2, UTF_8) == text);
    FUZZ_CHECK(mimecodec::Utf8ToUcs2(text) == CharsetConversion(text, UTF_8, UCS_2));
    FUZZ_CHECK(mimecodec::Ucs2ToUtf8(mimecodec::Utf8ToUcs2(text)) == text);
    // Once through a charset the program may choose, a text is stable;
    // the shift controls of the ISO-2022 family are no text it can carry.
    for (TMimeCharset cs : IdealCharsets()) {
      if (text.find_first_of(kShiftControls) != std::string::npos) break;
      const std::string once = CharsetConversion(CharsetConversion(text, UTF_8, cs), cs, UTF_8);
      const std::string twice = CharsetConversion(CharsetConversion(once, UTF_8, cs), cs, UTF_8);
      FUZZ_CHECK(once == twice);
    }
  }

  // The built-in codecs: UTF-7 both ways, and one byte per character.
  const std::string units = PlainUcs2(text);
  for (bool imap : {false, true}) {
    const std::string utf7 = mimecodec::Ucs2ToUtf7(units, imap);
    FUZZ_CHECK(mimecodec::Utf7ToUcs2(utf7, imap) == units);
    for (char c : utf7) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
    if (!imap) FUZZ_CHECK(CharsetConversion(utf7, UTF_7, UCS_2) == units);
    FUZZ_CHECK(mimecodec::Utf7ToUcs2(text, imap).size() <= 2 * text.size());
  }
  FUZZ_CHECK(mimecodec::Ucs2ToLatin1(mimecodec::Latin1ToUcs2(text)) == text);
  FUZZ_CHECK(mimecodec::Ucs2ToCp895(mimecodec::Cp895ToUcs2(text)) == text);
  return 0;
}
