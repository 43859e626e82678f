// The alert mail as the system sends it, composed and then read back by an
// independent parser (Python's email package).
#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "mail/MimeMessage.h"
#include "support/TempDir.h"

namespace {

const char kSubject[] = "異常動体検出(09:05:03)-防犯カメラ・ヴァルド";
const std::vector<std::string> kBody = {"異常動体を検出しました。", "検出時刻[09:05:03]",
                                        "検出画像を添付します", "防犯カメラ・ヴァルド"};
const char kFrom[] = "camera@example.com";
const char kTo[] = "owner@example.com";

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a command, returning its exit status and output.
int RunCommand(const std::string& command, std::string& output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakePicture(const TempDir& dir) {
  cv::Mat picture(240, 320, CV_8UC3);
  cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::rectangle(picture, {40, 40}, {200, 160}, cv::Scalar(0, 0, 255), cv::FILLED);
  const std::string path = dir.File("recept.jpg");
  EXPECT_TRUE(cv::imwrite(path, picture));
  return path;
}

} // namespace

TEST(MimeAlertMail, ComposedMailReadsBackExactly) {
  TempDir dir;
  const std::string jpeg = MakePicture(dir);

  TMimeMessage message;
  message.Header.CharsetCode = ISO_2022_JP;
  message.Header.Priority = MP_high;
  message.Header.Subject = CharsetConversion(kSubject, UTF_8, ISO_2022_JP);
  message.Header.From = kFrom;
  message.Header.ToList = {kTo};
  // The Subject bytes are those the Shift_JIS converter of the mail layer
  // makes: Japanese runs between ESC $ B and ESC ( B.
  ASSERT_EQ(message.Header.Subject.substr(0, 29),
            "\x1B$B0[>oF0BN8!=P\x1B(B(09:05:03)-");

  TMimePart* root = message.AddPartMultipart("", nullptr);
  message.AddPartText(kBody, root);
  message.AddPartBinaryFromFile(jpeg, root);
  message.EncodeMessage();

  ASSERT_GE(message.Lines.size(), 4u);
  // The encoded word on the Subject's own line, not on a line of its own.
  EXPECT_EQ(message.Lines[2].substr(0, 74),
            "Subject: =?ISO-2022-JP?Q?=1B$B0=5B=3EoF0BN8!=3DP=1B=28B=2809=3A05=3A03=29-");
  EXPECT_EQ(root->SubParts()[0]->CharsetCode, ISO_2022_JP);

  std::string composed;
  for (const std::string& line : message.Lines) composed += line + "\r\n";
  const std::string file = dir.File("alert.eml");
  WriteFileBytes(file, composed);

  std::string command = "python3 " + ShellQuote(std::string(VARDOCAM_TEST_PEERS_DIR) + "/mime_alert_check.py") +
                        " " + ShellQuote(file) + " " + ShellQuote(jpeg) + " " + ShellQuote(kFrom) + " " +
                        ShellQuote(kTo) + " " + ShellQuote(kSubject);
  for (const std::string& line : kBody) command += " " + ShellQuote(line);
  std::string output;
  EXPECT_EQ(RunCommand(command, output), 0) << output;
}
