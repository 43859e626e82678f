// The event archive's parts: the ring of frames before an alarm, the clip
// as FFmpeg reads it back (also after a kill -9), the limits that keep the
// events folder from filling the disk, and the recorder's event folders.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive/ClipWriter.h"
#include "archive/EventFolder.h"
#include "archive/EventMarker.h"
#include "archive/EventRecorder.h"
#include "archive/FrameRing.h"
#include "archive/Retention.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;
constexpr int64_t kNowMs = int64_t{1796000000} * 1000;

// A camera JPEG (one row of bytes) whose grey level tells the frames apart.
cv::Mat Jpeg(int level) {
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(level)), bytes);
  return cv::Mat(bytes, true).reshape(1, 1);
}

std::string Bytes(const cv::Mat& jpeg) { return std::string(jpeg.ptr<char>(), jpeg.total()); }

int64_t FrameTime(int i, double fps) { return std::llround(i * 1000.0 / fps); }

// ffprobe's view of a clip: its packets and the last one's time (s).
struct Probe {
  bool ran = false;
  int packets = 0;
  double lastPts = -1;
};

Probe FfProbe(const std::string& path) {
  Probe probe;
  FILE* pipe = popen(("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
                      path + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return probe;
  char line[128];
  while (fgets(line, sizeof line, pipe))
    if (line[0] != '\n') {
      ++probe.packets;
      probe.lastPts = std::atof(line);
    }
  probe.ran = pclose(pipe) == 0;
  return probe;
}

#define SKIP_WITHOUT_FFPROBE()                                        \
  if (std::system("ffprobe -version >/dev/null 2>&1") != 0)           \
  GTEST_SKIP() << "ffprobe (Debian package ffmpeg, scripts/packages.txt) is not installed"

// An event folder as the recorder leaves it, with a clip of `bytes`.
std::string MakeEvent(const std::string& root, const std::string& name, int64_t startMs, size_t bytes) {
  const std::string folder = root + "/" + name;
  fs::create_directories(folder);
  EventInfo info;
  info.startMs = startMs;
  WriteFileBytes(folder + "/" + kEventMarkerFile, EventMarkerText(info, true));
  WriteFileBytes(folder + "/" + kEventClip, std::string(bytes, 'x'));
  return folder;
}
} // namespace

struct RingCase {
  double fps;
  int64_t preMs;
  size_t frameBytes;
  size_t frames;  // held: the newest and those within preMs before it, or what the byte limit allows
};

class RingLength : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingLength, HoldsThePreSecondsAtTheCamerasRateWithinTheByteLimit) {
  const RingCase c = GetParam();
  FrameRing ring(c.preMs);
  for (int i = 0; i < 1000; ++i) ring.Push(ClipFrame{cv::Mat(1, static_cast<int>(c.frameBytes), CV_8UC1), FrameTime(i, c.fps)});
  EXPECT_EQ(ring.Frames(), c.frames);
  EXPECT_LE(ring.Bytes(), kMaxRingBytes);
  EXPECT_LE(ring.SpanMs(), c.preMs);
  EXPECT_EQ(ring.Take().back().timeMs, FrameTime(999, c.fps));
  EXPECT_EQ(ring.Bytes(), 0u);
}

// 30 s of 1080p JPEGs at 30 fps would be 360 MB: the ring keeps kMaxRingBytes.
INSTANTIATE_TEST_SUITE_P(Archive, RingLength,
                         ::testing::Values(RingCase{10, 3000, 4000, 31}, RingCase{30, 3000, 4000, 91},
                                           RingCase{30, 0, 4000, 1},
                                           RingCase{30, 30000, 400 * 1024, kMaxRingBytes / (400 * 1024)}));

class ClipReadBack : public ::testing::TestWithParam<double> {};

TEST_P(ClipReadBack, FfprobeFindsEveryFrameAtItsTime) {
  SKIP_WITHOUT_FFPROBE();
  const double fps = GetParam();
  const int frames = static_cast<int>(fps * 3);
  TempDir dir;
  ClipWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.File("clip.mkv"), 160, 120, kNowMs, &error)) << error;
  for (int i = 0; i < frames; ++i) {
    const cv::Mat jpeg = Jpeg(i);
    ASSERT_TRUE(writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), 777000 + FrameTime(i, fps), &error)) << error;
  }
  EXPECT_TRUE(writer.Close());
  const Probe probe = FfProbe(dir.File("clip.mkv"));
  ASSERT_TRUE(probe.ran);
  EXPECT_EQ(probe.packets, frames);
  EXPECT_NEAR(probe.lastPts, (frames - 1) / fps, 0.002);
}

INSTANTIATE_TEST_SUITE_P(Archive, ClipReadBack, ::testing::Values(10.0, 30.0));

TEST(ClipWriter, AClipCutShortByKillNineStillPlaysToItsLastSecond) {
  SKIP_WITHOUT_FFPROBE();
  TempDir dir;
  constexpr int kWritten = 90;  // 3 s at 30 fps
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Writes, says so, and waits mid-clip to be killed.
    ClipWriter writer;
    if (!writer.Open(dir.File("clip.mkv"), 160, 120, kNowMs, nullptr)) _exit(2);
    for (int i = 0; i < kWritten; ++i) {
      const cv::Mat jpeg = Jpeg(i);
      if (!writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), FrameTime(i, 30), nullptr)) _exit(3);
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
  const Probe probe = FfProbe(dir.File("clip.mkv"));
  ASSERT_TRUE(probe.ran) << "ffprobe could not open the cut clip";
  EXPECT_GE(probe.packets, kWritten - 30);
  EXPECT_GE(probe.lastPts, (kWritten - 1) / 30.0 - 1.0);
}

struct RetentionCase {
  int64_t maxBytes;
  int64_t maxAgeMs;
  std::vector<int> ages;       // days before now, oldest first; 100 KB each
  std::vector<bool> survives;
};

class RetentionLimitsTest : public ::testing::TestWithParam<RetentionCase> {};

TEST_P(RetentionLimitsTest, TheOldestGoFirst) {
  const RetentionCase c = GetParam();
  TempDir dir;
  std::vector<std::string> folders;
  for (size_t i = 0; i < c.ages.size(); ++i)
    folders.push_back(MakeEvent(dir.Path(), "e" + std::to_string(i), kNowMs - c.ages[i] * kDayMs, 100000));
  const RetentionResult result = ApplyRetention(dir.Path(), {c.maxBytes, c.maxAgeMs}, kNowMs, "");
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(fs::exists(folders[i]), c.survives[i]) << i;
  EXPECT_EQ(result.kept, std::count(c.survives.begin(), c.survives.end(), true));
}

INSTANTIATE_TEST_SUITE_P(
    Archive, RetentionLimitsTest,
    ::testing::Values(RetentionCase{250000, 0, {4, 3, 2, 1}, {false, false, true, true}},
                      RetentionCase{0, 30 * kDayMs, {40, 31, 29, 1}, {false, false, true, true}},
                      RetentionCase{150000, 30 * kDayMs, {40, 10, 1}, {false, false, true}},
                      RetentionCase{0, 0, {400, 1}, {true, true}}));

// Two profiles may share one events folder: each deletes and counts only its
// own events (and those of markers from before profiles were named). Age is
// not applied on a clock that is before the newest event or a year past it.
TEST(Retention, OwnProfileOnlyAndNoAgeOnAnImplausibleClock) {
  struct Event { const char* profile; int64_t startMs; };  // profile nullptr: an old marker
  struct Row { const char* what; int64_t nowMs; int64_t maxBytes; std::vector<Event> events;
               std::vector<bool> survives; bool ageSkipped; };
  const int64_t year = 365 * kDayMs;
  const Row rows[] = {
      {"another profile's old event", kNowMs, 0, {{"front", kNowMs - 40 * kDayMs}, {"default", kNowMs - 40 * kDayMs},
                                                  {nullptr, kNowMs - 40 * kDayMs}}, {true, false, false}, false},
      {"another profile's bytes", kNowMs, 150000, {{"front", kNowMs - 3 * kDayMs}, {"front", kNowMs - 2 * kDayMs},
                                                   {"default", kNowMs - kDayMs}}, {true, true, true}, false},
      {"clock before the newest event", kNowMs - 5 * kDayMs, 0, {{"default", kNowMs - 400 * kDayMs},
                                                                 {"default", kNowMs}}, {true, true}, true},
      {"clock 400 days ahead", kNowMs + 400 * kDayMs, 0, {{"default", kNowMs}}, {true}, true},
      {"events made 10 years behind", kNowMs, 0, {{"default", kNowMs - 10 * year}}, {true}, true},
      {"a plausible clock", kNowMs, 0, {{"default", kNowMs - year}, {"default", kNowMs - kDayMs}}, {false, true},
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    std::vector<std::string> folders;
    for (size_t i = 0; i < row.events.size(); ++i) {
      const std::string folder = MakeEvent(dir.Path(), "e" + std::to_string(i), row.events[i].startMs, 100000);
      EventInfo info;
      info.startMs = row.events[i].startMs;
      info.profile = row.events[i].profile ? row.events[i].profile : "";
      std::string marker = EventMarkerText(info, true);
      if (!row.events[i].profile) marker = marker.substr(0, marker.find("profile="));
      WriteFileBytes(folder + "/" + kEventMarkerFile, marker);
      folders.push_back(folder);
    }
    const RetentionResult result = ApplyRetention(dir.Path(), {row.maxBytes, 30 * kDayMs}, row.nowMs, "", "default");
    for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(fs::exists(folders[i]), row.survives[i]) << i;
    EXPECT_EQ(!result.ageSkipped.empty(), row.ageSkipped) << result.ageSkipped;
    // Our own events' clips end owner-only, whatever mode their writer gave them.
    for (size_t i = 0; i < folders.size(); ++i)
      if (row.survives[i] && (!row.events[i].profile || std::string(row.events[i].profile) != "front")) {
        EXPECT_EQ(fs::status(folders[i] + "/" + kEventClip).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write) << i;
      }
  }
}

TEST(Retention, OnlyOurOwnFoldersAreDeletedAndTheEventJustRecordedIsKept) {
  TempDir dir;
  const std::string root = dir.File("events");
  const std::string ours = MakeEvent(root, "a", kNowMs - 100 * kDayMs, 5000);
  const std::string justRecorded = MakeEvent(root, "b", kNowMs - 200 * kDayMs, 5000);
  // The user's folder, someone else's marker, a file, and links to an event
  // folder outside the root and to the user's folder.
  WriteFileBytes(MakeEvent(root, "holiday", 0, 0) + "/" + kEventMarkerFile, "photos\n");
  WriteFileBytes(root + "/notes.txt", "mine");
  const std::string outside = MakeEvent(dir.Path(), "elsewhere", kNowMs - 300 * kDayMs, 5000);
  fs::create_directory_symlink(outside, root + "/linked-event");
  fs::create_directory_symlink(root + "/holiday", root + "/linked-holiday");

  const RetentionResult result = ApplyRetention(root, {1, 1}, kNowMs, justRecorded);
  EXPECT_EQ(result.removed, 1);
  EXPECT_FALSE(fs::exists(ours));
  EXPECT_TRUE(fs::exists(justRecorded));
  for (const char* name : {"holiday", "notes.txt", "linked-event", "linked-holiday"})
    EXPECT_TRUE(fs::exists(fs::symlink_status(root + "/" + name))) << name;
  EXPECT_TRUE(fs::exists(outside + "/" + kEventClip));
}

// The marker is parsed from its bytes; the file is only read for them. A
// folder is ours by the marker's first line alone, and a marker longer
// than ours ever are is someone else's.
TEST(EventMarker, ParsedFromItsBytesAndReadOnlyWhenItIsOurs) {
  EventInfo ended;
  ended.startMs = kNowMs;
  ended.endMs = kNowMs + 65000;
  ended.person = true;
  ended.frames = 812;
  const std::string head = std::string(kEventMarkerLine) + "\n";
  struct Row {
    const char* what;
    std::string bytes;
    bool parsed;
    bool read;
    EventInfo info;
  } rows[] = {
      {"ended, as written", EventMarkerText(ended, true), true, true, ended},
      {"still recording", EventMarkerText({"", kNowMs, 0, false, 0, ""}, false), true, true, {"", kNowMs, 0, false, 0, ""}},
      {"no line end at the last", head + "start_ms=5\nframes=7", true, true, {"", 5, 0, false, 7, ""}},
      {"unknown keys, bare lines, bad numbers", head + "x=1\nbare\nstart_ms=abc\nperson=2\n", true, true,
       {"", 0, 0, true, 0, ""}},
      {"a NUL in a number", head + std::string("frames=4\0" "9\n", 11), true, true, {"", 0, 0, false, 4, ""}},
      {"only the first line", std::string(kEventMarkerLine), true, true, {}},
      {"someone else's", "photos\n", false, false, {}},
      {"first line with CR", std::string(kEventMarkerLine) + "\r\nstart_ms=5\n", false, false, {}},
      {"empty", "", false, false, {}},
      {"longer than ours", head + std::string(kEventMarkerMaxBytes, '#'), true, false, {}},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::optional<EventInfo> parsed = ParseEventMarker(row.bytes);
    ASSERT_EQ(parsed.has_value(), row.parsed);
    const std::string folder = dir.File(row.what);
    fs::create_directories(folder);
    WriteFileBytes(folder + "/" + kEventMarkerFile, row.bytes);
    EventInfo read;
    ASSERT_EQ(ReadEventInfo(folder, read), row.read);
    if (!row.read) continue;
    EXPECT_EQ(read.folder, folder);
    for (const EventInfo& info : {*parsed, read}) {
      EXPECT_EQ(info.startMs, row.info.startMs);
      EXPECT_EQ(info.endMs, row.info.endMs);
      EXPECT_EQ(info.person, row.info.person);
      EXPECT_EQ(info.frames, row.info.frames);
    }
  }
  // The profile is taken whole or not at all; a marker without one says so.
  const std::pair<std::string, std::string> profiles[] = {
      {"profile=玄関 カメラ\n", "玄関 カメラ"}, {"profile=" + std::string(kMarkerProfileMaxBytes, 'a'),
                                             std::string(kMarkerProfileMaxBytes, 'a')},
      {"profile=" + std::string(kMarkerProfileMaxBytes + 1, 'a'), ""}, {"start_ms=1\n", ""}};
  for (const auto& [line, profile] : profiles) EXPECT_EQ(ParseEventMarker(head + line)->profile, profile) << line;
}

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
  // One frame at 30 fps; counted when it goes into the open event's clip.
  cv::Mat Feed(EventRecorder& recorder, int level, int32_t permille = 0) {
    ArchiveFrameInput frame;
    frame.jpeg = Jpeg(level);
    frame.timeMs = steady += 33;
    frame.changePermille = permille;
    clipFrames += recorder.Recording();
    recorder.Frame(frame);
    recorder.Tick(tick += 33);
    wall += 33;
    return frame.jpeg;
  }
  std::vector<EventInfo> Events(const std::string& root) const { return ListEvents(root); }

  TempDir dir;
  int64_t steady = 5000000;
  uint32_t tick = 4294967000u;  // wraps during the event
  std::atomic<int64_t> wall{kNowMs};
  int clipFrames = 0;
};
} // namespace

TEST_F(RecorderTest, AnAlarmBecomesAFolderWithItsPicturesMarkerAndClip) {
  SKIP_WITHOUT_FFPROBE();
  EventRecorder recorder(Options());
  cv::Mat first, peak;
  for (int i = 0; i < 60; ++i) first = Feed(recorder, i);  // 2 s before: the ring keeps 1 s
  clipFrames = static_cast<int>(recorder.RingFrames());
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 30; ++i) {
    const cv::Mat jpeg = Feed(recorder, 100 + i, i == 12 ? 80 : 10);
    if (i == 12) peak = jpeg;
    if (i == 20) recorder.PersonConfirmed(cv::Mat(120, 160, CV_8UC3, cv::Scalar(0, 255, 0)));
  }
  recorder.AlarmEnded(tick);
  // An alarm within the post-seconds goes on in the same event.
  for (int i = 0; i < 10; ++i) Feed(recorder, 200);
  recorder.AlarmStarted(tick, cv::Mat());
  recorder.AlarmEnded(tick);
  for (int i = 0; i < 60 && recorder.Recording(); ++i) Feed(recorder, 210);
  recorder.Finish();
  EXPECT_EQ(clipFrames, 31 + 30 + 10 + 31);

  const std::vector<EventInfo> events = Events(Options().root);
  ASSERT_EQ(events.size(), 1u);
  const EventInfo& e = events[0];
  EXPECT_EQ(e.startMs, kNowMs + 60 * 33);
  EXPECT_EQ(e.endMs, kNowMs + 100 * 33);
  EXPECT_TRUE(e.person);
  EXPECT_EQ(e.frames, clipFrames);
  EXPECT_EQ(fs::path(e.folder).filename(), EventFolderName(e.startMs));
  int archived = 0;
  for (const ArchiveReport& r : recorder.TakeReports()) archived += r.kind == ArchiveReport::Kind::Archived;
  EXPECT_EQ(archived, 1);
  // The pictures are the camera's own JPEGs: the alarm's frame and the one that changed most.
  EXPECT_EQ(ReadFileBytes(e.folder + "/" + kEventFirstPicture), Bytes(first));
  EXPECT_EQ(ReadFileBytes(e.folder + "/" + kEventPeakPicture), Bytes(peak));
  EXPECT_GT(cv::imread(e.folder + "/" + kEventPersonPicture).at<cv::Vec3b>(60, 80)[1], 200);
  const Probe probe = FfProbe(e.folder + "/" + kEventClip);
  EXPECT_EQ(probe.packets, clipFrames);
  EXPECT_NEAR(probe.lastPts, (clipFrames - 1) * 0.033, 0.002);
}

TEST_F(RecorderTest, AFullQueueDropsFramesAndSaysSoOnce) {
  EventRecorderOptions options = Options();
  options.maxQueuedFrames = 5;
  EventRecorder recorder(options);
  recorder.Finish();
  recorder.TakeReports();
  recorder.PauseWriter(true);
  Feed(recorder, 1);
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 20; ++i) Feed(recorder, 2);
  EXPECT_EQ(recorder.FramesDropped(), 15u);
  const std::vector<ArchiveReport> reports = recorder.TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].kind, ArchiveReport::Kind::Notice);
  recorder.Finish();  // lets the writer go on
  ASSERT_EQ(Events(options.root).size(), 1u);
  EXPECT_EQ(Events(options.root)[0].frames, 1 + 5);  // the ring's frame and the five queued
}

TEST_F(RecorderTest, BelowTheFreeSpaceFloorNothingIsRecordedAndEachChangeIsSaidOnce) {
  const std::string small = dir.File("small");
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "cannot mount a 2 MB tmpfs here (needs root): " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  EventRecorderOptions options = Options();
  options.root = small + "/events";
  options.floorCheckMs = 50;
  int64_t freeBytes = 0, totalBytes = 0;
  ASSERT_TRUE(FileSystemSpace(options.root, freeBytes, totalBytes));
  // Something else fills the file system to 40 KB short of the floor.
  WriteFileBytes(small + "/filler", std::string(freeBytes - FreeSpaceFloor(totalBytes) + 40960, 'f'));

  EventRecorder recorder(options);
  auto floorSaid = [&](std::vector<bool>& said) {
    for (const ArchiveReport& r : recorder.TakeReports())
      if (r.kind == ArchiveReport::Kind::FloorChanged) said.push_back(r.belowFloor);
  };
  std::vector<bool> said;
  for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) floorSaid(said);
  EXPECT_EQ(said, std::vector<bool>{true});
  Feed(recorder, 1);
  recorder.AlarmStarted(tick, cv::Mat());
  EXPECT_FALSE(recorder.Recording());
  recorder.Finish();
  EXPECT_TRUE(Events(options.root).empty());

  fs::remove(small + "/filler");
  for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) floorSaid(said);
  EXPECT_EQ(said, (std::vector<bool>{true, false}));
  recorder.AlarmStarted(tick, cv::Mat());
  Feed(recorder, 3);
  recorder.Finish();
  EXPECT_EQ(Events(options.root).size(), 1u);
}
