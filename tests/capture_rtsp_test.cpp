// RTSP cameras against a real server: GStreamer's RTSP server
// (tests/peers/rtsp_server.py) playing H.264 and H.265 that ffmpeg made with
// libx264 and libx265 for this run, read through the camera source, and
// their event clips as ffprobe reads them back.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "archive/EventLayout.h"
#include "archive/EventRecorder.h"
#include "capture/AvStreamReader.h"
#include "capture/CameraSource.h"
#include "support/ChildProcess.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kServerStartMs = 10000;
constexpr int kResumeMs = 15000;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool Listening(int port) { return LoopbackPortUp(port); }

// The streams every case may serve, made once: 320x240 at 15 fps with a
// key frame a second, and one that turns 640x360 after 3 s.
struct Footage {
  TempDir dir;
  bool made = false;
  std::string Path(const std::string& name) const { return dir.File(name + ".ts"); }
  static bool Make(const std::string& args, const std::string& out) {
    return std::system(("ffmpeg -v error -nostdin -y " + args + " -f mpegts '" + out + "'").c_str()) == 0;
  }
  Footage() {
    const std::string x264 = " -c:v libx264 -g 15 -pix_fmt yuv420p";
    made = Make("-f lavfi -i testsrc2=size=320x240:rate=15 -t 30" + x264, Path("h264")) &&
           Make("-f lavfi -i testsrc2=size=320x240:rate=15 -t 30 -c:v libx265 -g 15 -x265-params log-level=error",
                Path("h265")) &&
           Make("-f lavfi -i testsrc2=size=320x240:rate=15 -t 3" + x264, Path("small")) &&
           Make("-f lavfi -i testsrc2=size=640x360:rate=15 -t 27" + x264 + " -output_ts_offset 3", Path("large")) &&
           std::system(("cat '" + Path("small") + "' '" + Path("large") + "' > '" + Path("resize") + "'").c_str()) == 0;
  }
};

const char* MissingPeer() {
  if (std::system("/usr/bin/python3 -c \"import gi; gi.require_version('GstRtspServer', '1.0'); "
                  "from gi.repository import GstRtspServer\" >/dev/null 2>&1") != 0)
    return "GStreamer's RTSP server for Python (gir1.2-gst-rtsp-server-1.0, python3-gi) is not installed";
  if (std::system("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx265") != 0)
    return "ffmpeg with libx264 and libx265 (Debian package ffmpeg) is not installed";
  return nullptr;
}

// What ffprobe says of a file's video: codec, packets, whether the first
// is a key frame, the time from the first to the last, the packets' bytes.
struct VideoProbe {
  std::string codec;
  int packets = 0;
  bool keyFirst = false;
  double seconds = 0;
  double bytes = 0;
};

VideoProbe ProbeVideo(const std::string& path) {
  VideoProbe probe;
  const std::string base = "ffprobe -v error -select_streams v:0 ";
  FILE* pipe = popen((base + "-show_entries stream=codec_name -of csv=p=0 '" + path + "'").c_str(), "r");
  char line[256];
  if (pipe && fgets(line, sizeof line, pipe)) probe.codec = std::string(line, strcspn(line, ",\n"));
  if (pipe) pclose(pipe);
  pipe = popen((base + "-show_entries packet=pts_time,size,flags -of csv=p=0 '" + path + "'").c_str(), "r");
  double first = 0, last = 0;
  while (pipe && fgets(line, sizeof line, pipe)) {
    double time = 0, size = 0;
    char flags[16] = {};
    if (std::sscanf(line, "%lf,%lf,%15s", &time, &size, flags) != 3) continue;
    if (probe.packets++ == 0) {
      first = time;
      probe.keyFirst = flags[0] == 'K';
    }
    last = time;
    probe.bytes += size;
  }
  if (pipe) pclose(pipe);
  probe.seconds = last - first;
  return probe;
}

enum class Trial { Read, Restart, Stall, WrongPassword, Resize, Clip, ResizeClip, TwoStreams, HttpStream, NeverAnswers };

struct RtspCase {
  const char* name;
  const char* file;
  const char* codec;
  bool udp;
  Trial trial;
};

class RtspCamera : public ::testing::TestWithParam<RtspCase> {
protected:
  static void SetUpTestSuite() {
    missing_ = MissingPeer();
    if (!missing_) footage_ = new Footage;
  }
  static void TearDownTestSuite() {
    delete footage_;
    footage_ = nullptr;
  }
  void SetUp() override {
    if (missing_) GTEST_SKIP() << missing_;
    ASSERT_TRUE(footage_->made) << "ffmpeg could not make the test streams";
    timings_.streamReadTimeoutMs = 1000;
    timings_.reopenFirstDelayMs = 50;
    timings_.reopenMaxDelayMs = 200;
  }

  static ChildProcess Serve(int port, const std::string& file, const std::string& codec) {
    ChildProcess server({"/usr/bin/python3", std::string(VARDOCAM_TEST_PEERS_DIR) + "/rtsp_server.py",
                         std::to_string(port), footage_->Path(file), codec, "viewer", "s3cret"},
                        {});
    if (!WaitFor(kServerStartMs, [port] { return Listening(port); })) server.Stop();
    return server;
  }
  bool StartServer() {
    if (GetParam().trial == Trial::NeverAnswers) {
      // Listens, and the connection completes, but nothing is ever said.
      silent_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(port_));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return bind(silent_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(silent_, 4) == 0;
    }
    if (GetParam().trial == Trial::HttpStream) {
      // H.264 in MPEG-TS over plain HTTP: the MJPEG reader asks first and
      // hands it on, so the server must take more than one client.
      server_ = ChildProcess({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(port_),
                              "--directory", footage_->dir.Path()},
                             {});
      return WaitFor(kServerStartMs, [this] { return Listening(port_); });
    }
    server_ = Serve(port_, GetParam().file, GetParam().codec);
    if (GetParam().trial == Trial::TwoStreams) mainServer_ = Serve(mainPort_, "large", "h264");
    return server_.Running() && (GetParam().trial != Trial::TwoStreams || mainServer_.Running());
  }
  static std::string Url(int port, const std::string& password = "s3cret") {
    return "rtsp://viewer:" + password + "@127.0.0.1:" + std::to_string(port) + "/cam";
  }
  std::string Url(const std::string& password = "s3cret") const { return Url(port_, password); }
  std::string HttpUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + GetParam().file + ".ts"; }
  std::unique_ptr<CameraSource> Open(const std::string& url) {
    // Two streams: this one watched, the main one (640x360) for the clips.
    return CameraSource::Open(0, url, timings_, false, GetParam().udp,
                              GetParam().trial == Trial::TwoStreams ? Url(mainPort_) : "");
  }
  // The size of the next new frame; 0x0 when none came within the limit.
  static cv::Size NextFrame(CameraSource& camera, int limitMs) {
    if (!WaitFor(limitMs, [&] { return camera.HasNewFrame(); })) return {};
    cv::Mat frame;
    FrameFileStamp stamp;
    camera.TakeLatestFrame(frameFile_->File("result.bmp"), frame, stamp);
    return frame.size();
  }

  // A second of pictures in a row, none later than the read time-out.
  bool Streaming(CameraSource& camera, cv::Size size) {
    for (int i = 0; i < 15; ++i)
      if (NextFrame(camera, static_cast<int>(timings_.streamReadTimeoutMs)) != size) return false;
    return true;
  }

  static inline const char* missing_ = nullptr;
  static inline Footage* footage_ = nullptr;
  static inline std::unique_ptr<TempDir> frameFile_ = std::make_unique<TempDir>();
  const int port_ = FreeLoopbackPort();
  const int mainPort_ = FreeLoopbackPort();
  ChildProcess server_;
  ChildProcess mainServer_;
  int silent_ = -1;

  void TearDown() override {
    if (silent_ >= 0) close(silent_);
  }
  CaptureTimings timings_;
};

TEST_P(RtspCamera, ReadsAndRecovers) {
  const RtspCase c = GetParam();
  ASSERT_TRUE(StartServer());
  const cv::Size small(320, 240);

  if (c.trial == Trial::WrongPassword || c.trial == Trial::NeverAnswers) {
    timings_.streamOpenTimeoutMs = 800;
    const auto start = Clock::now();
    EXPECT_EQ(Open(Url(c.trial == Trial::WrongPassword ? "wrong" : "s3cret")), nullptr);
    EXPECT_LT(MsSince(start), timings_.streamOpenTimeoutMs + 1000);
    // A refusal is at once; silence takes the whole open wait.
    if (c.trial == Trial::NeverAnswers) {
      EXPECT_GE(MsSince(start), timings_.streamOpenTimeoutMs - 50);
    }
    return;
  }

  // The libraries' remarks on a size change stay out of the journal.
  const bool resizes = c.trial == Trial::Resize || c.trial == Trial::ResizeClip;
  if (resizes) ::testing::internal::CaptureStderr();
  const auto start = Clock::now();
  std::unique_ptr<CameraSource> camera = Open(c.trial == Trial::HttpStream ? HttpUrl() : Url());
  ASSERT_NE(camera, nullptr);
  // A key frame a second: the first picture is there well within the open wait.
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_EQ(NextFrame(*camera, 2000), small);

  switch (c.trial) {
  case Trial::Read:
  case Trial::HttpStream: EXPECT_TRUE(Streaming(*camera, small)); break;
  case Trial::Restart:
    server_.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(timings_.streamReadTimeoutMs));
    NextFrame(*camera, 0);  // what came before the server went
    EXPECT_EQ(NextFrame(*camera, 500), cv::Size());
    ASSERT_TRUE(StartServer());
    EXPECT_TRUE(WaitFor(kResumeMs, [&] { return NextFrame(*camera, 100) == small; }));
    EXPECT_TRUE(Streaming(*camera, small));
    break;
  case Trial::Stall: {
    // The server still holds the connection but says nothing: the read
    // time-out drops it, and once the server goes on the frames come back.
    kill(server_.Pid(), SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(timings_.streamReadTimeoutMs + 500));
    kill(server_.Pid(), SIGCONT);
    EXPECT_TRUE(WaitFor(kResumeMs, [&] { return NextFrame(*camera, 100) == small; }));
    EXPECT_TRUE(Streaming(*camera, small));
    // Closing while the server is frozen ends within the close bound.
    kill(server_.Pid(), SIGSTOP);
    const auto closing = Clock::now();
    camera.reset();
    EXPECT_LT(MsSince(closing), kAvCloseTimeoutMs + 1000);
    kill(server_.Pid(), SIGCONT);
    break;
  }
  case Trial::Resize:
    EXPECT_TRUE(WaitFor(kResumeMs, [&] { return NextFrame(*camera, 100) == cv::Size(640, 360); }));
    EXPECT_TRUE(Streaming(*camera, cv::Size(640, 360)));
    break;
  case Trial::ResizeClip: {
    // An alarm across the change from 320x240 to 640x360 at 3 s: two events, each clip of one size.
    TempDir events;
    EventRecorderOptions options;
    options.root = events.File("events");
    options.preMs = options.postMs = 1000;
    EventRecorder recorder(options);
    camera->SetKeepJpeg(true);
    camera->SetJpegTap(recorder.Tap());
    auto tick = [] { return static_cast<uint32_t>(MsSince(Clock::time_point())); };
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    recorder.AlarmStarted(tick(), cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(128)));
    WaitFor(3500, [&] { return recorder.Tick(tick()), false; });
    recorder.AlarmEnded(tick());
    ASSERT_TRUE(WaitFor(3000, [&] { return recorder.Tick(tick()), !recorder.Recording(); }));
    recorder.Finish();
    camera->SetJpegTap(JpegTap());
    std::vector<EventInfo> kept = ListEvents(options.root);
    std::sort(kept.begin(), kept.end(), [](auto& a, auto& b) { return a.startMs < b.startMs; });
    ASSERT_EQ(kept.size(), 2u);
    for (size_t i = 0; i < kept.size(); ++i) {
      const std::string clip = kept[i].folder + "/" + kEventClip;
      // The stream's size and each picture's, counted: one size only, the stream's too.
      FILE* pipe = popen(("ffprobe -v error -select_streams v:0 -show_entries stream=width,height:frame=width,height "
                          "-of csv=p=0 '" + clip + "' | sed 's/,*$//' | grep . | sort | uniq -c").c_str(), "r");
      char line[64] = {}, size[32] = {};
      int count = 0;
      EXPECT_TRUE(pipe && fgets(line, sizeof line, pipe) && std::sscanf(line, "%d %31s", &count, size) == 2);
      EXPECT_EQ(std::string(size), i ? "640,360" : "320,240");
      EXPECT_GT(count, 10) << i;
      EXPECT_FALSE(pipe && fgets(line, sizeof line, pipe)) << line;
      if (pipe) pclose(pipe);
      EXPECT_TRUE(ProbeVideo(clip).keyFirst) << i;
    }
    break;
  }
  case Trial::Clip:
  case Trial::TwoStreams: {
    // An alarm of 2 s after 3 s of watching, with 2 s before it and 1 s after.
    constexpr int64_t kPreMs = 2000, kAlarmMs = 2000, kPostMs = 1000;
    TempDir events;
    EventRecorderOptions options;
    options.root = events.File("events");
    options.preMs = kPreMs;
    options.postMs = kPostMs;
    EventRecorder recorder(options);
    camera->SetKeepJpeg(true);
    camera->SetJpegTap(recorder.Tap());
    auto tick = [] { return static_cast<uint32_t>(MsSince(Clock::time_point())); };
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    recorder.AlarmStarted(tick(), cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(128)));
    std::this_thread::sleep_for(std::chrono::milliseconds(kAlarmMs));
    recorder.AlarmEnded(tick());
    ASSERT_TRUE(WaitFor(kPostMs + 1000, [&] {
      recorder.Tick(tick());
      return !recorder.Recording();
    }));
    recorder.Finish();
    camera->SetJpegTap(JpegTap());
    const std::vector<EventInfo> kept = ListEvents(options.root);
    ASSERT_EQ(kept.size(), 1u);
    const std::string clip = kept[0].folder + "/" + kEventClip;
    const VideoProbe got = ProbeVideo(clip);
    const bool fromMain = c.trial == Trial::TwoStreams;
    EXPECT_EQ(got.codec, fromMain || c.codec == std::string("h264") ? "h264" : "hevc");
    EXPECT_EQ(camera->Describe().width, 320);
    EXPECT_EQ(camera->DescribeClipStream().width, fromMain ? 640 : 0);
    EXPECT_TRUE(got.keyFirst);
    EXPECT_EQ(got.packets, kept[0].frames);
    // A key frame a second: the clip reaches back up to a second more.
    const double want = (kPreMs + kAlarmMs + kPostMs) / 1000.0;
    EXPECT_GE(got.seconds, want - 0.3);
    EXPECT_LE(got.seconds, want + 1.3);
    // The camera's own bytes, at the camera's own rate, and little besides.
    const VideoProbe sent = ProbeVideo(footage_->Path(fromMain ? "large" : c.file));
    const double rate = got.bytes / got.seconds, sentRate = sent.bytes / sent.seconds;
    EXPECT_GT(rate, sentRate * 0.7) << rate << " B/s against " << sentRate;
    EXPECT_LT(rate, sentRate * 1.3) << rate << " B/s against " << sentRate;
    EXPECT_LT(static_cast<double>(std::filesystem::file_size(clip)), got.bytes * 1.1);
    break;
  }
  case Trial::WrongPassword:
  case Trial::NeverAnswers: break;
  }
  camera.reset();
  if (resizes) {
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("swscaler"), std::string::npos) << said;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Capture, RtspCamera,
    ::testing::Values(RtspCase{"H264", "h264", "h264", false, Trial::Read},
                      RtspCase{"H265", "h265", "h265", false, Trial::Read},
                      RtspCase{"H264OverUdp", "h264", "h264", true, Trial::Read},
                      RtspCase{"H264OverHttp", "h264", "h264", false, Trial::HttpStream},
                      RtspCase{"ServerRestart", "h264", "h264", false, Trial::Restart},
                      RtspCase{"ServerStallsMidStream", "h265", "h265", false, Trial::Stall},
                      RtspCase{"WrongPassword", "h264", "h264", false, Trial::WrongPassword},
                      RtspCase{"NeverAnswers", "h264", "h264", false, Trial::NeverAnswers},
                      RtspCase{"SizeChanges", "resize", "h264", false, Trial::Resize},
                      RtspCase{"SizeChangesInAClip", "resize", "h264", false, Trial::ResizeClip},
                      RtspCase{"H264Clip", "h264", "h264", false, Trial::Clip},
                      RtspCase{"H265Clip", "h265", "h265", false, Trial::Clip},
                      RtspCase{"H265SubStreamH264MainClip", "h265", "h265", false, Trial::TwoStreams}),
    [](const ::testing::TestParamInfo<RtspCase>& info) { return std::string(info.param.name); });
} // namespace
