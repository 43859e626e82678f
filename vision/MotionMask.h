#pragma once
#include <string>

#include <opencv2/core.hpp>

// Reads a mask picture (PNG, PGM or any picture OpenCV reads): white and
// light greys are watched, dark ones ignored. The result is 8-bit, one
// channel, 0 or 255. False, with `mask` empty, when the file cannot be read.
bool ReadMotionMask(const std::string& path, cv::Mat& mask);
