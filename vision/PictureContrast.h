#pragma once
#include <string>

#include <opencv2/core.hpp>

// What the light of a picture leaves the person check to work with: a dusk
// or an infrared picture is dim or flat and grainy, and the people detector
// sees a person in it only once the picture is stretched and the grain
// smoothed; a picture darker or flatter still is said, not read as empty.

// Brightness levels (0..255) a picture's brightest thousandth must reach
// for the check to see anything: below it the night is too dark (the
// treated walkway at about 35 shows neither motion nor a person; the
// darkest night the check still works on reaches about 150). A thousandth,
// not more: one lit figure in a dark yard is enough to look at.
constexpr int kDarkestUsableLevel = 48;
// Levels between a picture's darkest and brightest thousandth at the
// least: below it (thick fog, a covered lens) nothing stands out.
constexpr int kFlattestUsableSpread = 12;
constexpr double kLightTailShare = 0.001;
// The share of pixels, at each end, left out of the levels stretched over
// the whole range: a few specks (a lamp, rain, hot pixels) do not decide.
constexpr double kContrastTailShare = 0.01;
// The stretch amplifies at most this much: the grain of a nearly uniform
// area is not made into edges.
constexpr double kMaxContrastGain = 8.0;
// Sensor grain is smoothed over about this many pixels (Gaussian sigma)
// before searching; a clean picture loses nothing the detector uses.
constexpr double kGrainSigma = 0.8;

// Why the picture is too dark or too flat for the check, in Japanese;
// empty when it is not. Measured on a small copy, over the whole picture.
std::string PictureLightProblem(const cv::Mat& frame);

// `area` (8-bit, 1 or 3 channels) as one channel of brightness, grain
// smoothed and its levels stretched over the whole range, into `out`. Done
// by daylight too: whether a picture is dusk shows in its grain, not its
// levels (the road at dusk stays mid-grey), and the search in brightness
// found as many walkers by day.
void NormalisedBrightness(const cv::Mat& area, cv::Mat& out);
