#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/TempDir.h"
#include "vision/Nsopencv.h"

namespace {
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFixedThreshold = 100;

cv::Mat Black(int w = kWidth, int h = kHeight) { return cv::Mat(h, w, CV_8UC3, cv::Scalar::all(0)); }

cv::Mat WithWhite(cv::Mat image, const cv::Rect& r) {
  image(r).setTo(cv::Scalar::all(255));
  return image;
}

// Feeds frames through the tick's steps, as the monitoring cycle does.
class Detector {
public:
  Detector() : vision_("IMAGE") {}

  bool Step(const cv::Mat& frame, int32_t moveBorder, int32_t threshold = kFixedThreshold) {
    const std::string path = dir_.File("frame.png");
    cv::imwrite(path, frame);
    vision_.LoadFrame(path);
    vision_.ConvertToGrey();
    vision_.Binarize(threshold);
    return vision_.DetectMotion(moveBorder);
  }

  nsOpenCV& Vision() { return vision_; }
  const TempDir& Dir() const { return dir_; }

private:
  TempDir dir_;
  nsOpenCV vision_;
};

cv::Rect WhiteArea(const cv::Mat& grey) {
  cv::Mat points;
  cv::findNonZero(grey, points);
  return points.empty() ? cv::Rect() : cv::boundingRect(points);
}
} // namespace

TEST(Detector, FirstComparisonOnlyStoresTheReference) {
  Detector d;
  EXPECT_TRUE(d.Vision().ReferenceImage().empty());
  EXPECT_FALSE(d.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), -1));
  EXPECT_FALSE(d.Vision().ReferenceImage().empty());
  // The same frame again: nothing changed, whatever the border, but a
  // negative border reports every comparison.
  EXPECT_FALSE(d.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 0));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 0);
  EXPECT_TRUE(d.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), -1));
}

TEST(Detector, FivePercentOfA640x480FrameIsTheBoundaryAtBorderFour) {
  // 160 x 96 = 15 360 pixels: exactly 5 %.
  const cv::Rect area(200, 150, 160, 96);
  Detector d;
  d.Step(Black(), 4);
  EXPECT_TRUE(d.Step(WithWhite(Black(), area), 4));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 5);

  // One pixel fewer (a corner taken away) makes 4 %: no motion.
  cv::Mat lessOne = WithWhite(Black(), area);
  lessOne.at<cv::Vec3b>(area.y, area.x) = cv::Vec3b(0, 0, 0);
  Detector e;
  e.Step(Black(), 4);
  EXPECT_FALSE(e.Step(lessOne, 4));
  EXPECT_EQ(e.Vision().LastChangedPercentage(), 4);

  // Borders of 100 or more never report.
  Detector f;
  f.Step(Black(), 100);
  EXPECT_FALSE(f.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 100));
  EXPECT_EQ(f.Vision().LastChangedPercentage(), 100);
}

TEST(Detector, ChangesWithoutASevenBySevenSquareVanish) {
  // A band moved 5 pixels sideways leaves two strips 5 pixels wide: 1 % of
  // the frame before the cleaning, nothing after it.
  Detector d;
  d.Step(WithWhite(Black(), {100, 0, 300, kHeight}), 0);
  EXPECT_FALSE(d.Step(WithWhite(Black(), {105, 0, 300, kHeight}), 0));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 0);

  // Isolated pixels and 6-pixel lines disappear already in the binarising.
  cv::Mat speckled = Black();
  for (int y = 0; y < kHeight; y += 12) speckled.rowRange(y, y + 6).setTo(cv::Scalar::all(255));
  Detector e;
  e.Step(Black(), 0);
  EXPECT_FALSE(e.Step(speckled, 0));
  EXPECT_EQ(cv::countNonZero(e.Vision().GreyImage()), 0);
}

TEST(Detector, TheElementIsAnchoredAtItsTopLeftCell) {
  // Opening with an element anchored at its top-left cell moves a shape 6
  // pixels up and left; a centred element would leave it in place.
  Detector d;
  d.Step(WithWhite(Black(), {100, 100, 100, 50}), 0);
  EXPECT_EQ(WhiteArea(d.Vision().GreyImage()), cv::Rect(94, 94, 100, 50));
}

TEST(Detector, NegativeThresholdsUseOtsuAndFixedOnesCompareStrictly) {
  // Two dark grey levels: Otsu separates them, a fixed 100 does not.
  cv::Mat twoGreys(kHeight, kWidth, CV_8UC3, cv::Scalar::all(10));
  twoGreys(cv::Rect(0, 0, 320, kHeight)).setTo(cv::Scalar::all(40));
  for (int32_t threshold : {-1, -5}) {
    Detector d;
    d.Step(twoGreys, 0, threshold);
    EXPECT_EQ(WhiteArea(d.Vision().GreyImage()), cv::Rect(0, 0, 314, kHeight)) << threshold;
  }
  Detector fixed;
  fixed.Step(twoGreys, 0, 100);
  EXPECT_EQ(cv::countNonZero(fixed.Vision().GreyImage()), 0);

  // Threshold 0 turns every pixel that is not black white; 255 turns all black.
  cv::Mat nearlyBlack(kHeight, kWidth, CV_8UC3, cv::Scalar::all(1));
  Detector zero;
  zero.Step(nearlyBlack, 0, 0);
  EXPECT_EQ(cv::countNonZero(zero.Vision().GreyImage()), kWidth * kHeight);
  Detector top;
  top.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 0, 255);
  EXPECT_EQ(cv::countNonZero(top.Vision().GreyImage()), 0);
}

TEST(Detector, GreyConversionGivesBlueTheWeightOfRed) {
  TempDir dir;
  nsOpenCV vision("IMAGE");
  cv::Mat blue(8, 8, CV_8UC3, cv::Scalar(255, 0, 0));  // B, G, R
  cv::imwrite(dir.File("blue.png"), blue);
  ASSERT_TRUE(vision.LoadFrame(dir.File("blue.png")));
  ASSERT_TRUE(vision.ConvertToGrey());
  EXPECT_EQ(vision.GreyImage().type(), CV_8UC1);
  EXPECT_EQ(vision.GreyImage().at<uint8_t>(0, 0), 76);  // 0.299 x 255
}

TEST(Detector, MissingFramesAndMissingGreyImagesChangeNothing) {
  Detector d;
  d.Step(WithWhite(Black(), {100, 100, 200, 200}), 0);
  const cv::Mat reference = d.Vision().ReferenceImage().clone();

  EXPECT_FALSE(d.Vision().LoadFrame(d.Dir().File("missing.bmp")));
  EXPECT_TRUE(d.Vision().ColourImage().empty());
  EXPECT_FALSE(d.Vision().ConvertToGrey());
  EXPECT_FALSE(d.Vision().Binarize(-1));
  EXPECT_FALSE(d.Vision().DetectMotion(-1));
  EXPECT_EQ(cv::norm(d.Vision().ReferenceImage(), reference, cv::NORM_INF), 0);

  WriteFileBytes(d.Dir().File("garbage.bmp"), "BM not really a bitmap");
  EXPECT_FALSE(d.Vision().LoadFrame(d.Dir().File("garbage.bmp")));
  EXPECT_FALSE(d.Vision().SaveImage(d.Dir().File("out.jpg")));

  d.Step(Black(), 0);
  d.Vision().ReleaseGreyImage();
  EXPECT_FALSE(d.Vision().Binarize(10));
  EXPECT_FALSE(d.Vision().ErodeDilate());
}

TEST(Detector, AFrameOfAnotherSizeBecomesTheNewReference) {
  Detector d;
  d.Step(Black(), -1);
  EXPECT_FALSE(d.Step(WithWhite(Black(320, 240), {0, 0, 320, 240}), -1));
  EXPECT_EQ(d.Vision().ReferenceImage().size(), cv::Size(320, 240));
  EXPECT_TRUE(d.Step(Black(320, 240), -1));
}

TEST(Detector, PercentageIsRightAboveTwentyOneMillionPixels) {
  // 5000 x 4400 = 22 000 000 pixels: changed x 100 no longer fits 32 bits.
  Detector d;
  const cv::Mat black = Black(5000, 4400);
  d.Step(black, 4);
  EXPECT_TRUE(d.Step(WithWhite(black.clone(), {0, 0, 5000, 4400}), 4));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 100);
}

TEST(Detector, SaveImageWritesTheColourImageAsJpeg) {
  Detector d;
  d.Step(WithWhite(Black(), {0, 0, 320, 480}), 0);
  ASSERT_TRUE(d.Vision().SaveImage(d.Dir().File("recept.jpg")));
  const cv::Mat saved = cv::imread(d.Dir().File("recept.jpg"));
  ASSERT_EQ(saved.size(), cv::Size(kWidth, kHeight));
  EXPECT_EQ(ReadFileBytes(d.Dir().File("recept.jpg")).substr(0, 2), "\xFF\xD8");
}

TEST(Detector, ComparisonCountsLowBitsOfUnbinarisedImagesOfAnyWidth) {
  // 13 x 11: the rows do not fill whole groups of eight pixels. Without
  // binarising, grey values 100, 102 and 101 differ by XOR 2 (even: no
  // change counted) and XOR 3 (odd: every pixel counted).
  TempDir dir;
  nsOpenCV vision("IMAGE");
  auto step = [&](int value) {
    const std::string path = dir.File("frame.png");
    cv::imwrite(path, cv::Mat(11, 13, CV_8UC3, cv::Scalar::all(value)));
    vision.LoadFrame(path);
    vision.ConvertToGrey();
    return vision.DetectMotion(4);
  };
  step(100);
  EXPECT_FALSE(step(102));
  EXPECT_EQ(vision.LastChangedPercentage(), 0);
  EXPECT_TRUE(step(101));
  EXPECT_EQ(vision.LastChangedPercentage(), 100);
}

TEST(Detector, ImagesHeldOutsideAreNotOverwrittenByTheNextTick) {
  Detector d;
  d.Step(WithWhite(Black(), {0, 0, 320, 480}), 0);
  const cv::Mat heldGrey = d.Vision().GreyImage();
  const cv::Mat heldReference = d.Vision().ReferenceImage();
  const cv::Mat greyBefore = heldGrey.clone();
  const cv::Mat referenceBefore = heldReference.clone();

  EXPECT_TRUE(d.Step(WithWhite(Black(), {320, 0, 320, 480}), 0));
  EXPECT_EQ(cv::norm(heldGrey, greyBefore, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(heldReference, referenceBefore, cv::NORM_INF), 0);
  // The new reference is this tick's binarised image, in memory of its own.
  EXPECT_EQ(cv::norm(d.Vision().ReferenceImage(), d.Vision().GreyImage(), cv::NORM_INF), 0);
  EXPECT_NE(d.Vision().ReferenceImage().data, d.Vision().GreyImage().data);
}
