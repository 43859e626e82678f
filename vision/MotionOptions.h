#pragma once
#include <cstdint>

#include <opencv2/core.hpp>

// Binarised frames kept as candidate references. When none of them is old
// enough (a fast camera and a long interval), the oldest one is used.
constexpr size_t kReferenceRingSize = 8;
// With the lighting cutoff on, the share of the picture whose grey level
// moved by more than this (of 255) counts too: the switch of an infrared
// camera between day and night moves the level of nearly every pixel, yet
// the binarised picture, whose threshold follows the light, may change less
// than the cutoff. A walker moves the level only where they are.
constexpr int kLightingStepLevels = 12;
// ... over more than the cutoff's share of the picture and more than this
// one (%): light moves the level nearly everywhere, while a walker before
// waving leaves, compared 200 ms back, moves it over a fifth or more.
constexpr int kLightingGreyShare = 50;
// ... measured on copies of the frames this wide: averaged, a grainy
// night's noise does not pass for a change of light.
constexpr int kLightingSampleWidth = 80;

// How the detector compares, beyond the changed-area threshold. The
// defaults compare with the previous frame, without mask or lighting cutoff.
struct MotionOptions {
  uint32_t referenceIntervalMs = 0;
  // A change of more than this share of the picture, binarised or in grey
  // levels (kLightingStepLevels), is taken for lighting, not motion; 0: off.
  int32_t lightingCutoffPercent = 0;
  // The changed-area threshold in tenths of a percent, for people far
  // away; 0: off, the whole-percent threshold applies.
  int32_t moveBorderPermille = 0;
  // 8-bit, one channel, 255 where the picture is watched; empty: all of it.
  // Scaled to the frame's size when the sizes differ.
  cv::Mat mask;
};
