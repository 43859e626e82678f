// The event archive's parts: the ring of compressed frames before an
// alarm, the clip as FFmpeg reads it back (also after a kill -9), the
// limits that keep the events folder from filling the disk, and the
// recorder that makes an event folder of an alarm.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/ClipWriter.h"
#include "archive/EventFolder.h"
#include "archive/EventLayout.h"
#include "archive/EventRecorder.h"
#include "archive/FrameRing.h"
#include "archive/Retention.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;
constexpr int64_t kNowMs = int64_t{1796000000} * 1000;  // some day in 2026

// A JPEG (one row of bytes, as the camera hands them on) of a small
// picture whose grey level tells the frames apart.
cv::Mat Jpeg(int level, cv::Size size = {160, 120}) {
  cv::Mat picture(size, CV_8UC3, cv::Scalar::all(level));
  cv::putText(picture, std::to_string(level), {10, size.height / 2}, cv::FONT_HERSHEY_SIMPLEX, 1.0,
              cv::Scalar(255 - level, 80, 200), 2);
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", picture, bytes);
  return cv::Mat(bytes, true).reshape(1, 1);
}

int64_t FrameTime(int i, double fps) { return std::llround(i * 1000.0 / fps); }

// What ffprobe makes of a clip: its packets, the last one's time, the codec.
struct Probe {
  bool ran = false;
  int packets = 0;
  double lastPts = -1;
  std::string codec;
};

std::string RunCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int rc = pclose(pipe);
  if (status) *status = rc;
  return out;
}

bool HaveFfprobe() { return std::system("ffprobe -version >/dev/null 2>&1") == 0; }

Probe FfProbe(const std::string& path) {
  Probe probe;
  int status = -1;
  const std::string times =
      RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" + path + "'", &status);
  if (status != 0) return probe;
  probe.ran = true;
  std::istringstream lines(times);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) {
      ++probe.packets;
      probe.lastPts = std::atof(line.c_str());
    }
  probe.codec = RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 '" + path + "'");
  while (!probe.codec.empty() && std::isspace(static_cast<unsigned char>(probe.codec.back()))) probe.codec.pop_back();
  return probe;
}

#define SKIP_WITHOUT_FFPROBE() \
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg, scripts/packages.txt) is not installed"

// An event folder as the recorder leaves it, with a clip of `bytes`.
std::string MakeEvent(const std::string& root, const std::string& name, int64_t startMs, size_t bytes) {
  const std::string folder = root + "/" + name;
  fs::create_directories(folder);
  EventInfo info;
  info.startMs = startMs;
  info.endMs = startMs + 5000;
  info.frames = 10;
  WriteFileBytes(folder + "/" + kEventMarkerFile, EventMarkerText(info, true));
  WriteFileBytes(folder + "/" + kEventClip, std::string(bytes, 'x'));
  return folder;
}
} // namespace

// ---- The ring ---------------------------------------------------------------

struct RingCase {
  double fps;
  int64_t preMs;
  size_t frames;  // held after a long run: the newest and those within preMs before it
};

class RingLength : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingLength, HoldsThePreSecondsAtTheCamerasRate) {
  const RingCase c = GetParam();
  FrameRing ring(c.preMs);
  const cv::Mat jpeg = Jpeg(100);
  for (int i = 0; i < 600; ++i) ring.Push(ClipFrame{jpeg, FrameTime(i, c.fps)});
  EXPECT_EQ(ring.Frames(), c.frames);
  EXPECT_LE(ring.SpanMs(), c.preMs);
  EXPECT_GT(ring.SpanMs() + 1000.0 / c.fps, static_cast<double>(c.preMs));
  EXPECT_EQ(ring.Bytes(), c.frames * jpeg.total());
  const std::deque<ClipFrame> taken = ring.Take();
  EXPECT_EQ(taken.size(), c.frames);
  EXPECT_EQ(taken.back().timeMs, FrameTime(599, c.fps));
  EXPECT_EQ(ring.Frames(), 0u);
  EXPECT_EQ(ring.Bytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Archive, RingLength,
                         ::testing::Values(RingCase{10, 3000, 31}, RingCase{30, 3000, 91},
                                           RingCase{30, 1000, 31}, RingCase{10, 0, 1}));

TEST(FrameRing, MemoryIsBoundedByTheByteLimitWhateverThePreSeconds) {
  // 1080p-sized JPEGs at 30 fps with the longest pre-seconds allowed:
  // 30 s would be 360 MB, the ring keeps kMaxRingBytes.
  constexpr size_t kFrameBytes = 400 * 1024;
  FrameRing ring(30000);
  for (int i = 0; i < 900; ++i) ring.Push(ClipFrame{cv::Mat(1, kFrameBytes, CV_8UC1), FrameTime(i, 30)});
  EXPECT_LE(ring.Bytes(), kMaxRingBytes);
  EXPECT_EQ(ring.Frames(), kMaxRingBytes / kFrameBytes);
  EXPECT_EQ(ring.Bytes(), ring.Frames() * kFrameBytes);
}

TEST(FrameRing, AClockThatStepsBackStartsAfresh) {
  FrameRing ring(3000);
  const cv::Mat jpeg = Jpeg(10);
  for (int i = 0; i < 10; ++i) ring.Push(ClipFrame{jpeg, 5000 + i * 100});
  ring.Push(ClipFrame{jpeg, 100});
  EXPECT_EQ(ring.Frames(), 1u);
}

// ---- The clip ---------------------------------------------------------------

struct ClipCase {
  double fps;
  int frames;
};

class ClipReadBack : public ::testing::TestWithParam<ClipCase> {};

TEST_P(ClipReadBack, FfmpegReadsEveryFrameAtItsTime) {
  SKIP_WITHOUT_FFPROBE();
  const ClipCase c = GetParam();
  TempDir dir;
  const std::string path = dir.File("clip.mkv");
  const int64_t start = 123456789;  // any steady clock
  {
    ClipWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, 160, 120, kNowMs, &error)) << error;
    for (int i = 0; i < c.frames; ++i) {
      const cv::Mat jpeg = Jpeg(i * 2);
      ASSERT_TRUE(writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), start + FrameTime(i, c.fps), &error)) << error;
    }
    EXPECT_EQ(writer.Frames(), c.frames);
    EXPECT_EQ(writer.DurationMs(), FrameTime(c.frames - 1, c.fps));
    EXPECT_TRUE(writer.Close());
  }
  const Probe probe = FfProbe(path);
  ASSERT_TRUE(probe.ran);
  EXPECT_EQ(probe.codec, "mjpeg");
  EXPECT_EQ(probe.packets, c.frames);
  EXPECT_NEAR(probe.lastPts, (c.frames - 1) / c.fps, 0.002);
  const double duration = std::atof(
      RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'").c_str());
  EXPECT_NEAR(duration, c.frames / c.fps, 1.5 / c.fps);

  // OpenCV's reader decodes each frame: the pictures are the ones written.
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  ASSERT_TRUE(capture.isOpened());
  cv::Mat frame;
  int read = 0;
  while (capture.read(frame)) {
    ASSERT_EQ(frame.size(), cv::Size(160, 120));
    EXPECT_NEAR(frame.at<cv::Vec3b>(5, 5)[0], read * 2, 3) << read;
    ++read;
  }
  EXPECT_EQ(read, c.frames);
}

INSTANTIATE_TEST_SUITE_P(Archive, ClipReadBack,
                         ::testing::Values(ClipCase{10, 25}, ClipCase{30, 90}, ClipCase{30, 1}));

TEST(ClipWriter, AClipCutShortByKillNineStillPlaysToItsLastSecond) {
  SKIP_WITHOUT_FFPROBE();
  TempDir dir;
  const std::string path = dir.File("clip.mkv");
  constexpr int kWritten = 90;  // 3 s at 30 fps
  constexpr double kFps = 30;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child writes the clip, says so, and waits mid-clip to be killed.
    close(ready[0]);
    ClipWriter writer;
    if (!writer.Open(path, 160, 120, kNowMs, nullptr)) _exit(2);
    for (int i = 0; i < kWritten; ++i) {
      const cv::Mat jpeg = Jpeg(i);
      if (!writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), FrameTime(i, kFps), nullptr)) _exit(3);
    }
    if (write(ready[1], "k", 1) != 1) _exit(4);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  const bool told = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(told) << "the writer ended early, status " << status;
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  const Probe probe = FfProbe(path);
  ASSERT_TRUE(probe.ran) << "ffprobe could not open the cut clip";
  EXPECT_EQ(probe.codec, "mjpeg");
  // Each frame is flushed as it is written: at most the last second is lost.
  EXPECT_GE(probe.packets, kWritten - static_cast<int>(kFps));
  EXPECT_GE(probe.lastPts, (kWritten - 1) / kFps - 1.0);
  std::printf("kill -9 after %d frames: ffprobe reads %d frames, last at %.3f s\n", kWritten, probe.packets,
              probe.lastPts);
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  ASSERT_TRUE(capture.isOpened());
  cv::Mat frame;
  int decoded = 0;
  while (capture.read(frame)) ++decoded;
  EXPECT_EQ(decoded, probe.packets);
}

// ---- Retention ----------------------------------------------------------------

struct RetentionCase {
  const char* name;
  int64_t maxBytes;
  int64_t maxAgeMs;
  std::vector<int> ages;           // days before now of each event, oldest first
  std::vector<bool> survives;      // per event
};

class RetentionLimitsTest : public ::testing::TestWithParam<RetentionCase> {};

TEST_P(RetentionLimitsTest, TheOldestGoFirst) {
  const RetentionCase c = GetParam();
  TempDir dir;
  constexpr size_t kEventBytes = 100 * 1000;
  std::vector<std::string> folders;
  for (size_t i = 0; i < c.ages.size(); ++i)
    folders.push_back(MakeEvent(dir.Path(), "event" + std::to_string(i), kNowMs - c.ages[i] * kDayMs, kEventBytes));
  const RetentionResult result = ApplyRetention(dir.Path(), {c.maxBytes, c.maxAgeMs}, kNowMs, "");
  int removed = 0;
  for (size_t i = 0; i < folders.size(); ++i) {
    EXPECT_EQ(fs::exists(folders[i]), c.survives[i]) << c.name << " event " << i;
    removed += c.survives[i] ? 0 : 1;
  }
  EXPECT_EQ(result.removed, removed) << c.name;
  EXPECT_EQ(result.failed, 0);
  EXPECT_EQ(result.kept, static_cast<int>(folders.size()) - removed);
  if (c.maxBytes > 0) {
    EXPECT_LE(result.bytesKept, c.maxBytes) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Archive, RetentionLimitsTest,
    ::testing::Values(
        RetentionCase{"size", 250 * 1000, 0, {4, 3, 2, 1}, {false, false, true, true}},
        RetentionCase{"age", 0, 30 * kDayMs, {40, 31, 29, 1}, {false, false, true, true}},
        RetentionCase{"both", 150 * 1000, 30 * kDayMs, {40, 10, 1}, {false, false, true}},
        RetentionCase{"none", 0, 0, {400, 1}, {true, true}},
        RetentionCase{"within", 1000 * 1000, 30 * kDayMs, {20, 1}, {true, true}}));

TEST(Retention, TheEventJustRecordedIsKeptEvenWhenItIsTheOldest) {
  TempDir dir;
  const std::string old = MakeEvent(dir.Path(), "a", kNowMs - 3 * kDayMs, 1000);
  const std::string other = MakeEvent(dir.Path(), "b", kNowMs - kDayMs, 1000);
  const RetentionResult result = ApplyRetention(dir.Path(), {1, kDayMs / 2}, kNowMs, old);
  EXPECT_TRUE(fs::exists(old));
  EXPECT_FALSE(fs::exists(other));
  EXPECT_EQ(result.removed, 1);
}

TEST(Retention, OnlyOurOwnFoldersAreEverDeleted) {
  TempDir dir;
  const std::string root = dir.File("events");
  fs::create_directories(root);
  const std::string ours = MakeEvent(root, "2026-01-01_00-00-00", kNowMs - 100 * kDayMs, 5000);
  // A folder of the user's, one whose marker is someone else's, a file, and
  // links to an event folder (ours, outside the root) and to a foreign one.
  fs::create_directories(root + "/holiday");
  WriteFileBytes(root + "/holiday/photo.jpg", std::string(50000, 'p'));
  fs::create_directories(root + "/other");
  WriteFileBytes(root + "/other/event.txt", "something else 1\nstart_ms=0\n");
  WriteFileBytes(root + "/notes.txt", "mine");
  const std::string outside = MakeEvent(dir.Path(), "elsewhere", kNowMs - 200 * kDayMs, 5000);
  fs::create_directory_symlink(outside, root + "/2025-01-01_00-00-00");
  fs::create_directory_symlink(root + "/holiday", root + "/linked-holiday");

  const RetentionResult result = ApplyRetention(root, {1, 1}, kNowMs, "");
  EXPECT_EQ(result.removed, 1);
  EXPECT_FALSE(fs::exists(ours));
  EXPECT_TRUE(fs::exists(root + "/holiday/photo.jpg"));
  EXPECT_TRUE(fs::exists(root + "/other/event.txt"));
  EXPECT_TRUE(fs::exists(root + "/notes.txt"));
  EXPECT_TRUE(fs::is_symlink(root + "/2025-01-01_00-00-00"));
  EXPECT_TRUE(fs::exists(outside + "/" + kEventClip));
  EXPECT_TRUE(fs::is_symlink(root + "/linked-holiday"));
}

TEST(Retention, TheFloorIsTheFixedAmountOrAShareOfASmallFileSystem) {
  EXPECT_EQ(FreeSpaceFloor(int64_t{1} << 40), kMinFreeBytes);
  EXPECT_EQ(FreeSpaceFloor(int64_t{2} << 20), (int64_t{2} << 20) / 100 * kMinFreePercent);
  int64_t freeBytes = 0, totalBytes = 0;
  TempDir dir;
  // A folder not made yet is measured on its nearest parent.
  ASSERT_TRUE(FileSystemSpace(dir.File("not/yet/there"), freeBytes, totalBytes));
  EXPECT_GT(totalBytes, 0);
  EXPECT_LE(freeBytes, totalBytes);
}

// ---- The recorder -------------------------------------------------------------

namespace {
class RecorderTest : public ::testing::Test {
protected:
  EventRecorderOptions Options() {
    EventRecorderOptions options;
    options.root = dir.File("events");
    options.preMs = 1000;
    options.postMs = 1000;
    options.wallClockMs = [this] { return wall.load(); };
    return options;
  }
  // One frame at 30 fps: the steady time, the tick and the wall clock move on.
  void Feed(EventRecorder& recorder, int level, int32_t permille = 0, const cv::Mat* colour = nullptr) {
    ArchiveFrameInput frame;
    frame.jpeg = level >= 0 ? Jpeg(level) : cv::Mat();
    frame.timeMs = steady;
    frame.changePermille = permille;
    frame.colour = colour;
    last = frame.jpeg;
    if (recorder.Recording() && !frame.jpeg.empty()) ++clipFrames;
    recorder.Frame(frame);
    recorder.Tick(tick);
    steady += 33;
    tick += 33;
    wall += 33;
  }
  std::vector<std::string> Events(const std::string& root = "") const {
    std::vector<std::string> names;
    for (const EventInfo& e : ListEvents(root.empty() ? dir.File("events") : root)) names.push_back(e.folder);
    return names;
  }

  TempDir dir;
  int64_t steady = 5000000;
  uint32_t tick = 4000000000u;  // wraps during the event
  std::atomic<int64_t> wall{kNowMs};
  int clipFrames = 0;
  cv::Mat last;
};
} // namespace

TEST_F(RecorderTest, AnAlarmBecomesAFolderWithItsPicturesMarkerAndClip) {
  SKIP_WITHOUT_FFPROBE();
  cv::Mat first, peak;
  std::string folder;
  {
    EventRecorder recorder(Options());
    for (int i = 0; i < 60; ++i) Feed(recorder, i);  // 2 s before: the ring keeps 1 s
    const size_t pre = recorder.Ring().Frames();
    EXPECT_EQ(pre, 31u);
    clipFrames = static_cast<int>(pre);
    first = last;
    const int64_t startWall = wall;
    recorder.AlarmStarted(tick, cv::Mat());
    EXPECT_TRUE(recorder.Recording());
    for (int i = 0; i < 30; ++i) {
      Feed(recorder, 100 + i, i == 12 ? 80 : 10);
      if (i == 12) peak = last;
    }
    recorder.AlarmEnded(tick);
    const int64_t endWall = wall;
    for (int i = 0; i < 60 && recorder.Recording(); ++i) Feed(recorder, 200);
    EXPECT_FALSE(recorder.Recording());
    recorder.Finish();
    const std::vector<ArchiveReport> reports = recorder.TakeReports();
    const ArchiveReport* archived = nullptr;
    for (const ArchiveReport& r : reports)
      if (r.kind == ArchiveReport::Kind::Archived) archived = &r;
    ASSERT_NE(archived, nullptr);
    folder = archived->event.folder;
    EXPECT_EQ(archived->event.startMs, startWall);
    EXPECT_EQ(archived->event.endMs, endWall);
    EXPECT_EQ(archived->event.frames, clipFrames);
    EXPECT_FALSE(archived->event.person);
    EXPECT_EQ(fs::path(folder).filename().string(), EventFolderName(startWall));
  }
  // About 1 s of post-seconds at 30 fps.
  EXPECT_GE(clipFrames, 31 + 30 + 29);
  EXPECT_LE(clipFrames, 31 + 30 + 32);
  ASSERT_EQ(Events(), std::vector<std::string>{folder});
  EventInfo info;
  ASSERT_TRUE(ReadEventInfo(folder, info));
  EXPECT_EQ(info.frames, clipFrames);
  EXPECT_GT(info.endMs, info.startMs);
  const std::string marker = ReadFileBytes(folder + "/" + kEventMarkerFile);
  EXPECT_EQ(marker.rfind(std::string(kEventMarkerLine) + "\n", 0), 0u);
  for (const char* key : {"start_ms=", "end_ms=", "person=0", "frames="})
    EXPECT_NE(marker.find(key), std::string::npos) << key;
  // The pictures are the camera's own JPEGs: the alarm's frame and the one that changed most.
  EXPECT_EQ(ReadFileBytes(folder + "/" + kEventFirstPicture),
            std::string(first.ptr<char>(), first.total()));
  EXPECT_EQ(ReadFileBytes(folder + "/" + kEventPeakPicture), std::string(peak.ptr<char>(), peak.total()));
  EXPECT_FALSE(fs::exists(folder + "/" + kEventPersonPicture));
  const Probe probe = FfProbe(folder + "/" + kEventClip);
  EXPECT_EQ(probe.packets, clipFrames);
  // From 1 s before the alarm to 1 s after it: 3 s of 33 ms frames.
  EXPECT_NEAR(probe.lastPts, (clipFrames - 1) * 0.033, 0.002);
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_EQ(entry.path().extension(), entry.path().filename() == kEventMarkerFile ? ".txt"
                                        : entry.path().filename() == kEventClip     ? ".mkv"
                                                                                    : ".jpg")
        << entry.path();
}

TEST_F(RecorderTest, APersonConfirmedMakesPersonJpgAndMarksTheEvent) {
  EventRecorder recorder(Options());
  Feed(recorder, 10);
  recorder.PersonConfirmed(cv::Mat(120, 160, CV_8UC3, cv::Scalar(0, 0, 255)));  // no event yet: ignored
  recorder.AlarmStarted(tick, cv::Mat());
  Feed(recorder, 20);
  recorder.PersonConfirmed(cv::Mat(120, 160, CV_8UC3, cv::Scalar(0, 255, 0)));
  recorder.PersonConfirmed(cv::Mat(120, 160, CV_8UC3, cv::Scalar(255, 0, 0)));  // the first one counts
  Feed(recorder, 30);
  recorder.Finish();
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EventInfo info;
  ASSERT_TRUE(ReadEventInfo(events[0], info));
  EXPECT_TRUE(info.person);
  const cv::Mat person = cv::imread(events[0] + "/" + kEventPersonPicture);
  ASSERT_FALSE(person.empty());
  EXPECT_GT(person.at<cv::Vec3b>(60, 80)[1], 200);
  EXPECT_LT(person.at<cv::Vec3b>(60, 80)[0], 50);
}

TEST_F(RecorderTest, AnAlarmDuringThePostSecondsGoesOnInTheSameEvent) {
  EventRecorder recorder(Options());
  Feed(recorder, 1);
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 10; ++i) Feed(recorder, 2);
  recorder.AlarmEnded(tick);
  for (int i = 0; i < 10; ++i) Feed(recorder, 3);  // a third of the post-seconds
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 10; ++i) Feed(recorder, 4);
  recorder.AlarmEnded(tick);
  for (int i = 0; i < 60 && recorder.Recording(); ++i) Feed(recorder, 5);
  recorder.Finish();
  ASSERT_EQ(Events().size(), 1u);
  int archived = 0;
  for (const ArchiveReport& r : recorder.TakeReports()) archived += r.kind == ArchiveReport::Kind::Archived;
  EXPECT_EQ(archived, 1);
}

TEST_F(RecorderTest, FramesWithoutAJpegGivePicturesButNoClip) {
  EventRecorder recorder(Options());
  const cv::Mat calm(120, 160, CV_8UC3, cv::Scalar::all(40));
  const cv::Mat busy(120, 160, CV_8UC3, cv::Scalar::all(220));
  Feed(recorder, -1, 0, &calm);
  recorder.AlarmStarted(tick, calm);
  Feed(recorder, -1, 5, &calm);
  Feed(recorder, -1, 90, &busy);
  Feed(recorder, -1, 20, &calm);
  recorder.Finish();
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NEAR(cv::mean(cv::imread(events[0] + "/" + kEventFirstPicture))[0], 40, 3);
  EXPECT_NEAR(cv::mean(cv::imread(events[0] + "/" + kEventPeakPicture))[0], 220, 3);
  EXPECT_FALSE(fs::exists(events[0] + "/" + kEventClip));
  EventInfo info;
  ASSERT_TRUE(ReadEventInfo(events[0], info));
  EXPECT_EQ(info.frames, 0);
}

TEST_F(RecorderTest, AFullQueueDropsFramesAndSaysSoOnce) {
  EventRecorderOptions options = Options();
  options.maxQueuedFrames = 5;
  EventRecorder recorder(options);
  recorder.Finish();  // the start's retention is done
  recorder.TakeReports();
  recorder.PauseWriter(true);
  Feed(recorder, 1);
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 20; ++i) Feed(recorder, 2);
  EXPECT_EQ(recorder.FramesDropped(), 15u);
  int notices = 0;
  for (const ArchiveReport& r : recorder.TakeReports()) notices += r.kind == ArchiveReport::Kind::Notice;
  EXPECT_EQ(notices, 1);
  recorder.Finish();  // lets the writer go on
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EventInfo info;
  ASSERT_TRUE(ReadEventInfo(events[0], info));
  EXPECT_EQ(info.frames, 1 + 5);  // the ring's frame and the five queued
}

TEST_F(RecorderTest, ClosingWhileRecordingEndsTheEventWhole) {
  std::string folder;
  {
    EventRecorder recorder(Options());
    Feed(recorder, 1);
    recorder.AlarmStarted(tick, cv::Mat());
    Feed(recorder, 2);
  }
  const std::vector<EventInfo> events = ListEvents(dir.File("events"));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_GT(events[0].endMs, 0);
  EXPECT_EQ(events[0].frames, 2);
}

TEST_F(RecorderTest, EachEventEndAppliesTheLimits) {
  EventRecorderOptions options = Options();
  options.limits.maxAgeMs = 30 * kDayMs;
  fs::create_directories(options.root);
  const std::string old = MakeEvent(options.root, "old", kNowMs - 40 * kDayMs, 100);
  const std::string foreign = options.root + "/foreign";
  fs::create_directories(foreign);
  {
    EventRecorder recorder(options);
    recorder.Finish();
    EXPECT_FALSE(fs::exists(old));  // at the start already
    const std::string older = MakeEvent(options.root, "older", kNowMs - 50 * kDayMs, 100);
    Feed(recorder, 1);
    recorder.AlarmStarted(tick, cv::Mat());
    Feed(recorder, 2);
    recorder.Finish();
    EXPECT_FALSE(fs::exists(older));  // at the event's end
  }
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_TRUE(fs::exists(foreign));
}

// ---- The free-space floor, on a small file system of its own ------------------

namespace {
// A 2 MB tmpfs, unmounted at the end; Ok() false where mounting is not allowed.
class SmallFileSystem {
public:
  explicit SmallFileSystem(const std::string& path) : path_(path) {
    fs::create_directories(path_);
    ok_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=2m") == 0;
    if (!ok_) why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (ok_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Ok() const { return ok_; }
  const std::string& Why() const { return why_; }

private:
  std::string path_;
  bool ok_ = false;
  std::string why_;
};

bool WaitForReport(EventRecorder& recorder, ArchiveReport::Kind kind, std::vector<ArchiveReport>& seen,
                   int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    for (ArchiveReport& r : recorder.TakeReports()) seen.push_back(std::move(r));
    for (const ArchiveReport& r : seen)
      if (r.kind == kind) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}
} // namespace

TEST_F(RecorderTest, BelowTheFreeSpaceFloorNothingIsRecordedAndTheChangeIsSaidOnceEachWay) {
  SmallFileSystem small(dir.File("small"));
  if (!small.Ok())
    GTEST_SKIP() << "cannot mount a 2 MB tmpfs here (needs root): " << small.Why();
  EventRecorderOptions options = Options();
  options.root = dir.File("small/events");
  options.floorCheckMs = 50;
  int64_t freeBytes = 0, totalBytes = 0;
  ASSERT_TRUE(FileSystemSpace(options.root, freeBytes, totalBytes));
  const int64_t floor = FreeSpaceFloor(totalBytes);  // 5 % of 2 MB
  ASSERT_GT(freeBytes, floor);
  // Something else fills the file system to 40 KB short of the floor.
  const std::string filler = dir.File("small/filler");
  WriteFileBytes(filler, std::string(static_cast<size_t>(freeBytes - floor + 40 * 1024), 'f'));

  EventRecorder recorder(options);
  std::vector<ArchiveReport> seen;
  ASSERT_TRUE(WaitForReport(recorder, ArchiveReport::Kind::FloorChanged, seen));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].belowFloor);
  EXPECT_NE(seen[0].text.find("イベントの記録を止めています"), std::string::npos) << seen[0].text;
  EXPECT_TRUE(recorder.BelowFloor());
  Feed(recorder, 1);
  recorder.AlarmStarted(tick, cv::Mat());
  EXPECT_FALSE(recorder.Recording());
  for (int i = 0; i < 5; ++i) Feed(recorder, 2);
  recorder.AlarmEnded(tick);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // several checks, said once
  recorder.Finish();
  EXPECT_TRUE(Events(options.root).empty());
  for (ArchiveReport& r : recorder.TakeReports()) EXPECT_NE(r.kind, ArchiveReport::Kind::FloorChanged);

  // Room again: said once, and the next alarm is recorded.
  fs::remove(filler);
  seen.clear();
  ASSERT_TRUE(WaitForReport(recorder, ArchiveReport::Kind::FloorChanged, seen));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].belowFloor);
  recorder.AlarmStarted(tick, cv::Mat());
  Feed(recorder, 3);
  recorder.Finish();
  EXPECT_EQ(Events(options.root).size(), 1u);
}

TEST_F(RecorderTest, EventsOnASmallFileSystemNeverFillIt) {
  SmallFileSystem small(dir.File("small"));
  if (!small.Ok())
    GTEST_SKIP() << "cannot mount a 2 MB tmpfs here (needs root): " << small.Why();
  EventRecorderOptions options = Options();
  options.root = dir.File("small/events");
  // A frame that compresses badly, so that each event is about 300 KB.
  cv::Mat noise(120, 160, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", noise, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
  const cv::Mat jpeg = cv::Mat(bytes, true).reshape(1, 1);
  const int framesPerEvent = static_cast<int>(300 * 1024 / jpeg.total());
  ASSERT_GE(framesPerEvent, 2);
  // Room for two and a half events (the clip, first.jpg and peak.jpg): two are kept.
  const int64_t eventBytes = static_cast<int64_t>((framesPerEvent + 3) * jpeg.total());
  options.limits.maxBytes = eventBytes * 5 / 2;
  EventRecorder recorder(options);
  // Ten alarms, each of which alone fits, but not all of them together.
  for (int event = 0; event < 10; ++event) {
    wall += 2000;
    steady += 5000;
    ArchiveFrameInput before;
    before.jpeg = jpeg;
    before.timeMs = steady;
    recorder.Frame(before);  // the alarm's frame: the ring lets go of the last event's
    recorder.AlarmStarted(tick, cv::Mat());
    for (int i = 0; i < framesPerEvent; ++i) {
      ArchiveFrameInput frame;
      frame.jpeg = jpeg;
      frame.timeMs = steady += 33;
      recorder.Frame(frame);
    }
    recorder.AlarmEnded(tick);
    recorder.Tick(tick + 5000);
    recorder.Finish();
    int64_t used = 0;
    for (const EventInfo& e : ListEvents(options.root)) used += EventFolderBytes(e.folder);
    EXPECT_LE(used, options.limits.maxBytes) << event;

  }
  int64_t freeBytes = 0, totalBytes = 0;
  ASSERT_TRUE(FileSystemSpace(options.root, freeBytes, totalBytes));
  EXPECT_GE(freeBytes, FreeSpaceFloor(totalBytes));
  EXPECT_EQ(ListEvents(options.root).size(), 2u);
  for (const ArchiveReport& r : recorder.TakeReports())
    EXPECT_NE(r.kind, ArchiveReport::Kind::Notice) << r.text;
}
