#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/MotionRegion.h"
#include "vision/PersonCheck.h"

// OpenCV's HOG people detector (a 64 x 128 window, a person about 96 pixels
// tall in it), searched only in padded areas around the regions that moved.

// Around a region the person may reach beyond what changed (only an arm or
// the legs may have moved): the area is widened by the larger of the
// region's width and half its height on each side, and made taller by half
// its height above and below, plus this margin the detector's window needs.
constexpr int kPersonSearchMarginPx = 16;
// A person shorter than about this many pixels fits no detector window at
// the picture's own size: areas around lower regions are scaled up.
constexpr int kPersonHeightAtOwnSize = 96;
// ... by at most this much: smaller people are too blurred to tell apart
// from a shrub, and the cost grows with the square of it.
constexpr double kMaxPersonScaleUp = 2.0;
// Pixels searched per check at most, after scaling, over all areas: a
// region as large as the picture cannot make a check take seconds.
constexpr int kMaxPersonSearchPixels = 640 * 480;
// The detector's score (its SVM margin) a found window needs to count.
constexpr double kMinPersonScore = 0.3;

// How the search is made; the defaults are what the program uses, other
// values serve the measurement program.
struct PersonSearch {
  double maxScaleUp = kMaxPersonScaleUp;
  double minScore = kMinPersonScore;
  double pyramidStep = 1.05;   // between the detector's window sizes
  int maxSearchPixels = kMaxPersonSearchPixels;
};

// The padded areas around the regions, clipped to the frame, overlapping
// ones merged into one, largest first.
std::vector<cv::Rect> PersonSearchAreas(const MotionRegions& regions, cv::Size frame);

std::unique_ptr<IPersonDetector> MakeHogPersonDetector(const PersonSearch& search, std::string* why);
