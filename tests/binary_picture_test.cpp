#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <random>

#include "vision/BinaryPicture.h"

namespace {
// What the detector did with OpenCV: a 4 x 4 rectangle anchored at its
// top-left cell, two iterations, the edge replicated.
void OpenCvOpen(cv::Mat& image) {
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(4, 4), cv::Point(0, 0));
  cv::erode(image, image, element, cv::Point(0, 0), 2, cv::BORDER_REPLICATE);
  cv::dilate(image, image, element, cv::Point(0, 0), 2, cv::BORDER_REPLICATE);
}
constexpr int kReach = 6;  // 2 iterations x (4 - 1)

// Random 0/255 pictures: blobs of every size, lone pixels, and lines at
// the edges, where the repeated border matters.
cv::Mat RandomBinary(std::mt19937& random, int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC1, cv::Scalar(0));
  std::uniform_int_distribution<int> x(0, cols - 1), y(0, rows - 1), side(1, 12), coin(0, 3);
  const int shapes = 1 + (rows * cols) / 40;
  for (int i = 0; i < shapes; ++i)
    cv::rectangle(image, cv::Rect(x(random), y(random), side(random), side(random)),
                  cv::Scalar(coin(random) ? 255 : 0), cv::FILLED);
  if (coin(random) == 0) image.col(cols - 1).setTo(255);
  if (coin(random) == 0) image.row(rows - 1).setTo(255);
  return image;
}

cv::Mat Bytes(const BinaryPicture& bits) {
  cv::Mat bytes;
  bits.ToBytes(bytes);
  return bytes;
}

int64_t LowBitCount(const cv::Mat& image) {
  int64_t count = 0;
  for (int r = 0; r < image.rows; ++r)
    for (int c = 0; c < image.cols; ++c) count += image.at<uint8_t>(r, c) & 1;
  return count;
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}
} // namespace

TEST(BinaryPicture, OpeningEqualsOpenCvsAtEveryWidthAroundTheWordSize) {
  std::mt19937 random(42);
  for (int cols : {1, 2, 6, 7, 8, 63, 64, 65, 127, 128, 129, 200, 641}) {
    for (int rows : {1, 2, 6, 7, 8, 13, 31}) {
      cv::Mat image = RandomBinary(random, rows, cols);
      BinaryPicture bits;
      bits.Threshold(image, 127);
      ASSERT_TRUE(Same(Bytes(bits), image)) << cols << "x" << rows;
      bits.Open(kReach);
      OpenCvOpen(image);
      ASSERT_TRUE(Same(Bytes(bits), image)) << cols << "x" << rows;
      ASSERT_EQ(bits.Count(), cv::countNonZero(image)) << cols << "x" << rows;
    }
  }
}

TEST(BinaryPicture, ComparisonOfTwoFramesCountsWhatOpenCvCounts) {
  // The detector's comparison: XOR, opening, optional mask, low bits.
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::uniform_int_distribution<int> side(1, 150);
    const int rows = side(random), cols = side(random);
    cv::Mat a = RandomBinary(random, rows, cols), b = RandomBinary(random, rows, cols);
    cv::Mat mask = RandomBinary(random, rows, cols);
    BinaryPicture aBits, bBits, maskBits, difference;
    aBits.Threshold(a, 0);
    bBits.Threshold(b, 0);
    maskBits.LowBits(mask);
    difference.Xor(aBits, bBits);
    difference.Open(kReach);
    difference.And(maskBits);

    cv::Mat expected;
    cv::bitwise_xor(a, b, expected);
    OpenCvOpen(expected);
    cv::bitwise_and(expected, mask, expected);
    ASSERT_EQ(difference.Count(), LowBitCount(expected)) << i;
    ASSERT_TRUE(Same(Bytes(difference), expected)) << i;
  }
}

TEST(BinaryPicture, ThresholdIsStrictlyAboveTheLevelAcrossTheWholeRange) {
  cv::Mat grey(3, 100, CV_8UC1);
  for (int i = 0; i < 300; ++i) grey.data[i] = static_cast<uint8_t>(i % 256);
  for (int level : {0, 1, 127, 128, 200, 254, 255, 300}) {
    BinaryPicture bits;
    bits.Threshold(grey, level);
    cv::Mat expected;
    cv::threshold(grey, expected, level, 255, cv::THRESH_BINARY);
    EXPECT_TRUE(Same(Bytes(bits), expected)) << level;
  }
  // Views with a row step wider than the row are read row by row.
  cv::Mat wide(4, 130, CV_8UC1, cv::Scalar(9));
  wide(cv::Rect(0, 0, 130, 4)).colRange(60, 70).setTo(200);
  BinaryPicture bits;
  bits.Threshold(wide(cv::Rect(1, 1, 100, 3)), 100);
  EXPECT_EQ(bits.Count(), 30);
}
