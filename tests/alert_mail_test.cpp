#include <gtest/gtest.h>

#include "mail/AlertMail.h"
#include "settings/Vardocamdef.h"

TEST(MailTexts, SubjectConvertsToTheExactIso2022JpBytes) {
  const std::string sjis = Utf8ToCp932("異常動体検出(09:05:03)-");
  EXPECT_EQ(SjisToIso2022Jp(sjis), "\x1B$B0[>oF0BN8!=P\x1B(B(09:05:03)-");
  // The whole Subject ends inside a double-byte run: the escape back closes it.
  const std::string whole = SjisToIso2022Jp(Utf8ToCp932("状況報告画像(12:00:00)-防犯カメラ・ヴァルド"));
  EXPECT_EQ(whole.substr(whole.size() - 3), "\x1B(B");
  EXPECT_EQ(whole.substr(0, 3), "\x1B$B");
}

TEST(MailTexts, SingleBytesPassAndCrLfBecomesLf) {
  EXPECT_EQ(SjisToIso2022Jp("a\r\nb\rc"), "a\nb\rc");
  // Half-width katakana stays a single 8-bit byte.
  EXPECT_EQ(SjisToIso2022Jp("\xB1"), "\xB1");
  // A lead byte with no partner at the end is not read past.
  EXPECT_EQ(SjisToIso2022Jp("x\x82"), "x\x82");
}

TEST(MailTexts, SjisPairArithmetic) {
  EXPECT_EQ(SjisPairToJis(0x88, 0xD9), "\x30\x5B");  // 異
  EXPECT_EQ(SjisPairToJis(0x82, 0xA0), "\x24\x22");  // あ
  EXPECT_EQ(SjisPairToJis(0xE0, 0x40), "\x5F\x21");  // 漾: second half of the lead range
}

TEST(MailTexts, AnsiToUtf8CopiesAnyLength) {
  const std::string longAddress = std::string(5000, 'a') + "@example.jp";
  std::string out;
  size_t length = 0;
  EXPECT_TRUE(AnsiToUtf8(longAddress, &out, length));
  EXPECT_EQ(out, longAddress);
  EXPECT_EQ(length, longAddress.size());
  EXPECT_TRUE(AnsiToUtf8("宛先", nullptr, length));
  EXPECT_EQ(length, 7u);
}

TEST(MailSettings, FillCopiesTheSendAndReceiveSides) {
  AppSettings = typVardocam{};
  AppSettings.MAIL_HOSTNAME = "smtp";
  AppSettings.MAIL_CONNECT_TYPE = 2;
  AppSettings.MAIL_PORTNUMBER = 465;
  AppSettings.MAIL_PASSWORD = "send";
  AppSettings.MAIL_TOADDRESS = "to@example.jp";
  AppSettings.MAIL_R_HOSTNAME = "pop";
  AppSettings.MAIL_R_PORTNUMBER = 110;
  AppSettings.MAIL_R_PASSWORD = "receive";
  MailServerSettings send, receive;
  FillSmtpSettings(send);
  FillPopSettings(receive);
  EXPECT_EQ(send.host, "smtp");
  EXPECT_EQ(send.connectType, 2);
  EXPECT_EQ(send.port, 465);
  EXPECT_EQ(send.password, "send");
  EXPECT_EQ(send.toAddress, "to@example.jp");
  EXPECT_EQ(receive.host, "pop");
  EXPECT_EQ(receive.password, "receive");
  EXPECT_EQ(receive.toAddress, "");
}
