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
#include <tuple>
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

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;

namespace {
constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;
constexpr int64_t kNowMs = int64_t{1796000000} * 1000;

// A camera JPEG (one row of bytes) whose grey level tells the frames apart.
cv::Mat Jpeg(int level, cv::Size size = {160, 120}) {
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", cv::Mat(size, CV_8UC3, cv::Scalar::all(level)), bytes);
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

// What ffprobe prints for these entries of a clip's video ("stream=width,height"), a line each.
std::vector<std::string> FfProbeLines(const std::string& path, const std::string& entries, bool* ran = nullptr) {
  std::vector<std::string> lines;
  FILE* pipe = popen(("ffprobe -v error -select_streams v:0 -show_entries " + entries + " -of csv=p=0 '" + path +
                      "' 2>/dev/null").c_str(), "r");
  if (!pipe) return lines;
  char line[128];
  while (fgets(line, sizeof line, pipe)) lines.emplace_back(line, strcspn(line, "\n"));
  const bool ok = pclose(pipe) == 0;
  if (ran) *ran = ok;
  return lines;
}

Probe FfProbe(const std::string& path) {
  Probe probe;
  for (const std::string& line : FfProbeLines(path, "packet=pts_time", &probe.ran))
    if (!line.empty()) ++probe.packets, probe.lastPts = std::atof(line.c_str());
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
  int keyEvery = 0;  // a stream's packets with a key frame every so many; 0: JPEGs
};

// A stream camera's video packet of `bytes`, a key frame or not.
ClipFrame StreamPacket(size_t bytes, bool key, int64_t timeMs) {
  AVPacket* packet = av_packet_alloc();
  av_new_packet(packet, static_cast<int>(bytes));
  packet->flags = key ? AV_PKT_FLAG_KEY : 0;
  ClipFrame frame;
  frame.packet = SharePacket(packet);
  frame.timeMs = timeMs;
  av_packet_free(&packet);
  return frame;
}

class RingLength : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingLength, HoldsThePreSecondsAtTheCamerasRateWithinTheByteLimit) {
  const RingCase c = GetParam();
  FrameRing ring(c.preMs);
  for (int i = 0; i < 1000; ++i)
    ring.Push(c.keyEvery ? StreamPacket(c.frameBytes, i % c.keyEvery == 0, FrameTime(i, c.fps))
                         : ClipFrame{cv::Mat(1, static_cast<int>(c.frameBytes), CV_8UC1), FrameTime(i, c.fps)});
  EXPECT_EQ(ring.Frames(), c.frames);
  EXPECT_LE(ring.Bytes(), kMaxRingBytes);
  if (c.keyEvery) {
    // A stream's ring starts on a key frame at least the pre-seconds back.
    const std::deque<ClipFrame> held = ring.Take();
    EXPECT_TRUE(held.front().Anchor());
    const bool byteLimited = (c.frames + c.keyEvery) * c.frameBytes > kMaxRingBytes;
    if (!byteLimited) {
      EXPECT_GE(held.back().timeMs - held.front().timeMs, c.preMs);
    }
    return;
  }
  EXPECT_LE(ring.SpanMs(), c.preMs);
  EXPECT_EQ(ring.Take().back().timeMs, FrameTime(999, c.fps));
  EXPECT_EQ(ring.Bytes(), 0u);
}

// 30 s of 1080p JPEGs at 30 fps would be 360 MB: the ring keeps kMaxRingBytes.
INSTANTIATE_TEST_SUITE_P(Archive, RingLength,
                         ::testing::Values(RingCase{10, 3000, 4000, 31}, RingCase{30, 3000, 4000, 91},
                                           RingCase{30, 0, 4000, 1},
                                           RingCase{30, 30000, 400 * 1024, kMaxRingBytes / (400 * 1024)},
                                           // Key frames every second: back to 96.0 s from 99.9 s.
                                           RingCase{10, 3000, 4000, 40, 10}, RingCase{10, 0, 4000, 10, 10},
                                           // Over the byte limit the oldest key frame's packets go
                                           // whole: from 48.0 s (frame 720) on.
                                           RingCase{15, 30000, 200 * 1024, 280, 60}));

struct ClipCase {
  double fps;
  int seconds;
  bool fullHd;  // 1080p frames of about 580 KB: the clip passes 32 MiB
};

class ClipReadBack : public ::testing::TestWithParam<ClipCase> {};

TEST_P(ClipReadBack, FfprobeFindsEveryFrameAtItsTime) {
  SKIP_WITHOUT_FFPROBE();
  const double fps = GetParam().fps;
  const int frames = static_cast<int>(fps * GetParam().seconds);
  cv::Mat big;
  if (GetParam().fullHd) {
    cv::Mat noise(1080, 1920, CV_8UC3);
    cv::randu(noise, 0, 255);
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", noise, bytes, {cv::IMWRITE_JPEG_QUALITY, 30});
    big = cv::Mat(bytes, true).reshape(1, 1);
  }
  TempDir dir;
  ClipWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.File("clip.mkv"), 160, 120, kNowMs, &error)) << error;
  for (int i = 0; i < frames; ++i) {
    const cv::Mat jpeg = big.empty() ? Jpeg(i) : big;
    ASSERT_TRUE(writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), 777000 + FrameTime(i, fps), &error)) << error;
  }
  if (GetParam().fullHd) {
    EXPECT_GT(writer.Bytes(), int64_t{32} << 20);
  }
  EXPECT_TRUE(writer.Close());
  const Probe probe = FfProbe(dir.File("clip.mkv"));
  ASSERT_TRUE(probe.ran);
  EXPECT_EQ(probe.packets, frames);
  EXPECT_NEAR(probe.lastPts, (frames - 1) / fps, 0.002);
}

INSTANTIATE_TEST_SUITE_P(Archive, ClipReadBack,
                         ::testing::Values(ClipCase{10, 3, false}, ClipCase{30, 3, false}, ClipCase{15, 5, true}));

// A stream camera's packets as libavformat reads them from `path`.
struct CameraPackets {
  std::shared_ptr<const StreamTracks> tracks;
  std::vector<ClipPacket> packets;
};

// Up to `most` video packets, and the audio among them.
CameraPackets ReadPackets(const std::string& path, size_t most) {
  CameraPackets read;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return read;
  if (avformat_find_stream_info(format, nullptr) >= 0) {
    const AVStream* video = format->streams[0];
    const AVStream* audio = format->nb_streams > 1 ? format->streams[1] : nullptr;
    read.tracks = std::make_shared<const StreamTracks>(video->codecpar, video->time_base.num, video->time_base.den,
                                                       audio ? audio->codecpar : nullptr,
                                                       audio ? audio->time_base.num : 1, audio ? audio->time_base.den : 1);
    AVPacket* packet = av_packet_alloc();
    size_t videos = 0;
    while (videos < most && av_read_frame(format, packet) >= 0) {
      ClipPacket clip;
      clip.packet = SharePacket(packet);
      clip.tracks = read.tracks;
      clip.audio = packet->stream_index == 1;
      clip.timeMs = read.tracks->VideoMs(packet->pts);
      videos += !clip.audio;
      if (packet->stream_index <= 1) read.packets.push_back(std::move(clip));
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return read;
}

// The camera's sound: AAC goes into the clip as it came, other sound is left out and named.
TEST(ClipWriter, AacSoundIsKeptOtherSoundIsLeftOutAndNamed) {
  SKIP_WITHOUT_FFPROBE();
  for (const auto& [encoder, streams, dropped] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"aac", "h264,aac,", ""}, {"mp2", "h264,", "mp2"}}) {
    TempDir dir;
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i "
                           "sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -g 30 -pix_fmt yuv420p -c:a " +
                           encoder + " -f mpegts '" + dir.File("camera.ts") + "'").c_str()),
              0);
    const CameraPackets camera = ReadPackets(dir.File("camera.ts"), 45);
    ClipWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(dir.File("clip.mkv"), camera.tracks, kNowMs, &error)) << error;
    for (const ClipPacket& packet : camera.packets) ASSERT_TRUE(writer.Write(packet, &error)) << error;
    EXPECT_EQ(writer.DroppedAudio(), dropped);
    EXPECT_TRUE(writer.Close());
    FILE* pipe = popen(("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + dir.File("clip.mkv") +
                        "' | tr '\\n' ,").c_str(), "r");
    char line[128] = {};
    const bool read = pipe && fgets(line, sizeof line, pipe);
    if (pipe) pclose(pipe);
    EXPECT_TRUE(read);
    EXPECT_EQ(std::string(line), streams) << encoder;
  }
}

class ClipKilled : public ::testing::TestWithParam<bool> {};

TEST_P(ClipKilled, AClipCutShortByKillNineStillPlaysToItsLastSecond) {
  SKIP_WITHOUT_FFPROBE();
  TempDir dir;
  constexpr int kWritten = 90;  // 3 s at 30 fps
  const bool packets = GetParam();
  CameraPackets camera;
  if (packets) {
    // H.264 as a camera sends it: a key frame a second.
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 4 -c:v libx264 "
                           "-g 30 -pix_fmt yuv420p -f mpegts '" + dir.File("camera.ts") + "'").c_str()),
              0);
    camera = ReadPackets(dir.File("camera.ts"), kWritten);
    ASSERT_EQ(camera.packets.size(), static_cast<size_t>(kWritten));
  }
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Writes, says so, and waits mid-clip to be killed.
    ClipWriter writer;
    if (packets ? !writer.Open(dir.File("clip.mkv"), camera.tracks, kNowMs, nullptr)
                : !writer.Open(dir.File("clip.mkv"), 160, 120, kNowMs, nullptr))
      _exit(2);
    for (int i = 0; i < kWritten; ++i) {
      const cv::Mat jpeg = packets ? cv::Mat() : Jpeg(i);
      if (packets ? !writer.Write(camera.packets[static_cast<size_t>(i)], nullptr)
                  : !writer.Write(jpeg.ptr<uint8_t>(), jpeg.total(), FrameTime(i, 30), nullptr))
        _exit(3);
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

// The camera's JPEGs, and a stream camera's H.264 packets.
INSTANTIATE_TEST_SUITE_P(ClipWriter, ClipKilled, ::testing::Values(false, true));

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
// A file system of `megabytes` of its own at `path` (a tmpfs), gone at the
// end; mounting needs root.
class SmallDisk {
public:
  SmallDisk(std::string path, int megabytes) : path_(std::move(path)) {
    fs::create_directories(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, ("size=" + std::to_string(megabytes) + "m").c_str()) == 0;
    if (!mounted_)
      why_ = "cannot mount a " + std::to_string(megabytes) + " MB tmpfs here (needs root): " + std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Path() const { return path_; }
  const std::string& Why() const { return why_; }

private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

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
    return Feed(recorder, Jpeg(level), permille);
  }
  cv::Mat Feed(EventRecorder& recorder, const cv::Mat& jpeg, int32_t permille = 0) {
    ArchiveFrameInput frame;
    frame.jpeg = jpeg;
    frame.timeMs = steady += 33;
    frame.changePermille = permille;
    clipFrames += recorder.Recording();
    recorder.Frame(frame);
    recorder.Tick(tick += 33);
    wall += 33;
    return frame.jpeg;
  }
  std::vector<EventInfo> Events(const std::string& root) const { return ListEvents(root); }
  // Ends the alarm, feeds `jpeg` through the post-seconds and closes the recorder.
  void EndEvent(EventRecorder& recorder, const cv::Mat& jpeg) {
    recorder.AlarmEnded(tick);
    for (int i = 0; i < 60 && recorder.Recording(); ++i) Feed(recorder, jpeg);
    EXPECT_FALSE(recorder.Recording());
    recorder.Finish();
  }

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

// A wrong clock at the start deletes nothing by age and is said, once.
TEST_F(RecorderTest, AClockBeforeTheNewestEventIsSaidOnceAndDeletesNothing) {
  const std::string root = dir.File("events");
  const std::string folder = MakeEvent(root, "future", kNowMs + 30 * kDayMs, 1000);
  EventRecorderOptions options = Options();
  options.limits.maxAgeMs = kDayMs;
  EventRecorder recorder(options);
  recorder.Finish();
  int said = 0;
  for (const ArchiveReport& r : recorder.TakeReports()) said += r.text.find("時計") != std::string::npos;
  EXPECT_EQ(said, 1);
  EXPECT_TRUE(fs::exists(folder));
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
  const SmallDisk disk(dir.File("small"), 2);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string& small = disk.Path();
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

TEST_F(RecorderTest, AFailedClipIsSaidOnceKeepsWhatWasFlushedAndTheNextAlarmTriesAgain) {
  SKIP_WITHOUT_FFPROBE();
  const SmallDisk disk(dir.File("small"), 4);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string& small = disk.Path();
  EventRecorderOptions options = Options();
  options.root = small + "/events";
  options.minFreeBytes = 0;
  EventRecorder recorder(options);
  recorder.Finish();
  recorder.TakeReports();
  int64_t freeBytes = 0, totalBytes = 0;
  ASSERT_TRUE(FileSystemSpace(options.root, freeBytes, totalBytes));
  // About a second and a half of 40 KB frames fits: the disk fills in the second cluster.
  WriteFileBytes(small + "/filler", std::string(freeBytes - (2 << 20), 'f'));
  cv::Mat noise(120, 160, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", noise, bytes, {cv::IMWRITE_JPEG_QUALITY, 100});
  const cv::Mat big = cv::Mat(bytes, true).reshape(1, 1);
  ASSERT_GT(big.total(), 30000u);

  auto notices = [&](std::vector<std::string>& said) {
    for (const ArchiveReport& r : recorder.TakeReports())
      if (r.kind == ArchiveReport::Kind::Notice) said.push_back(r.text);
  };
  std::vector<std::string> said;
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 150 && said.empty(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    Feed(recorder, big);
    notices(said);
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("No space left on device"), std::string::npos) << said[0];
  for (int i = 0; i < 30; ++i) Feed(recorder, big);  // the same event: not said again

  // Room again, and another alarm while the first is still on: an event of its own.
  fs::remove(small + "/filler");
  recorder.AlarmStarted(tick, cv::Mat());
  for (int i = 0; i < 10; ++i) Feed(recorder, big);
  recorder.AlarmEnded(tick);
  for (int i = 0; i < 60 && recorder.Recording(); ++i) Feed(recorder, big);
  recorder.Finish();
  notices(said);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_NE(said[1].find("また記録できました"), std::string::npos) << said[1];

  std::vector<EventInfo> events = Events(options.root);
  ASSERT_EQ(events.size(), 2u);
  std::sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.startMs < b.startMs; });
  // The broken clip plays up to its last flushed cluster; the next is whole.
  const Probe broken = FfProbe(events[0].folder + "/" + kEventClip);
  EXPECT_TRUE(broken.ran);
  EXPECT_GE(broken.lastPts, kClipClusterMs / 1000.0 - 0.1);
  const Probe whole = FfProbe(events[1].folder + "/" + kEventClip);
  EXPECT_EQ(whole.packets, events[1].frames);
}

// The size limit holds for the whole folder: older events go while the next one
// grows, and an event alone, its peak picture included, never passes it.
TEST_F(RecorderTest, TheFolderStaysWithinItsLimitWhileAnEventGrowsAndOnceItEnds) {
  EventRecorderOptions options = Options();
  options.limits.maxBytes = 600 << 10;
  EventRecorder recorder(options);
  cv::Mat noise(120, 160, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", noise, bytes, {cv::IMWRITE_JPEG_QUALITY, 100});
  const cv::Mat noisy = cv::Mat(bytes, true).reshape(1, 1);
  auto folderBytes = [&] {
    int64_t total = 0;
    for (const EventInfo& e : Events(options.root)) total += EventFolderBytes(e.folder);
    return total;
  };
  auto alarm = [&](int frames) {
    Feed(recorder, noisy, 500);
    recorder.AlarmStarted(tick, cv::Mat());
    for (int i = 0; i < frames; ++i) Feed(recorder, noisy, 500);
  };
  alarm(40);
  EndEvent(recorder, noisy);
  ASSERT_EQ(Events(options.root).size(), 1u);
  const std::string first = Events(options.root)[0].folder;
  EXPECT_LE(folderBytes(), options.limits.maxBytes);
  EXPECT_GT(folderBytes(), options.limits.maxBytes / 2);

  wall += 5000;
  alarm(8);
  for (int i = 0; i < 500 && fs::exists(first); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(fs::exists(first)) << "the older event is kept while the next one records";
  EXPECT_TRUE(recorder.Recording());
  recorder.Finish();
  int saidRemoved = 0;
  for (const ArchiveReport& r : recorder.TakeReports()) saidRemoved += r.text.rfind("古いイベントを 1 件削除しました", 0) == 0;
  EXPECT_EQ(saidRemoved, 1) << "the history says why an event is gone";
  EXPECT_EQ(Events(options.root).size(), 1u);
  EXPECT_LE(folderBytes(), options.limits.maxBytes);
}

// A clip states one picture size: a change ends the event and another takes over with the new
// size, whether it comes in the alarm, in its post-seconds, or in the ring before it.
TEST_F(RecorderTest, APictureSizeChangeStartsANewEventWhoseClipStatesTheNewSize) {
  SKIP_WITHOUT_FFPROBE();
  const cv::Size small(160, 120), large(320, 240);
  struct Row {
    const char* what;
    int before, alarm, post;  // frames of the old size: before the alarm, in it, after it ended
    std::vector<cv::Size> clips;
  } rows[] = {
      {"in-alarm", 10, 10, 0, {small, large}},
      {"in-post-seconds", 10, 20, 5, {small, large}},
      {"before-alarm", 5, 0, 0, {large}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EventRecorderOptions options = Options();
    options.root = dir.File(row.what);
    EventRecorder recorder(options);
    for (int i = 0; i < row.before; ++i) Feed(recorder, Jpeg(10, small));
    for (int i = 0; i < (row.alarm ? 0 : 5); ++i) Feed(recorder, Jpeg(200, large));
    recorder.AlarmStarted(tick, cv::Mat());
    for (int i = 0; i < row.alarm; ++i) Feed(recorder, Jpeg(50, small));
    if (row.post) recorder.AlarmEnded(tick);
    for (int i = 0; i < row.post; ++i) Feed(recorder, Jpeg(60, small));
    for (int i = 0; i < 10; ++i) Feed(recorder, Jpeg(200, large));
    EndEvent(recorder, Jpeg(200, large));
    std::vector<EventInfo> events = Events(options.root);
    std::sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.startMs < b.startMs; });
    ASSERT_EQ(events.size(), row.clips.size());
    for (size_t i = 0; i < events.size(); ++i) {
      const std::string clip = events[i].folder + "/" + kEventClip;
      const std::string stated = std::to_string(row.clips[i].width) + "," + std::to_string(row.clips[i].height);
      EXPECT_EQ(FfProbeLines(clip, "stream=width,height"), std::vector<std::string>{stated}) << i;
      EXPECT_EQ(FfProbeLines(clip, "frame=width,height"), std::vector<std::string>(events[i].frames, stated)) << i;
      EXPECT_EQ(cv::imread(events[i].folder + "/" + kEventFirstPicture).size(), row.clips[i]) << i;
    }
    EXPECT_GE(events.back().frames, 10);  // every frame of the new size from the change on
  }
}
