#include <cstring>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "capture/BmpFile.h"
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
    ASSERT_TRUE(ReadBgrBitmap(path, read)) << w << "x" << h;
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
  ASSERT_TRUE(ReadBgrBitmap(dir.File("topdown.bmp"), read));
  EXPECT_TRUE(Same(read, two));
}

TEST(BmpReader, ReusesAnUnsharedPictureAndLeavesASharedOneAlone) {
  TempDir dir;
  ASSERT_TRUE(WriteBmpFile(dir.File("a.bmp"), Noise(64, 48)));
  cv::Mat picture;
  ASSERT_TRUE(ReadBgrBitmap(dir.File("a.bmp"), picture));
  const uint8_t* memory = picture.data;
  ASSERT_TRUE(ReadBgrBitmap(dir.File("a.bmp"), picture));
  EXPECT_EQ(picture.data, memory);

  const cv::Mat heldByTheView = picture;  // a second holder
  const cv::Mat before = picture.clone();
  ASSERT_TRUE(WriteBmpFile(dir.File("b.bmp"), Noise(64, 48)));
  ASSERT_TRUE(ReadBgrBitmap(dir.File("b.bmp"), picture));
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
  for (const char* name : {"p.png", "grey.bmp", "cut.bmp", "header.bmp", "missing.bmp"})
    EXPECT_FALSE(ReadBgrBitmap(dir.File(name), read)) << name;

  // Through the detector, they still load the way OpenCV loads them.
  nsOpenCV vision("IMAGE");
  ASSERT_TRUE(vision.LoadFrame(dir.File("p.png")));
  EXPECT_TRUE(Same(vision.ColourImage(), frame));
  ASSERT_TRUE(vision.LoadFrame(dir.File("grey.bmp")));
  EXPECT_EQ(vision.ColourImage().type(), CV_8UC3);
  EXPECT_FALSE(vision.LoadFrame(dir.File("header.bmp")));
  EXPECT_TRUE(vision.ColourImage().empty());
}
