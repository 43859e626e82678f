// The MIME composer: parts, encodings, header lines and their folding.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>

#include "mail/MimeMessage.h"
#include "mail/QuotedPrintable.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace {

std::vector<std::string> Fold(const std::string& line) {
  std::vector<std::string> out;
  FoldHeaderLine(line, kMimeMaxLineLength, out);
  return out;
}

std::vector<std::string> HeaderLines(TMimeMessage& m) {
  std::vector<std::string> lines;
  m.EncodeHeaders(lines);
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

// A clock that never moves, however long one sleeps.
class StuckClock : public IClock {
public:
  StuckClock() { InstallClock(this); }
  ~StuckClock() override { InstallClock(nullptr); }
  uint32_t TickCount() override { return 0x1234; }
  void Sleep(uint32_t) override { ++sleeps; }
  int sleeps = 0;
};

} // namespace

TEST(MimeFolding, LengthsAroundTheLimit) {
  const std::string x77 = "X-Test: " + std::string(69, 'a');
  ASSERT_EQ(x77.size(), 77u);
  EXPECT_EQ(Fold(x77), std::vector<std::string>{x77});
  const std::string x78 = "X " + std::string(76, 'b');
  EXPECT_EQ(Fold(x78), (std::vector<std::string>{"X", " " + std::string(76, 'b')}));
  const std::string noSpace(200, 'c');
  EXPECT_EQ(Fold(noSpace), std::vector<std::string>{noSpace});
  // Never folded before the value's first word, up to the longest line a
  // mail may hold.
  const std::string word = "=?ISO-2022-JP?Q?" + std::string(90, 'd') + "?=";
  const std::string longWord = "=?ISO-2022-JP?Q?" + std::string(kHeaderLineHardLimit, 'd') + "?=";
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {"Subject: " + word, {"Subject: " + word}},
      {"Subject: " + word + " " + word, {"Subject: " + word, " " + word}},
      {"Subject: " + word + " " + word + " =?ISO-2022-JP?Q?e?=",
       {"Subject: " + word, " " + word, " =?ISO-2022-JP?Q?e?="}},
      {"From: " + word + " <cam@example.jp>", {"From: " + word, " <cam@example.jp>"}},
      // Whole, the line would be longer than a mail may hold.
      {"Subject: " + longWord, {"Subject:", " " + longWord}},
  };
  for (const auto& [line, folded] : rows) EXPECT_EQ(Fold(line), folded) << line.substr(0, 40);
}

TEST(MimeFolding, PrefersSemicolonThenCommaThenSpace) {
  const std::string type = "Content-type: text/plain; charset=ISO-2022-JP; name=\"" + std::string(30, 'n') + "\"";
  EXPECT_EQ(Fold(type), (std::vector<std::string>{"Content-type: text/plain; charset=ISO-2022-JP;",
                                                 " name=\"" + std::string(30, 'n') + "\""}));
  const std::string to = "To: " + std::string(30, 'a') + "@x.jp, " + std::string(30, 'b') + "@x.jp, c@x.jp";
  const auto folded = Fold(to);
  ASSERT_EQ(folded.size(), 2u);
  EXPECT_EQ(folded[0], "To: " + std::string(30, 'a') + "@x.jp, " + std::string(30, 'b') + "@x.jp,");
  EXPECT_EQ(folded[1], " c@x.jp");
}

TEST(MimeEncoding, QuotedPrintableCutsAt78) {
  TMimeMessage m;
  TMimePart* part = m.AddPartText({std::string(100, 'A')}, nullptr);
  EXPECT_EQ(part->PartBody, (std::vector<std::string>{std::string(78, 'A') + "=", std::string(22, 'A')}));
  // A cut never splits an "=XX" triplet and keeps a space for the next line.
  std::vector<std::string> out;
  QpCutLine(std::string(76, 'B') + "=1BCC", out);
  EXPECT_EQ(out, (std::vector<std::string>{std::string(76, 'B') + "=", "=1BCC"}));
  out.clear();
  QpCutLine(std::string(70, 'B') + " " + std::string(20, 'C'), out);
  EXPECT_EQ(out, (std::vector<std::string>{std::string(70, 'B') + "=", " " + std::string(20, 'C')}));
  EXPECT_EQ(QpEncodeLine("a=b\tc \x1B\xFF"), "a=3Db=09c =1B=FF");
}

TEST(MimeEncoding, Base64LinesOf54Bytes) {
  TMimeMessage m;
  TMimePart* part = m.AddPartBinary(std::string(54, '\xFF'), "x.jpg", nullptr);
  ASSERT_EQ(part->PartBody.size(), 1u);
  EXPECT_EQ(part->PartBody[0], std::string(72, '/'));
  part = m.AddPartBinary(std::string(55, '\0'), "x.jpg", nullptr);
  ASSERT_EQ(part->PartBody.size(), 2u);
  EXPECT_EQ(part->PartBody[0], std::string(72, 'A'));
  EXPECT_EQ(part->PartBody[1], "AA==");
}

TEST(MimeEncoding, TextPartsAndTheirCharset) {
  TMimeMessage m;
  TMimePart* part = m.AddPartText({"Hello", "", "A=B"}, nullptr);
  EXPECT_EQ(part->CharsetCode, ISO_8859_1);
  EXPECT_EQ(part->PartBody, (std::vector<std::string>{"Hello", "", "A=3DB"}));
  EXPECT_EQ(part->Headers[0], "Content-type: text/plain; charset=ISO-8859-1");
  // 7bit content goes out as it is, not quoted.
  part->EncodingCode = ME_7BIT;
  part->EncodePart();
  EXPECT_EQ(part->PartBody, (std::vector<std::string>{"Hello", "", "A=B"}));
  // A UTF-8 label gets its byte-order mark before the converted text.
  part->DecodedLines = "\xE9";  // é in ISO-8859-1
  part->CharsetCode = UTF_8;
  part->TargetCharset = ISO_8859_1;
  part->EncodingCode = ME_BASE64;
  part->EncodePart();
  EXPECT_EQ(part->PartBody, std::vector<std::string>{"77u/w6k="});
  // A quoted-printable binary part ends in a soft break.
  TMimePart* bin = m.AddPartBinary("a\r\nb", "f.bin", nullptr);
  bin->EncodingCode = ME_QUOTED_PRINTABLE;
  bin->EncodePart();
  EXPECT_EQ(bin->PartBody, std::vector<std::string>{"a=0D=0Ab="});
}

TEST(MimeParts, TypesFromExtensions) {
  TMimePart p;
  p.MimeTypeFromExt("shot.jpg");
  EXPECT_EQ(p.Primary + "/" + p.Secondary, "image/JPEG");
  EXPECT_EQ(p.PrimaryCode, MP_BINARY);
  p.MimeTypeFromExt("dir.v2/Alarm.WAV");
  EXPECT_EQ(p.Primary + "/" + p.Secondary, "audio/x-wav");
  p.MimeTypeFromExt("ZIP");
  EXPECT_EQ(p.Primary + "/" + p.Secondary, "application/ZIP");
  p.MimeTypeFromExt("notes.txt");
  EXPECT_EQ(p.Primary + "/" + p.Secondary, "application/octet-stream");
  p.SetPrimary("Text");
  EXPECT_EQ(p.PrimaryCode, MP_TEXT);
  p.SetPrimary("message");
  EXPECT_EQ(p.PrimaryCode, MP_MESSAGE);
}

TEST(MimeParts, NestingAndHeaders) {
  TMimeMessage m;
  TMimePart* root = m.AddPartMultipart("", nullptr);
  EXPECT_EQ(root->Secondary, "mixed");
  TMimePart* alt = m.AddPartMultipart("alternative", root);
  TMimePart* bin = m.AddPartBinary("x", "we\"ird 名.png", alt);
  EXPECT_EQ(alt->SubLevel, 1);
  EXPECT_EQ(bin->SubLevel, 2);
  EXPECT_EQ(bin->DefaultCharset, "UTF-8");
  EXPECT_EQ(bin->Headers[0], "Content-type: image/PNG; name=\"=?ISO-2022-JP?Q?we=22ird_=1B$BL=3E=1B=28B.png?=\"");
  bin->ContentID = "<pic1>";
  bin->Description = "line\r\nInjected: yes";
  bin->EncodePartHeader();
  EXPECT_EQ(bin->Headers[2], "Content-ID: <pic1>");
  EXPECT_EQ(bin->Headers.back(), "Content-Description: line  Injected: yes");
  root->ComposeParts();
  // The inner boundary closes before the outer one; no blank line before a boundary.
  const auto& L = root->Lines;
  EXPECT_EQ(L.back(), "--" + root->Boundary + "--");
  EXPECT_EQ(L[L.size() - 2], "--" + alt->Boundary + "--");
  EXPECT_EQ(L[L.size() - 3], "eA==");
  // Adding under no parent starts the message afresh.
  m.AddPartText({"x"}, nullptr);
  EXPECT_TRUE(m.MessagePart.SubParts().empty());
}

TEST(MimeParts, BoundariesDiffer) {
  const std::string a = GenerateBoundary();
  const std::string b = GenerateBoundary();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), 35u);
  EXPECT_EQ(a.substr(8, 1) + a.substr(17), "__Vardocam_boundary");
  {
    FakeClock clock(0xABCDEF00);  // moves one step per sleep
    EXPECT_EQ(GenerateBoundary().substr(0, 9), "ABCDEF01_");
  }
  StuckClock stuck;
  EXPECT_EQ(GenerateBoundary().substr(0, 9), "00001234_");
  EXPECT_EQ(stuck.sleeps, kBoundaryTickWaitLimit);
}

TEST(MimeParts, UnreadableFileAddsNoPart) {
  TempDir dir;
  TMimeMessage m;
  TMimePart* root = m.AddPartMultipart("", nullptr);
  const std::string missing = dir.File("recept.jpg");
  try {
    m.AddPartBinaryFromFile(missing, root);
    FAIL() << "no error";
  } catch (const EMimeFileError& e) {
    EXPECT_EQ(e.FileName(), missing);
    EXPECT_EQ(e.ErrorNumber(), ENOENT);
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos);
    EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos);
  }
  EXPECT_THROW(m.AddPartBinaryFromFile(dir.Path(), root), EMimeFileError);  // a folder
  EXPECT_TRUE(root->SubParts().empty());
  WriteFileBytes(missing, "\xFF\xD8");
  m.AddPartBinaryFromFile(missing, root);
  ASSERT_EQ(root->SubParts().size(), 1u);
  EXPECT_EQ(root->SubParts()[0]->FileName, "recept.jpg");
  EXPECT_EQ(root->SubParts()[0]->PartBody, std::vector<std::string>{"/9g="});
}

TEST(MimeHeaders, PrioritiesAndOptionalLines) {
  TMimeMessage m;
  m.Header.From = "cam@example.com";
  m.Header.Date = 1;
  for (TMessagePriority p : {MP_unknown, MP_normal}) {
    m.Header.Priority = p;
    const auto lines = HeaderLines(m);
    EXPECT_EQ(lines.size(), 4u);  // From, Date, MIME-Version, X-mailer
    EXPECT_EQ(lines[0], "From: cam@example.com");
    EXPECT_EQ(lines[2], "MIME-Version: 1.0 (produced by Vardocam)");
    EXPECT_EQ(lines[3], "X-mailer: Vardocam mail composer");
  }
  m.Header.Priority = MP_low;
  auto lines = HeaderLines(m);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Priority: non-urgent", "X-Priority: 5", "X-MSMAIL-Priority: low"}));
  m.Header.Priority = MP_high;
  m.Header.ToList = {"a@x.jp", "B <b@x.jp>"};
  m.Header.CCList = {"c@x.jp"};
  m.Header.Subject = "Status";
  m.Header.Organization = "Home";
  m.Header.XMailer = "test";
  m.Header.MessageID = " id@x.jp ";
  m.Header.ReplyTo = "Me <me@x.jp>";
  m.Header.CustomHeaders = {"X-One: 1"};
  lines = HeaderLines(m);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "From: cam@example.com", "To: a@x.jp, \"B\" <b@x.jp>", "Subject: Status",
                       lines[3], "CC: c@x.jp", "Organization: Home", "MIME-Version: 1.0 (produced by Vardocam)",
                       "X-mailer: test", "Message-ID: <id@x.jp>", "Reply-To: me@x.jp", "Priority: urgent",
                       "X-Priority: 1", "X-MSMAIL-Priority: High", "X-One: 1"}));
  // A line break in a text taken as it stands cannot add a header line.
  m.Header.XMailer = "x\r\nBcc: y@z";
  EXPECT_TRUE(Contains(HeaderLines(m), "X-mailer: x  Bcc: y@z"));
}

TEST(MimeHeaders, DateLineInTheLocalZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 5;
  t.tm_min = 40;
  t.tm_sec = 29;
  const std::time_t when = timegm(&t);
  setenv("TZ", "JST-9", 1);
  tzset();
  EXPECT_EQ(Rfc822DateTime(when), "Sun, 6 Dec 2026 14:40:29 +0900");
  setenv("TZ", "NST+3:30", 1);
  tzset();
  EXPECT_EQ(Rfc822DateTime(when), "Sun, 6 Dec 2026 02:10:29 -0330");
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  TMimeMessage m;
  HeaderLines(m);
  EXPECT_NE(m.Header.Date, 0);  // 0 became the time of encoding
}

TEST(MimeParts, EncodingTwiceGivesTheSameLines) {
  TMimeMessage m;
  m.Header.From = "cam@example.com";
  m.Header.Date = 1;
  TMimePart* root = m.AddPartMultipart("", nullptr);
  m.AddPartText({"line"}, root);
  m.AddPartBinary(std::string(100, 'x'), "a.jpg", root);
  m.EncodeMessage();
  const std::vector<std::string> first = m.Lines;
  m.EncodeMessage();
  EXPECT_EQ(m.Lines, first);
  EXPECT_EQ(first.size(), 23u);
}
