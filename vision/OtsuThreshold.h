#pragma once
#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

// Otsu's level of an 8-bit grey picture: the grey level that splits its
// histogram into the two classes with the largest variance between them.
// The level OpenCV's THRESH_OTSU picks (the same sums in the same order, in
// double), without OpenCV's thresholded picture: the detector binarises to
// one bit a pixel itself.
using GreyHistogram = std::array<uint32_t, 256>;

void CountGreyLevels(const cv::Mat& grey, GreyHistogram& histogram);

// The level from a histogram of `pixels` pixels; 0 for an empty picture and
// for one with a single grey level, as OpenCV gives.
int OtsuLevel(const GreyHistogram& histogram, uint64_t pixels);

int OtsuThreshold(const cv::Mat& grey);
