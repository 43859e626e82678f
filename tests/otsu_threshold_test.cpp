#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <random>

#include "vision/OtsuThreshold.h"

namespace {
// OpenCV's own choice, which ours must equal on every picture.
int OpenCvOtsu(const cv::Mat& grey) {
  cv::Mat unused;
  return static_cast<int>(cv::threshold(grey, unused, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU));
}

// Pictures of many shapes of histogram: one or two humps of any spread,
// a few levels only, uneven weights, and sizes that are no multiple of 8.
cv::Mat RandomGrey(std::mt19937& random, int rows, int cols) {
  cv::Mat grey(rows, cols, CV_8UC1);
  std::uniform_int_distribution<int> kind(0, 3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int k = kind(random);
  const double m1 = unit(random) * 255, m2 = unit(random) * 255;
  const double s1 = 1 + unit(random) * 60, s2 = 1 + unit(random) * 60;
  const double share = unit(random);
  std::normal_distribution<double> hump1(m1, s1), hump2(m2, s2);
  std::uniform_int_distribution<int> anyLevel(0, 255);
  const int few[3] = {anyLevel(random), anyLevel(random), anyLevel(random)};
  std::uniform_int_distribution<int> pick(0, 2);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      double v = 0;
      switch (k) {
      case 0: v = anyLevel(random); break;
      case 1: v = unit(random) < share ? hump1(random) : hump2(random); break;
      case 2: v = few[pick(random)]; break;
      default: v = hump1(random); break;
      }
      grey.at<uint8_t>(r, c) = cv::saturate_cast<uint8_t>(v);
    }
  }
  return grey;
}
}  // namespace

TEST(OtsuThreshold, PicksOpenCvsLevelOnAThousandPicturesOfEveryShape) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> side(1, 97);
  for (int i = 0; i < 1000; ++i) {
    const cv::Mat grey = RandomGrey(random, side(random), side(random));
    ASSERT_EQ(OtsuThreshold(grey), OpenCvOtsu(grey)) << "picture " << i << " " << grey.size();
  }
}

TEST(OtsuThreshold, EqualsOpenCvOnFullFramesFlatPicturesAndViews) {
  std::mt19937 random(7);
  const cv::Mat full = RandomGrey(random, 1080, 1920);
  EXPECT_EQ(OtsuThreshold(full), OpenCvOtsu(full));
  // A view into a larger picture: rows are not contiguous.
  const cv::Mat view = full(cv::Rect(3, 5, 301, 77));
  ASSERT_FALSE(view.isContinuous());
  EXPECT_EQ(OtsuThreshold(view), OpenCvOtsu(view));
  for (int level : {0, 1, 128, 255}) {
    const cv::Mat flat(48, 64, CV_8UC1, cv::Scalar(level));
    EXPECT_EQ(OtsuThreshold(flat), OpenCvOtsu(flat)) << level;
  }
  cv::Mat two(48, 64, CV_8UC1, cv::Scalar(0));
  two(cv::Rect(0, 0, 64, 1)).setTo(255);  // one pixel row in 48: an uneven split
  EXPECT_EQ(OtsuThreshold(two), OpenCvOtsu(two));
}

TEST(OtsuThreshold, HistogramCountsEveryPixelOnce) {
  cv::Mat grey(3, 13, CV_8UC1);
  for (int i = 0; i < 39; ++i) grey.data[i] = static_cast<uint8_t>(i % 5 == 0 ? 200 : i);
  GreyHistogram histogram;
  CountGreyLevels(grey, histogram);
  uint64_t total = 0;
  for (uint32_t n : histogram) total += n;
  EXPECT_EQ(total, 39u);
  EXPECT_EQ(histogram[200], 8u);
  EXPECT_EQ(histogram[1], 1u);
  EXPECT_EQ(histogram[5], 0u);
}
