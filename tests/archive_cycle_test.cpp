// The event archive in the monitoring cycle: an alarm makes an event folder
// (the cycle's fakes stand in for the camera), archiving off makes nothing,
// the summary mail and the free-space floor are said as they should be;
// the camera keeps each frame's JPEG for it; and the listeners' words.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sys/mount.h>

#include "archive/EventLayout.h"
#include "archive/Retention.h"
#include "monitor/MonitoringCycle.h"
#include "monitor/StatusLog.h"
#include "mqtt/MqttTopics.h"
#include "service/JournalLog.h"
#include "settings/Vardocamdef.h"
#include "support/CameraSourceTest.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
constexpr uint32_t kStart = 1000000;
constexpr uint32_t kTickMs = 10;

cv::Mat JpegOf(const cv::Mat& picture) {
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", picture, bytes);
  return cv::Mat(bytes, true).reshape(1, 1);
}

std::string Bytes(const cv::Mat& jpeg) { return std::string(jpeg.ptr<char>(), jpeg.total()); }

// The scripted camera with what the archive asks of a real one: each
// frame's JPEG, and a detector whose colour picture is loaded from a file.
class ArchiveCamera : public ScriptedCamera {
public:
  ArchiveCamera(CallLog& log, const std::string& picturePath) : ScriptedCamera(log) {
    const cv::Mat picture(120, 160, CV_8UC3, cv::Scalar(30, 90, 150));
    jpeg = JpegOf(picture);
    cv::imwrite(picturePath, picture);
    detector.LoadFrame(picturePath);
  }
  nsOpenCV* Detector() override { return &detector; }
  void SetKeepJpeg(bool keep) override { keepJpeg = keep; }
  bool LatestJpeg(cv::Mat& out, int64_t& timeMs) override {
    if (!keepJpeg) return false;
    out = jpeg;
    timeMs = GetTickCount();
    return true;
  }
  cv::Mat jpeg;
  bool keepJpeg = false;
  nsOpenCV detector{"IMAGE"};
};

// The summary mail answers as the test says.
class SummaryMail : public RecordingMail {
public:
  using RecordingMail::RecordingMail;
  MailResult SendEventSummaryMail(const EventInfo& event) override {
    ++summaries;
    summarised = event;
    return summaryResult;
  }
  int summaries = 0;
  EventInfo summarised;
  MailResult summaryResult{false, "テストのため送りません"};
};

class ArchiveListener : public IMonitorEvents {
public:
  void EventArchived(const EventInfo& event) override { archived.push_back(event); }
  void ArchiveFloorChanged(bool below, const std::string& detail) override {
    floors.push_back(below);
    details.push_back(detail);
  }
  void Notice(const std::string& text) override { notices.push_back(text); }
  std::vector<EventInfo> archived;
  std::vector<bool> floors;
  std::vector<std::string> details;
  std::vector<std::string> notices;
};

class ArchiveCycleTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppSettings = typVardocam{};
    AppSettings.USEMAIL = false;
    AppSettings.USESOUND = false;
    AppSettings.START_MOVE_OBJECT = 0;
    AppSettings.CHECK_INTERVAL = 1;
    AppSettings.IS_CHECK = false;
    AppSettings.USE_OOTSU = true;
    AppSettings.EVENT_ARCHIVE = true;
    AppSettings.EVENT_DIR = dir.File("events");
    AppSettings.EVENT_PRE_SECONDS = 1;
    AppSettings.EVENT_POST_SECONDS = 1;
    auto owned = std::make_unique<ArchiveCamera>(log, dir.File("picture.jpg"));
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
    cycle.AddEventListener(&listener);
  }
  void TearDown() override {
    cycle.StopMonitoring();
    AppSettings = typVardocam{};
  }
  // The writer works in real time: a little of it passes with each tick,
  // as it would between camera frames.
  void Tick(bool motion) {
    clock.Advance(kTickMs);
    camera->motion = motion;
    cycle.CaptureTimerTimer();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  void TickFor(uint32_t ms, bool motion) {
    for (uint32_t t = 0; t < ms; t += kTickMs) Tick(motion);
  }
  // Ticks on (the writer works in real time) until the event is said.
  bool TickUntilArchived() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (listener.archived.empty() && std::chrono::steady_clock::now() < end) {
      Tick(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return !listener.archived.empty();
  }
  // One alarm: a second and a half of calm, a moment of motion, the alarm's
  // five seconds and the post-seconds.
  void OneAlarm() {
    ASSERT_TRUE(cycle.StartMonitoring());
    TickFor(1500, false);
    Tick(true);
    Tick(true);
    ASSERT_NE(cycle.AlarmStartTick, 0u);
    TickFor(kAlarmSpacingMs + 1100, false);
    EXPECT_EQ(cycle.AlarmStartTick, 0u);
  }

  TempDir dir;
  FakeClock clock{kStart};
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  SummaryMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  ArchiveCamera* camera = nullptr;
  ArchiveListener listener;
};
} // namespace

TEST_F(ArchiveCycleTest, AnAlarmMakesAnEventFolderWithItsPicturesMarkerAndClip) {
  OneAlarm();
  ASSERT_TRUE(TickUntilArchived());
  ASSERT_EQ(listener.archived.size(), 1u);
  const EventInfo event = listener.archived[0];
  EXPECT_TRUE(camera->keepJpeg);
  EXPECT_EQ(fs::path(event.folder).parent_path(), fs::path(AppSettings.EVENT_DIR));
  // 1 s before (a frame per 10 ms tick), the alarm's 5 s, 1 s after.
  EXPECT_GE(event.frames, 100 + 500 + 100);
  EXPECT_LE(event.frames, 101 + 520 + 102);
  EXPECT_FALSE(event.person);
  EventInfo marker;
  ASSERT_TRUE(ReadEventInfo(event.folder, marker));
  EXPECT_EQ(marker.startMs, event.startMs);
  EXPECT_EQ(marker.endMs, event.endMs);
  EXPECT_EQ(marker.frames, event.frames);
  EXPECT_EQ(ReadFileBytes(event.folder + "/" + kEventFirstPicture), Bytes(camera->jpeg));
  EXPECT_EQ(ReadFileBytes(event.folder + "/" + kEventPeakPicture), Bytes(camera->jpeg));
  EXPECT_TRUE(fs::exists(event.folder + "/" + kEventClip));
  EXPECT_EQ(ListEvents(AppSettings.EVENT_DIR).size(), 1u);
  // Mails are off: no summary.
  EXPECT_EQ(mail.summaries, 0);
  EXPECT_TRUE(listener.notices.empty()) << listener.notices.front();
}

TEST_F(ArchiveCycleTest, ArchiveOffMakesNothing) {
  AppSettings.EVENT_ARCHIVE = false;
  OneAlarm();
  EXPECT_EQ(cycle.Archive(), nullptr);
  EXPECT_FALSE(camera->keepJpeg);
  TickFor(200, false);
  EXPECT_FALSE(fs::exists(AppSettings.EVENT_DIR));
  EXPECT_TRUE(listener.archived.empty());
}

TEST_F(ArchiveCycleTest, StoppingDuringAnAlarmClosesItsEvent) {
  ASSERT_TRUE(cycle.StartMonitoring());
  TickFor(200, false);
  Tick(true);
  Tick(true);
  ASSERT_NE(cycle.AlarmStartTick, 0u);
  TickFor(500, false);
  cycle.StopMonitoring();
  ASSERT_EQ(listener.archived.size(), 1u);
  EXPECT_GT(listener.archived[0].endMs, 0);
  EXPECT_EQ(cycle.Archive(), nullptr);
}

struct SummaryCase {
  bool summaryMail;
  bool useMail;
  bool sent;
  int expectedMails;
  int expectedNotices;
};

class ArchiveSummaryMail : public ArchiveCycleTest, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(ArchiveSummaryMail, IsSentWhenOnAndOnlyAFailureIsSaid) {
  const SummaryCase c = GetParam();
  AppSettings.EVENT_SUMMARY_MAIL = c.summaryMail;
  AppSettings.USEMAIL = c.useMail;
  mail.summaryResult = c.sent ? MailResult{true, ""} : MailResult{false, "テストのため送りません"};
  OneAlarm();
  ASSERT_TRUE(TickUntilArchived());
  EXPECT_EQ(mail.summaries, c.expectedMails);
  if (c.expectedMails) {
    EXPECT_EQ(mail.summarised.folder, listener.archived[0].folder);
  }
  ASSERT_EQ(static_cast<int>(listener.notices.size()), c.expectedNotices);
  if (c.expectedNotices) {
    EXPECT_EQ(listener.notices[0], "イベントのまとめメールを送信できませんでした：テストのため送りません");
  }
}

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveSummaryMail,
                         ::testing::Values(SummaryCase{true, true, true, 1, 0},
                                           SummaryCase{true, true, false, 1, 1},
                                           SummaryCase{true, false, false, 0, 0},
                                           SummaryCase{false, true, false, 0, 0}));

TEST_F(ArchiveCycleTest, ARelativeFolderIsRefusedRatherThanWrittenInTheWorkingFolder) {
  AppSettings.EVENT_DIR = "events";
  ASSERT_TRUE(cycle.StartMonitoring());
  EXPECT_EQ(cycle.Archive(), nullptr);
  ASSERT_EQ(listener.notices.size(), 1u);
  EXPECT_NE(listener.notices[0].find("/ から始まるフォルダ"), std::string::npos);
}

TEST_F(ArchiveCycleTest, TheFloorIsSaidOnceEachWayAcrossStarts) {
  const std::string small = dir.File("small");
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "cannot mount a 2 MB tmpfs here (needs root): " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  AppSettings.EVENT_DIR = small + "/events";
  int64_t freeBytes = 0, totalBytes = 0;
  ASSERT_TRUE(FileSystemSpace(small, freeBytes, totalBytes));
  WriteFileBytes(small + "/filler", std::string(static_cast<size_t>(freeBytes - FreeSpaceFloor(totalBytes) + 40960), 'f'));

  auto runFor = [&](int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      Tick(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  ASSERT_TRUE(cycle.StartMonitoring());
  runFor(300);
  EXPECT_EQ(listener.floors, std::vector<bool>{true});
  // An alarm below the floor records nothing.
  Tick(true);
  Tick(true);
  TickFor(kAlarmSpacingMs + 1100, false);
  runFor(100);
  cycle.StopMonitoring();
  EXPECT_TRUE(ListEvents(AppSettings.EVENT_DIR).empty());
  // Started again while still below: not said again.
  ASSERT_TRUE(cycle.StartMonitoring());
  runFor(300);
  cycle.StopMonitoring();
  EXPECT_EQ(listener.floors, std::vector<bool>{true});
  // Room again: said once, at the next start.
  fs::remove(small + "/filler");
  ASSERT_TRUE(cycle.StartMonitoring());
  runFor(300);
  EXPECT_EQ(listener.floors, (std::vector<bool>{true, false}));
  cycle.StopMonitoring();
}

// ---- The camera keeps each frame's JPEG for the archive ---------------------

namespace {
class KeptJpegTest : public CameraSourceTest {
protected:
  // The JPEG of the next frame the cycle would grab.
  bool NextJpeg(cv::Mat& jpeg) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!vision_.HasNewFrame() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!vision_.GrabFrameToFile(frameFile_)) return false;
    int64_t timeMs = 0;
    return vision_.LatestJpeg(jpeg, timeMs) && timeMs > 0;
  }
  cv::Mat Scene() {
    cv::Mat scene(120, 160, CV_8UC3);
    cv::randu(scene, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(scene, scene, cv::Size(9, 9), 3);
    return scene;
  }
};
} // namespace

struct KeptCase {
  const char* file;
  int fourcc;
  bool keep;
};

class KeptJpeg : public KeptJpegTest, public ::testing::WithParamInterface<KeptCase> {};

TEST_P(KeptJpeg, FilesGiveTheirOwnJpegOrOneMadeOnceAndNoneWhenOff) {
  const KeptCase c = GetParam();
  const cv::Mat scene = Scene();
  const std::string video = dir_.File(c.file);
  {
    cv::VideoWriter writer(video, c.fourcc, 20, scene.size());
    if (!writer.isOpened()) GTEST_SKIP() << "OpenCV cannot write " << c.file << " here";
    for (int i = 0; i < 5; ++i) writer.write(scene);
  }
  vision_.SetKeepJpeg(c.keep);
  ASSERT_TRUE(vision_.OpenCamera(0, video));
  cv::Mat jpeg;
  if (!c.keep) {
    EXPECT_FALSE(NextJpeg(jpeg));
    return;
  }
  ASSERT_TRUE(NextJpeg(jpeg));
  ASSERT_GT(jpeg.total(), 2u);
  EXPECT_EQ(jpeg.ptr<uint8_t>()[0], 0xFF);
  EXPECT_EQ(jpeg.ptr<uint8_t>()[1], 0xD8);
  const cv::Mat picture = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  ASSERT_EQ(picture.size(), scene.size());
  cv::Mat grabbed = cv::imread(frameFile_, cv::IMREAD_COLOR), diff;
  cv::absdiff(picture, grabbed, diff);
  EXPECT_LT(cv::mean(diff.reshape(1))[0], 3.0);
  if (c.fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G')) {
    // The file's own packet, not a JPEG made again.
    cv::VideoCapture raw(video, cv::CAP_FFMPEG);
    ASSERT_TRUE(raw.set(cv::CAP_PROP_FORMAT, -1));
    cv::Mat packet;
    ASSERT_TRUE(raw.read(packet));
    EXPECT_EQ(Bytes(jpeg), std::string(packet.ptr<char>(), packet.total()));
  }
  // Kept by reference: the next frame's is another buffer.
  cv::Mat next;
  ASSERT_TRUE(NextJpeg(next));
  EXPECT_NE(next.data, jpeg.data);
}

INSTANTIATE_TEST_SUITE_P(Archive, KeptJpeg,
                         ::testing::Values(KeptCase{"mjpeg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), true},
                                           KeptCase{"ffv1.avi", cv::VideoWriter::fourcc('F', 'F', 'V', '1'), true},
                                           KeptCase{"mjpeg-off.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), false}));

TEST_F(KeptJpegTest, AnMjpegStreamGivesTheCamerasOwnBytes) {
  const cv::Mat picture = JpegOf(Scene());
  const std::string body = Bytes(picture);
  ScriptedServer server;
  server.ReadLine().Send("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=frame\r\n\r\n");
  for (int i = 0; i < 40; ++i)
    server.Send("--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body + "\r\n")
        .Pause(20);
  server.Start();
  vision_.SetKeepJpeg(true);
  ASSERT_TRUE(vision_.OpenCamera(0, "http://127.0.0.1:" + server.Port() + "/video.mjpg"));
  cv::Mat jpeg;
  ASSERT_TRUE(NextJpeg(jpeg));
  EXPECT_EQ(Bytes(jpeg), body);
}

// ---- What the listeners say ---------------------------------------------------

TEST(ArchiveWords, TheFloorIsOnTheStatusLineInTheJournalAndOnMqtt) {
  AppSettings = typVardocam{};
  StatusLog status([] { return std::time_t{1796648400}; });
  status.MonitoringStarted(0);
  status.ArchiveFloorChanged(true, "保存先の空きが少ないため、イベントの記録を止めています");
  EXPECT_NE(status.StatusText().find("イベント記録停止中"), std::string::npos);
  EXPECT_EQ(status.History().back().text, "保存先の空きが少ないため、イベントの記録を止めています");
  status.MonitoringStopped();
  status.MonitoringStarted(0);
  EXPECT_NE(status.StatusText().find("イベント記録停止中"), std::string::npos);  // until room is back
  status.ArchiveFloorChanged(false, "保存先に空きがあります");
  EXPECT_EQ(status.StatusText().find("イベント記録停止中"), std::string::npos);

  std::ostringstream out;
  JournalLog journal(out);
  journal.ArchiveFloorChanged(true, "止めています");
  journal.ArchiveFloorChanged(false, "記録します");
  EXPECT_EQ(out.str(), "<4>止めています\n<6>記録します\n");

  EXPECT_EQ(ArchiveTopic("vardocam/shed"), "vardocam/shed/archive");
  EXPECT_EQ(ArchivePayload(true, "空き\"不足\""), "{\"state\":\"full\",\"detail\":\"空き\\\"不足\\\"\"}");
  EXPECT_EQ(ArchivePayload(false, ""), "{\"state\":\"recording\",\"detail\":\"\"}");
}
