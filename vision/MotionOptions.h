#pragma once
#include <cstdint>

#include <opencv2/core.hpp>

// Binarised frames kept as candidate references. When none of them is old
// enough (a fast camera and a long interval), the oldest one is used.
constexpr size_t kReferenceRingSize = 8;
// With the lighting cutoff on, a frame whose mean grey level differs from
// its reference's by more than this (of 255) is light as well: the switch
// of an infrared camera between day and night changes the whole picture's
// level in one frame, yet the binarised picture may change less than the
// cutoff. Frames of a walker 80 ms apart differ by 2 levels at most, a
// tree's auto-exposure by about 6.
constexpr int kLightingJumpLevels = 10;

// How the detector compares, beyond the changed-area threshold. The
// defaults compare with the previous frame, without mask or lighting cutoff.
struct MotionOptions {
  uint32_t referenceIntervalMs = 0;
  // A change of more than this share of the picture, or a jump of the mean
  // level of more than kLightingJumpLevels, is taken for lighting, not
  // motion; 0: off.
  int32_t lightingCutoffPercent = 0;
  // The changed-area threshold in tenths of a percent, for people far
  // away; 0: off, the whole-percent threshold applies.
  int32_t moveBorderPermille = 0;
  // 8-bit, one channel, 255 where the picture is watched; empty: all of it.
  // Scaled to the frame's size when the sizes differ.
  cv::Mat mask;
};
