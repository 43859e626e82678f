#include <cstdio>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "archive/ContactSheet.h"
#include "archive/EventText.h"
#include "monitor/MonitorMail.h"
#include "monitor/MonitoringCycle.h"
#include "pop3/Pop3Client.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/Pop3Peer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
constexpr uint32_t kStart = 1000000;
constexpr uint32_t kTickMs = 10;
constexpr uint32_t kMinuteMs = 60000;

// The real detector, fed frames that the test paints: a still dark scene,
// then a bright one on the tick the test chooses.
class PaintedCamera : public NsOpenCVCamera {
public:
  PaintedCamera() : NsOpenCVCamera("IMAGE") {}
  bool OpenCamera(int32_t, const std::string&) override { return true; }
  void CloseCamera() override {}
  bool HasNewFrame() override { return true; }
  bool GrabFrameToFile(const std::string& path) override {
    const cv::Scalar colour = bright ? cv::Scalar(40, 200, 240) : cv::Scalar(10, 10, 10);
    return cv::imwrite(path, cv::Mat(120, 160, CV_8UC3, colour));
  }
  bool bright = false;
};

class MonitorMailTest : public ::testing::Test {
protected:
  void SetUp() override {
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    smtp_ = std::make_unique<SmtpPeer>("plain", dir_.Path());
    ASSERT_TRUE(smtp_->Running());
    AppSettings = typVardocam{};
    AppSettings.USEMAIL = true;
    AppSettings.USESOUND = true;
    AppSettings.SOUND = "Alarm.wav";
    AppSettings.USE_OOTSU = false;
    AppSettings.BINBORDER = 100;
    AppSettings.MOVEBORDER = 4;
    AppSettings.CHECK_INTERVAL = 1;
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = std::stoi(smtp_->Port());
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    auto camera = std::make_unique<PaintedCamera>();
    camera_ = camera.get();
    cycle_.SetCamera(std::move(camera));
  }
  void TearDown() override { std::filesystem::current_path(previousDir_); }

  void Tick() {
    clock_.Advance(kTickMs);
    cycle_.CaptureTimerTimer();
  }
  bool Delivered(int n) const {
    return std::filesystem::exists(dir_.File("msg-" + std::to_string(n) + ".eml"));
  }

  TempDir dir_;
  std::filesystem::path previousDir_;
  std::unique_ptr<SmtpPeer> smtp_;
  FakeClock clock_{kStart};
  CallLog log_;
  FakeTimer timer_;
  FakePump pump_{log_};
  RecordingSound sound_{log_};
  MonitorMail mail_;
  MonitoringCycle cycle_{timer_, pump_, sound_, mail_};
  PaintedCamera* camera_ = nullptr;
};
} // namespace

TEST_F(MonitorMailTest, AnAlarmMailsThePictureOfItsOwnTick) {
  ASSERT_TRUE(cycle_.StartMonitoring());
  Tick();
  Tick();
  EXPECT_FALSE(Delivered(1));
  camera_->bright = true;
  Tick();
  ASSERT_NE(cycle_.AlarmStartTick(), 0u);
  ASSERT_TRUE(Delivered(1));
  EXPECT_FALSE(Delivered(2));
  // The attached picture is the bright frame of the detecting tick.
  const cv::Mat sent = cv::imread(dir_.File("recept.jpg"));
  ASSERT_EQ(sent.size(), cv::Size(160, 120));
  const cv::Scalar mean = cv::mean(sent);
  EXPECT_NEAR(mean[1], 200, 8);
  EXPECT_NEAR(mean[2], 240, 8);
  // Steady again: no second mail within the alarm.
  Tick();
  EXPECT_FALSE(Delivered(2));
  cycle_.StopMonitoring();
}

TEST_F(MonitorMailTest, RequestGateAsksTheMailboxAndAnswersOnce) {
  const std::string why = Pop3Peer::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  Pop3Peer pop;
  pop.Start();
  pop.AddMessage("Subject: ?\r\n\r\nshow me\r\n");
  AppSettings.IS_CHECK = true;
  AppSettings.MAIL_R_HOSTNAME = "127.0.0.1";
  AppSettings.MAIL_R_PORTNUMBER = pop.Port();
  AppSettings.MAIL_R_USERNAME = Pop3Peer::kUser;
  AppSettings.MAIL_R_PASSWORD = Pop3Peer::kPassword;
  ASSERT_TRUE(cycle_.StartMonitoring());
  Tick();
  EXPECT_FALSE(Delivered(1));
  clock_.Advance(kMinuteMs);
  Tick();
  EXPECT_TRUE(pop.WaitForMessageCount(0));
  ASSERT_TRUE(Delivered(1));
  EXPECT_FALSE(Delivered(2));
  EXPECT_FALSE(mail_.PopClient.Connected());
  cycle_.StopMonitoring();
}

// The summary goes the alert mail's way: sent only once the server took it,
// with the contact sheet as its one attachment.
TEST(EventSummaryMail, OneSheetThroughTheServerOrAnHonestFailure) {
  struct Row {
    std::vector<std::string> peerArguments;
    bool wanted, withPictures, sent;
  } rows[] = {{{}, true, true, true}, {{"--require-auth"}, true, true, false}, {{}, false, true, true},
              {{}, true, false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    TempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    SmtpPeer smtp("plain", dir.Path(), row.peerArguments);
    AppSettings = typVardocam{};
    AppSettings.EVENT_SUMMARY_MAIL = row.wanted;
    AppSettings.CAMERA_NAME = "玄関";
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = std::stoi(smtp.Port());
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    const std::string folder = dir.File("event");
    std::filesystem::create_directories(folder);
    WriteFileBytes(folder + "/" + kEventMarkerFile,
                   std::string(kEventMarkerLine) + "\nstart_ms=1765000000000\nend_ms=1765000065000\nperson=1\n");
    if (row.withPictures) cv::imwrite(folder + "/" + kEventPersonPicture, cv::Mat(240, 320, CV_8UC3));
    EventInfo event;
    ASSERT_TRUE(ReadEventInfo(folder, event));
    const MailResult result = MonitorMail().SendEventSummaryMail(ContextOfNow(), event);
    std::filesystem::current_path(previous);
    EXPECT_EQ(result.sent, row.sent) << result.failure;
    EXPECT_EQ(result.failure.empty(), row.sent);
    ASSERT_EQ(std::filesystem::exists(dir.File("msg-1.eml")), row.sent && row.wanted);
    if (!row.wanted || !row.sent) continue;
    // As Python's email package reads the delivered message.
    std::string read(4096, '\0');
    FILE* pipe = popen(("/usr/bin/python3 " VARDOCAM_TEST_PEERS_DIR "/read_mail.py " + dir.File("msg-1.eml")).c_str(), "r");
    read.resize(fread(&read[0], 1, read.size(), pipe));
    pclose(pipe);
    EXPECT_NE(read.find("SUBJECT=イベントのまとめ(" + EventStartText(event).substr(11) + ")-玄関\n"), std::string::npos);
    EXPECT_NE(read.find("長さ[1分05秒]|人物[あり]"), std::string::npos) << read;
    EXPECT_EQ(read.find("ATTACHMENT="), read.rfind("ATTACHMENT=")) << read;
    EXPECT_NE(read.find("ATTACHMENT=summary.jpg "), std::string::npos);
    const std::string sheet = ReadFileBytes(dir.File(kSummaryPictureFile));
    EXPECT_EQ(cv::imdecode(std::vector<uchar>(sheet.begin(), sheet.end()), cv::IMREAD_COLOR).cols, kSheetWidth);
  }
}
