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

// A changed region is often a piece of a person (a head, an arm, the edge
// of a coat): the area searched around it holds a person at least this
// tall, or as tall as the region, standing anywhere over it.
constexpr int kSmallestPersonPx = 48;
// Added on every side: the detector's window needs some picture around
// the person.
constexpr int kPersonSearchMarginPx = 16;
// A person shorter than about this many pixels fits no detector window at
// the picture's own size: areas around lower regions are scaled up.
constexpr int kPersonHeightAtOwnSize = 96;
// ... by at most this much, which reaches people about 48 pixels tall; the
// cost grows with the square of it.
constexpr double kMaxPersonScaleUp = 2.0;
// Pixels searched per check at most, after scaling, over all areas: a
// region as large as the picture cannot make a check take seconds, and a
// check stays within about 35 ms of processor time.
constexpr int kMaxPersonSearchPixels = 384 * 320;
// The detector's score (its SVM margin) a found window needs to count:
// below it, textures (leaves, boxes, a painting) pass for people.
constexpr double kMinPersonScore = 0.7;

// How the search is made; the defaults are what the program uses, other
// values serve the measurement program.
struct PersonSearch {
  double maxScaleUp = kMaxPersonScaleUp;
  double minScore = kMinPersonScore;
  double pyramidStep = 1.05;   // between the detector's window sizes
  int maxSearchPixels = kMaxPersonSearchPixels;
};

// One area searched: its box in the frame, the scale it is searched at,
// the frame-edge margins added (searched pixels) and the searched size.
struct PersonSearchStep {
  cv::Rect box;
  double scale = 1.0;
  int top = 0, bottom = 0, left = 0, right = 0;
  cv::Size searched;
};

// The areas searched for the regions, in order: padded, clipped to the
// frame, overlapping ones merged into one, largest first, each at least a
// window large, as many as the search's pixel budget allows.
std::vector<PersonSearchStep> PlanPersonSearch(const MotionRegions& regions, cv::Size frame,
                                               const PersonSearch& search = PersonSearch{});

std::unique_ptr<IPersonDetector> MakeHogPersonDetector(const PersonSearch& search, std::string* why);
