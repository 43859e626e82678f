#pragma once
#include <cstdint>
#include <vector>

// Changed regions smaller than this many pixels are noise, not anything
// that moved: a region box is reported from this size up.
constexpr int64_t kMinRegionPixels = 16;
// Regions a detection reports at most, largest first: the rest are small
// pieces of the same motion.
constexpr size_t kMaxReportedRegions = 8;

// One connected changed region of a comparison: its box in frame pixels
// and the changed pixels inside it.
struct MotionRegion {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int64_t pixels = 0;
};
using MotionRegions = std::vector<MotionRegion>;
