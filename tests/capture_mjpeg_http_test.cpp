// The MJPEG stream reader on the wire: scripted servers on 127.0.0.1 for
// exact edge cases (bad parts, stalls, refusals, endless heads, a hung name
// lookup), and the capture as a whole against MJPEG files.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <turbojpeg.h>

#include "capture/CameraSource.h"
#include "capture/MjpegHttpReader.h"
#include "net/NameLookup.h"
#include "net/WaitCancel.h"
#include "support/CameraSourceTest.h"
#include "support/HangingResolver.h"
#include "support/ScriptedServer.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kOpenMs = 2000;
constexpr uint32_t kReadMs = 400;

std::string Jpeg(int level, int width = 96, int height = 64) {
  cv::Mat picture(height, width, CV_8UC3, cv::Scalar::all(level));
  cv::circle(picture, {width / 2, height / 2}, height / 4, cv::Scalar(255 - level, 40, 200), -1);
  std::vector<uint8_t> bytes;
  cv::imencode(".jpg", picture, bytes);
  return std::string(bytes.begin(), bytes.end());
}

std::string Head(const std::string& status, const std::string& type) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: " + type + "\r\n\r\n";
}

const std::string kMultipart = "multipart/x-mixed-replace; boundary=frame";

std::string Part(const std::string& body) {
  return "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body + "\r\n";
}

std::string Url(const ScriptedServer& server) {
  return "http://127.0.0.1:" + server.Port() + "/video.mjpg";
}

long Since(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

double MeanLevel(const cv::Mat& frame) { return cv::mean(frame.reshape(1))[0]; }
} // namespace

TEST(MjpegHttpReader, BadPartsAreSkippedAndAStallEndsTheStreamInTime) {
  const std::string first = Jpeg(40);
  const std::string second = Jpeg(200);
  ScriptedServer server;
  server.ReadLine()
      .Send(Head("200 OK", kMultipart))
      .Send(Part(first))
      .Send(Part(first.substr(0, first.size() / 2)))  // cut short
      .Send(Part("not a picture at all"))
      .Send(Part(second).substr(0, 30))  // split across sends
      .Pause(50)
      .Send(Part(second).substr(30))
      .Pause(3000);
  server.Start();
  MjpegHttpReader reader;
  ASSERT_EQ(reader.Open(Url(server), kOpenMs, kReadMs), MjpegHttpReader::OpenResult::Opened);
  cv::Mat frame;
  ASSERT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Frame);
  const cv::Mat expected = cv::imdecode(std::vector<uint8_t>(first.begin(), first.end()), cv::IMREAD_COLOR);
  cv::Mat diff;
  cv::absdiff(frame, expected, diff);
  EXPECT_LT(cv::mean(diff.reshape(1))[0], 1.0);
  EXPECT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Skipped);
  EXPECT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Skipped);
  ASSERT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Frame);
  EXPECT_GT(MeanLevel(frame), 120);

  const auto start = Clock::now();
  EXPECT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Failed);
  EXPECT_GE(Since(start), static_cast<long>(kReadMs) - 50);
  EXPECT_LT(Since(start), static_cast<long>(kReadMs) + 1000);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(server.Received().rfind("GET /video.mjpg HTTP/1.1\r\n", 0), 0u);
}

TEST(MjpegHttpReader, ChunkedStreamsWithoutPartLengthsAreRead) {
  // The parts end at the next boundary; the body comes in chunks that cut
  // through heads and pictures alike. Labelled as plain bytes, as some
  // servers do: the boundary it opens with tells what it is.
  std::string body;
  for (int level : {30, 220, 30}) body += "--frame\r\n\r\n" + Jpeg(level) + "\r\n";
  body += "--frame\r\n";
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream"
                     "\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[16];
  for (size_t at = 0; at < body.size(); at += 1000) {
    const size_t n = std::min<size_t>(1000, body.size() - at);
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    wire += size + body.substr(at, n) + "\r\n";
  }
  ScriptedServer server;
  server.ReadLine().Send(wire).Pause(1000);
  server.Start();
  MjpegHttpReader reader;
  ASSERT_EQ(reader.Open(Url(server), kOpenMs, kReadMs), MjpegHttpReader::OpenResult::Opened);
  cv::Mat frame;
  std::vector<double> levels;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(reader.Read(frame), MjpegHttpReader::ReadResult::Frame) << i;
    levels.push_back(MeanLevel(frame));
  }
  EXPECT_LT(levels[0], levels[1]);
  EXPECT_GT(levels[1], levels[2]);
}

TEST(MjpegHttpReader, OtherAnswersAreRefusedOrLeftToTheGeneralReader) {
  using R = MjpegHttpReader::OpenResult;
  struct Case {
    std::string answer;
    R expected;
  };
  const std::vector<Case> cases = {
      {Head("404 Not Found", "text/html"), R::Failed},
      {Head("401 Unauthorized", "text/html"), R::Failed},
      {Head("200 OK", "video/mp4") + std::string("\0\0\0\x18" "ftypmp42\n", 13), R::NotMjpeg},
      {Head("302 Found", "text/html"), R::NotMjpeg},
      {"RTSP/1.0 200 OK\r\n\r\n", R::NotMjpeg},
      // A head that never ends: refused at its limit, not read for ever.
      {"HTTP/1.0 200 OK\r\nX-Pad: " + std::string(kMaxHttpHeadBytes + 100, 'p'), R::Failed},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.ReadLine().Send(c.answer).Pause(500);
    server.Start();
    MjpegHttpReader reader;
    const auto start = Clock::now();
    EXPECT_EQ(reader.Open(Url(server), kOpenMs, kReadMs), c.expected) << c.answer.substr(0, 20);
    EXPECT_LT(Since(start), static_cast<long>(kOpenMs) - 500) << c.answer.substr(0, 20);
    EXPECT_FALSE(reader.IsOpen());
  }

  // A server that says nothing: the open wait ends it.
  ScriptedServer silent;
  silent.Pause(1500);
  silent.Start();
  MjpegHttpReader reader;
  const auto start = Clock::now();
  EXPECT_EQ(reader.Open(Url(silent), 600, kReadMs), R::Failed);
  EXPECT_GE(Since(start), 550);
  EXPECT_LT(Since(start), 2000);
}

TEST(MjpegHttpReader, AHangingNameLookupEndsWithTheOpenWaitOrACancel) {
  // A camera named by a host whose name server never answers: the open
  // gives up at its time-out, or soon after a cancel from another thread,
  // and leaves one lookup each to the shared limit.
  constexpr long kHungOpenMs = 600;
  constexpr long kCancelAfterMs = 100;
  HangingResolver resolver;
  for (const bool cancelled : {false, true}) {
    TWaitCancel cancel;
    MjpegHttpReader reader;
    reader.SetCancel(&cancel);
    std::thread canceller([&] {
      std::this_thread::sleep_for(milliseconds(kCancelAfterMs));
      if (cancelled) cancel.Cancel();
    });
    const auto start = Clock::now();
    EXPECT_EQ(reader.Open("http://camera.example.test:8080/video.mjpg", kHungOpenMs, kReadMs),
              MjpegHttpReader::OpenResult::Failed);
    const long endsAt = cancelled ? kCancelAfterMs : kHungOpenMs;
    EXPECT_GE(Since(start), endsAt - 10) << cancelled;
    EXPECT_LT(Since(start), endsAt + kLookupCancelCheckMs + 300) << cancelled;
    EXPECT_FALSE(reader.IsOpen());
    canceller.join();
  }
  EXPECT_EQ(AbandonedLookups(), 2);
}

namespace {
class MjpegSourceTest : public CameraSourceTest {
protected:
  // The next frame the camera hands on, read back from the frame file.
  cv::Mat GrabNext() {
    WaitForNewFrame();
    if (!vision_.GrabFrameToFile(frameFile_)) return {};
    return cv::imread(frameFile_, cv::IMREAD_COLOR);
  }
  bool WaitForNewFrame() {
    const auto end = Clock::now() + milliseconds(5000);
    while (!vision_.HasNewFrame() && Clock::now() < end) std::this_thread::sleep_for(milliseconds(5));
    return vision_.HasNewFrame();
  }
};
} // namespace

TEST_F(MjpegSourceTest, MjpegFileFramesAreTheLibrarysPictures) {
  // One picture in an MJPEG video: every frame the capture hands on is it.
  cv::Mat scene(240, 320, CV_8UC3);
  cv::randu(scene, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::GaussianBlur(scene, scene, cv::Size(9, 9), 3);
  const std::string video = dir_.File("scene.avi");
  {
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 20, scene.size());
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 5; ++i) writer.write(scene);
  }
  cv::VideoCapture general(video, cv::CAP_FFMPEG);
  cv::Mat viaFfmpeg;
  ASSERT_TRUE(general.read(viaFfmpeg));

  ASSERT_TRUE(vision_.OpenCamera(0, video));
  for (int i = 0; i < 3; ++i) {
    const cv::Mat frame = GrabNext();
    ASSERT_EQ(frame.size(), scene.size()) << i;
    cv::Mat diff;
    cv::absdiff(frame, viaFfmpeg, diff);
    EXPECT_LT(cv::mean(diff.reshape(1))[0], 1.0) << i;
  }
}

TEST_F(MjpegSourceTest, MjpegThatOnlyTheGeneralDecoderReadsStillPlays) {
  // Four-channel JPEGs, back to back as in a bare .mjpeg file: after
  // kRawJpegAttempts refusals the source is read the general way.
  std::string stream;
  for (int i = 0; i < 2 * kRawJpegAttempts; ++i) {
    std::vector<uint8_t> cmyk(64 * 48 * 4, static_cast<uint8_t>(i % 2 ? 30 : 220));
    tjhandle encoder = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(encoder, cmyk.data(), 64, 0, 48, TJPF_CMYK, &out, &size, TJSAMP_444, 90, 0), 0);
    stream.append(reinterpret_cast<char*>(out), size);
    tjFree(out);
    tjDestroy(encoder);
  }
  const std::string video = dir_.File("cmyk.mjpeg");
  WriteFileBytes(video, stream);
  cv::VideoCapture general(video, cv::CAP_FFMPEG);
  cv::Mat probe;
  if (!general.read(probe)) GTEST_SKIP() << "this FFmpeg does not read four-channel JPEGs";

  ASSERT_TRUE(vision_.OpenCamera(0, video));
  const cv::Mat frame = GrabNext();
  EXPECT_EQ(frame.size(), cv::Size(64, 48));
}

TEST_F(MjpegSourceTest, ACameraThatNeverFinishesAPictureIsDroppedInTimeAndClosesAtOnce) {
  // Each server keeps sending far longer than these: only a reader that gives
  // up at the picture time-out and a close that does not wait pass.
  constexpr long kPictureMs = 500;
  constexpr long kPromptCloseMs = 300;
  timings_.pictureTimeoutMs = kPictureMs;
  UseTimings();
  for (const auto& [tail, drip] : std::vector<std::pair<std::string, bool>>{
           {"", true},                      // bytes with no boundary, one at a time
           {"--frame\r\n\r\n", true},       // a part that drips
           {"--frame\r\n\r\n", false},      // a part of endless bytes
           {"--frame\r\nContent-Length: 2147483648\r\n\r\n", false}}) {
    ScriptedServer server;
    server.EveryClient().ReadLine().Send(Head("200 OK", kMultipart) + Part(Jpeg(40)) + tail);
    drip ? server.Drip(std::string(1000, 'x'), 20) : server.Flood(size_t(64) << 30);
    server.Start();
    ASSERT_TRUE(vision_.OpenCamera(0, Url(server))) << tail;
    EXPECT_FALSE(GrabNext().empty()) << tail;
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForNewFrame()) << tail << ": a picture from the next connection";
    EXPECT_GE(Since(start), kPictureMs - 100) << tail;
    EXPECT_GE(server.Clients(), 2) << tail;
    const auto closing = Clock::now();
    vision_.CloseCamera();
    EXPECT_LT(Since(closing), kPromptCloseMs) << tail;
  }
}
