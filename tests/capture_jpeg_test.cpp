// Decoding camera JPEGs straight to B, G, R: the same pictures as OpenCV's
// decoding, memory reused, damaged or lying JPEGs refused.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/FrameLimits.h"
#include "capture/JpegDecoder.h"
#include "support/TempDir.h"

namespace {
// A camera-like picture: a gradient, objects, and sensor noise.
cv::Mat Scene(int width, int height, int seed) {
  cv::Mat scene(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      scene.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / width),
                                            static_cast<uint8_t>(y * 255 / height),
                                            static_cast<uint8_t>((x + y) % 256));
  cv::circle(scene, {width / 3 + seed * 7, height / 2}, height / 5, cv::Scalar(20, 200, 240), -1);
  cv::rectangle(scene, {width / 2, height / 4}, {width / 2 + width / 5, height / 2},
                cv::Scalar(250, 40, 90), -1);
  cv::Mat noise(height, width, CV_8UC3);
  cv::theRNG().state = static_cast<uint64_t>(seed) + 1;
  cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
  cv::add(scene, noise, scene);
  return scene;
}

std::vector<uint8_t> Encode(const cv::Mat& picture, int quality = 80) {
  std::vector<uint8_t> jpeg;
  EXPECT_TRUE(cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality}));
  return jpeg;
}

double MeanAbsDiff(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  return cv::mean(diff.reshape(1))[0];
}

// The position of the start-of-frame marker's size fields.
size_t FrameHeader(const std::vector<uint8_t>& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) return i + 5;
  return 0;
}

void ClaimSize(std::vector<uint8_t>& jpeg, int width, int height) {
  const size_t at = FrameHeader(jpeg);
  ASSERT_GT(at, 0u);
  jpeg[at] = static_cast<uint8_t>(height >> 8);
  jpeg[at + 1] = static_cast<uint8_t>(height);
  jpeg[at + 2] = static_cast<uint8_t>(width >> 8);
  jpeg[at + 3] = static_cast<uint8_t>(width);
}
} // namespace

TEST(JpegDecoder, GivesOpenCvsPicturesToWithinOneGreyLevel) {
  TempDir dir;
  JpegDecoder decoder;
  for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}, {642, 481}}) {
    const cv::Mat scene = Scene(w, h, 1);
    const std::vector<uint8_t> jpeg = Encode(scene);
    cv::Mat ours;
    ASSERT_TRUE(decoder.Decode(jpeg.data(), jpeg.size(), ours)) << w;
    ASSERT_EQ(ours.size(), scene.size());
    ASSERT_EQ(ours.type(), CV_8UC3);
    const cv::Mat library = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    EXPECT_LT(MeanAbsDiff(ours, library), 1.0) << w;

    // Against the video reader's own decoding (FFmpeg and a colour
    // conversion), which the capture used for MJPEG until now; at camera
    // sizes (its odd-size edges are its own).
    if (w % 16 != 0 || h % 16 != 0) continue;
    const std::string video = dir.File("one.avi");
    {
      cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10, scene.size());
      ASSERT_TRUE(writer.isOpened());
      writer.write(scene);
    }
    cv::VideoCapture general(video, cv::CAP_FFMPEG);
    cv::Mat viaFfmpeg;
    ASSERT_TRUE(general.read(viaFfmpeg));
    cv::VideoCapture raw(video, cv::CAP_FFMPEG);
    ASSERT_TRUE(raw.set(cv::CAP_PROP_FORMAT, -1));
    cv::Mat packet;
    ASSERT_TRUE(raw.read(packet));
    ASSERT_TRUE(decoder.Decode(packet.data, packet.total(), ours));
    const double difference = MeanAbsDiff(ours, viaFfmpeg);
    EXPECT_LT(difference, 1.0) << w;
    RecordProperty("mean_abs_diff_ffmpeg_" + std::to_string(w), std::to_string(difference));
  }
}

TEST(JpegDecoder, ReusesAnUnsharedFrameAndNeverWritesIntoASharedOne) {
  JpegDecoder decoder;
  const std::vector<uint8_t> first = Encode(Scene(320, 240, 1));
  const std::vector<uint8_t> second = Encode(Scene(320, 240, 2));
  cv::Mat frame;
  ASSERT_TRUE(decoder.Decode(first.data(), first.size(), frame));
  const uint8_t* memory = frame.data;
  ASSERT_TRUE(decoder.Decode(second.data(), second.size(), frame));
  EXPECT_EQ(frame.data, memory);

  const cv::Mat published = frame;  // still being written out elsewhere
  const cv::Mat before = frame.clone();
  ASSERT_TRUE(decoder.Decode(first.data(), first.size(), frame));
  EXPECT_NE(frame.data, memory);
  EXPECT_EQ(cv::norm(published, before, cv::NORM_INF), 0);

  // A frame of another size gets memory of its own size.
  const std::vector<uint8_t> small = Encode(Scene(64, 48, 3));
  ASSERT_TRUE(decoder.Decode(small.data(), small.size(), frame));
  EXPECT_EQ(frame.size(), cv::Size(64, 48));
}

TEST(JpegDecoder, DamagedCutOrLyingJpegsAreRefusedAndTheNextOneDecodes) {
  JpegDecoder decoder;
  const cv::Mat scene = Scene(320, 240, 4);
  const std::vector<uint8_t> good = Encode(scene);
  cv::Mat frame;

  std::vector<uint8_t> cut(good.begin(), good.begin() + good.size() / 2);
  EXPECT_FALSE(decoder.Decode(cut.data(), cut.size(), frame));
  std::vector<uint8_t> noise(5000);
  cv::randu(noise, 0, 256);
  EXPECT_FALSE(decoder.Decode(noise.data(), noise.size(), frame));
  EXPECT_FALSE(decoder.Decode(good.data(), 0, frame));
  EXPECT_FALSE(decoder.Decode(nullptr, 100, frame));

  // Size claims past the frame limits are refused before any memory is
  // taken for them, whatever the rest of the data.
  for (auto [w, h] : {std::pair{20000, 20000}, {kMaxFrameWidth, kMaxFrameHeight}, {65535, 1}}) {
    std::vector<uint8_t> lying = good;
    ClaimSize(lying, w, h);
    cv::Mat untouched;
    EXPECT_FALSE(decoder.Decode(lying.data(), lying.size(), untouched)) << w << "x" << h;
    EXPECT_TRUE(untouched.empty()) << w << "x" << h;
  }

  // Damage inside a whole JPEG (stray bytes between two of its segments)
  // makes the decoder warn; the picture is complete and is taken.
  std::vector<uint8_t> stray = good;
  size_t scan = 2;
  while (scan + 1 < stray.size() && !(stray[scan] == 0xFF && stray[scan + 1] == 0xDA)) ++scan;
  ASSERT_LT(scan + 1, stray.size());
  stray.insert(stray.begin() + static_cast<long>(scan), {0x12, 0x34});
  ASSERT_TRUE(decoder.Decode(stray.data(), stray.size(), frame));
  EXPECT_LT(MeanAbsDiff(frame, cv::imdecode(good, cv::IMREAD_COLOR)), 1.0);

  ASSERT_TRUE(decoder.Decode(good.data(), good.size(), frame));
  EXPECT_LT(MeanAbsDiff(frame, scene), 8.0);
}

TEST(JpegDecoder, EndMarkerIsLookedForOnlyNearTheEnd) {
  std::vector<uint8_t> data = {0xFF, 0xD8, 0x01, 0xFF, 0xD9};
  EXPECT_TRUE(JpegHasEnd(data.data(), data.size()));
  data.insert(data.end(), kJpegEndSearchBytes, '\n');
  EXPECT_TRUE(JpegHasEnd(data.data(), data.size()));
  data.push_back('\n');
  EXPECT_FALSE(JpegHasEnd(data.data(), data.size()));
  EXPECT_FALSE(JpegHasEnd(data.data(), 1));
}
