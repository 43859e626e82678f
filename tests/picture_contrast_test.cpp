#include <gtest/gtest.h>

#include <algorithm>

#include "vision/PictureContrast.h"

// Pictures of two levels, the left half one and the right half the other:
// the hundredths at either end are the two levels themselves.
TEST(PictureContrast, DarkAndFlatPicturesAreSaidAndTheRestStretched) {
  struct Row {
    int low, high;
    const char* problem;  // a word of the reason; empty: usable
    int outLow, outHigh;  // the normalised levels of the two parts
  };
  // What kMaxContrastGain makes of a spread, half on either side of the middle.
  const auto half = [](int spread) { return static_cast<int>(kMaxContrastGain * spread / 2); };
  const Row rows[] = {
      {0, kDarkestUsableLevel - 1, "暗すぎ", 0, 0},
      {0, kDarkestUsableLevel, "", std::max(0, 128 - half(kDarkestUsableLevel)),
       std::min(255, 128 + half(kDarkestUsableLevel))},
      {100, 100 + kFlattestUsableSpread - 1, "コントラスト", 0, 0},
      {100, 100 + kFlattestUsableSpread, "", 128 - half(kFlattestUsableSpread), 128 + half(kFlattestUsableSpread)},
      {10, 60, "", 0, 255},  // within kMaxContrastGain: the whole range
      {30, 220, "", 0, 255},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.low) + ".." + std::to_string(row.high));
    cv::Mat picture(480, 640, CV_8UC3, cv::Scalar::all(row.low));
    picture(cv::Rect(320, 0, 320, 480)).setTo(cv::Scalar::all(row.high));
    const std::string problem = PictureLightProblem(picture);
    EXPECT_EQ(problem.empty(), std::string(row.problem).empty()) << problem;
    EXPECT_NE(problem.find(row.problem), std::string::npos) << problem;
    if (!problem.empty()) continue;
    cv::Mat out;
    NormalisedBrightness(picture, out);
    ASSERT_EQ(out.type(), CV_8UC1);
    EXPECT_NEAR(out.at<uchar>(240, 100), row.outLow, 2);
    EXPECT_NEAR(out.at<uchar>(240, 540), row.outHigh, 2);
  }
  EXPECT_EQ(PictureLightProblem(cv::Mat()), "");  // no picture is another reason, said elsewhere
}
