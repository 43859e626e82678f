#include <gtest/gtest.h>

#include "platform/TextNumber.h"

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
