#include <gtest/gtest.h>

#include "mail/SmtpReply.h"
#include "platform/TextNumber.h"
#include "pop3/Pop3Error.h"
#include "pop3/Pop3Reply.h"
#include "settings/ZBRegIni.h"
#include "support/TempDir.h"

namespace {
// The result, or "no" when the text is refused.
std::string Read(const std::string& text, TNumberSign sign = TNumberSign::Allowed) {
  int32_t value = 12345;
  if (!TextToInt32(text, value, sign)) {
    EXPECT_EQ(value, 12345) << "a refused text changed the value: " << text;
    return "no";
  }
  return std::to_string(value);
}
} // namespace

TEST(TextNumber, DigitsWithAnOptionalSign) {
  EXPECT_EQ(Read("0"), "0");
  EXPECT_EQ(Read("15"), "15");
  EXPECT_EQ(Read("+15"), "15");
  EXPECT_EQ(Read("-15"), "-15");
  EXPECT_EQ(Read("-0"), "0");
  EXPECT_EQ(Read("007"), "7");
  EXPECT_EQ(Read("000000000000000000000000000042"), "42");
}

TEST(TextNumber, AnythingButOneWholeNumberIsRefused) {
  for (const char* text : {"", "+", "-", "+-1", "--1", " 1", "1 ", "1x", "x1", "1.5", "0x10",
                           "1e3", "\t1", "1\n", "١"})
    EXPECT_EQ(Read(text), "no") << text;
}

TEST(TextNumber, ThirtyTwoBitRangeIsTheLimit) {
  EXPECT_EQ(Read("2147483647"), "2147483647");
  EXPECT_EQ(Read("-2147483648"), "-2147483648");
  EXPECT_EQ(Read("2147483648"), "no");
  EXPECT_EQ(Read("-2147483649"), "no");
  EXPECT_EQ(Read("4294967296"), "no");  // would wrap to 0 in 32 bits
  EXPECT_EQ(Read("99999999999999999999999999"), "no");
}

TEST(TextNumber, SignRefusedWhenTheCallerSaysSo) {
  EXPECT_EQ(Read("250", TNumberSign::Refused), "250");
  EXPECT_EQ(Read("+250", TNumberSign::Refused), "no");
  EXPECT_EQ(Read("-1", TNumberSign::Refused), "no");
}

// Each reader of numbers keeps its own rule around the shared one.
TEST(TextNumber, CallersKeepTheirOwnRules) {
  // SMTP: digits only, at most nine of them.
  EXPECT_EQ(smtp::SizeOfCapability("SIZE 999999999"), 999999999);
  EXPECT_EQ(smtp::SizeOfCapability("SIZE 0000000001"), 0);
  EXPECT_EQ(smtp::SizeOfCapability("SIZE +5"), 0);
  EXPECT_EQ(smtp::ReplyCode("-25 no"), 0);
  // POP3: a signed number between "+OK " and the next blank.
  EXPECT_EQ(ParseMessageCount("+OK +3 120"), 3);
  EXPECT_THROW(ParseMessageCount("+OK 3x 120"), EPop3ConvertError);
  EXPECT_THROW(ParseMessageCount("+OK 2147483648 1"), EPop3ConvertError);
  // Settings file: blanks before the number, none after.
  TempDir dir;
  WriteFileBytes(dir.File("Vardocam.reg"),
                 "Windows Registry Editor Version 5.00\n\n"
                 "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]\n"
                 "\"A\"=\" \t-15\"\n\"B\"=\"15 \"\n");
  ZBRegIni store(dir.File("Vardocam.reg"));
  EXPECT_EQ(store.ReadInteger("SETTING", "A", 1), -15);
  EXPECT_EQ(store.ReadInteger("SETTING", "B", 1), 1);
}
