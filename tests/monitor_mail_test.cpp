#include <filesystem>
#include <memory>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

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
  ASSERT_NE(cycle_.AlarmStartTick, 0u);
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
