#include <gtest/gtest.h>

#include "platform/Base64.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpReply.h"
#include "net/LineEnd.h"

using namespace smtp;

TEST(SmtpReply, ContinuationIsAHyphenInTheFourthPlace) {
  EXPECT_TRUE(ReplyContinues("250-SIZE 1000"));
  EXPECT_FALSE(ReplyContinues("250 OK"));
  EXPECT_FALSE(ReplyContinues("250 multi-word text"));
  EXPECT_FALSE(ReplyContinues("25-x"));
  EXPECT_FALSE(ReplyContinues(""));
}

TEST(SmtpReply, CodeIsTheFirstThreeDigits) {
  EXPECT_EQ(220, ReplyCode("220 ready"));
  EXPECT_EQ(250, ReplyCode("250"));
  EXPECT_EQ(0, ReplyCode("25"));
  EXPECT_EQ(0, ReplyCode("2x0 odd"));
  EXPECT_EQ(0, ReplyCode(""));
}

TEST(SmtpReply, EnhancedCode) {
  int a, b, c;
  EXPECT_TRUE(ParseEnhancedCode("250 2.1.5 Recipient ok", a, b, c));
  EXPECT_EQ(2, a);
  EXPECT_EQ(1, b);
  EXPECT_EQ(5, c);
  EXPECT_TRUE(ParseEnhancedCode("550-5.7.133 denied", a, b, c));
  EXPECT_EQ(133, c);
  EXPECT_TRUE(ParseEnhancedCode("250 2.0.0", a, b, c));

  const char* none[] = {"250 OK", "220 mail.example ESMTP", "250 0.1.1 zero class",
                        "250 22.1.1 two-digit class", "250 2.1234.1 long subject",
                        "250 2.1.1234 long detail", "250 2.1 short", "250 2.x.1 letters", "250"};
  for (const char* line : none) {
    a = b = c = 9;
    EXPECT_FALSE(ParseEnhancedCode(line, a, b, c)) << line;
    EXPECT_EQ(0, a + b + c) << line;
  }
}

TEST(SmtpReply, CapabilitiesAndTheirLookUp) {
  const auto caps = CapabilitiesOf({"250-mail.example hello", "250-SIZE 10240000",
                                    "250-auth login CRAM-MD5", "250-AUTH=LOGIN", "250 STARTTLS"});
  ASSERT_EQ(4u, caps.size());
  EXPECT_EQ("SIZE 10240000", caps[0]);
  EXPECT_EQ("auth login CRAM-MD5", FindCapability(caps, "AUTH "));
  EXPECT_EQ("AUTH=LOGIN", FindCapability(caps, "auth="));
  EXPECT_EQ("STARTTLS", FindCapability(caps, "STARTTLS"));
  EXPECT_EQ("", FindCapability(caps, "8BITMIME"));

  EXPECT_EQ(10240000, SizeOfCapability("SIZE 10240000"));
  EXPECT_EQ(0, SizeOfCapability("SIZE"));
  EXPECT_EQ(0, SizeOfCapability("SIZE lots"));
  EXPECT_EQ(0, SizeOfCapability("SIZE 99999999999999"));
}

TEST(SmtpReply, DataIsDotStuffedAndEndsEveryLineWithCrLf) {
  const auto batches = DataBatches({"Subject: x", "", ".", ".hidden", "a.b"});
  ASSERT_EQ(1u, batches.size());
  EXPECT_EQ("Subject: x\r\n\r\n..\r\n..hidden\r\na.b\r\n", batches[0]);
  EXPECT_TRUE(DataBatches({}).empty());
}

TEST(SmtpReply, DataIsBatchedUnder1500Bytes) {
  // 100 lines of 98 characters, 100 bytes each with CR LF. The buffer goes
  // out when it and the next line's text reach 1,500: after 15 lines
  // (1,400 + 98 < 1,500 still takes the 15th; 1,500 + 98 does not).
  std::vector<std::string> lines(100, std::string(98, 'L'));
  const auto batches = DataBatches(lines);
  ASSERT_EQ(7u, batches.size());
  EXPECT_EQ(1500u, batches[0].size());
  EXPECT_EQ(1000u, batches[6].size());
  std::string joined;
  for (const auto& b : batches) joined += b;
  EXPECT_EQ(10000u, joined.size());

  // A single line longer than a batch goes out whole, in its own send.
  const auto big = DataBatches({"short", std::string(4000, 'B'), "tail"});
  ASSERT_EQ(3u, big.size());
  EXPECT_EQ("short\r\n", big[0]);
  EXPECT_EQ(4002u, big[1].size());
  EXPECT_EQ("tail\r\n", big[2]);
}

TEST(SmtpReply, LineBreaksInsideALineCannotEndTheMessage) {
  // A smuggled "." line would end the message and turn the rest into commands.
  const auto batches = DataBatches({"text\r\n.\r\nRSET\nbare\rcr"});
  ASSERT_EQ(1u, batches.size());
  EXPECT_EQ("text\r\n..\r\nRSET\r\nbare\r\ncr\r\n", batches[0]);
  EXPECT_TRUE(HasLineBreak("a\rb"));
  EXPECT_TRUE(HasLineBreak("a\n"));
  EXPECT_FALSE(HasLineBreak("user@example.com"));
}

TEST(SmtpAuth, Base64RoundTrip) {
  EXPECT_EQ("", Base64Encode(""));
  EXPECT_EQ("Zg==", Base64Encode("f"));
  EXPECT_EQ("Zm8=", Base64Encode("fo"));
  EXPECT_EQ("Zm9v", Base64Encode("foo"));
  EXPECT_EQ("Zm9vYmFy", Base64Encode("foobar"));
  const std::string binary("\x00\xff\x10\x80\r\n", 6);
  EXPECT_EQ(binary, Base64Decode(Base64Encode(binary)));
  const std::string longText(300, 'k');
  EXPECT_EQ(std::string::npos, Base64Encode(longText).find_first_of("\r\n"));
  EXPECT_EQ("foobar", Base64Decode("Zm9v\r\nYmFy"));
  EXPECT_EQ("f", Base64Decode("Zg==junk"));
}

TEST(SmtpAuth, CramMd5MatchesTheRfc2195Example) {
  const std::string challenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
  EXPECT_EQ("<1896.697170952@postoffice.reston.mci.net>", Base64Decode(challenge));
  EXPECT_EQ("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw",
            CramMd5Response("tim", "tanstaaftanstaaf", challenge));
}

TEST(SmtpAuth, HmacMd5WithAKeyLongerThanTheBlock) {
  // RFC 2202 test case 6: an 80-byte key is first replaced by its MD5.
  EXPECT_EQ("6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
            HmacMd5Hex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"));
}
