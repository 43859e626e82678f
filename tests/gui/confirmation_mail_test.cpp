// The README's picture of a command's answer: a real 監視開始 mail read
// from Dovecot, the confirmation the SMTP peer received, read back by an
// independent mail reader and drawn as a mail program shows it. Taken only
// when asked: VARDOCAM_SCREENSHOT_DIR=docs/screenshots.
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "gui/QtTestApp.h"
#include "monitor/MonitorMail.h"
#include "session/ArmController.h"
#include "settings/Vardocamdef.h"
#include "support/MonitorFakes.h"
#include "support/Pop3Peer.h"
#include "support/ReadMail.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
constexpr char kPin[] = "48203917";
constexpr char kOwner[] = "taro@example.jp";
constexpr int kPageWidth = 560;
constexpr int kMargin = 16;
constexpr int kPictureWidth = kPageWidth - 2 * kMargin;

QString U(const std::string& text) { return QString::fromStdString(text); }

// The front door as the camera sees it: a wall, a door, a mat, a lamp.
void WriteCameraPicture(const std::string& path) {
  cv::Mat scene(360, 640, CV_8UC3, cv::Scalar(120, 135, 150));
  scene(cv::Rect(0, 280, 640, 80)).setTo(cv::Scalar(70, 85, 100));
  cv::rectangle(scene, cv::Rect(250, 70, 150, 220), cv::Scalar(40, 60, 90), cv::FILLED);
  cv::circle(scene, cv::Point(380, 185), 6, cv::Scalar(170, 200, 220), cv::FILLED);
  cv::rectangle(scene, cv::Rect(230, 290, 190, 22), cv::Scalar(50, 50, 130), cv::FILLED);
  cv::circle(scene, cv::Point(480, 110), 22, cv::Scalar(180, 235, 250), cv::FILLED);
  cv::imwrite(path, scene);
}

// The header block, the text and the attached picture, one under another.
QImage DrawMail(std::map<std::string, std::string> mail, const QImage& picture, const QString& pictureName) {
  QFont font("IPAPGothic", 11);
  QFont bold = font;
  bold.setBold(true);
  const QFontMetrics metrics(font);
  const int line = metrics.lineSpacing() + 4;
  const QStringList body = U(mail["BODY"]).split('|');
  const std::pair<const char*, std::string> header[] = {
      {"差出人:", mail["FROM"]}, {"宛先:", mail["TO"]}, {"件名:", mail["SUBJECT"]}, {"日付:", mail["DATE"]}};
  const int headerHeight = kMargin + line * 4 + kMargin / 2;
  const QImage shown = picture.scaledToWidth(kPictureWidth, Qt::SmoothTransformation);
  const int height = headerHeight + kMargin + line * body.size() + kMargin + line + shown.height() + kMargin;

  QImage page(kPageWidth, height, QImage::Format_RGB32);
  page.fill(Qt::white);
  QPainter p(&page);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.fillRect(0, 0, kPageWidth, headerHeight, QColor(238, 241, 245));
  p.setPen(QColor(200, 205, 212));
  p.drawLine(0, headerHeight, kPageWidth, headerHeight);
  int y = kMargin;
  for (const auto& [label, value] : header) {
    p.setPen(QColor(90, 96, 105));
    p.setFont(font);
    p.drawText(kMargin, y + metrics.ascent(), QString::fromUtf8(label));
    p.setPen(Qt::black);
    p.setFont(std::string(label) == "件名:" ? bold : font);
    p.drawText(kMargin + 64, y + metrics.ascent(), U(value));
    y += line;
  }
  y = headerHeight + kMargin;
  p.setFont(font);
  for (const QString& text : body) {
    p.drawText(kMargin, y + metrics.ascent(), text);
    y += line;
  }
  y += kMargin;
  p.setPen(QColor(90, 96, 105));
  p.drawText(kMargin, y + metrics.ascent(), QString::fromUtf8("添付: ") + pictureName);
  y += line;
  p.drawImage(kMargin, y, shown);
  p.setPen(QColor(200, 205, 212));
  p.drawRect(kMargin, y, shown.width() - 1, shown.height() - 1);
  return page;
}
} // namespace

TEST(ConfirmationMail, Screenshot) {
  const char* out = std::getenv("VARDOCAM_SCREENSHOT_DIR");
  if (!out || !*out) GTEST_SKIP() << "VARDOCAM_SCREENSHOT_DIR not set";
  const std::string why = Pop3Peer::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  AppWithProgramFonts();
  TempDir dir;
  const std::filesystem::path previousDir = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  WriteCameraPicture(dir.File("recept.jpg"));
  Pop3Peer pop;
  pop.Start();
  SmtpPeer smtp("plain", dir.Path());
  ASSERT_TRUE(smtp.Running());
  AppSettings = typVardocam{};
  AppSettings.IS_CHECK = true;
  AppSettings.CAMERA_NAME = "玄関";
  AppSettings.MAIL_HOSTNAME = AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
  AppSettings.MAIL_PORTNUMBER = std::stoi(smtp.Port());
  AppSettings.MAIL_MAILADDRESS = "camera@example.jp";
  AppSettings.MAIL_TOADDRESS = kOwner;
  AppSettings.MAIL_R_PORTNUMBER = pop.Port();
  AppSettings.MAIL_R_USERNAME = Pop3Peer::kUser;
  AppSettings.MAIL_R_PASSWORD = Pop3Peer::kPassword;
  AppSettings.REMOTE_PIN = kPin;
  AppSettings.REMOTE_SENDERS = kOwner;

  bool monitoring = false;
  IMonitorEvents quiet;
  ArmController arm({[&](std::string*) { return monitoring = true; }, [&] { monitoring = false; },
                     [&] { return monitoring; }, [] { return false; }, [] { return std::time(nullptr); }, {}},
                    quiet);
  MonitorMail mail;
  mail.SetArmControl(&arm);
  // Sent just now, as a phone dates it: a command is obeyed only when fresh.
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "Date: %a, %d %b %Y %H:%M:%S +0000\r\n", &utc);
  pop.AddMessage(std::string("From: Taro <") + kOwner + ">\r\nTo: camera@example.jp\r\n" + date + "Subject: 監視開始 " +
                 kPin + "\r\n\r\n\r\n");
  const RequestCheckResult result = mail.CheckRequestMail(ContextOfNow());
  EXPECT_TRUE(result.ok) << result.failure;
  EXPECT_TRUE(monitoring);

  std::filesystem::create_directory(dir.File("received"));
  const auto received = ReadMail(dir.File("msg-1.eml"), dir.File("received"));
  std::filesystem::current_path(previousDir);
  ASSERT_EQ(received.at("SUBJECT").rfind("監視を開始しました(", 0), 0u) << received.at("SUBJECT");
  const QImage picture(U(dir.File("received/recept.jpg")));
  ASSERT_FALSE(picture.isNull());
  EXPECT_TRUE(DrawMail(received, picture, "recept.jpg").save(QString::fromUtf8(out) + "/command-confirmation.png"));
}
