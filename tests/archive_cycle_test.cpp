// The event archive in the monitoring cycle, with the cycle's fakes for the
// camera: an alarm makes an event folder and, when asked for, a summary
// mail whose failure alone is said; archiving off makes nothing. And the
// camera keeping each frame's JPEG for it, and its reader feeding the clip
// every frame while the tick is held up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "archive/EventLayout.h"
#include "monitor/MonitoringCycle.h"
#include "monitor/StatusLog.h"
#include "settings/Vardocamdef.h"
#include "support/CameraSourceTest.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
constexpr uint32_t kTickMs = 10;

std::string Bytes(const cv::Mat& jpeg) { return std::string(jpeg.ptr<char>(), jpeg.total()); }

// The scripted camera with what the archive asks of a real one: each
// frame's JPEG, and a detector with a colour picture.
class ArchiveCamera : public ScriptedCamera {
public:
  ArchiveCamera(CallLog& log, const std::string& picturePath) : ScriptedCamera(log) {
    const cv::Mat picture(120, 160, CV_8UC3, cv::Scalar(30, 90, 150));
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", picture, bytes);
    jpeg = cv::Mat(bytes, true).reshape(1, 1);
    cv::imwrite(picturePath, picture);
    detector.LoadFrame(picturePath);
  }
  nsOpenCV* Detector() override { return &detector; }
  void SetKeepJpeg(bool keep) override { keepJpeg = keep; }
  bool LatestJpeg(cv::Mat& out, int64_t& timeMs) override {
    out = jpeg;
    timeMs = GetTickCount();
    return keepJpeg;
  }
  cv::Mat jpeg;
  bool keepJpeg = false;
  nsOpenCV detector{"IMAGE"};
};

class SummaryMail : public RecordingMail {
public:
  using RecordingMail::RecordingMail;
  MailResult SendEventSummaryMail(const MailContext&, const EventInfo&) override {
    ++summaries;
    return result;
  }
  int summaries = 0;
  MailResult result;
};

class ArchiveListener : public IMonitorEvents {
public:
  void On(const MonitorEvent& event) override {
    switch (event.kind) {
    case MonitorEvent::Kind::EventArchived: archived.push_back(event.archived); break;
    case MonitorEvent::Kind::Notice: notices.push_back(event.text); break;
    case MonitorEvent::Kind::MailDone: notices.push_back(MailDoneLine(event)); break;
    case MonitorEvent::Kind::AlertMailHeldBack: held.push_back(event.sameEvent); break;
    case MonitorEvent::Kind::TestAlarmStep: notices.push_back(event.text); break;
    default: break;
    }
  }
  std::vector<EventInfo> archived;
  std::vector<std::string> notices;  // and what the mails of the events said
  std::vector<bool> held;  // sameEvent of each held-back alert mail
};
} // namespace

struct CycleCase {
  bool archive;
  bool summaryMail;
  bool summarySent;
  int summaries;
  int notices;
};

class ArchiveCycleFixture : public ::testing::Test {
protected:
  // The camera, and archiving into dir/events with an alarm on the first motion; the settings go
  // back after the test.
  void UseArchive(bool archive) {
    AppSettings = typVardocam{};
    AppSettings.START_MOVE_OBJECT = 0;
    AppSettings.EVENT_ARCHIVE = archive;
    AppSettings.EVENT_DIR = dir.File("events");
    auto owned = std::make_unique<ArchiveCamera>(log, dir.File("picture.jpg"));
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
    cycle.AddEventListener(&listener);
  }
  void TearDown() override { AppSettings = typVardocam{}; }
  // Ticks until the event is archived, or 10 s have passed.
  void TickUntilArchived(size_t events) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (listener.archived.size() < events && std::chrono::steady_clock::now() < end) Tick(false);
  }
  void Tick(bool motion) {
    clock.Advance(kTickMs);
    camera->motion = motion;
    cycle.CaptureTimerTimer();
    // The writer works in real time, a little of it between frames.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  void TickFor(uint32_t ms, bool motion) {
    for (uint32_t t = 0; t < ms; t += kTickMs) Tick(motion);
  }

  TempDir dir;
  FakeClock clock{1000000};
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  SummaryMail mail{log};
  MonitoringCycle cycle{timer, pump, sound, mail};
  ArchiveCamera* camera = nullptr;
  ArchiveListener listener;
};

class ArchiveCycle : public ArchiveCycleFixture, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(ArchiveCycle, AnAlarmMakesAnEventFolderAndItsSummaryMail) {
  const CycleCase c = GetParam();
  UseArchive(c.archive);
  AppSettings.USEMAIL = true;
  AppSettings.EVENT_SUMMARY_MAIL = c.summaryMail;
  AppSettings.EVENT_PRE_SECONDS = 1;
  AppSettings.EVENT_POST_SECONDS = 1;
  mail.result = {c.summarySent, c.summarySent ? "" : "テストのため送りません"};

  ASSERT_TRUE(cycle.StartMonitoring());
  TickFor(1500, false);
  Tick(true);
  Tick(true);
  ASSERT_NE(cycle.AlarmStartTick(), 0u);
  TickFor(kAlarmSpacingMs + 1100, false);  // the alarm's end and the post-seconds
  if (c.archive) TickUntilArchived(1);
  cycle.StopMonitoring();

  EXPECT_EQ(camera->keepJpeg, c.archive);
  EXPECT_EQ(mail.summaries, c.summaries);
  ASSERT_EQ(static_cast<int>(listener.notices.size()), c.notices);
  if (c.notices) {
    EXPECT_EQ(listener.notices[0], c.summarySent ? "イベントのまとめメールを送信しました"
                                                 : "イベントのまとめメールを送信できませんでした：テストのため送りません");
  }
  if (!c.archive) {
    EXPECT_EQ(cycle.Archive(), nullptr);
    EXPECT_FALSE(fs::exists(dir.File("events")));
    EXPECT_TRUE(listener.archived.empty());
    return;
  }
  ASSERT_EQ(listener.archived.size(), 1u);
  const EventInfo event = listener.archived[0];
  // 1 s before (a frame per 10 ms tick), the alarm's 5 s, 1 s after.
  EXPECT_GE(event.frames, 100 + 500 + 100);
  EXPECT_LE(event.frames, 101 + 520 + 102);
  EventInfo marker;
  ASSERT_TRUE(ReadEventInfo(event.folder, marker));
  EXPECT_EQ(marker.endMs, event.endMs);
  EXPECT_EQ(marker.frames, event.frames);
  EXPECT_EQ(ReadFileBytes(event.folder + "/" + kEventFirstPicture), Bytes(camera->jpeg));
  EXPECT_EQ(ReadFileBytes(event.folder + "/" + kEventPeakPicture), Bytes(camera->jpeg));
  EXPECT_TRUE(fs::exists(event.folder + "/" + kEventClip));
}

INSTANTIATE_TEST_SUITE_P(Archive, ArchiveCycle,
                         ::testing::Values(CycleCase{true, false, false, 0, 0}, CycleCase{true, true, true, 1, 1},
                                           CycleCase{true, true, false, 1, 1}, CycleCase{false, true, false, 0, 0}));

struct KeptCase {
  const char* file;
  int fourcc;
  bool keep;
};

class KeptJpeg : public CameraSourceTest, public ::testing::WithParamInterface<KeptCase> {};

TEST_P(KeptJpeg, FilesGiveTheirOwnJpegOrOneMadeOnceAndNoneWhenOff) {
  const KeptCase c = GetParam();
  cv::Mat scene(120, 160, CV_8UC3);
  cv::randu(scene, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::GaussianBlur(scene, scene, cv::Size(9, 9), 3);
  const std::string video = dir_.File(c.file);
  {
    cv::VideoWriter writer(video, c.fourcc, 20, scene.size());
    if (!writer.isOpened()) GTEST_SKIP() << "OpenCV cannot write " << c.file << " here";
    for (int i = 0; i < 5; ++i) writer.write(scene);
  }
  vision_.SetKeepJpeg(c.keep);
  ASSERT_TRUE(vision_.OpenCamera(0, video));
  ASSERT_TRUE(vision_.GrabFrameToFile(frameFile_));
  cv::Mat jpeg;
  int64_t timeMs = 0;
  ASSERT_EQ(vision_.LatestJpeg(jpeg, timeMs), c.keep);
  if (!c.keep) return;
  cv::Mat diff;
  cv::absdiff(cv::imdecode(jpeg, cv::IMREAD_COLOR), cv::imread(frameFile_), diff);
  EXPECT_LT(cv::mean(diff.reshape(1))[0], 3.0);
  if (c.fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G')) {
    // The file's own packet, not a JPEG made again.
    cv::VideoCapture raw(video, cv::CAP_FFMPEG);
    ASSERT_TRUE(raw.set(cv::CAP_PROP_FORMAT, -1));
    cv::Mat packet;
    ASSERT_TRUE(raw.read(packet));
    EXPECT_EQ(Bytes(jpeg), Bytes(packet.reshape(1, 1)));
  }
}

INSTANTIATE_TEST_SUITE_P(Archive, KeptJpeg,
                         ::testing::Values(KeptCase{"mjpeg.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), true},
                                           KeptCase{"ffv1.avi", cv::VideoWriter::fourcc('F', 'F', 'V', '1'), true},
                                           KeptCase{"off.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), false}));

namespace {
// A real camera reading a file at its own rate, whose detector sees what
// the test says, and which notes the time of every JPEG its reader publishes.
class PublishingCamera : public NsOpenCVCamera {
public:
  PublishingCamera() : NsOpenCVCamera("IMAGE") {}
  bool DetectMotion(int32_t, uint32_t, const MotionOptions&) override { return motion; }
  bool SetJpegTap(JpegTap tap) override {
    if (!tap) return NsOpenCVCamera::SetJpegTap(JpegTap());
    // The reader's thread; read only once the camera is closed.
    return NsOpenCVCamera::SetJpegTap([this, tap](const ClipPacket& packet) {
      published.push_back(packet.timeMs);
      tap(packet);
    });
  }
  bool motion = false;
  std::vector<int64_t> published;
};

// The clip's frame times (ms from its first), as ffprobe reads them.
std::vector<int64_t> ClipTimes(const std::string& path) {
  std::vector<int64_t> times;
  FILE* pipe = popen(("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
                      path + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return times;
  char line[128];
  while (fgets(line, sizeof line, pipe))
    if (line[0] != '\n') times.push_back(std::llround(std::atof(line) * 1000));
  pclose(pipe);
  return times;
}
} // namespace

// The alert mail is sent inside the tick just after the alarm starts; the
// tick sees none of the frames that arrive meanwhile, and the clip must.
TEST(ArchiveFeed, AClipHasEveryFrameTheReaderPublishedWhileTheTickWasHeldUp) {
  if (std::system("ffprobe -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffprobe is not installed";
  constexpr int kFps = 20;
  static constexpr int kMailMs = 2000;
  TempDir dir;
  const std::string video = dir.File("camera.avi");
  {
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kFps, cv::Size(160, 120));
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 40; ++i) writer.write(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(i * 6)));
  }
  CaptureTimings timings;
  timings.settleMs = 0;
  SetCaptureTimings(timings);
  struct Restore {
    fs::path folder = fs::current_path();
    ~Restore() {
      fs::current_path(folder);
      SetCaptureTimings(CaptureTimings());
      AppSettings = typVardocam{};
    }
  } restore;
  fs::current_path(dir.Path());  // the tick's frame file
  AppSettings = typVardocam{};
  AppSettings.CAMERA_URL = video;
  AppSettings.START_MOVE_OBJECT = 0;
  AppSettings.USEMAIL = true;
  AppSettings.EVENT_ARCHIVE = true;
  AppSettings.EVENT_DIR = dir.File("events");
  AppSettings.EVENT_PRE_SECONDS = 1;
  AppSettings.EVENT_POST_SECONDS = 0;
  CallLog log;
  FakeTimer timer;
  FakePump pump{log};
  RecordingSound sound{log};
  RecordingMail mail{log};
  mail.onAlert = [] { std::this_thread::sleep_for(std::chrono::milliseconds(kMailMs)); };
  MonitoringCycle cycle{timer, pump, sound, mail};
  ArchiveListener listener;
  cycle.AddEventListener(&listener);
  auto owned = std::make_unique<PublishingCamera>();
  PublishingCamera* camera = owned.get();
  cycle.SetCamera(std::move(owned));
  ASSERT_TRUE(cycle.StartMonitoring());
  auto tickFor = [&](int ms) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      cycle.CaptureTimerTimer();
  };
  tickFor(1500);
  camera->motion = true;
  tickFor(50);  // the alarm, and the mail that holds the tick
  camera->motion = false;
  tickFor(500);
  cycle.StopMonitoring();

  ASSERT_EQ(mail.alerts, 1);
  ASSERT_EQ(listener.archived.size(), 1u);
  const std::vector<int64_t> clip = ClipTimes(listener.archived[0].folder + "/" + kEventClip);
  // The pre-second, the mail's 2 s and some after.
  ASSERT_GE(clip.size(), static_cast<size_t>((1000 + kMailMs) * kFps / 1000));
  EXPECT_EQ(static_cast<int64_t>(clip.size()), listener.archived[0].frames);
  // A run of the published frames with none left out: the same times apart.
  const std::vector<int64_t> published = camera->published;
  bool found = false;
  for (size_t i = 0; !found && i + clip.size() <= published.size(); ++i) {
    found = true;
    for (size_t k = 0; found && k < clip.size(); ++k) found = published[i + k] - published[i] == clip[k];
  }
  EXPECT_TRUE(found) << clip.size() << " frames in the clip, " << published.size() << " published";
}

// With the first alarm only, 12 s of motion give one alert mail (a tick's each after 5 s without
// it) and the hold is said once; without the archive it does nothing; the next event mails again.
struct FirstOnlyCase {
  bool archive, firstOnly;
  int alerts, heldSaid;
};

class FirstAlarmOnly : public ArchiveCycleFixture, public ::testing::WithParamInterface<FirstOnlyCase> {};

TEST_P(FirstAlarmOnly, OneAlertMailAnEventWhenAskedFor) {
  const FirstOnlyCase c = GetParam();
  UseArchive(c.archive);
  AppSettings.USEMAIL = true;
  AppSettings.ALERT_MAIL_FIRST_ONLY = c.firstOnly;
  AppSettings.EVENT_POST_SECONDS = 1;
  ASSERT_TRUE(cycle.StartMonitoring());
  Tick(false);
  TickFor(12000, true);
  EXPECT_EQ(mail.alerts, c.alerts);
  TickFor(kAlarmSpacingMs + 1100, false);  // the alarm's end and the post-second
  if (c.archive) TickUntilArchived(1);
  Tick(true);
  EXPECT_EQ(mail.alerts, c.alerts + 1);
  cycle.StopMonitoring();
  EXPECT_EQ(listener.held, std::vector<bool>(c.heldSaid, true));  // each said as the same event's
}

INSTANTIATE_TEST_SUITE_P(Archive, FirstAlarmOnly,
                         ::testing::Values(FirstOnlyCase{true, true, 1, 1}, FirstOnlyCase{true, false, 700, 0},
                                           FirstOnlyCase{false, true, 700, 0}));

// A test alarm's folder is marked as one, with monitoring off (a recorder of its own) or on
// between events; during an event it makes none, as a test never goes into a real event.
struct TestFolderCase {
  const char* name;
  bool monitoring, duringEvent;
};

class TestAlarmFolder : public ArchiveCycleFixture, public ::testing::WithParamInterface<TestFolderCase> {};

TEST_P(TestAlarmFolder, MarkedAsATestAndNeverInARealEvent) {
  const TestFolderCase c = GetParam();
  UseArchive(true);
  if (c.monitoring) {
    ASSERT_TRUE(cycle.StartMonitoring());
    Tick(false);
    if (c.duringEvent) Tick(true);
  }
  ASSERT_TRUE(cycle.TestAlarm(nullptr));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!c.duringEvent && listener.archived.empty() && std::chrono::steady_clock::now() < end) {
    if (c.monitoring) Tick(false);
    else cycle.ServeTestAlarm();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (c.monitoring) cycle.StopMonitoring();
  const std::string said = listener.notices.empty() ? "" : listener.notices.back();
  if (c.duringEvent) {
    EXPECT_EQ(said, "テスト警報: 記録中のイベントがあるため、テストのイベントは作りませんでした");
    for (const EventInfo& event : listener.archived) EXPECT_FALSE(event.test);
    return;
  }
  ASSERT_FALSE(listener.archived.empty());
  const EventInfo event = listener.archived.front();
  EXPECT_EQ(said, "テスト警報: イベントのフォルダを作りました: " + event.folder);
  EventInfo marker;
  ASSERT_TRUE(ReadEventInfo(event.folder, marker));
  EXPECT_TRUE(marker.test);
  EXPECT_EQ(marker.frames, 0);
  EXPECT_TRUE(fs::exists(event.folder + "/" + kEventFirstPicture));
}

INSTANTIATE_TEST_SUITE_P(Archive, TestAlarmFolder,
                         ::testing::Values(TestFolderCase{"off", false, false}, TestFolderCase{"between", true, false},
                                           TestFolderCase{"during", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });
