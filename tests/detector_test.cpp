#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sstream>
#include <tuple>

#include "capture/FrameLimits.h"
#include "settings/Vardocamdef.h"
#include "support/TempDir.h"
#include "vision/MotionMask.h"
#include "vision/Nsopencv.h"
#include "vision/PictureHeader.h"

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

TEST(Detector, BinarisedAndUnbinarisedTicksMixedCountWhatOpenCvCounts) {
  // A binarised frame is held at a bit a pixel; a tick that does not
  // binarise compares its grey bytes with that frame's 0-or-255 bytes.
  TempDir dir;
  nsOpenCV vision("IMAGE");
  cv::Mat first(48, 70, CV_8UC3, cv::Scalar::all(30));
  first(cv::Rect(5, 5, 40, 30)).setTo(cv::Scalar::all(220));
  const std::string path = dir.File("frame.png");
  cv::imwrite(path, first);
  vision.LoadFrame(path);
  vision.ConvertToGrey();
  vision.Binarize(-1);
  vision.DetectMotion(0);
  const cv::Mat reference = vision.ReferenceImage().clone();

  cv::Mat second(48, 70, CV_8UC3, cv::Scalar::all(31));  // odd grey: low bit set
  cv::imwrite(path, second);
  vision.LoadFrame(path);
  vision.ConvertToGrey();
  const cv::Mat grey = vision.GreyImage().clone();
  vision.DetectMotion(0);

  cv::Mat expected;
  cv::bitwise_xor(grey, reference, expected);
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(4, 4), cv::Point(0, 0));
  cv::erode(expected, expected, element, cv::Point(0, 0), 2, cv::BORDER_REPLICATE);
  cv::dilate(expected, expected, element, cv::Point(0, 0), 2, cv::BORDER_REPLICATE);
  int64_t low = 0;
  for (int r = 0; r < expected.rows; ++r)
    for (int c = 0; c < expected.cols; ++c) low += expected.at<uint8_t>(r, c) & 1;
  ASSERT_GT(low, 0);
  EXPECT_EQ(vision.LastChangedPercentage(), low * 100 / (48 * 70));
  // Binarising afterwards works on the grey bytes again.
  EXPECT_TRUE(vision.Binarize(100));
  EXPECT_EQ(cv::countNonZero(vision.GreyImage()), 0);
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

namespace {
// Binarised frames straight into the detector, each with its time: the
// grey image is set by loading a picture that binarises to itself.
class TimedDetector {
public:
  explicit TimedDetector(MotionOptions options = {}) : vision_("IMAGE") {
    vision_.SetMotionOptions(options);
  }
  bool Step(const cv::Mat& frame, uint32_t timeMs, int32_t moveBorder = 4) {
    const std::string path = dir_.File("frame.png");
    cv::imwrite(path, frame);
    vision_.LoadFrame(path);
    vision_.ConvertToGrey();
    vision_.Binarize(kFixedThreshold);
    return vision_.DetectMotion(moveBorder, timeMs);
  }
  nsOpenCV& Vision() { return vision_; }
  const TempDir& Dir() const { return dir_; }

private:
  TempDir dir_;
  nsOpenCV vision_;
};

// A person-sized white block, 80 x 300, that moves `step` pixels a frame.
cv::Mat Walker(int frame, int step) { return WithWhite(Black(), {20 + frame * step, 100, 80, 300}); }

MotionOptions Interval(uint32_t ms) {
  MotionOptions options;
  options.referenceIntervalMs = ms;
  return options;
}
} // namespace

TEST(DetectorReference, AtTenFramesASecondEveryResultEqualsThePreviousFrameComparison) {
  // With jitter: 100 ms apart, give or take 15.
  const uint32_t times[] = {0, 100, 185, 300, 415, 500, 590, 700, 815, 900, 1000, 1085};
  Detector today;
  TimedDetector ring(Interval(kDefaultReferenceIntervalMs));
  int detections = 0;
  for (int i = 0; i < 12; ++i) {
    const cv::Mat frame = Walker(i % 6, 9 + i);  // a walker, jumping back now and then
    const bool expected = today.Step(frame, 4);
    EXPECT_EQ(ring.Step(frame, times[i]), expected) << "frame " << i;
    EXPECT_EQ(ring.Vision().LastChangedPercentage(), today.Vision().LastChangedPercentage());
    detections += expected;
  }
  EXPECT_GT(detections, 0);
  // Only what the next comparison can need is held.
  EXPECT_LE(ring.Vision().StoredReferences(), 2u);
}

TEST(DetectorReference, AtThirtyFramesASecondAWalkerIsSeenAgainstTheFrameThreeBack) {
  // 12 pixels a frame at 30 fps (across the picture in 2 s): 2 % of the
  // picture changes between neighbours, 7 % against the frame three back.
  Detector neighbours;
  TimedDetector ring(Interval(kDefaultReferenceIntervalMs));
  int neighbourDetections = 0, ringDetections = 0;
  for (int i = 0; i < 30; ++i) {
    neighbourDetections += neighbours.Step(Walker(i, 12), 4);
    ringDetections += ring.Step(Walker(i, 12), static_cast<uint32_t>(i * 1000 / 30));
  }
  EXPECT_EQ(neighbourDetections, 0);
  EXPECT_EQ(ringDetections, 27);  // all but the first three, which only store
  // 80 ms at 33 ms a frame: the frame three back, and the two between.
  EXPECT_LE(ring.Vision().StoredReferences(), 4u);
}

TEST(DetectorReference, IntervalZeroIsThePreviousFrameAndEarlyFramesOnlyStore) {
  Detector today;
  TimedDetector zero(Interval(0));
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(zero.Step(Walker(i, 12), static_cast<uint32_t>(i * 5)), today.Step(Walker(i, 12), 4));

  // Until a frame is old enough there is no comparison, as on the first.
  TimedDetector ring(Interval(100));
  EXPECT_FALSE(ring.Step(Black(), 0));
  EXPECT_FALSE(ring.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 50, -1));
  EXPECT_TRUE(ring.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 100, 4));
  EXPECT_EQ(ring.Vision().LastChangedPercentage(), 100);  // against the black frame at 0
}

TEST(DetectorReference, AFullRingComparesWithItsOldestFrameAcrossACounterWrap) {
  // Frames 1 ms apart never get 1000 ms old: once the ring is full, the
  // oldest it holds is the reference. The times run over the counter's top.
  TimedDetector ring(Interval(1000));
  const uint32_t start = 0xFFFFFFFFu - 3;
  for (uint32_t i = 0; i < kReferenceRingSize; ++i)
    EXPECT_FALSE(ring.Step(Walker(static_cast<int>(i), 40), start + i, -1));
  EXPECT_EQ(ring.Vision().StoredReferences(), kReferenceRingSize);
  EXPECT_TRUE(ring.Step(Walker(static_cast<int>(kReferenceRingSize), 40), start + 8, -1));
  EXPECT_EQ(ring.Vision().StoredReferences(), kReferenceRingSize);
  // A frame 1000 ms after the first, past the wrap, is compared with it.
  TimedDetector wrap(Interval(1000));
  wrap.Step(Black(), start);
  EXPECT_FALSE(wrap.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), start + 999, -1));
  EXPECT_TRUE(wrap.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), start + 1000, 99));
}

TEST(DetectorReference, ANewSizeStartsAFreshRing) {
  TimedDetector ring(Interval(kDefaultReferenceIntervalMs));
  for (uint32_t i = 0; i < 4; ++i) ring.Step(Walker(static_cast<int>(i), 5), i * 33);
  EXPECT_FALSE(ring.Step(Black(320, 240), 200, -1));
  EXPECT_EQ(ring.Vision().StoredReferences(), 1u);
  EXPECT_EQ(ring.Vision().ReferenceImage().size(), cv::Size(320, 240));
  EXPECT_TRUE(ring.Step(WithWhite(Black(320, 240), {0, 0, 320, 240}), 300, 4));
}

TEST(DetectorLighting, AChangeOverTheCutoffIsNoMotionAndBecomesTheReference) {
  MotionOptions options;
  options.lightingCutoffPercent = 60;
  TimedDetector d(options);
  d.Step(Black(), 0);
  // 10 % changed: motion, under the cutoff.
  EXPECT_TRUE(d.Step(WithWhite(Black(), {0, 0, 64, 480}), 100));
  EXPECT_FALSE(d.Vision().LastWasLightingChange());
  // 90 %: light. The lit frame is all that is held afterwards.
  EXPECT_FALSE(d.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 200));
  EXPECT_TRUE(d.Vision().LastWasLightingChange());
  EXPECT_EQ(d.Vision().StoredReferences(), 1u);
  EXPECT_FALSE(d.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 300));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 0);

  // 100 % never cuts; 0 is off.
  for (int32_t cutoff : {0, 100}) {
    options.lightingCutoffPercent = cutoff;
    TimedDetector open(options);
    open.Step(Black(), 0);
    EXPECT_TRUE(open.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 100)) << cutoff;
    EXPECT_FALSE(open.Vision().LastWasLightingChange());
  }
}

// The day/night switch: the fixed threshold (100) stands for one that
// followed the light, so a third of the picture crosses it while the grey
// level of all of it moves. Moved by more than kLightingStepLevels over more
// of the picture than the cutoff, it is light; a move of only part of the
// picture, or one within the step, stays motion.
TEST(DetectorLighting, GreyLevelsMovingOverTheCutoffShareAreLight) {
  struct Row {
    int step;        // grey levels added
    bool everywhere;  // to the whole picture, or to the third that crosses
    int32_t cutoff;
    bool light;
  };
  const Row rows[] = {
      {20, true, 50, true},
      {20, false, 50, false},
      {kLightingStepLevels - 4, true, 50, false},
      {20, true, 0, false},
      {20, true, 100, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.step) + (row.everywhere ? " everywhere" : " a third") + " cutoff " +
                 std::to_string(row.cutoff));
    MotionOptions options;
    options.lightingCutoffPercent = row.cutoff;
    TimedDetector d(options);
    const int below = kFixedThreshold - row.step / 2;
    cv::Mat before(kHeight, kWidth, CV_8UC3, cv::Scalar::all(60));
    before(cv::Rect(0, 0, kWidth / 3, kHeight)).setTo(cv::Scalar::all(below));
    cv::Mat after = before + cv::Scalar::all(row.step);
    if (!row.everywhere) after(cv::Rect(kWidth / 3, 0, kWidth - kWidth / 3, kHeight)).setTo(cv::Scalar::all(60));
    d.Step(before, 0);
    EXPECT_EQ(d.Step(after, 100), !row.light);
    EXPECT_EQ(d.Vision().LastWasLightingChange(), row.light);
  }
}

TEST(DetectorMask, OnlyWatchedPixelsCountAndTheMaskIsScaledToTheFrame) {
  // Left half watched, drawn at a quarter of the frame's size.
  cv::Mat mask(120, 160, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(0, 0, 80, 120)).setTo(255);
  MotionOptions options;
  options.mask = mask;
  TimedDetector d(options);
  d.Step(Black(), 0);
  // All of the right half changes: ignored.
  EXPECT_FALSE(d.Step(WithWhite(Black(), {400, 0, 240, 480}), 100, 0));
  EXPECT_EQ(d.Vision().LastChangedPercentage(), 0);
  // A block in the left half counts against the watched half only: twice
  // its share of the whole picture.
  EXPECT_TRUE(d.Step(WithWhite(Black(), {0, 0, 320, 48}), 200));
  TimedDetector whole;
  whole.Step(Black(), 0);
  whole.Step(WithWhite(Black(), {0, 0, 320, 48}), 100);
  EXPECT_GE(whole.Vision().LastChangedPercentage(), 3);
  EXPECT_NEAR(d.Vision().LastChangedPercentage(), 2 * whole.Vision().LastChangedPercentage(), 1);

  // All black: nothing is watched, nothing is ever motion.
  options.mask = cv::Mat(kHeight, kWidth, CV_8UC1, cv::Scalar(0));
  TimedDetector blind(options);
  blind.Step(Black(), 0);
  EXPECT_FALSE(blind.Step(WithWhite(Black(), {0, 0, kWidth, kHeight}), 100, 0));
  EXPECT_EQ(blind.Vision().LastChangedPercentage(), 0);
}

TEST(DetectorMask, MaskFilesReadAsWatchedAndIgnoredOrNotAtAll) {
  TempDir dir;
  cv::Mat grey(4, 6, CV_8UC1, cv::Scalar(200));
  grey.at<uint8_t>(0, 0) = 127;  // the middle grey is ignored
  grey.at<uint8_t>(0, 1) = 128;
  for (const char* name : {"mask.png", "mask.pgm", "mask.bmp"}) {
    cv::imwrite(dir.File(name), grey);
    cv::Mat mask;
    ASSERT_TRUE(ReadMotionMask(dir.File(name), mask)) << name;
    EXPECT_EQ(mask.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(mask), 23);
    EXPECT_EQ(mask.at<uint8_t>(0, 1), 255);
  }
  cv::Mat mask;
  EXPECT_FALSE(ReadMotionMask(dir.File("missing.png"), mask));
  WriteFileBytes(dir.File("broken.png"), "\x89PNG not really");
  EXPECT_FALSE(ReadMotionMask(dir.File("broken.png"), mask));
  EXPECT_TRUE(mask.empty());
  EXPECT_FALSE(ReadMotionMask("", mask));
}

TEST(DetectorMask, SizesPastTheFrameLimitsAreRefusedFromTheHeaderBeforeDecoding) {
  // The declared size from the header bytes alone; -1: none can be told.
  const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x75\x30\0\0\x75\x30", 24);
  const std::string sof = std::string("\xc0\0\x0b\x08\0\x02\0\x01", 8);  // 1 x 2
  for (const auto& [bytes, w, h] : std::vector<std::tuple<std::string, int64_t, int64_t>>{
           {png, 30000, 30000},
           {png.substr(0, 20), -1, -1},
           {std::string("BM\0\0\0\0\0\0\0\0\0\0\0\0\x28\0\0\0\x40\0\0\0\xf0\xff\xff\xff", 26), 64, 16},
           {std::string("\xff\xd8\xff\xe1\0\x04xx\xff\xff\xc0\0\x0b\x08\x75\x30\x75\x30", 19), 30000, 30000},
           {std::string("\xff\xd8\xff\xda\0\x02", 6), -1, -1},
           {"P5\n# drawn by hand\n 640\t480\n255\n", 640, 480},
           {"P5\n640", -1, -1},
           {"P5 9#123\n5\n", -1, -1},  // the decoder would read 9 x 123
           {"P5 " + std::string(kMaxPnmDigits + 1, '1') + " 1\n", -1, -1},
           {"P5\n#" + std::string(kMaxPnmHeaderBytes, 'c') + "\n1 1\n", -1, -1},
           {"\xff\xd8" + std::string(kMaxJpegMarkers / 2, '\xff') + sof, 1, 2},
           {"\xff\xd8" + std::string(kMaxJpegMarkers + 1, '\xff') + sof, -1, -1},
           {"GIF89a", -1, -1}}) {
    std::istringstream in(bytes);
    int64_t width = -1, height = -1;
    EXPECT_EQ(DeclaredPictureSize(in, width, height), w >= 0) << bytes.substr(0, 8);
    if (w >= 0) {
      EXPECT_EQ(std::make_pair(width, height), std::make_pair(w, h)) << bytes.substr(0, 8);
    }
  }
  // Real pictures just past each limit in the formats a mask comes in.
  TempDir dir;
  cv::Mat mask;
  for (const auto& [name, w, h] : std::vector<std::tuple<std::string, int, int>>{
           {"wide.png", kMaxFrameWidth + 1, 1}, {"tall.bmp", 1, kMaxFrameHeight + 1},
           {"wide.jpg", kMaxFrameWidth + 1, 8}, {"many.pgm", kMaxFramePixels / 4000 + 1, 4000},
           {"fits.jpg", 64, 48}}) {
    ASSERT_TRUE(cv::imwrite(dir.File(name), cv::Mat(h, w, CV_8UC1, cv::Scalar(255)))) << name;
    EXPECT_EQ(ReadMotionMask(dir.File(name), mask), FrameSizeAllowed(w, h)) << name;
  }
  WriteFileBytes(dir.File("huge.png"), png + std::string(875 * 1024, '\0'));
  EXPECT_FALSE(ReadMotionMask(dir.File("huge.png"), mask));
}

// The regions are the connected parts of the cleaned difference: separate
// rectangles that survive the opening come back as themselves, largest
// first, on both the bit-a-pixel and the byte path; specks do not.
TEST(DetectorRegions, RandomRectanglesComeBackAsTheirOwnBoxes) {
  for (const bool binarised : {true, false}) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
      SCOPED_TRACE(std::string(binarised ? "bits" : "bytes") + " seed " + std::to_string(seed));
      cv::RNG rng(seed);
      cv::Mat frame = Black();
      std::vector<cv::Rect> placed;
      for (int tries = 0; tries < 200 && placed.size() < 12; ++tries) {
        const cv::Rect r(rng.uniform(0, kWidth - 60), rng.uniform(0, kHeight - 60), rng.uniform(8, 60),
                         rng.uniform(8, 60));
        const cv::Rect apart(r.x - 8, r.y - 8, r.width + 16, r.height + 16);
        if (std::any_of(placed.begin(), placed.end(), [&](const cv::Rect& p) { return (p & apart).area() > 0; }))
          continue;
        placed.push_back(r);
        WithWhite(frame, r);
      }
      frame.at<cv::Vec3b>(kHeight - 2, kWidth - 2) = cv::Vec3b(255, 255, 255);  // a speck
      Detector d;
      const auto step = [&](const cv::Mat& f) {
        const std::string path = d.Dir().File("frame.png");
        cv::imwrite(path, f);
        d.Vision().LoadFrame(path);
        d.Vision().ConvertToGrey();
        if (binarised) d.Vision().Binarize(kFixedThreshold);
        return d.Vision().DetectMotion(-1);
      };
      step(Black());
      ASSERT_TRUE(step(frame));
      const std::vector<MotionRegion> regions = d.Vision().MotionRegions(placed.size() + 5);
      ASSERT_EQ(regions.size(), placed.size());
      std::sort(placed.begin(), placed.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.area() > b.area(); });
      for (size_t i = 0; i < regions.size(); ++i) {
        EXPECT_EQ(regions[i].pixels, placed[i].area()) << i;
        const cv::Rect box(regions[i].x, regions[i].y, regions[i].width, regions[i].height);
        EXPECT_TRUE(std::find(placed.begin(), placed.end(), box) != placed.end()) << box;
      }
      EXPECT_EQ(d.Vision().MotionRegions(2).size(), std::min<size_t>(2, placed.size()));
    }
  }
}

// Tenths of a percent reach a person far away (here 0.5 % of the picture)
// that the whole-percent threshold cannot express.
TEST(DetectorRegions, ThePermilleThresholdComparesStrictlyInTenthsOfAPercent) {
  struct Row {
    int32_t permille;  // 0: the whole-percent threshold
    int32_t moveBorder;
    bool detected;
  };
  const Row rows[] = {{0, 0, false}, {4, 4, true}, {5, 0, false}, {1, 4, true}};
  const cv::Rect person(300, 200, 32, 48);  // 1 536 pixels: 5 per mille
  for (const Row& row : rows) {
    SCOPED_TRACE(row.permille);
    Detector d;
    MotionOptions options;
    options.moveBorderPermille = row.permille;
    d.Vision().SetMotionOptions(options);
    d.Step(Black(), row.moveBorder);
    EXPECT_EQ(d.Step(WithWhite(Black(), person), row.moveBorder), row.detected);
    EXPECT_EQ(d.Vision().LastChangedPermille(), 5);
  }
}
