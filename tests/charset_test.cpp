// Charset names, conversion, charset choice and header encoded words.
#include <gtest/gtest.h>

#include <string>

#include "mail/MimeBuiltinCodecs.h"
#include "mail/MimeCharset.h"

namespace {

const std::string kBody =
    "異常動体を検出しました。\r\n検出時刻[09:05:03]\r\n検出画像を添付します\r\n防犯カメラ・ヴァルド\r\n";

// Switches the system converter off for one test, as on a machine without it.
struct WithoutConverter {
  WithoutConverter() { SetCharsetConverterEnabled(false); }
  ~WithoutConverter() { SetCharsetConverterEnabled(true); }
};

} // namespace

TEST(CharsetTable, FixedValuesAndNames) {
  EXPECT_EQ(CP1125, 107);
  EXPECT_EQ(GetIDFromCP(ISO_8859_1), "ISO-8859-1");
  EXPECT_STREQ(CharsetTableNames(ISO_8859_1),
               "ISO-8859-1 CP819 IBM819 ISO-IR-100 ISO8859-1 ISO_8859-1 ISO_8859-1:1987 L1 LATIN1 CSISOLATIN1");
  EXPECT_STREQ(CharsetTableNames(ISO_2022_JP), "ISO-2022-JP CSISO2022JP");
  EXPECT_EQ(GetIDFromCP(CP932), "CP932");
  EXPECT_EQ(GetIDFromCP(KOI8_U), "KOI8-U");
  EXPECT_EQ(GetIDFromCP(CP895), "CP-895");
  EXPECT_EQ(GetIDFromCP(UTF_7mod), "mUTF-7");
  EXPECT_EQ(GetIDFromCP(static_cast<TMimeCharset>(200)), "ISO-8859-1");
  // Every charset's own name leads back to it.
  for (int i = 0; i < kMimeCharsetCount; ++i) {
    const auto cs = static_cast<TMimeCharset>(i);
    EXPECT_EQ(GetCPFromID(GetIDFromCP(cs)), cs) << GetIDFromCP(cs);
  }
}

TEST(CharsetTable, NameLookupRules) {
  EXPECT_EQ(GetCPFromID("iso-2022-jp"), ISO_2022_JP);
  EXPECT_EQ(GetCPFromID("csISO2022JP"), ISO_2022_JP);
  EXPECT_EQ(GetCPFromID("latin1"), ISO_8859_1);
  EXPECT_EQ(GetCPFromID("Shift_JIS"), SHIFT_JIS);
  EXPECT_EQ(GetCPFromID("x-kamenicky"), CP895);
  EXPECT_EQ(GetCPFromID("IBM-895"), CP895);
  EXPECT_EQ(GetCPFromID("mutf-7"), UTF_7mod);
  EXPECT_EQ(GetCPFromID("ISO-2022"), ISO_8859_1);  // whole words only
  EXPECT_EQ(GetCPFromID("no-such-charset"), ISO_8859_1);
  EXPECT_EQ(GetCPFromID(""), ISO_8859_1);
}

TEST(CharsetTable, SystemCharsetFromCodePage) {
  EXPECT_EQ(GetCurCP(), UTF_8);
  EXPECT_EQ(CharsetFromCodePage(932), CP932);
  EXPECT_EQ(GetIDFromCP(CharsetFromCodePage(1251)), "WINDOWS-1251");
  EXPECT_EQ(CharsetFromCodePage(20127), ISO_8859_1);
  EXPECT_EQ(CharsetFromCodePage(50220), ISO_2022_JP);
  EXPECT_EQ(CharsetFromCodePage(0), UCS_2LE);
  EXPECT_EQ(CharsetFromCodePage(1200), UCS_2LE);
  EXPECT_EQ(CharsetFromCodePage(12345), CP1252);
}

TEST(CharsetConversion, SameCharsetIsUntouched) {
  // Bytes no charset would accept: any converter call would change them.
  const std::string junk("\xFF\xFE\x1B$B\x80\x00z", 8);
  EXPECT_EQ(CharsetConversion(junk, UTF_8, UTF_8), junk);
  EXPECT_EQ(CharsetConversion(junk, CP895, CP895), junk);
}

TEST(CharsetConversion, JapaneseThroughIconv) {
  const std::string jis = CharsetConversion("防犯カメラ", UTF_8, ISO_2022_JP);
  EXPECT_EQ(jis, "\x1B$BKIHH%+%a%i\x1B(B");
  EXPECT_EQ(CharsetConversion(jis, ISO_2022_JP, UTF_8), "防犯カメラ");
  const std::string sjis = CharsetConversion("検出", UTF_8, CP932);
  EXPECT_EQ(sjis, "\x8C\x9F\x8F\x6F");
  // What the target cannot hold is dropped, the rest kept.
  EXPECT_EQ(CharsetConversion("a防b", UTF_8, ISO_8859_1), "ab");
  EXPECT_EQ(CharsetConversion("Stra\xC3\x9F" "e \xE2\x82\xAC", UTF_8, US_ASCII, true), "Strasse EUR");
  // Invalid input bytes are skipped, a cut-off character at the end dropped.
  EXPECT_EQ(CharsetConversion("a\xFF" "b\xE6\x97", UTF_8, ISO_8859_1), "ab");
}

TEST(CharsetConversion, EveryCharsetConvertsWithOrWithoutIconv) {
  // Charsets glibc lacks (the Mac ones, CP895, ...) fall back without a hang.
  for (int i = 0; i < kMimeCharsetCount; ++i) {
    const auto cs = static_cast<TMimeCharset>(i);
    const std::string there = CharsetConversion("Hello, 防犯 World", UTF_8, cs);
    const std::string back = CharsetConversion(there, cs, UTF_8);
    EXPECT_NE(back.find("World"), std::string::npos) << GetIDFromCP(cs) << ": " << back;
  }
}

TEST(CharsetConversion, BuiltInCodesAgreeWithIconv) {
  const std::string text = "A+B & 防犯 1~2 Zürich\r\n";
  const std::string utf7 = CharsetConversion(text, UTF_8, UTF_7);
  const std::string imap = CharsetConversion(text, UTF_8, UTF_7mod);
  const std::string kamenicky = "\x80\x9F\xA9\xB0\xE1";  // Č ť ř ░ ß
  const std::string fromKamenicky = CharsetConversion(kamenicky, CP895, UTF_8);
  EXPECT_EQ(fromKamenicky, "Čťř░ß");
  EXPECT_EQ(CharsetConversion(fromKamenicky, UTF_8, CP895), kamenicky);
  WithoutConverter off;
  EXPECT_EQ(CharsetConversion(utf7, UTF_7, UTF_8), text);
  EXPECT_EQ(CharsetConversion(imap, UTF_7mod, UTF_8), text);
  EXPECT_EQ(CharsetConversion(CharsetConversion(text, UTF_8, UTF_7), UTF_7, UTF_8), text);
  EXPECT_EQ(CharsetConversion(text, UTF_8, UTF_7mod), imap);
  EXPECT_EQ(CharsetConversion(kamenicky, CP895, UTF_8), fromKamenicky);
  // Without the converter an unknown charset is taken byte for byte.
  EXPECT_EQ(CharsetConversion("\x8C\x9F", CP932, ISO_8859_1), "\x8C\x9F");
}

TEST(IdealCharsetCoding, JapaneseBodyWithConverter) {
  EXPECT_EQ(IdealCharsetCoding(kBody, UTF_8, IdealCharsets()), ISO_2022_JP);
  EXPECT_EQ(IdealCharsetCoding("plain text", UTF_8, IdealCharsets()), ISO_8859_1);
  EXPECT_EQ(IdealCharsetCoding("Привет", UTF_8, IdealCharsets()), ISO_8859_5);
  EXPECT_EQ(IdealCharsetCoding("x", UTF_8, TMimeCharsetSet{}), ISO_8859_1);
  // Nothing carries it all: the candidate that keeps most wins, first on ties.
  EXPECT_EQ(IdealCharsetCoding("ÀÉ 防", UTF_8, {ISO_8859_5, ISO_8859_2, ISO_8859_1}), ISO_8859_1);
}

TEST(IdealCharsetCoding, JapaneseBodyWithoutConverter) {
  const std::string sjisBody = CharsetConversion(kBody, UTF_8, CP932);
  WithoutConverter off;
  // Shift_JIS is then read as ISO-8859-1, so the first candidate carries it.
  EXPECT_EQ(IdealCharsetCoding(sjisBody, CP932, IdealCharsets()), ISO_8859_1);
  EXPECT_EQ(CharsetConversion(sjisBody, CP932, ISO_8859_1), sjisBody);
}

TEST(IdealCharsetCoding, LongTextCutInsideACharacter) {
  // 1,024 bytes end inside a character: still ISO-2022-JP.
  std::string text = "ab";
  while (text.size() < 1100) text += "検";
  EXPECT_EQ(IdealCharsetCoding(text, UTF_8, IdealCharsets()), ISO_2022_JP);
  const std::string sjis = CharsetConversion("a" + text, UTF_8, CP932);
  EXPECT_EQ(IdealCharsetCoding(sjis, CP932, IdealCharsets()), ISO_2022_JP);
}

TEST(HeaderWords, PlainSubjectStaysAsItIs) {
  const std::string subject = "Camera 1 - motion alarm 42";
  EXPECT_FALSE(NeedInline(subject));
  EXPECT_EQ(InlineCodeEx(subject, UTF_8), subject);
  EXPECT_FALSE(NeedInline("snake_case"));
  for (const char* s : {"a=b", "(x)", "a:b", "a@b", "a/b", "a?", "a\"b", "tab\there", "é"})
    EXPECT_TRUE(NeedInline(s)) << s;
}

TEST(HeaderWords, UnderscoreInsideAWordIsEscaped) {
  EXPECT_EQ(InlineCodeEx("snake_case: ok", UTF_8), "=?ISO-8859-1?Q?snake=5Fcase=3A_ok?=");
}

TEST(HeaderWords, LongSubjectSplitsAfterASpace) {
  const std::string subject = "Alarm: motion seen by the camera at the back door (09:05:03) again";
  const std::string coded = InlineCodeEx(subject, UTF_8);
  EXPECT_EQ(coded,
            "=?ISO-8859-1?Q?Alarm=3A_motion_seen_by_the_camera_?= "
            "=?ISO-8859-1?Q?at_the_back_door_=2809=3A05=3A03=29_?= "
            "=?ISO-8859-1?Q?again?=");
}

TEST(HeaderWords, JapaneseWordAndAddresses) {
  EXPECT_EQ(InlineCodeEx("防犯", UTF_8), "=?ISO-2022-JP?Q?=1B$BKIHH=1B=28B?=");
  EXPECT_EQ(InlineEmailEx("cam@example.com", UTF_8), "cam@example.com");
  EXPECT_EQ(InlineEmailEx(" Camera <cam@example.com> ", UTF_8), "\"Camera\" <cam@example.com>");
  EXPECT_EQ(InlineEmailEx("\"防犯\" <cam@example.com>", UTF_8),
            "\"=?ISO-2022-JP?Q?=1B$BKIHH=1B=28B?=\" <cam@example.com>");
  EXPECT_EQ(GetEmailDesc("cam@example.com (Back door)"), "Back door");
  EXPECT_EQ(GetEmailAddr("cam@example.com (Back door)"), "cam@example.com");
  EXPECT_EQ(GetEmailAddr("\"Back door\" cam@example.com"), "cam@example.com");
  EXPECT_EQ(GetEmailDesc("<cam@example.com>"), "");
  // A line break in an address cannot start a header line of its own.
  EXPECT_EQ(GetEmailAddr("a@b\r\nBcc: x@y"), "a@b  Bcc: x@y");
}
