#include <array>
#include <cstring>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "capture/BmpFile.h"
#include "capture/FrameLimits.h"
#include "support/TempDir.h"
#include "vision/BmpReader.h"
#include "vision/Nsopencv.h"

namespace {
cv::Mat Noise(int width, int height) {
  cv::Mat m(height, width, CV_8UC3);
  cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
  return m;
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}
} // namespace

TEST(BmpReader, ReadsWhatTheLibraryReadsForEveryRowLayout) {
  TempDir dir;
  // Odd widths need row padding; more rows than one read call takes.
  for (auto [w, h] : {std::pair{640, 480}, {3, 2}, {641, 1100}, {1, 1}}) {
    const cv::Mat frame = Noise(w, h);
    const std::string path = dir.File("frame.bmp");
    ASSERT_TRUE(WriteBmpFile(path, frame));
    cv::Mat read;
    ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read) << w << "x" << h;
    EXPECT_TRUE(Same(read, frame)) << w << "x" << h;
    EXPECT_TRUE(Same(read, cv::imread(path, cv::IMREAD_COLOR)));
  }
  // A top-down file (negative height) as OpenCV writes none: made by hand.
  const cv::Mat two = Noise(1, 2);
  ASSERT_TRUE(WriteBmpFile(dir.File("two.bmp"), two));
  std::string bytes = ReadFileBytes(dir.File("two.bmp"));
  const int32_t negative = -2;
  std::memcpy(&bytes[22], &negative, 4);
  std::swap_ranges(bytes.begin() + 54, bytes.begin() + 58, bytes.begin() + 58);
  WriteFileBytes(dir.File("topdown.bmp"), bytes);
  cv::Mat read;
  ASSERT_EQ(ReadBgrBitmap(dir.File("topdown.bmp"), read), BitmapRead::Read);
  EXPECT_TRUE(Same(read, two));
}

TEST(BmpReader, ReusesAnUnsharedPictureAndLeavesASharedOneAlone) {
  TempDir dir;
  ASSERT_TRUE(WriteBmpFile(dir.File("a.bmp"), Noise(64, 48)));
  cv::Mat picture;
  ASSERT_EQ(ReadBgrBitmap(dir.File("a.bmp"), picture), BitmapRead::Read);
  const uint8_t* memory = picture.data;
  ASSERT_EQ(ReadBgrBitmap(dir.File("a.bmp"), picture), BitmapRead::Read);
  EXPECT_EQ(picture.data, memory);

  const cv::Mat heldByTheView = picture;  // a second holder
  const cv::Mat before = picture.clone();
  ASSERT_TRUE(WriteBmpFile(dir.File("b.bmp"), Noise(64, 48)));
  ASSERT_EQ(ReadBgrBitmap(dir.File("b.bmp"), picture), BitmapRead::Read);
  EXPECT_NE(picture.data, memory);
  EXPECT_TRUE(Same(heldByTheView, before));
}

TEST(BmpReader, OtherFilesAreLeftToTheLibrary) {
  TempDir dir;
  const cv::Mat frame = Noise(20, 10);
  cv::imwrite(dir.File("p.png"), frame);
  cv::Mat grey(10, 20, CV_8UC1, cv::Scalar(7));
  cv::imwrite(dir.File("grey.bmp"), grey);  // 8-bit with a colour table
  ASSERT_TRUE(WriteBmpFile(dir.File("cut.bmp"), frame));
  const std::string whole = ReadFileBytes(dir.File("cut.bmp"));
  WriteFileBytes(dir.File("cut.bmp"), whole.substr(0, whole.size() - 1));
  WriteFileBytes(dir.File("header.bmp"), whole.substr(0, 30));

  cv::Mat read;
  for (const char* name : {"p.png", "grey.bmp", "header.bmp", "missing.bmp"})
    EXPECT_EQ(ReadBgrBitmap(dir.File(name), read), BitmapRead::OtherLayout) << name;
  // Our own layout cut short is no frame, and no other loader gets to guess.
  EXPECT_EQ(ReadBgrBitmap(dir.File("cut.bmp"), read), BitmapRead::Refused);

  // Through the detector, they still load the way OpenCV loads them.
  nsOpenCV vision("IMAGE");
  ASSERT_TRUE(vision.LoadFrame(dir.File("p.png")));
  EXPECT_TRUE(Same(vision.ColourImage(), frame));
  ASSERT_TRUE(vision.LoadFrame(dir.File("grey.bmp")));
  EXPECT_EQ(vision.ColourImage().type(), CV_8UC3);
  EXPECT_FALSE(vision.LoadFrame(dir.File("header.bmp")));
  EXPECT_TRUE(vision.ColourImage().empty());
  ASSERT_TRUE(vision.LoadFrame(dir.File("p.png")));
  EXPECT_FALSE(vision.LoadFrame(dir.File("cut.bmp")));
  EXPECT_TRUE(vision.ColourImage().empty());
}

namespace {
// A frame file header claiming width x height (bits per pixel as given),
// followed by a hole up to `length` bytes: a sparse file, no disk used.
void WriteClaim(const std::string& path, int32_t width, int32_t height, uint64_t length,
                uint16_t bits = 24) {
  std::array<uint8_t, kBmpHeaderSize> header;
  ASSERT_TRUE(BuildBmpHeader(1, 1, header));
  std::memcpy(&header[18], &width, 4);
  std::memcpy(&header[22], &height, 4);
  std::memcpy(&header[28], &bits, 2);
  WriteFileBytes(path, std::string(header.begin(), header.end()));
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(length)), 0);
}

uint64_t Stored(int32_t width, int32_t height) {
  return kBmpHeaderSize + BmpRowStride(width) * static_cast<uint64_t>(height);
}

long PeakKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}
} // namespace

TEST(BmpReader, SizeClaimsBeyondTheLimitsOrTheFileAreRefusedBeforeAnyAllocation) {
  TempDir dir;
  const long peakBefore = PeakKb();
  cv::Mat picture;
  // Whole sparse files: the length is there, the sides are over the limit.
  WriteClaim(dir.File("huge.bmp"), 20000, 20000, Stored(20000, 20000));
  EXPECT_EQ(ReadBgrBitmap(dir.File("huge.bmp"), picture), BitmapRead::Refused);
  // Each side allowed, the pixel count not.
  WriteClaim(dir.File("square.bmp"), kMaxFrameWidth, kMaxFrameHeight,
             Stored(kMaxFrameWidth, kMaxFrameHeight));
  EXPECT_EQ(ReadBgrBitmap(dir.File("square.bmp"), picture), BitmapRead::Refused);
  // Claims far beyond what the file holds, a top-down one among them.
  WriteClaim(dir.File("short.bmp"), 100000, 100000, 4096);
  WriteClaim(dir.File("negative.bmp"), 4000, -3000, 4096);
  WriteClaim(dir.File("widthless.bmp"), -5, 10, 4096);
  for (const char* name : {"short.bmp", "negative.bmp", "widthless.bmp"})
    EXPECT_EQ(ReadBgrBitmap(dir.File(name), picture), BitmapRead::Refused) << name;
  EXPECT_LT(PeakKb() - peakBefore, 50 * 1024) << "memory set aside for a refused claim";

  // The largest allowed frame is read (as zeros from the hole).
  const int32_t w = 7680, h = 4320;
  ASSERT_EQ(int64_t{w} * h, kMaxFramePixels);
  WriteClaim(dir.File("8k.bmp"), w, h, Stored(w, h));
  ASSERT_EQ(ReadBgrBitmap(dir.File("8k.bmp"), picture), BitmapRead::Read);
  EXPECT_EQ(picture.size(), cv::Size(w, h));
  EXPECT_EQ(cv::countNonZero(picture.reshape(1)), 0);
}

TEST(BmpReader, NothingALyingFrameFileCausesLeavesTheLoader) {
  TempDir dir;
  nsOpenCV vision("IMAGE");
  // 24-bit claims this reader refuses, and 8-bit ones that go to OpenCV's
  // loader, whose own checks throw.
  WriteClaim(dir.File("a.bmp"), 20000, 20000, Stored(20000, 20000));
  WriteClaim(dir.File("b.bmp"), 100000, 100000, 1 << 20);
  WriteClaim(dir.File("c.bmp"), 100000, 100000, 1 << 20, 8);
  WriteClaim(dir.File("d.bmp"), 60000, 60000, 1 << 20, 32);
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"}) {
    bool loaded = true;
    EXPECT_NO_THROW(loaded = vision.LoadFrame(dir.File(name))) << name;
    EXPECT_FALSE(loaded) << name;
    EXPECT_TRUE(vision.ColourImage().empty()) << name;
  }
}
